"""IVF-Flat: build time, then queries per second and recall@10 against exact float32
search for nprobe 1, 4, 16 and 64, on clustered synthetic data (cosine) and on real SIFT
descriptors from the shared data folder (l2, with fit on the base set). With faiss-cpu
importable, the same run builds IndexIVFScalarQuantizer(QT_4bit) with the same number
of lists on one thread and sets its rows beside ours.

It closes with the speed of the k-means assignment step on the shapes of the synthetic
build (vectors of the padded dimension against the list centroids): assign_labels from
the korvane_kmeans_bench binary against NumPy's float32 matrix product of the same
shapes on one thread, both in GFLOP/s.

    PYTHONPATH=build/python python bench/bench_ivf.py [--n 100000] [--queries 1000] [--nlist 256]
    PYTHONPATH=build/python python bench/bench_ivf.py --quick   # small sizes, for development
"""
import argparse
import csv
import importlib.util
import math
import os
import subprocess
import sys
import time

import numpy as np

import korvane
from _common import HERE, SHARED_DATA, clustered, exact_topk, load_shared, normalise, print_table, recall, timed, \
    try_faiss

NPROBES = (1, 4, 16, 64)
K = 10
# Environment variables some machines set to work around old OpenBLAS bugs; they make a
# current NumPy slower, so the matrix product is measured in a process without them.
BLAS_WORKAROUND_VARS = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")


def find_binary(name, given):
    """A C++ benchmark binary, built next to the python/ folder that holds the package."""
    if given:
        return given if os.path.exists(given) else None
    build_dir = os.path.dirname(os.path.dirname(os.path.abspath(korvane.__path__[0])))
    for folder in (build_dir, os.path.join(HERE, "..", "build")):
        path = os.path.join(folder, name)
        if os.path.exists(path):
            return path
    return None


def search_loop(search, queries, repeats, min_seconds=0.25):
    """Queries per second of a loop of one search call per query, and the ids each call
    returned. A first loop collects the ids and warms up; then the fastest of `repeats`
    timings counts, each timing running the loop as often as it takes to last about
    `min_seconds` (once for large sets, many times for small ones)."""
    t0 = time.perf_counter()
    found = [search(q) for q in queries]
    first = time.perf_counter() - t0
    passes = max(1, math.ceil(min_seconds / max(first, 1e-9)))
    best = None
    for _ in range(repeats):
        t0 = time.perf_counter()
        for _ in range(passes):
            for q in queries:
                search(q)
        secs = (time.perf_counter() - t0) / passes
        best = secs if best is None else min(best, secs)
    return len(queries) / best, found


def run_ours(base, queries, truth, metric, nlist, nprobes, repeats, fit=False):
    """Build times (fit, add, build) and {nprobe: (q/s, recall@10)} of a 4-bit IVF-Flat index."""
    index = korvane.Korvane(base.shape[1], metric=metric, bit_width=4, index_type="ivf_flat", ivf_nlist=nlist,
                            ivf_nprobe=nprobes[0])
    fit_s = timed(index.fit, base)[1] if fit else None
    _, add_s = timed(index.add, np.arange(len(base), dtype=np.uint64), base)
    _, build_s = timed(index.build)
    per_nprobe = {}
    for nprobe in nprobes:
        index.set_nprobe(nprobe)
        qps, found = search_loop(lambda q: [h["id"] for h in index.search(q, K)], list(queries), repeats)
        per_nprobe[nprobe] = (qps, recall(found, truth, K))
    return dict(fit=fit_s, add=add_s, build=build_s, padded_dim=index.padded_dim), per_nprobe


def run_faiss(faiss, base, queries, truth, metric, nlist, nprobes, repeats):
    """Build times (train, add) and {nprobe: (q/s, recall@10)} of IndexIVFScalarQuantizer(QT_4bit)."""
    d = base.shape[1]
    if metric == "ip":
        quantizer = faiss.IndexFlatIP(d)
        fm = faiss.METRIC_INNER_PRODUCT
    else:
        quantizer = faiss.IndexFlatL2(d)
        fm = faiss.METRIC_L2
    index = faiss.IndexIVFScalarQuantizer(quantizer, d, nlist, faiss.ScalarQuantizer.QT_4bit, fm)
    _, train_s = timed(index.train, base)
    _, add_s = timed(index.add, base)
    per_nprobe = {}
    singles = [queries[i:i + 1] for i in range(len(queries))]
    for nprobe in nprobes:
        index.nprobe = nprobe
        qps, found = search_loop(lambda q: index.search(q, K)[1][0], singles, repeats)
        per_nprobe[nprobe] = (qps, recall(found, truth, K))
    settings = (f"faiss {faiss.__version__} ({faiss.get_compile_options().strip()}), "
                f"by_residual={bool(index.by_residual)}, k-means {index.cp.niter} iterations on at most "
                f"{index.cp.max_points_per_centroid} points per list, "
                f"{index.code_size} code bytes/vec")
    return dict(train=train_s, add=add_s, settings=settings), per_nprobe


