"""The 4-bit scan against FAISS, everything on one thread, one query per search call.

Three data sets: SIFT descriptors (sift-ngt5k, l2), Fashion-MNIST (fashion-mnist-10k,
l2) and a Gaussian mixture of --n x 768 unit vectors (cosine; FAISS gets inner product
on the same unit vectors). On the l2 sets korvane fits its standardization on the base.
Recall@10 is against exact float32 search. Prints, in one run:

1. BruteForce: korvane 4-bit beside FAISS IndexPQFastScan(d, d, 4) ("PQ{d}x4fs", one
   4-bit sub-quantizer per dimension: the same code bytes per vector) and
   IndexScalarQuantizer(QT_4bit): q/s, recall@10, bytes/vec, korvane q/s over theirs.
   PQ{d}x4fs trains on at most 20,000 rows; below its table, the recall of its codes
   scored in float by IndexPQ (untimed) tells its codes' error from its accumulation's.
2. IVF: korvane ivf_flat 4-bit beside FAISS IndexIVFScalarQuantizer(QT_4bit), both with
   nlist = round(4 sqrt(n)), for nprobe 1, 4, 16 and 64.
3. Batch: search_batch(queries, 10, threads=1) beside a loop of search() on the
   BruteForce index, for the 768-d set and SIFT, and whether both returned the same ids.

Timings go by blocks of queries of about 50 ms; the ways compared in one table take
turns block by block, so a machine whose speed drifts slows them alike, and each block
counts its fastest of --repeats timings (see Ways). Compare figures within one table:
the same korvane loop timed in two tables, beside different ways, can differ by much.
--big-queries (default 100) sets the queries on the 768-d set.

    PYTHONPATH=build/python python bench/bench_scan.py [--n 100000] [--queries 200] [--repeats 3]
    PYTHONPATH=build/python python bench/bench_scan.py --skip-ivf --skip-batch   # BruteForce only
"""
import argparse
import math
import os
import platform
import time

import numpy as np

import korvane
from _common import clustered, exact_topk, load_shared, normalise, print_table, recall, timed, try_faiss

K = 10
DIM = 768
NPROBES = (1, 4, 16, 64)
# Training PQ768x4fs on all 100,000 rows takes minutes on one thread; its per-dimension
# codebooks of 16 centroids are well fitted by a fifth of that.
PQ_TRAIN_ROWS = 20_000
SIMD_FLAGS = ("avx2", "fma", "avx512f", "avx512bw")


class Ways:
    """Named ways to answer the same queries: functions taking rows of the query matrix and
    returning the ids found for each. The first call of each on all queries gives the
    answers. Timing then goes by blocks of consecutive queries, sized so the slowest way
    spends about `block_seconds` on one (a fast way repeats its call until it has); the
    ways take turns block by block, each block counts its fastest of `repeats` timings,
    and a way's time is the sum over blocks. On a machine shared with other work a short
    block has a fair chance of meeting a quiet moment, where a whole pass does not."""

    def __init__(self, queries, block_seconds=0.05):
        self.queries = queries
        self.block_seconds = block_seconds
        self.fns, self.found, self.best = {}, {}, {}

    def add(self, name, fn):
        self.fns[name] = fn

    def run(self, repeats):
        n = len(self.queries)
        per_query = {}
        for name, fn in self.fns.items():
            self.found[name], secs = timed(fn, self.queries)
            per_query[name] = max(secs, 1e-9) / n
        size = min(n, max(1, int(self.block_seconds / max(per_query.values()))))
        blocks = [self.queries[i:i + size] for i in range(0, n, size)]
        loops = {name: max(1, math.ceil(self.block_seconds / (t * size))) for name, t in per_query.items()}
        fastest = {name: [float("inf")] * len(blocks) for name in self.fns}
        for _ in range(repeats):
            for b, block in enumerate(blocks):
                for name, fn in self.fns.items():
                    t0 = time.perf_counter()
                    for _ in range(loops[name]):
                        fn(block)
                    fastest[name][b] = min(fastest[name][b], (time.perf_counter() - t0) / loops[name])
        self.best = {name: sum(times) for name, times in fastest.items()}
        return self

    def qps(self, name):
        return len(self.queries) / self.best[name]

    def recall(self, name, truth):
        return recall(self.found[name], truth, K)


