"""Single-row adds: N calls of index.add([i], x[i:i+1]) into a 4-bit cosine index, total
seconds and adds per second, next to the same N rows added in one call.

    PYTHONPATH=build/python python bench/bench_add.py [--n 100000] [--dim 768]
"""
import argparse
import sys
import time

import numpy as np

import korvane


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000, help="rows to add")
    ap.add_argument("--dim", type=int, default=768)
    args = ap.parse_args()
    n, dim = args.n, args.dim
    x = np.random.default_rng(0).standard_normal((n, dim), dtype=np.float32)

    index = korvane.Korvane(dim, metric="cosine", bit_width=4)
    t0 = time.perf_counter()
    for i in range(n):
        index.add([i], x[i:i + 1])
    single = time.perf_counter() - t0
    if index.n_vectors != n:
        sys.exit(f"single-row adds left {index.n_vectors} rows, expected {n}")
    print(f"{n:,} add() calls of 1 x {dim}, cosine, 4-bit: {single:.3f} s, {n / single:,.0f} adds/s, {single * 1e6 / n:.1f} us/add",
          flush=True)

    index = korvane.Korvane(dim, metric="cosine", bit_width=4)
    t0 = time.perf_counter()
    index.add(np.arange(n, dtype=np.uint64), x)
    bulk = time.perf_counter() - t0
    if index.n_vectors != n:
        sys.exit(f"one add() call left {index.n_vectors} rows, expected {n}")
    print(f"one add() call of {n:,} x {dim}, cosine, 4-bit: {bulk:.3f} s, {n / bulk:,.0f} rows/s, {bulk * 1e6 / n:.1f} us/row; "
          f"single-row adds take {single / bulk:.1f}x as long", flush=True)


if __name__ == "__main__":
    main()
