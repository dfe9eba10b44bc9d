"""HNSW: build time, memory per vector and a search sweep (queries per second and recall@10
against exact float search for ef_search 16, 32, 64, 128, 256), for korvane's 4-bit HNSW
index next to hnswlib (float32 graph) and faiss IndexHNSWSQ(QT_4bit) when those are
importable. Every index uses M = 16 and ef_construction = 200 and runs on one thread; each
search call takes one query.

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

    PYTHONPATH=build/python python bench/bench_hnsw.py [--n128 100000] [--n768 30000] [--queries 1000]
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

EFS = (16, 32, 64, 128, 256)
M = 16
EF_CONSTRUCTION = 200
K = 10
MIN_LOOP_SECONDS = 0.5  # small query sets are looped until this much time is spent on them
LIBS = ("korvane", "hnswlib", "faiss")
LABELS = {"korvane": "korvane 4-bit", "hnswlib": "hnswlib float32", "faiss": "faiss HNSWSQ 4-bit"}


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


def _make_korvane(dim, metric, fit_sample):
    import korvane

    index = korvane.Korvane(dim, metric="cosine" if metric == "cosine" else "l2", index_type="hnsw",
                            hnsw_m=M, hnsw_ef_construction=EF_CONSTRUCTION)

    def build(base):
        if fit_sample is not None:
            index.fit(fit_sample)
        index.add(np.arange(len(base), dtype=np.uint64), base)
        index.build()
        if len(index) != len(base):
            sys.exit(f"korvane holds {len(index)} vectors after adding {len(base)}")

    def search(q):
        return [h["id"] for h in index.search(q, K)]

    return index, build, index.set_ef_search, search


def _make_hnswlib(dim, metric, n):
    import hnswlib

    index = hnswlib.Index(space="cosine" if metric == "cosine" else "l2", dim=dim)
    index.set_num_threads(1)

    def build(base):
        index.init_index(max_elements=n, M=M, ef_construction=EF_CONSTRUCTION, random_seed=100)
        index.add_items(base, np.arange(len(base)), num_threads=1)

    def search(q):
        return index.knn_query(q, K, num_threads=1)[0][0]

    return index, build, index.set_ef, search


def _make_faiss(dim, metric):
    import faiss

    faiss.omp_set_num_threads(1)
    fm = faiss.METRIC_INNER_PRODUCT if metric == "cosine" else faiss.METRIC_L2
    index = faiss.IndexHNSWSQ(dim, faiss.ScalarQuantizer.QT_4bit, M, fm)
    index.hnsw.efConstruction = EF_CONSTRUCTION

    def build(base):
        index.train(base)
        index.add(base)

    def set_ef(ef):
        index.hnsw.efSearch = ef

    def search(q):
        return index.search(q[None, :], K)[1][0]

    return index, build, set_ef, search


def worker(lib, folder, repeats):
    """Builds one index on the saved data set, sweeps ef_search, prints one JSON line."""
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
            return _make_korvane(dim, metric, sample)
        if lib == "hnswlib":
            return _make_hnswlib(dim, metric, rows)
        return _make_faiss(dim, metric)

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
    for ef in EFS:
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


def run_lib(lib, folder, repeats):
    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", lib, "--folder", folder,
                           "--repeats", str(repeats)], capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        sys.exit(f"{lib} worker failed:\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def equal_recall(ours, other):
    """(level, ef and q/s of ours, ef and q/s of the other): the highest recall@10 both reach
    in the sweep, each at the lowest ef that reaches it."""
    level = min(max(r for _, _, r in ours["sweep"]), max(r for _, _, r in other["sweep"]))

    def first(res):
        return next((ef, qps) for ef, qps, r in res["sweep"] if r >= level)

    return level, first(ours), first(other)


def report(title, base, queries, truth, metric, fit, libs, repeats):
    with tempfile.TemporaryDirectory(prefix="korvane-hnsw-bench-") as folder:
        np.save(os.path.join(folder, "base.npy"), np.ascontiguousarray(base, dtype=np.float32))
        np.save(os.path.join(folder, "queries.npy"), np.ascontiguousarray(queries, dtype=np.float32))
        np.save(os.path.join(folder, "truth.npy"), np.ascontiguousarray(truth[:, :K]))
        json.dump(dict(metric=metric, fit=fit), open(os.path.join(folder, "meta.json"), "w"))
        results = {}
        for lib in libs:
            t0 = time.perf_counter()
            results[lib] = run_lib(lib, folder, repeats)
            print(f"  ({LABELS[lib]}: {time.perf_counter() - t0:.0f} s in its subprocess)", flush=True)

    ours = results["korvane"]
    peers = [lib for lib in libs if lib != "korvane"]

    header = ["ef_search", "korvane q/s", "korvane recall@10"]
    for lib in peers:
        header += [f"{lib} q/s", f"{lib} recall@10"]
    header += [f"korvane / {lib} q/s" for lib in peers]
    rows = []
    for i, ef in enumerate(EFS):
        _, qps, rec = ours["sweep"][i]
        cells = [ef, f"{qps:,.0f}", f"{rec:.4f}"]
        for lib in peers:
            _, pq, pr = results[lib]["sweep"][i]
            cells += [f"{pq:,.0f}", f"{pr:.4f}"]
        cells += [f"{qps / results[lib]['sweep'][i][1]:.2f}" for lib in peers]
        rows.append(cells)
    print_table(title, header, rows)

    def mb(x):
        return "-" if x is None else f"{x:,.0f}"

    rows = []
    for lib in libs:
        r = results[lib]
        cells = [LABELS[lib], f"{r['build_s']:.2f}", mb(r["bytes_per_vec"]), mb(r["peak_bytes_per_vec"])]
        if lib == "korvane":
            cells += ["", ""]
        else:
            cells += [f"{ours['build_s'] / r['build_s']:.2f}", f"{ours['bytes_per_vec'] / r['bytes_per_vec']:.2f}"]
        rows.append(cells)
    print_table("  build and memory (M 16, ef_construction 200, one thread)",
                ("index", "build s", "bytes/vec after build", "peak bytes/vec while building",
                 "korvane / this build s", "korvane / this bytes/vec"), rows)

    for lib in peers:
        level, (ef_o, q_o), (ef_p, q_p) = equal_recall(ours, results[lib])
        print(f"  q/s at equal recall@10 ({level:.4f}, the highest both korvane and {lib} reach): "
              f"korvane {q_o:,.0f} (ef {ef_o}), {lib} {q_p:,.0f} (ef {ef_p}), korvane / {lib} {q_o / q_p:.2f}")
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
    ap.add_argument("--n768", type=int, default=30_000, help="mixture vectors at dim 768")
    ap.add_argument("--queries", type=int, default=1_000, help="mixture queries")
    ap.add_argument("--spread", type=float, default=0.7)
    ap.add_argument("--repeats", type=int, default=2, help="timed query loops per ef (at least; more until 0.5 s is spent); the fastest counts")
    ap.add_argument("--quick", action="store_true", help="5,000 / 3,000 vectors and 200 queries")
    ap.add_argument("--skip-real", action="store_true")
    ap.add_argument("--worker", choices=LIBS, help=argparse.SUPPRESS)
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
    print(f"M {M}, ef_construction {EF_CONSTRUCTION}, one thread, one query per search call; q/s from the fastest of "
          f"at least {args.repeats} query loops per ef (more until {MIN_LOOP_SECONDS} s is spent)")
    print("memory: resident set growth of a fresh process per library, from before the index is created to after "
          "build(), / n; peak = highest resident size while building, same start")
    if args.n768 < 100_000:
        print(f"dim 768 uses {args.n768:,} vectors instead of 100,000 to keep the run short")

    t0 = time.perf_counter()
    synthetic(args.n128, 128, args.queries, args.spread, libs, args.repeats)
    synthetic(args.n768, 768, args.queries, args.spread, libs, args.repeats)
    if not args.skip_real:
        real("sift-ngt5k", libs, args.repeats)
        real("glove25", libs, args.repeats)
    print(f"\ntotal {time.perf_counter() - t0:.0f} s")


if __name__ == "__main__":
    main()
