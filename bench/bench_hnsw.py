"""HNSW: build time, memory per vector and a search sweep (queries per second and recall@10
against exact float search for ef_search 16, 32, 64, 128, 256), for korvane's 4-bit HNSW
index (searched on its codes alone, and re-scored with float16 kept vectors) next to hnswlib
(float32 graph), faiss IndexHNSWFlat and faiss IndexHNSWSQ(QT_4bit) when those are
importable. Every index uses M = 16 and ef_construction = 200; each search call takes one
query on one thread.

Builds run on one thread, and again on every core the process may use for korvane
(add(threads=0)), hnswlib (num_threads=-1) and faiss IndexHNSWFlat (OpenMP): the build
speed-up on this machine, and the recall of korvane's threaded graph beside its one-thread
graph (the others' threaded graphs are timed only).

Data: a Gaussian mixture (1,000 clusters, spread 0.7, unit vectors, cosine) at dims 128 and
768, SIFT descriptors ("sift-ngt5k", l2; korvane fits its standardization on the base) and
GloVe-25 ("glove25", cosine), the last two with their own exact ground truth.

Each library builds and searches in a fresh subprocess that first loads the data, so the
memory it reports is its own (after a throwaway 300-vector index has loaded the library
and its one-time start-up): the growth of the process's resident set size from just
before the index is created to just after build() (bytes per vector = growth / n), and the
highest resident size reached while building (peak, from VmHWM after resetting it) minus
the same starting point. Build time covers fit/train (when used), the add of every vector
and build().

    PYTHONPATH=build/python python bench/bench_hnsw.py [--n128 100000] [--n768 100000] [--queries 1000]
    PYTHONPATH=build/python python bench/bench_hnsw.py --quick        # small sizes, for development
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

from _common import clustered, exact_topk, load_shared, normalise, print_table, recall

EFS = (10, 16, 24, 32, 48, 64, 96, 128, 256)
M = 16
EF_CONSTRUCTION = 200
K = 10
MIN_LOOP_SECONDS = 0.5  # small query sets are looped until this much time is spent on them
LIBS = ("korvane", "hnswlib", "faiss")
# variant: (library, label, threads (0: every core), searched)
VARIANTS = {
    "korvane": ("korvane", "korvane 4-bit", 1, True),
    "korvane-rescored": ("korvane", "korvane 4-bit re-scored (float16)", 1, True),
    "korvane-threads": ("korvane", "korvane re-scored, threaded build", 0, True),
    "hnswlib": ("hnswlib", "hnswlib float32", 1, True),
    "hnswlib-threads": ("hnswlib", "hnswlib float32, threaded build", 0, False),
    "faiss-flat": ("faiss", "faiss HNSWFlat", 1, True),
    "faiss-flat-threads": ("faiss", "faiss HNSWFlat, threaded build", 0, False),
    "faiss": ("faiss", "faiss HNSWSQ 4-bit", 1, True),
}
LABELS = {v: VARIANTS[v][1] for v in VARIANTS}


# --- the worker: one library, one data set, one fresh process ------------------------

def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _peak_rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return None


def _reset_peak_rss():
    """Sets VmHWM to the current resident size; False where the kernel does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _make_korvane(dim, metric, fit_sample, threads=1, rescored=False):
    import korvane

    index = korvane.Korvane(dim, metric="cosine" if metric == "cosine" else "l2", index_type="hnsw",
                            hnsw_m=M, hnsw_ef_construction=EF_CONSTRUCTION)
    if rescored:
        index.keep_vectors("float16")

    def build(base):
        if fit_sample is not None:
            index.fit(fit_sample)
        index.add(np.arange(len(base), dtype=np.uint64), base, threads=threads)
        index.build()
        if len(index) != len(base):
            sys.exit(f"korvane holds {len(index)} vectors after adding {len(base)}")

    def search(q):
        return [h["id"] for h in index.search(q, K)]

    return index, build, index.set_ef_search, search


