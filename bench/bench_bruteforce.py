"""Brute-force search: queries per second and recall@10 against exact float32 search,
for 4-bit, mixed (mixed_ratio 0.5) and 2-bit layouts, on clustered synthetic data and
on Fashion-MNIST (metric "l2", with and without fit). With faiss-cpu importable, the
same run also times IndexScalarQuantizer(QT_4bit) and IndexFlat on one thread.

It opens with the scan cost per row: a 4-bit cosine index of 10,000 rows at dims 25, 128
and 768, one query per search call, set against the bare four-row 4-bit kernel on rows
of the same size (from the korvane_kernels_bench binary) and against a one-thread faiss
IndexFlatIP, one query per call and all queries in one batched call.

    PYTHONPATH=build/python python bench/bench_bruteforce.py [--n 100000] [--queries 200]
    PYTHONPATH=build/python python bench/bench_bruteforce.py --scan-only   # that section alone
"""
import argparse
import csv
import os
import subprocess
import time

import numpy as np

import korvane
from _common import (HERE, clustered, ensure_fashion_mnist, exact_topk, load_shared, normalise, print_table,
                     recall, timed, try_faiss)

LAYOUTS = [("4-bit", dict(bit_width=4)), ("mixed 0.5", dict(mixed_ratio=0.5)), ("2-bit", dict(bit_width=2))]
SCAN_DIMS = (25, 128, 768)


def run_ours(base, queries, truth, metric, layout_kw, fit_sample=None, k=10):
    index = korvane.Korvane(base.shape[1], metric=metric, **layout_kw)
    if fit_sample is not None:
        index.fit(fit_sample)
    ids = np.arange(len(base), dtype=np.uint64)
    _, add_s = timed(index.add, ids, base)
    index.search(queries[0], k)  # warm-up
    found = []

    def go():
        for q in queries:
            found.append([h["id"] for h in index.search(q, k)])

    _, secs = timed(go)
    bytes_per_vec = index.packed_bytes_per_vec + 4 + 8  # codes, norm, id
    return len(queries) / secs, recall(found, truth, k), add_s, bytes_per_vec


def run_faiss(faiss, base, queries, truth, metric, kind, k=10):
    d = base.shape[1]
    fm = faiss.METRIC_INNER_PRODUCT if metric == "ip" else faiss.METRIC_L2
    if kind == "sq4":
        index = faiss.IndexScalarQuantizer(d, faiss.ScalarQuantizer.QT_4bit, fm)
        index.train(base)
        bytes_per_vec = index.code_size
    else:
        index = faiss.IndexFlatIP(d) if metric == "ip" else faiss.IndexFlatL2(d)
        bytes_per_vec = 4 * d
    _, add_s = timed(index.add, base)
    index.search(queries[:1], k)
    (_, found), secs = timed(index.search, queries, k)
    return len(queries) / secs, recall(found, truth, k), add_s, bytes_per_vec


def report(title, base, queries, truth, metric, faiss, fit_sample=None):
    rows = []
    ours_metric = "cosine" if metric == "ip" else "l2"
    ours_4bit_qps = None
    variants = [(name, kw, None) for name, kw in LAYOUTS]
    if fit_sample is not None:
        variants += [(name + " +fit", kw, fit_sample) for name, kw in LAYOUTS]
    for name, kw, sample in variants:
        qps, rec, add_s, bpv = run_ours(base, queries, truth, ours_metric, kw, sample)
        if name == "4-bit":
            ours_4bit_qps = qps
        rows.append((f"korvane {name}", f"{qps:,.1f}", f"{rec:.3f}", f"{add_s:.2f}", bpv, ""))
    if faiss is not None:
        for kind, label in (("sq4", "faiss SQ QT_4bit"), ("flat", "faiss IndexFlat")):
            qps, rec, add_s, bpv = run_faiss(faiss, base, queries, truth, metric, kind)
            rows.append((f"{label} (1 thread)", f"{qps:,.1f}", f"{rec:.3f}", f"{add_s:.2f}", bpv,
                         f"{ours_4bit_qps / qps:.2f}"))
    print_table(title, ("index", "queries/s", "recall@10", "add s", "bytes/vec", "korvane 4-bit / this"), rows)


def find_kernels_bin(given):
    """The kernel benchmark is built next to the python/ folder that holds the package."""
    if given:
        return given if os.path.exists(given) else None
    build_dir = os.path.dirname(os.path.dirname(os.path.abspath(korvane.__path__[0])))
    for folder in (build_dir, os.path.join(HERE, "..", "build")):
        path = os.path.join(folder, "korvane_kernels_bench")
        if os.path.exists(path):
            return path
    return None


def four_row_4bit_kernel(binary, row_sizes, rows, repeats=7):
    """{row bytes: (kernel name, ns per row)} for the four-row 4-bit kernel a search calls on this CPU."""
    out = subprocess.run([binary, "--bytes", ",".join(str(b) for b in row_sizes), "--rows", str(rows),
                          "--repeats", str(repeats), "--csv"], capture_output=True, text=True, check=True).stdout
    found = {}
    for rec in csv.DictReader(out.splitlines()):
        if rec["bits"] == "4" and rec["rows_at_once"] == "4" and rec["dispatched"] == "1":
            found[int(rec["row_bytes"])] = (rec["kernel"], float(rec["ns_per_row"]))
    return found


def best_loop_seconds(search, queries, repeats):
    """Fastest of `repeats` timed loops, each making one search call per query."""
    search(queries[0])  # warm-up
    best = None
    for _ in range(repeats):
        t0 = time.perf_counter()
        for q in queries:
            search(q)
        secs = time.perf_counter() - t0
        best = secs if best is None else min(best, secs)
    return best


