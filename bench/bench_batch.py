"""Many queries at once: queries per second of search() called in a loop and of
search_batch() on one and two threads, for an Hnsw and a BruteForce index (cosine, 4-bit)
on clustered synthetic data, next to hnswlib's knn_query and faiss's search on the same
query matrix with one and two threads, all in one run.

Hnsw: m 16 and ef_construction 100 for every library (kept that low so that building
three graphs of 100,000 x 768 fits in minutes), ef 64 at search time. hnswlib uses its
'cosine' space; faiss IndexHNSWFlat and IndexFlatIP get the vectors normalised (inner
product); korvane gets the raw vectors with metric "cosine". BruteForce searches fewer
queries by default (--bf-queries): a 4-bit scan of 100,000 x 768 takes milliseconds per
query. Recall@10 is against exact float32 search (faiss IndexFlatIP when faiss is there,
NumPy otherwise).

    PYTHONPATH=build/python python bench/bench_batch.py [--n 100000] [--dim 768] [--queries 10000]
    PYTHONPATH=build/python python bench/bench_batch.py --quick   # small sizes, for development
"""
import argparse
import importlib.metadata
import os
import platform
import time

import numpy as np

import korvane
from _common import clustered, exact_topk, normalise, print_table, recall, timed, try_faiss

K = 10
# cpu us/query and cpu/wall: the process's CPU time in the pass that counted, per query
# and per wall second; on a machine shared with other work, a two-thread run whose
# cpu/wall is below 2 got less than two cores, and CPU per query still compares the work.
CPU_NOTE = ("  rows ending in CPU: the second way's CPU time per query over the first's (above 1: the first "
            "needs less CPU per query), whatever share of the cores the machine gave either")
TABLE_HEADER = ("way", "queries/s", "us/query", "cpu us/query", "cpu/wall", "recall@10")


def package_version(name):
    try:
        return importlib.metadata.version(name)
    except importlib.metadata.PackageNotFoundError:
        return "?"


def try_hnswlib():
    try:
        import hnswlib
    except ImportError:
        return None
    return hnswlib


class Runs:
    """Named ways to search the same queries; each timed pass runs every way once, in turn,
    so that a machine whose speed drifts slows them all alike. The fastest pass counts."""

    def __init__(self, n_queries):
        self.n_queries = n_queries
        self.ways = {}  # name -> function returning the ids found, shape (n_queries, K)
        self.best = {}
        self.cpu = {}  # process CPU seconds per wall second in the fastest pass
        self.found = {}

    def add(self, name, fn):
        self.ways[name] = fn

    def run(self, repeats):
        for name, fn in self.ways.items():
            self.found[name] = np.asarray(fn())  # warm-up, and the answers
        for _ in range(repeats):
            for name, fn in self.ways.items():
                cpu0 = time.process_time()
                _, secs = timed(fn)
                cpu = time.process_time() - cpu0
                if secs < self.best.get(name, float("inf")):
                    self.best[name] = secs
                    self.cpu[name] = cpu / secs

    def qps(self, name):
        return self.n_queries / self.best[name] if name in self.best else None

    def cpu_us(self, name):
        """Process CPU microseconds per query in the pass that counted."""
        return self.best[name] * self.cpu[name] * 1e6 / self.n_queries


def korvane_ways(runs, index, queries, label):
    rows = list(queries)

    def loop():
        return [[h["id"] for h in index.search(q, K)] for q in rows]

    runs.add(f"{label} search() loop", loop)
    for threads in (1, 2):
        runs.add(f"{label} search_batch threads={threads}",
                 lambda threads=threads: index.search_batch(queries, K, threads=threads)[0])


def faiss_ways(runs, faiss, index, queries, label):
    for threads in (1, 2):
        def search(threads=threads):
            faiss.omp_set_num_threads(threads)
            return index.search(queries, K)[1]

        runs.add(f"{label} threads={threads}", search)


def table_rows(runs, truth, names):
    rows = []
    for name in names:
        if name not in runs.best:
            continue
        rows.append((name, f"{runs.qps(name):,.0f}", f"{1e6 / runs.qps(name):,.1f}", f"{runs.cpu_us(name):,.1f}",
                     f"{runs.cpu[name]:.2f}", f"{recall(runs.found[name], truth, K):.3f}"))
    return rows