def _make_hnswlib(dim, metric, n, threads=1):
    import hnswlib

    index = hnswlib.Index(space="cosine" if metric == "cosine" else "l2", dim=dim)
    index.set_num_threads(1)

    def build(base):
        index.init_index(max_elements=n, M=M, ef_construction=EF_CONSTRUCTION, random_seed=100)
        index.add_items(base, np.arange(len(base)), num_threads=os.cpu_count() if threads == 0 else threads)

    def search(q):
        return index.knn_query(q, K, num_threads=1)[0][0]

    return index, build, index.set_ef, search


def _make_faiss(dim, metric, flat=False, threads=1):
    import faiss

    fm = faiss.METRIC_INNER_PRODUCT if metric == "cosine" else faiss.METRIC_L2
    if flat:
        index = faiss.IndexHNSWFlat(dim, M, fm)
    else:
        index = faiss.IndexHNSWSQ(dim, faiss.ScalarQuantizer.QT_4bit, M, fm)
    index.hnsw.efConstruction = EF_CONSTRUCTION

    def build(base):
        faiss.omp_set_num_threads(os.cpu_count() if threads == 0 else threads)
        index.train(base)
        index.add(base)
        faiss.omp_set_num_threads(1)

    def set_ef(ef):
        index.hnsw.efSearch = ef

    def search(q):
        return index.search(q[None, :], K)[1][0]

    return index, build, set_ef, search


def worker(variant, folder, repeats):
    """Builds one index on the saved data set, sweeps ef_search, prints one JSON line."""
    lib, _, threads, searched = VARIANTS[variant]
    meta = json.load(open(os.path.join(folder, "meta.json")))
    base = np.load(os.path.join(folder, "base.npy"))
    queries = np.load(os.path.join(folder, "queries.npy"))
    truth = np.load(os.path.join(folder, "truth.npy"))
    metric, dim, n = meta["metric"], base.shape[1], len(base)
    if lib == "faiss" and metric == "cosine":  # inner product on unit vectors
        base, queries = normalise(base), normalise(queries)
    fit_sample = base if (lib == "korvane" and meta["fit"]) else None
    query_rows = [np.ascontiguousarray(q) for q in queries]

    def make(rows, sample):
        if lib == "korvane":
            return _make_korvane(dim, metric, sample, threads, rescored=variant != "korvane")
        if lib == "hnswlib":
            return _make_hnswlib(dim, metric, rows, threads)
        return _make_faiss(dim, metric, flat=variant.startswith("faiss-flat"), threads=threads)

    # A throwaway index first, so that loading the library and its one-time start-up
    # (thread pools, lazily bound symbols, first allocator arenas) is not counted below.
    warm = base[:min(n, 300)]
    _, warm_build, _, _ = make(len(warm), None if fit_sample is None else warm)
    warm_build(warm)
    del warm_build

    rss0 = _rss_bytes()
    peak_ok = _reset_peak_rss()
    t0 = time.perf_counter()
    index, build, set_ef, search = make(n, fit_sample)
    build(base)
    build_s = time.perf_counter() - t0
    grown = _rss_bytes() - rss0
    peak = _peak_rss_bytes() - rss0 if peak_ok else None

    sweep = []
    for ef in EFS if searched else ():
        set_ef(ef)
        search(query_rows[0])  # warm-up
        best, found, loops, spent = None, None, 0, 0.0
        while loops < repeats or spent < MIN_LOOP_SECONDS:
            out = []
            t = time.perf_counter()
            for q in query_rows:
                out.append(search(q))
            secs = time.perf_counter() - t
            loops, spent = loops + 1, spent + secs
            if best is None or secs < best:
                best = secs
            found = found or out
        sweep.append((ef, len(query_rows) / best, recall(found, truth, K)))
    print(json.dumps(dict(build_s=build_s, bytes_per_vec=grown / n,
                          peak_bytes_per_vec=None if peak is None else peak / n, sweep=sweep)))


# --- the driver --------------------------------------------------------------------

def available(lib):
    try:
        __import__(lib)
        return True
    except ImportError:
        return False


