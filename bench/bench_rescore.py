"""Re-scoring from kept vectors: recall@10, queries per second and bytes per vector of
4-bit BruteForce and Hnsw indexes without kept vectors and with float32, float16 or int8
kept vectors, re-scoring off (oversampling 0) and at oversampling 1, 2, 4 and 8, on
SIFT (l2, fit), GloVe-25 (cosine), Fashion-MNIST (l2, fit) and a clustered 768-d set
(cosine; 30,000 rows by default, see --n). With faiss-cpu importable,
IndexScalarQuantizer(QT_8bit) and IndexFlat run in the same process on one thread
beside them.

Every search is one call for one query on one thread. A first loop over the queries gives
the recall; then every configuration of a set is timed once per round, over a few rounds,
and its fastest round counts. Times are the process's CPU time, so that waiting for a
core on a shared machine does not count. Bytes per vector count what each row stores:
codes, id, norm and kept row (faiss: its code, ids being positions); graph links are not
counted for either library.

    PYTHONPATH=build/python python bench/bench_rescore.py            # every set
    PYTHONPATH=build/python python bench/bench_rescore.py --quick    # small sizes, for development

--input-rows measures kept input rows instead: Fashion-MNIST (the full 60,000 x 784 set
from Debian's dataset-fashion-mnist, installed when missing; --fashion 10k takes the
shared 10,000-row one), l2 fit on a sample of the base, the uint8 images added as they
are with keep_vectors("input"), 2-bit codes and mixed ones (--n4-dims), BruteForce and
Hnsw: recall@10 against the set's ground truth at oversampling 4, 10 and 20, q/s, and the
bytes of a vector (codes, kept row, norm, id) against the target of recall@10 >= 0.99
within 1.5 x 784 bytes.

    PYTHONPATH=build/python python bench/bench_rescore.py --input-rows
    PYTHONPATH=build/python python bench/bench_rescore.py --input-rows --fashion 10k --n4-dims 0,256
"""
import argparse
import math
import os
import platform
import time

import numpy as np

import korvane
from _common import (SHARED_DATA, clustered, ensure_fashion_mnist, exact_topk, load_shared, normalise, print_table,
                     recall, timed, try_faiss)

K = 10
DTYPES = (None, "float32", "float16", "int8")
OVERSAMPLINGS = (0, 1, 2, 4, 8)
# The targets for a kept int8 or float16 index at oversampling 4.
TARGET_OVERSAMPLING = 4
TARGET_RECALL = 0.99
TARGET_QPS_RATIO = 0.85


def kept_row_bytes(dtype, padded_dim):
    """A kept row: its norm (f32), for float16 and int8 a scale (f32), then padded_dim values."""
    if dtype is None:
        return 0
    return {"float32": 4 + 4 * padded_dim, "float16": 8 + 2 * padded_dim, "int8": 8 + padded_dim}[dtype]


def loop_seconds(search, queries, min_seconds):
    """CPU seconds of this process for one loop of one search per query: the loop runs as
    often as it takes to last about `min_seconds`, and the time is divided by that count."""
    passes, spent = 0, 0.0
    t0 = time.process_time()
    while spent < min_seconds:
        for q in queries:
            search(q)
        passes += 1
        spent = time.process_time() - t0
    return spent / passes


def build_ours(base, metric, fit, index_type, dtype, hnsw):
    kw = dict(index_type=index_type)
    if index_type == "hnsw":
        kw.update(hnsw_m=hnsw["m"], hnsw_ef_construction=hnsw["ef_construction"], hnsw_ef_search=hnsw["ef_search"])
    index = korvane.Korvane(base.shape[1], metric=metric, bit_width=4, **kw)
    if fit:
        index.fit(base)
    if dtype is not None:
        index.keep_vectors(dtype)
    _, add_s = timed(index.add, np.arange(len(base), dtype=np.uint64), base)
    _, build_s = timed(index.build)
    return index, add_s + build_s


class Config:
    """One way of answering: an index and, for ours, the oversampling it searches with."""

    def __init__(self, index_name, dtype, oversampling, index, per_vec, search):
        self.index_name, self.dtype, self.oversampling = index_name, dtype, oversampling
        self.index, self.per_vec, self._search = index, per_vec, search
        self.recall, self.seconds = None, math.inf

    def search(self, q):
        return self._search(q)

    def prepare(self):
        if self.dtype is not None:
            self.index.set_rescore(self.oversampling)