def report(title, base, queries, truth, ours_metric, faiss_metric, nlist, nprobes, faiss, repeats, fit=False):
    builds = []
    times, ours = run_ours(base, queries, truth, ours_metric, nlist, nprobes, repeats, fit=fit)
    fit_cell = f"{times['fit']:.2f}" if fit else "-"
    builds.append(("korvane IVF-Flat 4-bit", fit_cell, f"{times['add']:.2f}", f"{times['build']:.2f}",
                   f"{times['add'] + times['build']:.2f}"))
    theirs = None
    if faiss is not None:
        ftimes, theirs = run_faiss(faiss, base, queries, truth, faiss_metric, nlist, nprobes, repeats)
        builds.append(("faiss IVFSQ QT_4bit (1 thread)", "-", f"{ftimes['add']:.2f}", f"{ftimes['train']:.2f}",
                       f"{ftimes['add'] + ftimes['train']:.2f}"))
    print_table(f"{title}\nbuild", ("index", "fit s", "add s", "build / train s", "add + build s"), builds)

    rows = []
    for nprobe in nprobes:
        qps, rec = ours[nprobe]
        cells = [nprobe, f"{qps:,.1f}", f"{rec:.3f}"]
        if theirs is not None:
            fqps, frec = theirs[nprobe]
            cells += [f"{fqps:,.1f}", f"{frec:.3f}", f"{qps / fqps:.2f}", f"{rec - frec:+.3f}"]
        else:
            cells += ["-"] * 4
        rows.append(cells)
    print_table("search (one call per query, 1 thread)",
                ("nprobe", "korvane q/s", "korvane recall@10", "faiss q/s", "faiss recall@10",
                 "q/s korvane / faiss", "recall korvane - faiss"), rows)
    print(f"  korvane: {times['padded_dim']} padded dims, 4-bit codes; q/s: fastest of {repeats} timed loops "
          f"over all queries after a first loop that gives the recall")
    if theirs is not None:
        print(f"  {ftimes['settings']}; the same queries one at a time")
    return times


def synthetic(args, faiss):
    base, queries = clustered(args.n, args.dim, args.queries, n_clusters=args.clusters, spread=args.spread,
                              seed=args.dim)
    base, queries = normalise(base), normalise(queries)
    truth, gt_s = timed(exact_topk, base, queries, K, "ip")
    first = np.einsum("ij,ij->i", queries, base[truth[:, 0]]).mean()
    tenth = np.einsum("ij,ij->i", queries, base[truth[:, K - 1]]).mean()
    times = report(f"Gaussian mixture ({args.clusters:,} clusters, spread {args.spread}), {args.n:,} x {args.dim}, "
                   f"cosine, nlist {args.nlist}, {len(queries):,} queries, k={K}; exact cosine of 1st / 10th "
                   f"neighbour {first:.3f} / {tenth:.3f} (ground truth {gt_s:.1f} s)",
                   base, queries, truth, "cosine", "ip", args.nlist, NPROBES, faiss, args.repeats)
    return times["padded_dim"]


def sift(args, faiss):
    if not os.path.isdir(SHARED_DATA):
        print(f"\n(shared data folder {SHARED_DATA} not found: SIFT section skipped)")
        return
    load = load_shared()
    base, queries, gt_ids, _, metric = load.load("sift-ngt5k")
    assert metric == "l2", metric
    base, queries = np.ascontiguousarray(base, np.float32), np.ascontiguousarray(queries, np.float32)
    nlist = args.sift_nlist
    report(f"SIFT descriptors (sift-ngt5k), {len(base):,} x {base.shape[1]}, l2, fit on the base set, nlist {nlist} "
           f"(sqrt(n) = {math.sqrt(len(base)):.0f}), {len(queries)} queries, k={K}, the set's own exact ground truth",
           base, queries, gt_ids, "l2", "l2", nlist, NPROBES, faiss, args.repeats, fit=True)


def matmul_seconds(n, dim, k, repeats):
    """Fastest of `repeats` float32 products X @ C.T (X: n x dim, C: k rows of X) on one thread."""
    from threadpoolctl import threadpool_info, threadpool_limits

    rng = np.random.default_rng(1)
    x = rng.standard_normal((n, dim), dtype=np.float32)
    c = np.ascontiguousarray(x[rng.choice(n, k, replace=False)])
    with threadpool_limits(1):
        blas = [f"{i.get('internal_api')} {i.get('version')} {i.get('architecture', '')}, "
                f"{i.get('num_threads')} thread(s)" for i in threadpool_info() if i.get("user_api") == "blas"]
        x @ c.T  # warm-up
        best = None
        for _ in range(repeats):
            _, secs = timed(np.matmul, x, c.T)
            best = secs if best is None else min(best, secs)
    return best, "; ".join(blas)


