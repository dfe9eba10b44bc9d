"""Creates, fills, searches, exports, pickles and drops indexes in a loop, through the
error paths too, and reports as JSON the resident memory before and after the measured
cycles. Run as a script by test_usage.py, in a process of its own."""
import json
import os
import pickle
import sys
import time

import numpy as np

from korvane import Korvane

PAGE = os.sysconf("SC_PAGE_SIZE")
KINDS = ("brute_force", "ivf_flat", "hnsw")
METRICS = ("cosine", "dot", "l2")

rng = np.random.default_rng(0)
VECTORS = rng.standard_normal((32, 500)).astype(np.float32)  # padded to 512: about 20 KB an index
ROWS = VECTORS.tolist()
IDS = list(range(32))


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def cycle(i):
    kind = KINDS[i % 3]
    index = Korvane(500, metric=METRICS[i // 3 % 3], index_type=kind, mixed_ratio=0.5, ivf_nlist=2, hnsw_m=4,
                    hnsw_ef_construction=8)
    index.add(IDS, VECTORS if i % 2 else ROWS)  # read in place, or converted row by row
    index.build()
    index.search(ROWS[i % 32], 5, allowlist=IDS[::2])
    index.transform_query_np(VECTORS[0])
    if kind == "brute_force":
        index.packed_data(), index.vector_norms(), index.vector_ids()
    pickle.loads(pickle.dumps(index))
    for failing in (lambda: index.search(ROWS[0][:3], 1), lambda: index.add(["x"], ROWS[:1])):
        try:
            failing()
        except (ValueError, TypeError):
            pass


def main(warm_up, cycles):
    for i in range(warm_up):
        cycle(i)
    before = resident()
    start = time.perf_counter()
    for i in range(cycles):
        cycle(i)
    json.dump({"before": before, "after": resident(), "seconds": time.perf_counter() - start}, sys.stdout)


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]))