def scan_cost(faiss, n, n_queries, kernels_bin, repeats, k=10):
    """ns per row of a single-query 4-bit cosine scan, its kernel share, and faiss IndexFlatIP."""
    binary = find_kernels_bin(kernels_bin)
    row_sizes = [korvane.Korvane(dim, metric="cosine", bit_width=4).packed_bytes_per_vec for dim in SCAN_DIMS]
    kernels = four_row_4bit_kernel(binary, row_sizes, n) if binary else {}
    rows, kernel_names = [], set()
    for dim, row_bytes in zip(SCAN_DIMS, row_sizes):
        base, queries = clustered(n, dim, n_queries, seed=dim)
        base, queries = normalise(base), normalise(queries)
        per_row = 1e9 / (len(queries) * n)

        index = korvane.Korvane(dim, metric="cosine", bit_width=4)
        index.add(np.arange(n, dtype=np.uint64), base)
        ours = best_loop_seconds(lambda q: index.search(q, k), list(queries), repeats) * per_row
        cells = [dim, row_bytes, f"{ours:.2f}"]

        if row_bytes in kernels:
            name, kernel = kernels[row_bytes]
            kernel_names.add(name)
            cells += [f"{kernel:.2f}", f"{ours - kernel:.2f}"]
        else:
            cells += ["-", "-"]

        if faiss is not None:
            flat = faiss.IndexFlatIP(dim)
            flat.add(base)
            single = best_loop_seconds(lambda q: flat.search(q, k), [queries[i:i + 1] for i in range(len(queries))],
                                       repeats) * per_row
            flat.search(queries, k)
            batched = None
            for _ in range(repeats):
                _, secs = timed(flat.search, queries, k)
                batched = secs if batched is None else min(batched, secs)
            batched *= per_row
            cells += [f"{single:.2f}", f"{batched:.2f}", f"{single / ours:.2f}"]
        else:
            cells += ["-", "-", "-"]
        rows.append(cells)

    print_table(f"scan cost per row: Gaussian mixture, {n:,} x ({', '.join(map(str, SCAN_DIMS))}), cosine, 4-bit, "
                f"k={k}, {n_queries} queries",
                ("dim", "row bytes", "scan ns/row", "kernel ns/row", "fixed ns/row", "faiss ns/row (single)",
                 "faiss ns/row (batched)", "faiss single / ours"), rows)
    print(f"  scan: a loop of one search call per query, fastest of {repeats} loops, / (queries x rows)")
    if binary is None:
        print("  kernel: korvane_kernels_bench not found (make build, or pass --kernels-bin)")
    else:
        print(f"  kernel: {', '.join(sorted(kernel_names))} alone on {n:,} rows of that size, fastest of 7 passes")
    print("  fixed = scan - kernel: query transform, norms, ids, top-k and the call itself, per row")
    if faiss is None:
        print("  faiss: not importable (pip install faiss-cpu)")
    else:
        print("  faiss: IndexFlatIP on the same unit vectors, float32, 1 thread; single = one query per search call "
              "like ours, batched = all queries in one call")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--dims", default="768,1536")
    # Cluster spread: 0.35 makes tight clusters (the 10 nearest neighbours lie within
    # ~0.006 cosine of each other), 0.7 moderate ones (~0.016); both are reported.
    ap.add_argument("--spreads", default="0.35,0.7")
    ap.add_argument("--skip-fashion", action="store_true")
    ap.add_argument("--scan-only", action="store_true", help="run only the scan cost per row section")
    ap.add_argument("--scan-n", type=int, default=10_000, help="rows in the scan cost per row section")
    ap.add_argument("--scan-repeats", type=int, default=5, help="timed loops per row there; the fastest counts")
    ap.add_argument("--kernels-bin", default=None, help="korvane_kernels_bench (default: found in the build dir)")
    args = ap.parse_args()
    faiss = try_faiss()
    if faiss is None:
        print("(faiss-cpu not importable: peer rows omitted)")

    scan_cost(faiss, args.scan_n, args.queries, args.kernels_bin, args.scan_repeats)
    if args.scan_only:
        return

    for dim in (int(d) for d in args.dims.split(",")):
        for spread in (float(s) for s in args.spreads.split(",")):
            base, queries = clustered(args.n, dim, args.queries, spread=spread, seed=dim)
            base, queries = normalise(base), normalise(queries)
            truth = exact_topk(base, queries, 10, "ip")
            sims = np.sort(queries @ base.T, axis=1)[:, ::-1]
            report(f"Gaussian mixture (1,000 clusters, spread {spread}), {args.n:,} x {dim}, cosine, "
                   f"{args.queries} queries, k=10; exact cosine of 1st / 10th neighbour "
                   f"{sims[:, 0].mean():.3f} / {sims[:, 9].mean():.3f}",
                   base, queries, truth, "ip", faiss)

    if args.skip_fashion:
        return
    root = ensure_fashion_mnist()
    if root is None:
        print("\n(Fashion-MNIST unavailable: install Debian's dataset-fashion-mnist)")
        return
    load = load_shared()
    base, queries, gt_ids, _, _ = load.fashion_mnist_full(root)
    queries = np.ascontiguousarray(queries[: args.queries])
    truth = gt_ids[: args.queries]
    rng = np.random.default_rng(0)
    sample = base[rng.choice(len(base), 5000, replace=False)]
    report(f"Fashion-MNIST {len(base):,} x {base.shape[1]}, l2, {len(queries)} queries, k=10 (fit on 5,000 images)",
           base, queries, truth, "l2", faiss, fit_sample=sample)


if __name__ == "__main__":
    main()