def korvane_loop(index):
    return lambda queries: [[h["id"] for h in index.search(q, K)] for q in queries]


def faiss_loop(index):
    """One single-row search call per query, as korvane's loop makes."""
    return lambda queries: [index.search(q[None, :], K)[1][0] for q in queries]


def faiss_metric(faiss, ds):
    return faiss.METRIC_INNER_PRODUCT if ds["metric"] == "ip" else faiss.METRIC_L2


def load_sets(args):
    """Each set: name, base, queries, exact top-10 ids, "l2" or "ip", korvane's metric."""
    sets = []
    load = load_shared()
    for key, label in (("sift-ngt5k", "SIFT descriptors"), ("fashion-mnist-10k", "Fashion-MNIST")):
        base, queries, gt_ids, _, metric = load.load(key)
        assert metric == "l2", metric
        nq = min(args.queries, len(queries))
        sets.append(dict(name=f"{label} ({key})", short=key.split("-")[0], base=base,
                         queries=np.ascontiguousarray(queries[:nq]), truth=gt_ids[:nq, :K], metric="l2",
                         ours_metric="l2"))
    nq = args.big_queries
    base, queries = clustered(args.n, DIM, nq, seed=DIM)
    base, queries = normalise(base), normalise(queries)
    sets.append(dict(name="Gaussian mixture (1,000 clusters), normalised", short=f"{DIM}-d", base=base,
                     queries=queries, truth=exact_topk(base, queries, K, "ip"), metric="ip", ours_metric="cosine"))
    return sets


def describe(ds):
    n, d = ds["base"].shape
    how = "l2, korvane fit on the base" if ds["metric"] == "l2" else "cosine (FAISS: inner product)"
    return f"{ds['name']}: {n:,} x {d}, {how}, {len(ds['queries'])} queries, k={K}"


def korvane_brute_force(ds):
    base = ds["base"]
    index = korvane.Korvane(base.shape[1], metric=ds["ours_metric"], bit_width=4)
    if ds["metric"] == "l2":
        index.fit(base)
    index.add(np.arange(len(base), dtype=np.uint64), base)
    return index


def pq_float_recall(faiss, pq, ds):
    """Fast-scan ranks by 16-bit sums of 8-bit lookup tables; with hundreds of sub-quantizers
    those sums can wrap. The same codebooks scored in float (IndexPQ, untimed) show whether
    its recall is the codes' or the accumulation's."""
    d = ds["base"].shape[1]
    ref = faiss.IndexPQ(d, d, 4, pq.metric_type)
    ref.pq = pq.pq
    ref.is_trained = True
    ref.add(ds["base"])
    ref_recall = recall(ref.search(ds["queries"], K)[1], ds["truth"], K)
    fast_recall = recall(faiss_loop(pq)(ds["queries"]), ds["truth"], K)
    verdict = " (fast-scan's 16-bit accumulation loses the ranking here)" if ref_recall - fast_recall > 0.05 else ""
    return f"  PQ{d}x4fs codes scored in float (IndexPQ, untimed): recall@10 {ref_recall:.3f}{verdict}"