def ours(base, metric, fit, args):
    """Every (index type, dtype, oversampling) of korvane, and the build seconds."""
    configs, builds = [], {}
    for index_type in ("brute_force", "hnsw"):
        for dtype in DTYPES:
            index, secs = build_ours(base, metric, fit, index_type, dtype, args.hnsw)
            builds[(index_type, dtype)] = secs
            per_vec = index.packed_bytes_per_vec + 8 + 4 + kept_row_bytes(dtype, index.padded_dim)

            def search(q, index=index):
                return [h["id"] for h in index.search(q, K)]

            for oversampling in (OVERSAMPLINGS if dtype is not None else (0,)):
                configs.append(Config(index_type, dtype, oversampling, index, per_vec, search))
    return configs, builds


def theirs(faiss, base, metric):
    d = base.shape[1]
    if metric == "cosine":
        base = normalise(base)
    fm = faiss.METRIC_INNER_PRODUCT if metric == "cosine" else faiss.METRIC_L2
    configs = []
    for name in ("SQ8", "Flat"):
        if name == "SQ8":
            index = faiss.IndexScalarQuantizer(d, faiss.ScalarQuantizer.QT_8bit, fm)
            index.train(base)
            per_vec = index.code_size
        else:
            index = faiss.IndexFlatIP(d) if metric == "cosine" else faiss.IndexFlatL2(d)
            per_vec = 4 * d
        index.add(base)

        def search(q, index=index):
            return index.search(q, K)[1][0]

        configs.append(Config(f"faiss {name}", None, None, index, per_vec, search))
    return configs


def report(name, title, base, queries, truth, metric, fit, faiss, args):
    queries = np.ascontiguousarray(queries[:args.queries], np.float32)
    truth = truth[:len(queries)]
    base = np.ascontiguousarray(base, np.float32)
    t0 = time.perf_counter()
    configs, builds = ours(base, metric, fit, args)
    if faiss is not None:
        configs += theirs(faiss, base, metric)
    # faiss takes one query as a 1 x d matrix, normalised for cosine.
    singles = [np.ascontiguousarray(q[None, :]) for q in (normalise(queries) if metric == "cosine" else queries)]
    for c in configs:
        c.prepare()
        c.recall = recall([c.search(q) for q in (queries if c.oversampling is not None else singles)], truth, K)
    # Timed in rounds, every configuration once per round, the fastest round counting: a
    # machine busy with other work slows each configuration alike.
    for _ in range(args.repeats):
        for c in configs:
            c.prepare()
            c.seconds = min(c.seconds, loop_seconds(c.search, queries if c.oversampling is not None else singles,
                                                    args.min_seconds))
    for c in configs:
        c.qps = len(queries) / c.seconds
    off = {(c.index_name, c.dtype): c.qps for c in configs if c.oversampling == 0}
    sq8 = next((c.qps for c in configs if c.index_name == "faiss SQ8"), None)
    table = []
    for c in configs:
        mine = c.oversampling is not None
        base_qps = off.get((c.index_name, c.dtype)) if mine else None
        table.append((
            {"brute_force": "BruteForce", "hnsw": "Hnsw"}.get(c.index_name, c.index_name),
            (c.dtype or "none") if mine else "-",
            ("off" if c.oversampling == 0 else c.oversampling) if mine else "-",
            (math.ceil(K * c.oversampling) if c.oversampling else K) if mine else "-",
            f"{c.recall:.4f}",
            f"{c.qps:,.0f}",
            f"{c.qps / base_qps:.2f}" if base_qps else "-",
            f"{c.qps / sq8:.2f}" if sq8 else "-",
            c.per_vec,
        ))
    print_table(f"{title}; {len(queries)} queries, k={K} ({time.perf_counter() - t0:.0f} s)",
                ("index", "kept", "oversampling", "R", "recall@10", "q/s", "q/s / off", "q/s / faiss SQ8",
                 "bytes/vec"), table)
    print("  build (add + build) seconds: " + "; ".join(
        f"{'BruteForce' if t == 'brute_force' else 'Hnsw'} {d or 'none'} {s:.1f}" for (t, d), s in builds.items()))
    return check_targets(name, configs, sq8)


