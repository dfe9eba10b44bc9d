"""Searches while the index changes: how long a search waits for a write, and how much a
searching thread slows the write.

For each write below: search latency (one query per call, k 10) alone and while the write
runs on the main thread with one other thread searching without pause (p50, p99, max in
ms), then the write's time alone and beside that searcher (each on its own copy of the
same index):
  (a) an add of --hnsw-n rows (default 60,000) x 128 to an Hnsw index holding 20,000
      (m 16, ef_construction 100, threads=1);
  (b) an add of --brute-n rows (default 200,000) x 768 to a BruteForce index of 20,000;
  (c) the build of an IvfFlat index of --ivf-n rows (default 100,000) x 128, nlist 316,
      clustering everything again (its lists hold 1,000 rows built earlier);
  (d) removing 30% of the nodes of an Hnsw index of --remove-n nodes (default 60,000) x 128.
Clustered data (bench/_common.clustered), cosine, 4-bit codes. The targets: the longest
wait at most one unit of the write, p99 at most 3x the p99 alone, the write beside a
searcher at most 1.15x its time alone.

    PYTHONPATH=build/python python bench/bench_live.py [--quick]
"""
import argparse
import copy
import threading
import time

import numpy as np

from _common import clustered, print_table
from korvane import Korvane


def latencies(index, queries, count=None, stop=None):
    """Search times in seconds: `count` searches, or until `stop` is set."""
    out = []
    i = 0
    while (count is not None and i < count) or (stop is not None and not stop.is_set()):
        t = time.perf_counter()
        try:
            index.search(queries[i % len(queries)], 10)
        except RuntimeError:  # an IvfFlat index not built yet answers at once
            pass
        out.append(time.perf_counter() - t)
        i += 1
    return np.array(out)


def summary(lat):
    return [f"{np.percentile(lat, 50) * 1e3:.3f}", f"{np.percentile(lat, 99) * 1e3:.3f}", f"{lat.max() * 1e3:.1f}"]


def measure(name, index, write, queries):
    """One row of the table: latency alone and during the write, the write's times."""
    twin = copy.deepcopy(index)
    alone = latencies(index, queries, count=2000)
    stop = threading.Event()
    found = []
    reader = threading.Thread(target=lambda: found.append(latencies(index, queries, stop=stop)))
    reader.start()
    time.sleep(0.05)
    t = time.perf_counter()
    write(index)
    beside = time.perf_counter() - t
    stop.set()
    reader.join()
    t = time.perf_counter()
    write(twin)
    by_itself = time.perf_counter() - t
    during = found[0]
    return [name, *summary(alone), *summary(during), len(during), f"{by_itself:.2f}", f"{beside:.2f}",
            f"{beside / by_itself:.2f}", f"{np.percentile(during, 99) / np.percentile(alone, 99):.1f}"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--hnsw-n", type=int, default=60_000)
    ap.add_argument("--brute-n", type=int, default=200_000)
    ap.add_argument("--ivf-n", type=int, default=100_000)
    ap.add_argument("--remove-n", type=int, default=60_000)
    ap.add_argument("--quick", action="store_true", help="a tenth of every size")
    args = ap.parse_args()
    if args.quick:
        args.hnsw_n, args.brute_n, args.ivf_n, args.remove_n = 6_000, 20_000, 10_000, 6_000
    rows = []

    x, q = clustered(20_000 + args.hnsw_n, 128, 200, seed=1)
    graph = Korvane(128, index_type="hnsw", hnsw_m=16, hnsw_ef_construction=100)
    graph.add(np.arange(20_000), x[:20_000], threads=0)
    ids = np.arange(20_000, 20_000 + args.hnsw_n)
    rows.append(measure(f"(a) Hnsw add {args.hnsw_n:,} x 128", graph, lambda i: i.add(ids, x[20_000:], threads=1), q))

    x, q = clustered(20_000 + args.brute_n, 768, 200, seed=2)
    flat = Korvane(768)
    flat.add(np.arange(20_000), x[:20_000])
    ids_b = np.arange(20_000, 20_000 + args.brute_n)
    rows.append(measure(f"(b) BruteForce add {args.brute_n:,} x 768", flat, lambda i: i.add(ids_b, x[20_000:]), q))

    x, q = clustered(args.ivf_n, 128, 200, seed=3)
    ivf = Korvane(128, index_type="ivf_flat", ivf_nlist=316, ivf_nprobe=16)
    ivf.add(np.arange(1_000), x[:1_000])
    ivf.build()
    ivf.add(np.arange(1_000, args.ivf_n), x[1_000:])
    rows.append(measure(f"(c) IvfFlat build {args.ivf_n:,} x 128", ivf, lambda i: i.build(threads=1), q))

    x, q = clustered(args.remove_n, 128, 200, seed=4)
    graph = Korvane(128, index_type="hnsw", hnsw_m=16, hnsw_ef_construction=100)
    graph.add(np.arange(args.remove_n), x, threads=0)
    gone = np.random.default_rng(5).choice(args.remove_n, int(args.remove_n * 0.3), replace=False).astype(np.uint64)
    rows.append(measure(f"(d) Hnsw remove 30% of {args.remove_n:,}", graph, lambda i: i.remove(gone), q))

    print_table("search latency (ms) alone and during a write; the write's time alone and beside one searcher (s)",
                ["write", "alone p50", "p99", "max", "during p50", "p99", "max", "searches", "write alone",
                 "beside", "ratio", "p99 during/alone"], rows)


if __name__ == "__main__":
    main()
