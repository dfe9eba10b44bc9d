"""Brute-force search: queries per second and recall@10 against exact float32 search,
for 4-bit, mixed (mixed_ratio 0.5) and 2-bit layouts, on clustered synthetic data and
on Fashion-MNIST (metric "l2", with and without fit). With faiss-cpu importable, the
same run also times IndexScalarQuantizer(QT_4bit) and IndexFlat on one thread.

    PYTHONPATH=build/python python bench/bench_bruteforce.py [--n 100000] [--queries 200]
"""
import argparse

import numpy as np

import korvane
from _common import (clustered, ensure_fashion_mnist, exact_topk, load_shared, normalise, print_table, recall,
                     timed, try_faiss)

LAYOUTS = [("4-bit", dict(bit_width=4)), ("mixed 0.5", dict(mixed_ratio=0.5)), ("2-bit", dict(bit_width=2))]


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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--dims", default="768,1536")
    # Cluster spread: 0.35 makes tight clusters (the 10 nearest neighbours lie within
    # ~0.006 cosine of each other), 0.7 moderate ones (~0.016); both are reported.
    ap.add_argument("--spreads", default="0.35,0.7")
    ap.add_argument("--skip-fashion", action="store_true")
    args = ap.parse_args()
    faiss = try_faiss()
    if faiss is None:
        print("(faiss-cpu not importable: peer rows omitted)")

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
