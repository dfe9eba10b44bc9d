"""Collections that change: remove, update and the id map, at --n rows (default 100,000).

Clustered cosine data of --dim dimensions (default 128), 4-bit codes. For each index type
(BruteForce; IvfFlat with nlist 256, built; Hnsw with m 16, ef_construction 100, built on
every core):
- remove: --changed rows (default 10,000) removed by id, in one call and in calls of 100
  ids, rows/s;
- update: those rows given new vectors (--changed ids in one call), rows/s;
  (each on its own copy of the same built index);
- insert: the same number of new rows added, rows/s (what the two are held against);
- the id map's memory per row: resident memory before and after the first `in` (which
  makes the map) on an index of --map-n rows (default 1,000,000), divided by the rows.

Hnsw recall@10 at ef 64 (k 10, --queries queries, exact ground truth over the survivors;
the graphs keep float16 vectors and re-score, as codes alone cannot tell these clusters'
members apart)
after removing 10%, 30% and 50% of the rows at random, searched as left by remove() and
after build(), against a fresh graph of the survivors (same parameters, same threads).

The Hnsw repair after removing 30% of a graph of --repair-n rows (default 10,000) of
--repair-dim dimensions (default 784), on one and two threads, against the graph's
one-thread build.

Memory over 20 cycles of removing 10% of the rows of the Hnsw index and adding them again
(new vectors under the same ids): resident memory after each cycle.

The last lines check the targets: recall after removing 30% at least 0.98x the fresh
graph's; remove + update of --changed rows in less time than inserting as many; the repair
on one thread in at most a quarter of the one-thread build; no growth of memory over the
cycles (the last cycle within 5% of the third).

    PYTHONPATH=build/python python bench/bench_mutate.py [--n 100000] [--dim 128] [--quick]
"""
import argparse
import copy
import ctypes
import os
import sys

import numpy as np

import korvane

from _common import clustered, exact_topk, normalise, print_table, recall, timed

HNSW = {"index_type": "hnsw", "hnsw_m": 16, "hnsw_ef_construction": 100}


def rss_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def make(kind, dim, ids, x, kept=None):
    kwargs = {"brute_force": {}, "ivf_flat": {"index_type": "ivf_flat", "ivf_nlist": 256}, "hnsw": HNSW}[kind]
    index = korvane.Korvane(dim, **kwargs)
    if kept:
        index.keep_vectors(kept)
    index.add(ids, x, threads=0)
    index.build()
    return index


def throughput(args, x, fresh):
    """Each operation on its own copy of the same built index (a copy's graph is prepared
    for insertion by its first add, as one left by build() is)."""
    rows = []
    rng = np.random.default_rng(1)
    n, c = len(x), args.changed
    timings = {}
    for kind in ("brute_force", "ivf_flat", "hnsw"):
        ids = np.arange(n, dtype=np.uint64)
        base = make(kind, args.dim, ids, x)
        gone = rng.choice(n, c, replace=False).astype(np.uint64)
        index = copy.deepcopy(base)
        removed, t_remove = timed(index.remove, gone)
        assert removed == c
        index = copy.deepcopy(base)
        t_small = 0.0
        for start in range(0, c, 100):
            _, t = timed(index.remove, gone[start:start + 100])
            t_small += t
        index = copy.deepcopy(base)
        _, t_update = timed(index.update, gone, fresh[:c], threads=0)
        index = copy.deepcopy(base)
        _, t_insert = timed(index.add, np.arange(n, n + c, dtype=np.uint64), fresh[:c], threads=0)
        timings[kind] = (t_remove, t_update, t_insert)
        rows.append([kind, f"{c / t_remove:,.0f}", f"{c / t_small:,.0f}", f"{c / t_update:,.0f}",
                     f"{c / t_insert:,.0f}", f"{t_update / t_insert:.2f}", f"{(t_remove + t_update) / t_insert:.2f}"])
        del index, base
    print_table(f"Throughput at {n:,} rows x {args.dim}, {c:,} rows changed (rows/s; each on a copy of one index)",
                ["index", "remove, 1 call", "remove, calls of 100", "update", "insert", "update/insert",
                 "(remove+update)/insert"], rows)
    return timings


def id_map_memory(args):
    n = args.map_n
    index = korvane.Korvane(8)
    rng = np.random.default_rng(2)
    for start in range(0, n, 200_000):
        m = min(200_000, n - start)
        index.add(np.arange(start, start + m, dtype=np.uint64), rng.standard_normal((m, 8)).astype(np.float32))
    # Freed memory goes back to the system first, so that the map cannot reuse it unseen.
    trim = ctypes.CDLL("libc.so.6").malloc_trim
    trim(0)
    before = rss_mib()
    assert 0 in index
    trim(0)
    grown = (rss_mib() - before) * 2**20 / n
    print(f"\nid map: {grown:.1f} bytes per row (resident memory made by the first `in`, {n:,} rows)")
    return grown