def check_targets(name, configs, sq8):
    """Lines saying which targets a kept int8 or float16 index at oversampling 4 meets."""
    lines = []
    off = {(c.index_name, c.dtype): c.qps for c in configs if c.oversampling == 0}
    for c in configs:
        if c.dtype not in ("int8", "float16") or c.oversampling != TARGET_OVERSAMPLING:
            continue
        ratio = c.qps / off[(c.index_name, c.dtype)]
        checks = [(f"recall {c.recall:.4f} >= {TARGET_RECALL}", c.recall >= TARGET_RECALL),
                  (f"q/s {ratio:.2f}x off >= {TARGET_QPS_RATIO}", ratio >= TARGET_QPS_RATIO)]
        if c.index_name == "brute_force" and sq8 is not None:
            checks.append((f"q/s {c.qps:,.0f} > faiss SQ8 {sq8:,.0f}", c.qps > sq8))
        for text, ok in checks:
            lines.append((name, {"brute_force": "BruteForce", "hnsw": "Hnsw"}[c.index_name], c.dtype, text,
                          "met" if ok else "MISSED"))
    return lines


def real_sets(args):
    if not os.path.isdir(SHARED_DATA):
        print(f"\n(shared data folder {SHARED_DATA} not found: SIFT, GloVe and Fashion-MNIST skipped)")
        return
    load = load_shared()
    for name, label, metric, fit in (("sift-ngt5k", "SIFT", "l2", True), ("glove25", "GloVe-25", "cosine", False),
                                     ("fashion-mnist-10k", "Fashion-MNIST", "l2", True)):
        base, queries, gt_ids, _, gt_metric = load.load(name)
        assert gt_metric == metric, (name, gt_metric)
        yield (label, f"{label} ({name}), {len(base):,} x {base.shape[1]}, {metric}" + (", fit on the base set" if fit
               else "") + ", the set's own exact ground truth", base, queries, gt_ids, metric, fit)


def synthetic(args):
    base, queries = clustered(args.n, args.dim, args.queries, n_clusters=args.clusters, seed=args.dim)
    truth = exact_topk(normalise(base), normalise(queries), K, "ip")
    yield ("clustered", f"Gaussian mixture ({args.clusters:,} clusters), {args.n:,} x {args.dim}, cosine, "
           f"exact float32 ground truth", base, queries, truth, "cosine", False)


INPUT_OVERSAMPLINGS = (4, 10, 20)
INPUT_TARGET_RECALL = 0.99
INPUT_TARGET_BYTES = 1.5  # times the raw vector's bytes


def input_rows(args):
    """Kept input rows on Fashion-MNIST: one table, and the configurations meeting the target."""
    load = load_shared()
    if args.fashion == "full":
        root = ensure_fashion_mnist()
        if root is None:
            raise SystemExit("the full Fashion-MNIST needs Debian's dataset-fashion-mnist package")
        base, queries, truth, _, metric = load.fashion_mnist_full(root=root, dtype=None)
    else:
        base, queries, truth, _, metric = load.fashion_mnist_10k(dtype=None)
    assert metric == "l2" and base.dtype == np.uint8
    queries = np.ascontiguousarray(queries[:args.queries], np.float32)
    truth = truth[:len(queries)]
    raw_bytes = base.shape[1] * base.itemsize
    sample = base[np.random.default_rng(0).choice(len(base), min(args.fit_sample, len(base)), replace=False)]
    print(f"Fashion-MNIST ({args.fashion}), {len(base):,} x {base.shape[1]} uint8, l2 fit on {len(sample):,} rows, "
          f"keep_vectors(\"input\"); {len(queries)} queries, k={K}; raw vector {raw_bytes} bytes, "
          f"target recall@10 >= {INPUT_TARGET_RECALL} within {INPUT_TARGET_BYTES * raw_bytes:.0f} bytes")
    table, met = [], []
    for index_type in ("brute_force", "hnsw"):
        for n4 in args.n4_dims:
            kw = dict(index_type=index_type, bit_width=2)
            if n4:
                kw["n4_dims"] = n4
            if index_type == "hnsw":
                kw.update(hnsw_m=args.hnsw["m"], hnsw_ef_construction=args.hnsw["ef_construction"],
                          hnsw_ef_search=args.hnsw["ef_search"])
            index = korvane.Korvane(base.shape[1], metric="l2", **kw)
            index.fit(sample)
            index.keep_vectors("input")
            _, add_s = timed(index.add, np.arange(len(base), dtype=np.uint64), base, threads=args.threads)
            _, build_s = timed(index.build)
            # Codes, the kept row (dim values of the type the images came in), norm (f32), id (u64).
            per_vec = index.packed_bytes_per_vec + raw_bytes + 4 + 8
            layout = f"n4_dims {n4}" if n4 else "2-bit"
            for oversampling in INPUT_OVERSAMPLINGS:
                index.set_rescore(oversampling)
                found = [[h["id"] for h in index.search(q, K)] for q in queries]
                r = recall(found, truth, K)
                seconds = min(loop_seconds(lambda q: index.search(q, K), queries, args.min_seconds)
                              for _ in range(args.repeats))
                name = {"brute_force": "BruteForce", "hnsw": "Hnsw"}[index_type]
                table.append((name, layout, oversampling, K * oversampling, f"{r:.4f}",
                              f"{len(queries) / seconds:,.0f}", per_vec, f"{per_vec / raw_bytes:.2f}",
                              f"{add_s + build_s:.1f}"))
                if r >= INPUT_TARGET_RECALL and per_vec <= INPUT_TARGET_BYTES * raw_bytes:
                    met.append(f"{name} {layout} oversampling {oversampling}")
            del index
    print_table("kept input rows", ("index", "codes", "oversampling", "R", "recall@10", "q/s", "bytes/vec",
                                    "x raw", "add+build s"), table)
    print("  target met by: " + ("; ".join(met) if met else "none"))