def run_lib(variant, folder, repeats):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    if VARIANTS[variant][2] == 1:
        env["OMP_NUM_THREADS"] = "1"
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", variant, "--folder", folder,
                           "--repeats", str(repeats)], capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        sys.exit(f"{variant} worker failed:\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def equal_recall(ours, other, level=None):
    """(level, ef and q/s of ours, ef and q/s of the other): each at the lowest ef of the sweep
    whose recall@10 reaches `level`; by default the highest recall both reach."""
    if level is None:
        level = min(max(r for _, _, r in ours["sweep"]), max(r for _, _, r in other["sweep"]))

    def first(res):
        return next(((ef, qps) for ef, qps, r in res["sweep"] if r >= level), None)

    return level, first(ours), first(other)


# Who is compared with whom at equal recall: korvane searched as it is with the other 4-bit
# index, korvane re-scored with the float32 graphs.
PAIRS = (("korvane", "faiss"), ("korvane-rescored", "hnswlib"), ("korvane-rescored", "faiss-flat"))
# Threaded builds beside the same library's one-thread build.
THREADED = (("korvane-threads", "korvane-rescored"), ("hnswlib-threads", "hnswlib"),
            ("faiss-flat-threads", "faiss-flat"))


def report(title, base, queries, truth, metric, fit, variants, repeats):
    with tempfile.TemporaryDirectory(prefix="korvane-hnsw-bench-") as folder:
        np.save(os.path.join(folder, "base.npy"), np.ascontiguousarray(base, dtype=np.float32))
        np.save(os.path.join(folder, "queries.npy"), np.ascontiguousarray(queries, dtype=np.float32))
        np.save(os.path.join(folder, "truth.npy"), np.ascontiguousarray(truth[:, :K]))
        json.dump(dict(metric=metric, fit=fit), open(os.path.join(folder, "meta.json"), "w"))
        results = {}
        for v in variants:
            t0 = time.perf_counter()
            results[v] = run_lib(v, folder, repeats)
            print(f"  ({LABELS[v]}: {time.perf_counter() - t0:.0f} s in its subprocess)", flush=True)

    searched = [v for v in variants if results[v]["sweep"]]
    header = ["ef_search"]
    for v in searched:
        header += [f"{LABELS[v]} q/s", "recall@10"]
    rows = []
    for i, ef in enumerate(EFS):
        cells = [ef]
        for v in searched:
            _, qps, rec = results[v]["sweep"][i]
            cells += [f"{qps:,.0f}", f"{rec:.4f}"]
        rows.append(cells)
    print_table(title, header, rows)

    def mb(x):
        return "-" if x is None else f"{x:,.0f}"

    ref = results["korvane"]["build_s"]
    rows = []
    for v in variants:
        r = results[v]
        threads = VARIANTS[v][2]
        rows.append([LABELS[v], "every core" if threads == 0 else threads, f"{r['build_s']:.2f}",
                     f"{ref / r['build_s']:.2f}", mb(r["bytes_per_vec"]), mb(r["peak_bytes_per_vec"])])
    print_table(f"  build and memory (M 16, ef_construction 200; every core = {os.cpu_count()} here)",
                ("index", "threads", "build s", "korvane one-thread s / this", "bytes/vec after build",
                 "peak bytes/vec while building"), rows)
    for threaded, one in THREADED:
        if threaded in results and one in results:
            print(f"  {LABELS[threaded]}: {results[one]['build_s'] / results[threaded]['build_s']:.2f}x "
                  f"the one-thread build's speed")

    for ours, other in PAIRS:
        if ours not in results or other not in results:
            continue
        for level in (None, 0.99):
            lv, a, b = equal_recall(results[ours], results[other], level)
            if a is None or b is None:
                print(f"  recall@10 {lv:.4f}: not reached by {'both' if a is None and b is None else LABELS[ours] if a is None else LABELS[other]}")
                continue
            print(f"  q/s at recall@10 >= {lv:.4f}: {LABELS[ours]} {a[1]:,.0f} (ef {a[0]}), {LABELS[other]} "
                  f"{b[1]:,.0f} (ef {b[0]}), ratio {a[1] / b[1]:.2f}")
    sys.stdout.flush()


def synthetic(n, dim, n_queries, spread, libs, repeats):
    base, queries = clustered(n, dim, n_queries, spread=spread, seed=dim)
    base, queries = normalise(base), normalise(queries)
    truth = exact_topk(base, queries, K, "ip")
    sims = np.einsum("qd,qkd->qk", queries, base[truth])
    report(f"Gaussian mixture (1,000 clusters, spread {spread}), {n:,} x {dim}, cosine, {n_queries:,} queries, "
           f"k={K}; exact cosine of 1st / 10th neighbour {sims[:, 0].mean():.3f} / {sims[:, 9].mean():.3f}",
           base, queries, truth, "cosine", False, libs, repeats)


def real(name, libs, repeats):
    load = load_shared()
    base, queries, gt_ids, _, metric = load.load(name)
    fit = metric == "l2"
    report(f"{name}: {len(base):,} x {base.shape[1]}, {metric}, {len(queries):,} queries, k={K}, own exact ground "
           f"truth" + ("; korvane fits its standardization on the base" if fit else ""),
           base, queries, gt_ids, metric, fit, libs, repeats)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n128", type=int, default=100_000, help="mixture vectors at dim 128")
    ap.add_argument("--n768", type=int, default=100_000, help="mixture vectors at dim 768")
    ap.add_argument("--queries", type=int, default=1_000, help="mixture queries")
    ap.add_argument("--spread", type=float, default=0.7)
    ap.add_argument("--repeats", type=int, default=2, help="timed query loops per ef (at least; more until 0.5 s is spent); the fastest counts")
    ap.add_argument("--quick", action="store_true", help="5,000 / 3,000 vectors and 200 queries")
    ap.add_argument("--skip-real", action="store_true")
    ap.add_argument("--sets", default="128,768,sift,glove", help="comma-separated subset of: 128, 768, sift, glove")
    ap.add_argument("--worker", choices=tuple(VARIANTS), help=argparse.SUPPRESS)
    ap.add_argument("--variants", help="comma-separated subset of: " + ", ".join(VARIANTS))
    ap.add_argument("--folder", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        worker(args.worker, args.folder, args.repeats)
        return
    if args.quick:
        args.n128, args.n768, args.queries = 5_000, 3_000, 200

    libs = [lib for lib in LIBS if available(lib)]
    if "korvane" not in libs:
        sys.exit("korvane is not importable (PYTHONPATH=build/python)")
    for lib in LIBS:
        if lib not in libs:
            print(f"({lib} not importable: its rows are omitted)")
    wanted = args.variants.split(",") if args.variants else list(VARIANTS)
    libs = [v for v in wanted if VARIANTS[v][0] in libs]
    if "korvane" not in libs:
        libs.insert(0, "korvane")
    print(f"M {M}, ef_construction {EF_CONSTRUCTION}, one query per search call on one thread; q/s from the fastest of "
          f"at least {args.repeats} query loops per ef (more until {MIN_LOOP_SECONDS} s is spent)")
    print("memory: resident set growth of a fresh process per library, from before the index is created to after "
          "build(), / n; peak = highest resident size while building, same start")
    if args.n768 < 100_000:
        print(f"dim 768 uses {args.n768:,} vectors instead of 100,000 to keep the run short")

    t0 = time.perf_counter()
    sets = args.sets.split(",")
    if "128" in sets:
        synthetic(args.n128, 128, args.queries, args.spread, libs, args.repeats)
    if "768" in sets:
        synthetic(args.n768, 768, args.queries, args.spread, libs, args.repeats)
    if not args.skip_real:
        if "sift" in sets:
            real("sift-ngt5k", libs, args.repeats)
        if "glove" in sets:
            real("glove25", libs, args.repeats)
    print(f"\ntotal {time.perf_counter() - t0:.0f} s")


if __name__ == "__main__":
    main()