def hnsw_recall(args, x, queries):
    n = len(x)
    ids = np.arange(n, dtype=np.uint64)
    rng = np.random.default_rng(3)
    rows, ratios = [], {}
    for share in (0.1, 0.3, 0.5):
        index = make("hnsw", args.dim, ids, x, kept="float16")
        index.set_ef_search(64)
        gone = rng.choice(n, int(share * n), replace=False)
        index.remove(gone.astype(np.uint64))
        left = np.setdiff1d(ids, gone)
        truth = left[exact_topk(normalise(x[left]), queries, 10, "ip")]  # cosine: ranks of unit rows
        r_marked = recall(index.search_batch(queries, 10)[0], truth)
        index.build()
        index.set_ef_search(64)
        r_repaired = recall(index.search_batch(queries, 10)[0], truth)
        fresh = make("hnsw", args.dim, left.astype(np.uint64), x[left], kept="float16")
        fresh.set_ef_search(64)
        r_fresh = recall(fresh.search_batch(queries, 10)[0], truth)
        ratios[share] = min(r_marked, r_repaired) / r_fresh
        rows.append([f"{share:.0%}", f"{r_marked:.4f}", f"{r_repaired:.4f}", f"{r_fresh:.4f}",
                     f"{r_marked / r_fresh:.3f}", f"{r_repaired / r_fresh:.3f}"])
    print_table(f"Hnsw recall@10 at ef 64 after removals ({n:,} x {args.dim}, m 16, ef_construction 100, "
                "float16 kept vectors re-scoring 40 candidates)",
                ["removed", "as left by remove", "after build()", "fresh graph", "ratio (left)", "ratio (built)"],
                rows)
    return ratios


def cycles(args, x, fresh):
    n = len(x)
    ids = np.arange(n, dtype=np.uint64)
    index = make("hnsw", args.dim, ids, x)
    rng = np.random.default_rng(4)
    sizes = []
    for cycle in range(args.cycles):
        chosen = rng.choice(n, n // 10, replace=False).astype(np.uint64)
        index.remove(chosen)
        index.add(chosen, fresh[rng.integers(0, len(fresh), len(chosen))], threads=0)
        assert len(index) == n
        sizes.append(rss_mib())
    print(f"\nresident MiB after each of {args.cycles} cycles of removing and re-adding 10%:")
    print("  " + " ".join(f"{s:.0f}" for s in sizes))
    return sizes


def repair_time(args):
    """The Hnsw repair after removing 30% of a graph of --repair-n rows x --repair-dim (m 16,
    ef_construction 100), on one and two threads (each on a copy of one graph), against the
    graph's one-thread build."""
    x, _ = clustered(args.repair_n, args.repair_dim, 1, seed=5)
    graph = korvane.Korvane(args.repair_dim, **HNSW)
    _, t_build = timed(graph.add, np.arange(args.repair_n, dtype=np.uint64), x, threads=1)
    gone = np.random.default_rng(6).choice(args.repair_n, int(0.3 * args.repair_n), replace=False).astype(np.uint64)
    rows, times = [], {}
    for threads in (1, 2):
        index = copy.deepcopy(graph)
        _, times[threads] = timed(index.remove, gone, threads=threads)
        rows.append([threads, f"{times[threads]:.2f}", f"{times[threads] / t_build:.3f}"])
    print_table(f"Hnsw repair after removing 30% of {args.repair_n:,} x {args.repair_dim} (m 16, ef_construction 100; "
                f"one-thread build {t_build:.2f} s)", ["threads", "remove, s", "/ one-thread build"], rows)
    return times[1] / t_build


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--n", type=int, default=100_000)
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--changed", type=int, default=10_000)
    p.add_argument("--queries", type=int, default=1_000)
    p.add_argument("--map-n", type=int, default=1_000_000)
    p.add_argument("--cycles", type=int, default=20)
    p.add_argument("--repair-n", type=int, default=10_000)
    p.add_argument("--repair-dim", type=int, default=784)
    p.add_argument("--quick", action="store_true", help="20,000 rows, 2,000 changed, 5 cycles")
    p.add_argument("--parts", default="throughput,map,recall,cycles,repair", help="which parts to run")
    args = p.parse_args()
    if args.quick:
        args.n, args.changed, args.map_n, args.cycles, args.queries = 20_000, 2_000, 200_000, 5, 300
    x, queries = clustered(args.n + args.changed, args.dim, args.queries)
    x, fresh = x[:args.n], x[args.n:]
    print(f"korvane {getattr(korvane, '__version__', '?')}, {os.cpu_count()} cores; clustered cosine data")
    parts = set(args.parts.split(","))
    timings = throughput(args, x, fresh) if "throughput" in parts else None
    if "map" in parts:
        id_map_memory(args)
    ratios = hnsw_recall(args, x, queries) if "recall" in parts else None
    sizes = cycles(args, x, fresh) if "cycles" in parts else None
    repair = repair_time(args) if "repair" in parts else None
    print("\ntargets:")
    if ratios:
        print(f"  Hnsw recall after removing 30% >= 0.98x fresh: {ratios[0.3]:.3f}x "
              f"{'met' if ratios[0.3] >= 0.98 else 'NOT MET'}")
    if timings:
        t_remove, t_update, t_insert = timings["hnsw"]
        print(f"  Hnsw remove + update < insert: {t_remove + t_update:.2f} s against {t_insert:.2f} s "
              f"{'met' if t_remove + t_update < t_insert else 'NOT MET'}")
    if repair is not None:
        print(f"  Hnsw repair after removing 30% on one thread <= 0.25x its one-thread build: {repair:.3f}x "
              f"{'met' if repair <= 0.25 else 'NOT MET'}")
    if sizes:
        third, last = sizes[min(2, len(sizes) - 1)], sizes[-1]
        print(f"  no memory growth over the cycles: {third:.0f} MiB after the third, {last:.0f} MiB after the last "
              f"{'met' if last <= 1.05 * third else 'NOT MET'}")


if __name__ == "__main__":
    sys.exit(main())