def brute_force(ds, index, faiss, repeats):
    base, queries = ds["base"], ds["queries"]
    n, d = base.shape
    ways = Ways(queries)
    ways.add("korvane BruteForce 4-bit", korvane_loop(index))
    # korvane keeps a float32 norm and a uint64 id beside each row's codes.
    bytes_per_vec = {"korvane BruteForce 4-bit": index.packed_bytes_per_vec + 4 + 8}
    notes = []
    if faiss is not None:
        fm = faiss_metric(faiss, ds)
        pq = faiss.IndexPQFastScan(d, d, 4, fm)
        train_rows = min(n, PQ_TRAIN_ROWS)
        sample = base if train_rows == n else base[np.random.default_rng(0).choice(n, train_rows, replace=False)]
        _, train_s = timed(pq.train, sample)
        pq.add(base)
        sq = faiss.IndexScalarQuantizer(d, faiss.ScalarQuantizer.QT_4bit, fm)
        sq.train(base)
        sq.add(base)
        for name, fidx in ((f"faiss PQ{d}x4fs", pq), ("faiss SQ QT_4bit", sq)):
            ways.add(name, faiss_loop(fidx))
            bytes_per_vec[name] = fidx.code_size
        sample_note = "all rows" if train_rows == n else f"a random sample of {train_rows:,} rows"
        notes.append(f"  PQ{d}x4fs trained on {sample_note} ({train_s:.1f} s); SQ QT_4bit on all rows")
        notes.append(pq_float_recall(faiss, pq, ds))
    ways.run(repeats)
    ours = ways.qps("korvane BruteForce 4-bit")
    rows = [(name, f"{ways.qps(name):,.1f}", f"{ways.recall(name, ds['truth']):.3f}", bytes_per_vec[name],
             f"{ours / ways.qps(name):.2f}") for name in ways.fns]
    print_table(describe(ds), ("index", "q/s", "recall@10", "bytes/vec", "korvane/this"), rows)
    print(f"  korvane bytes/vec: {index.packed_bytes_per_vec} code bytes ({index.padded_dim} padded dims) "
          f"+ 4 norm + 8 id; FAISS: code bytes")
    for note in notes:
        print(note)


def ivf(ds, faiss, repeats):
    base, queries = ds["base"], ds["queries"]
    n, d = base.shape
    nlist = round(4 * math.sqrt(n))
    index = korvane.Korvane(d, metric=ds["ours_metric"], bit_width=4, index_type="ivf_flat", ivf_nlist=nlist)
    if ds["metric"] == "l2":
        index.fit(base)
    _, add_s = timed(index.add, np.arange(n, dtype=np.uint64), base)
    _, build_s = timed(index.build)
    builds = [f"korvane add {add_s:.1f} s + build {build_s:.1f} s"]
    fidx = None
    if faiss is not None:
        quantizer = faiss.IndexFlatIP(d) if ds["metric"] == "ip" else faiss.IndexFlatL2(d)
        fidx = faiss.IndexIVFScalarQuantizer(quantizer, d, nlist, faiss.ScalarQuantizer.QT_4bit,
                                             faiss_metric(faiss, ds))
        _, train_s = timed(fidx.train, base)
        _, fadd_s = timed(fidx.add, base)
        builds.append(f"faiss IVFSQ QT_4bit train {train_s:.1f} s + add {fadd_s:.1f} s "
                      f"(k-means {fidx.cp.niter} iterations, by_residual={bool(fidx.by_residual)})")
    rows = []
    for nprobe in NPROBES:
        index.set_nprobe(nprobe)
        ways = Ways(queries)
        ways.add("korvane", korvane_loop(index))
        if fidx is not None:
            fidx.nprobe = nprobe
            ways.add("faiss", faiss_loop(fidx))
        ways.run(repeats)
        cells = [nprobe, f"{ways.qps('korvane'):,.1f}", f"{ways.recall('korvane', ds['truth']):.3f}"]
        if fidx is not None:
            cells += [f"{ways.qps('faiss'):,.1f}", f"{ways.recall('faiss', ds['truth']):.3f}",
                      f"{ways.qps('korvane') / ways.qps('faiss'):.2f}"]
        else:
            cells += ["-"] * 3
        rows.append(cells)
    print_table(f"{describe(ds)}, nlist {nlist}",
                ("nprobe", "korvane q/s", "korvane recall@10", "faiss q/s", "faiss recall@10", "korvane/faiss"),
                rows)
    print(f"  {'; '.join(builds)}")