def ratio_rows(runs, pairs):
    """(label, a, b, target): queries/s of a over b; a label ending in "CPU" compares CPU
    time per query instead (b's over a's)."""
    rows = []
    for label, a, b, target in pairs:
        if runs.qps(a) is None or runs.qps(b) is None:
            rows.append((label, "-", target or "", ""))
            continue
        r = runs.cpu_us(b) / runs.cpu_us(a) if label.endswith("CPU") else runs.qps(a) / runs.qps(b)
        rows.append((label, f"{r:.2f}", f"{target:.2f}" if target else "",
                     ("met" if r >= target else "NOT met") if target else ""))
    return rows


def same_answers(runs, names):
    """search_batch must give what the search loop gives; a bench of wrong answers says nothing."""
    loop = np.asarray(runs.found[names[0]], dtype=np.uint64)
    for name in names[1:]:
        if not np.array_equal(loop, np.asarray(runs.found[name], dtype=np.uint64)):
            raise SystemExit(f"{name} differs from {names[0]}")


def hnsw_section(args, base, base_n, queries, truth, faiss, hnswlib):
    n, dim = base.shape
    builds = []
    index = korvane.Korvane(dim, metric="cosine", bit_width=4, index_type="hnsw", hnsw_m=args.m,
                            hnsw_ef_construction=args.ef_construction, hnsw_ef_search=args.ef)
    _, secs = timed(index.add, np.arange(n, dtype=np.uint64), base)
    builds.append(("korvane Hnsw 4-bit", "1", f"{secs:.1f}"))
    index.build()  # lets go of the float vectors kept for construction

    runs = Runs(len(queries))
    korvane_ways(runs, index, queries, "korvane Hnsw")
    if hnswlib is not None:
        graph = hnswlib.Index(space="cosine", dim=dim)
        graph.init_index(max_elements=n, M=args.m, ef_construction=args.ef_construction, random_seed=100)
        _, secs = timed(graph.add_items, base, np.arange(n), num_threads=2)
        builds.append((f"hnswlib {package_version('hnswlib')} (cosine, float32)", "2", f"{secs:.1f}"))
        graph.set_ef(args.ef)
        for threads in (1, 2):
            runs.add(f"hnswlib knn_query num_threads={threads}",
                     lambda threads=threads: graph.knn_query(queries, k=K, num_threads=threads)[0])
    if faiss is not None:
        fidx = faiss.IndexHNSWFlat(dim, args.m, faiss.METRIC_INNER_PRODUCT)
        fidx.hnsw.efConstruction = args.ef_construction
        faiss.omp_set_num_threads(2)
        _, secs = timed(fidx.add, base_n)
        builds.append((f"faiss {faiss.__version__} IndexHNSWFlat (inner product, float32)", "2", f"{secs:.1f}"))
        fidx.hnsw.efSearch = args.ef
        faiss_ways(runs, faiss, fidx, np.ascontiguousarray(normalise(queries)), "faiss IndexHNSWFlat search")

    print_table(f"Hnsw build: {n:,} x {dim}, m {args.m}, ef_construction {args.ef_construction}",
                ("index", "threads", "build s"), builds)
    runs.run(args.repeats)
    mine = ["korvane Hnsw search() loop", "korvane Hnsw search_batch threads=1", "korvane Hnsw search_batch threads=2"]
    same_answers(runs, mine)
    print_table(f"Hnsw search: {len(queries):,} queries, k={K}, ef {args.ef}; fastest of {args.repeats} passes",
                TABLE_HEADER, table_rows(runs, truth, list(runs.ways)))
    print("  search_batch answers equal the search() loop's, row for row")
    hl1, hl2 = "hnswlib knn_query num_threads=1", "hnswlib knn_query num_threads=2"
    fa1, fa2 = "faiss IndexHNSWFlat search threads=1", "faiss IndexHNSWFlat search threads=2"
    print_table("Hnsw ratios of queries/s", ("ratio", "value", "target", ""), ratio_rows(runs, [
        ("search_batch 1 thread / search() loop", mine[1], mine[0], 1.0),
        ("search_batch 1 thread / search() loop, CPU", mine[1], mine[0], None),
        ("search_batch 2 threads / 1 thread", mine[2], mine[1], 1.6),
        ("search_batch 2 threads / 1 thread, CPU", mine[2], mine[1], None),
        ("search_batch 1 thread / hnswlib 1 thread", mine[1], hl1, 1.0),
        ("search_batch 2 threads / hnswlib 2 threads", mine[2], hl2, 1.0),
        ("hnswlib 2 threads / 1 thread", hl2, hl1, None),
        ("search_batch 1 thread / faiss 1 thread", mine[1], fa1, None),
        ("search_batch 2 threads / faiss 2 threads", mine[2], fa2, None),
        ("faiss 2 threads / 1 thread", fa2, fa1, None),
    ]))
    print(CPU_NOTE)


