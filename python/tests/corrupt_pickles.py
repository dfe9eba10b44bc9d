"""Loads damaged pickles and .krvn states of every index type and reports, as JSON, what
each attempt ended in. Run as a script by test_pickle.py, so that a crash shows as a
dead process rather than taking the test run down with it."""
import collections
import json
import pickle
import sys

import numpy as np

from korvane import Korvane

DIM = 12
ROWS = 40
# The two high bytes of the header's dim. A damaged one declares a dim of up to 2^32 - 1,
# and the loader builds the rotation for it before finding the file too short: correct,
# but seconds and gigabytes per attempt, so this run leaves those two bytes alone.
HUGE_DIM_BYTES = (10, 11)


def make(index_type):
    vectors = np.random.default_rng(1).standard_normal((ROWS, DIM)).astype(np.float32)
    index = Korvane(DIM, metric="l2", n4_dims=8, index_type=index_type, ivf_nlist=4, ivf_nprobe=2, hnsw_m=4,
                    hnsw_ef_construction=16)
    index.fit(vectors)  # the standardization section is in the file too
    index.add(range(ROWS), vectors)
    index.build()
    return index, vectors[0]


def outcome(load, query):
    """The exception's class name, or "loaded" after the result has been used."""
    try:
        obj = load()
    except Exception as e:  # noqa: BLE001 - the class is the result
        return type(e).__name__
    if isinstance(obj, Korvane):
        repr(obj)
        if len(obj):
            # A damaged file may declare another dim; the query is fitted to it.
            obj.search(np.resize(query, obj.dim), 5)
        if obj.index_type == "BruteForce":
            obj.packed_data(), obj.vector_norms(), obj.vector_ids()
        pickle.loads(pickle.dumps(obj))
    return "loaded"


def alter(data, at, rng):
    """Flips bits in one to three bytes, never in the state's HUGE_DIM_BYTES."""
    data = bytearray(data)
    for _ in range(int(rng.integers(1, 4))):
        pos = int(rng.integers(0, len(data)))
        if pos - at not in HUGE_DIM_BYTES:
            data[pos] ^= int(rng.integers(1, 256))
    return bytes(data)


def main(seed, alterations):
    rng = np.random.default_rng(seed)
    report = {}
    for index_type in ("brute_force", "ivf_flat", "hnsw"):
        index, query = make(index_type)
        blob = pickle.dumps(index)
        state = index.__reduce__()[2][0]
        at = blob.index(state)
        counts = collections.defaultdict(collections.Counter)
        for _ in range(alterations):
            cut = int(rng.integers(0, len(blob)))
            counts["pickle cut"][outcome(lambda: pickle.loads(blob[:cut]), query)] += 1
            damaged = alter(blob, at, rng)
            counts["pickle altered"][outcome(lambda: pickle.loads(damaged), query)] += 1
            damaged = alter(state, 0, rng)
            counts["state altered"][outcome(lambda: Korvane(0).__setstate__(damaged), query)] += 1
        # Every cut of the file itself; the last 4·n bytes of a BruteForce body are its norms.
        norms_from = len(state) - 4 * ROWS if index_type == "brute_force" else len(state)
        for cut in range(len(state)):
            where = "state cut in norms" if cut >= norms_from else "state cut"
            counts[where][outcome(lambda: Korvane(0).__setstate__(state[:cut]), query)] += 1
        report[index_type] = {k: dict(v) for k, v in counts.items()}
    json.dump(report, sys.stdout)


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]))