def batch(ds, index, repeats):
    queries = ds["queries"]
    ways = Ways(queries)
    ways.add("search() loop", korvane_loop(index))
    ways.add("search_batch threads=1", lambda block: index.search_batch(block, K, threads=1)[0])
    ways.run(repeats)
    loop_ids = np.asarray(ways.found["search() loop"], dtype=np.uint64)
    same = np.array_equal(loop_ids, np.asarray(ways.found["search_batch threads=1"], dtype=np.uint64))
    loop_qps, batch_qps = ways.qps("search() loop"), ways.qps("search_batch threads=1")
    return (ds["short"], f"{ds['base'].shape[0]:,} x {ds['base'].shape[1]}", len(queries), f"{loop_qps:,.1f}",
            f"{batch_qps:,.1f}", f"{batch_qps / loop_qps:.2f}", "yes" if same else "NO")


def machine_line(faiss):
    flags = set()
    if os.path.exists("/proc/cpuinfo"):
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
                    break
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg()) if hasattr(os, "getloadavg") else "?"
    simd = " ".join(f for f in SIMD_FLAGS if f in flags) or "?"
    peer = f"faiss {faiss.__version__} (1 OpenMP thread)" if faiss is not None else "faiss not importable"
    print(f"{platform.processor() or platform.machine()}, {cores} cores available, load average {load}; "
          f"CPU flags: {simd}")
    print(f"korvane {korvane.__version__} (does not report which kernel level it dispatched to), {peer}, "
          f"numpy {np.__version__}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000, help="rows of the 768-d Gaussian mixture")
    ap.add_argument("--queries", type=int, default=200, help="queries on SIFT (it has 100) and Fashion-MNIST")
    ap.add_argument("--big-queries", type=int, default=100, help="queries on the 768-d set")
    ap.add_argument("--repeats", type=int, default=3, help="timings per way; the fastest counts")
    ap.add_argument("--skip-bf", action="store_true")
    ap.add_argument("--skip-ivf", action="store_true")
    ap.add_argument("--skip-batch", action="store_true")
    args = ap.parse_args()

    faiss = try_faiss()  # sets FAISS to one OpenMP thread
    machine_line(faiss)
    t0 = time.perf_counter()
    sets = load_sets(args)
    print(f"data and exact top-{K} in {time.perf_counter() - t0:.1f} s")

    # Built once: the batch section searches the same BruteForce indexes.
    indexes = {ds["short"]: korvane_brute_force(ds) for ds in sets} if not (args.skip_bf and args.skip_batch) else {}
    if not args.skip_bf:
        print("\n== 1. BruteForce, one query per search call, 1 thread ==")
        for ds in sets:
            brute_force(ds, indexes[ds["short"]], faiss, args.repeats)
    if not args.skip_ivf:
        print("\n== 2. IVF, one query per search call, 1 thread ==")
        for ds in sets:
            ivf(ds, faiss, args.repeats)
    if not args.skip_batch:
        rows = [batch(ds, indexes[ds["short"]], args.repeats) for ds in sets if ds["short"] in (f"{DIM}-d", "sift")]
        print_table("== 3. Batch: korvane BruteForce 4-bit, search_batch(queries, 10, threads=1) "
                    "against a loop of search() ==",
                    ("set", "rows x dim", "queries", "loop q/s", "batch q/s", "batch/loop", "same ids"), rows)
        if any(r[-1] != "yes" for r in rows):
            raise SystemExit("search_batch ids differ from the search() loop's")
    print(f"\nq/s: queries over the sum of each ~50 ms block's fastest of {args.repeats} timings; "
          f"total {time.perf_counter() - t0:.0f} s")


if __name__ == "__main__":
    main()