def brute_force_section(args, base, base_n, queries, truth, faiss):
    n, dim = base.shape
    index = korvane.Korvane(dim, metric="cosine", bit_width=4)
    index.add(np.arange(n, dtype=np.uint64), base)
    runs = Runs(len(queries))
    korvane_ways(runs, index, queries, "korvane BruteForce")
    if faiss is not None:
        flat = faiss.IndexFlatIP(dim)
        flat.add(base_n)
        faiss_ways(runs, faiss, flat, np.ascontiguousarray(normalise(queries)), "faiss IndexFlatIP search")
    runs.run(args.repeats)
    mine = ["korvane BruteForce search() loop", "korvane BruteForce search_batch threads=1",
            "korvane BruteForce search_batch threads=2"]
    same_answers(runs, mine)
    print_table(f"BruteForce search: {n:,} x {dim}, {len(queries):,} queries, k={K}; fastest of {args.repeats} passes",
                TABLE_HEADER, table_rows(runs, truth, list(runs.ways)))
    print("  search_batch answers equal the search() loop's, row for row; faiss IndexFlatIP is exact float32 "
          "search (a matrix product over all queries)")
    fa1, fa2 = "faiss IndexFlatIP search threads=1", "faiss IndexFlatIP search threads=2"
    print_table("BruteForce ratios of queries/s", ("ratio", "value", "target", ""), ratio_rows(runs, [
        ("search_batch 1 thread / search() loop", mine[1], mine[0], 1.0),
        ("search_batch 1 thread / search() loop, CPU", mine[1], mine[0], None),
        ("search_batch 2 threads / 1 thread", mine[2], mine[1], 1.6),
        ("search_batch 2 threads / 1 thread, CPU", mine[2], mine[1], None),
        ("search_batch 1 thread / faiss 1 thread", mine[1], fa1, None),
        ("search_batch 2 threads / faiss 2 threads", mine[2], fa2, None),
        ("faiss 2 threads / 1 thread", fa2, fa1, None),
    ]))
    print(CPU_NOTE)


def ground_truth(faiss, base_n, queries_n):
    if faiss is not None:
        flat = faiss.IndexFlatIP(base_n.shape[1])
        flat.add(base_n)
        faiss.omp_set_num_threads(2)
        return flat.search(queries_n, K)[1]
    return exact_topk(base_n, queries_n, K, "ip")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--dim", type=int, default=768)
    ap.add_argument("--queries", type=int, default=10_000, help="queries for Hnsw")
    ap.add_argument("--bf-queries", type=int, default=1_000, help="the first this many queries, for BruteForce")
    ap.add_argument("--m", type=int, default=16)
    ap.add_argument("--ef-construction", type=int, default=100)
    ap.add_argument("--ef", type=int, default=64, help="search beam width for every Hnsw graph")
    ap.add_argument("--repeats", type=int, default=3, help="timed passes over every way; the fastest counts")
    ap.add_argument("--skip-hnsw", action="store_true")
    ap.add_argument("--skip-bf", action="store_true")
    ap.add_argument("--quick", action="store_true", help="small sizes for development")
    args = ap.parse_args()
    if args.quick:
        args.n, args.dim, args.queries, args.bf_queries, args.repeats = 5_000, 128, 1_000, 200, 2

    faiss = try_faiss()
    hnswlib = try_hnswlib()
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg()) if hasattr(os, "getloadavg") else "?"
    print(f"{platform.processor() or platform.machine()}, {cores} cores available, load average {load}; "
          f"korvane {korvane.__version__}, numpy {np.__version__}")
    if faiss is None:
        print("(faiss-cpu not importable: its rows are left out)")
    if hnswlib is None:
        print("(hnswlib not importable: its rows are left out)")

    t0 = time.perf_counter()
    base, queries = clustered(args.n, args.dim, args.queries, seed=args.dim)
    base_n, queries_n = normalise(base), normalise(queries)
    truth = ground_truth(faiss, base_n, queries_n)
    print(f"Gaussian mixture (1,000 clusters), {args.n:,} x {args.dim}, cosine, {args.queries:,} queries; "
          f"data and exact top-{K} in {time.perf_counter() - t0:.1f} s")

    if not args.skip_hnsw:
        hnsw_section(args, base, base_n, queries, truth, faiss, hnswlib)
    if not args.skip_bf:
        nq = min(args.bf_queries, len(queries))
        brute_force_section(args, base, base_n, queries[:nq], truth[:nq], faiss)


if __name__ == "__main__":
    main()