def numpy_matmul_in_child(n, dim, k, repeats):
    """matmul_seconds in a fresh process whose environment lacks BLAS_WORKAROUND_VARS."""
    env = {name: value for name, value in os.environ.items() if name not in BLAS_WORKAROUND_VARS}
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--matmul-child", f"{n},{dim},{k},{repeats}"],
                         capture_output=True, text=True, check=True, env=env).stdout
    rec = next(csv.DictReader(out.splitlines()))
    return float(rec["best_s"]), rec["blas"]


def kmeans_assignment(args, dim):
    n, k, repeats = args.kmeans_n, args.nlist, args.kmeans_repeats
    flops = 2.0 * n * k * dim
    binary = find_binary("korvane_kmeans_bench", args.kmeans_bin)
    rows = []
    ours_gflops = None
    if binary is None:
        print("\n(korvane_kmeans_bench not found: make build, or pass --kmeans-bin)")
    else:
        out = subprocess.run([binary, "--n", str(n), "--dim", str(dim), "--k", str(k), "--metric", "dot",
                              "--repeats", str(repeats), "--csv"], capture_output=True, text=True, check=True).stdout
        rec = next(csv.DictReader(out.splitlines()))
        ours_gflops = float(rec["gflops"])
        rows.append((f"korvane assign_labels ({rec['kernel']})", f"{float(rec['best_s']):.4f}", f"{ours_gflops:.1f}",
                     ""))
    blas = None
    if importlib.util.find_spec("threadpoolctl") is None:
        print("\n(threadpoolctl not importable: pip install threadpoolctl; NumPy row omitted)")
    else:
        secs, blas = numpy_matmul_in_child(n, dim, k, repeats)
        numpy_gflops = flops / secs * 1e-9
        rows.append(("NumPy float32 X @ C.T (1 thread)", f"{secs:.4f}", f"{numpy_gflops:.1f}",
                     f"{ours_gflops / numpy_gflops:.2f}" if ours_gflops is not None else "-"))
    if not rows:
        return
    print_table(f"k-means assignment: {n:,} vectors x {k} centroids, dim {dim} (padded), dot; "
                f"2*n*k*dim = {flops / 1e9:.1f} GFLOP per pass, fastest of {repeats} passes",
                ("step", "seconds", "GFLOP/s", "korvane / numpy"), rows)
    print("  korvane: scores against every centroid and picks the best label; NumPy: the product alone")
    if blas is None:
        return
    present = [f"{v}={os.environ[v]}" for v in BLAS_WORKAROUND_VARS if v in os.environ]
    print(f"  NumPy BLAS: {blas}; measured in a child process without {' and '.join(BLAS_WORKAROUND_VARS)} "
          f"({'removed: ' + ', '.join(present) if present else 'neither was set here'})")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--dim", type=int, default=768)
    ap.add_argument("--queries", type=int, default=1_000)
    ap.add_argument("--nlist", type=int, default=256)
    ap.add_argument("--clusters", type=int, default=64,
                    help="Gaussian mixture components; fewer than nlist, so a cluster spans several lists")
    ap.add_argument("--spread", type=float, default=1.0, help="cluster spread (1.0: broad clusters)")
    ap.add_argument("--repeats", type=int, default=3, help="timed search loops per nprobe; the fastest counts")
    ap.add_argument("--sift-nlist", type=int, default=64, help="lists for the 4,900 SIFT descriptors")
    ap.add_argument("--kmeans-n", type=int, default=20_000, help="vectors in the k-means assignment section")
    ap.add_argument("--kmeans-repeats", type=int, default=5)
    ap.add_argument("--kmeans-bin", default=None, help="korvane_kmeans_bench (default: found in the build dir)")
    ap.add_argument("--skip-sift", action="store_true")
    ap.add_argument("--quick", action="store_true", help="small sizes for development")
    ap.add_argument("--matmul-child", default=None, help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.matmul_child:
        n, dim, k, repeats = (int(v) for v in args.matmul_child.split(","))
        secs, blas = matmul_seconds(n, dim, k, repeats)
        out = csv.writer(sys.stdout)
        out.writerow(("best_s", "blas"))
        out.writerow((f"{secs:.6f}", blas))
        return

    if args.quick:
        args.n, args.queries, args.nlist = 5_000, 50, 64
        args.kmeans_n, args.kmeans_repeats = 2_000, 3

    faiss = try_faiss()
    if faiss is None:
        print("(faiss-cpu not importable: peer columns left empty)")

    padded_dim = synthetic(args, faiss)
    if not args.skip_sift:
        sift(args, faiss)
    kmeans_assignment(args, padded_dim)


if __name__ == "__main__":
    main()
