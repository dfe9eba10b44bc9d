"""Add throughput (vectors per second, one core) for 100,000 x 768 and 100,000 x 1,536
float32 at 4-bit, 2-bit and mixed layouts, and ns per row of every kernel variant.

    PYTHONPATH=build/python python bench/bench_encode_kernels.py [--n 100000]
"""
import argparse
import os
import subprocess

import numpy as np

import korvane
from _common import HERE, print_table, timed

LAYOUTS = [("4-bit", dict(bit_width=4)), ("mixed 0.5", dict(mixed_ratio=0.5)), ("2-bit", dict(bit_width=2))]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--kernels-bin", default=os.path.join(HERE, "..", "build", "korvane_kernels_bench"))
    args = ap.parse_args()

    rng = np.random.default_rng(0)
    rows = []
    for dim in (768, 1536):
        data = rng.standard_normal((args.n, dim), dtype=np.float32)
        ids = np.arange(args.n, dtype=np.uint64)
        for name, kw in LAYOUTS:
            for metric in ("cosine", "l2"):
                best = None
                for _ in range(2):
                    index = korvane.Korvane(dim, metric=metric, **kw)
                    _, secs = timed(index.add, ids, data)
                    best = secs if best is None else min(best, secs)
                rows.append((dim, name, metric, f"{args.n / best:,.0f}", f"{best * 1e6 / args.n:.2f}"))
    print_table(f"add() of {args.n:,} C-contiguous float32 vectors, one core (best of 2)",
                ("dim", "layout", "metric", "vectors/s", "us/vector"), rows)

    if os.path.exists(args.kernels_bin):
        print("\nscoring kernels (ns per row, best of 7 passes over 20,000 rows):")
        print(subprocess.run([args.kernels_bin], capture_output=True, text=True, check=True).stdout)
    else:
        print(f"\n(kernel table skipped: build {args.kernels_bin} with -DKORVANE_BUILD_BENCH=ON, or run make bench)")


if __name__ == "__main__":
    main()