def main():
    ap = argparse.ArgumentParser()
    # 30,000 rather than 100,000 rows: four Hnsw builds (ef_construction 100) of 100,000 x 768
    # take most of ten minutes on one core, before any search.
    ap.add_argument("--n", type=int, default=30_000, help="rows of the clustered set")
    ap.add_argument("--dim", type=int, default=768)
    ap.add_argument("--clusters", type=int, default=1000)
    ap.add_argument("--queries", type=int, default=300, help="queries per set (at most)")
    ap.add_argument("--repeats", type=int, default=5, help="timing rounds; the fastest counts")
    ap.add_argument("--min-seconds", type=float, default=0.2, help="least length of one timed loop")
    ap.add_argument("--ef-search", type=int, default=64, help="Hnsw beam width before oversampling widens it")
    ap.add_argument("--sets", default="sift,glove,fashion,clustered")
    ap.add_argument("--quick", action="store_true", help="small sizes for development")
    ap.add_argument("--input-rows", action="store_true", help="kept input rows on Fashion-MNIST instead")
    ap.add_argument("--fashion", choices=("full", "10k"), default="full", help="--input-rows: which Fashion-MNIST")
    ap.add_argument("--n4-dims", default="0,128,256,448",
                    help="--input-rows: 4-bit dimensions of the codes, comma-separated (0: all 2-bit)")
    ap.add_argument("--fit-sample", type=int, default=5000, help="--input-rows: rows the standardization is fit on")
    ap.add_argument("--threads", type=int, default=1, help="--input-rows: threads of each add")
    args = ap.parse_args()
    if args.quick:
        args.n, args.queries, args.repeats, args.min_seconds = 3_000, 50, 2, 0.05
    args.hnsw = dict(m=16, ef_construction=100, ef_search=args.ef_search)
    if args.input_rows:
        args.n4_dims = [int(x) for x in args.n4_dims.split(",")]
        if "--queries" not in os.sys.argv:
            args.queries = 1000
        print(f"korvane {korvane.__version__}; {platform.machine()}, {os.cpu_count()} cores; one search thread; "
              f"Hnsw m 16, ef_construction 100, ef_search {args.ef_search}; q/s from CPU time")
        input_rows(args)
        return

    faiss = try_faiss()
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    print(f"korvane {korvane.__version__}; {platform.machine()}, {os.cpu_count()} cores, load average {load}; "
          f"one thread; "
          f"Hnsw m 16, ef_construction 100, ef_search {args.ef_search}; q/s from CPU time; "
          + (f"faiss {faiss.__version__} ({faiss.get_compile_options().strip()}), omp_set_num_threads(1)"
             if faiss is not None else "faiss-cpu not importable: its rows are left out"))
    wanted = set(args.sets.split(","))
    sets = []
    if wanted & {"sift", "glove", "fashion"}:
        keys = {"SIFT": "sift", "GloVe-25": "glove", "Fashion-MNIST": "fashion"}
        sets += [s for s in real_sets(args) if keys[s[0]] in wanted]
    if "clustered" in wanted:
        sets += list(synthetic(args))

    t0 = time.perf_counter()
    targets = []
    for name, title, base, queries, truth, metric, fit in sets:
        targets += report(name, title, base, queries, truth, metric, fit, faiss, args)
    print_table(f"targets: kept int8 or float16, oversampling {TARGET_OVERSAMPLING}",
                ("set", "index", "kept", "target", ""), targets)
    missed = sum(1 for t in targets if t[-1] != "met")
    print(f"  {len(targets) - missed} of {len(targets)} met; total {time.perf_counter() - t0:.0f} s")


if __name__ == "__main__":
    main()
