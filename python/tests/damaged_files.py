"""Loads damaged copies of saved files, sealed files (a pickle's state written to a file),
pickles and pickled states of every index type, with and without kept vectors, and
reports as JSON what each attempt ended in: the exception's class, "same" (the loaded
index pickles to exactly the original's state), "differs", or "not a Korvane" (damaged
pickle opcodes made another object). Run as a script by test_pickle.py, so that a crash
shows as a dead process rather than taking the test run down with it.

    python damaged_files.py SEED DAMAGES_PER_KIND
"""
import collections
import json
import os
import pickle
import sys
import tempfile

import numpy as np

from korvane import Korvane

DIM = 12
ROWS = 40


def make(index_type, kept):
    vectors = np.random.default_rng(1).standard_normal((ROWS + 8, DIM)).astype(np.float32)
    index = Korvane(DIM, metric="l2", n4_dims=8, index_type=index_type, ivf_nlist=4, ivf_nprobe=2, hnsw_m=4,
                    hnsw_ef_construction=16)
    index.fit(vectors)  # the standardization section is in the file too
    if kept:
        index.keep_vectors(kept)
    index.add(range(ROWS), vectors[:ROWS])
    index.build()
    if index_type == "ivf_flat":
        index.add(range(ROWS, ROWS + 8), vectors[ROWS:])  # pending rows
    return index, vectors[0]


def from_state(data):
    index = Korvane(0)
    index.__setstate__(data)
    return index


def outcome(load, original, query):
    """The exception's class name, or whether the loaded index is the original."""
    try:
        obj = load()
    except Exception as e:  # noqa: BLE001 - the class is the result
        return type(e).__name__
    if not isinstance(obj, Korvane):
        return "not a Korvane"
    repr(obj)
    if len(obj):
        # A damaged file may declare another dim; the query is fitted to it.
        obj.search(np.resize(query, obj.dim), 5)
    if obj.index_type == "BruteForce":
        obj.packed_data(), obj.vector_norms(), obj.vector_ids()
    return "same" if obj.__reduce__()[2] == original.__reduce__()[2] else "differs"


def damage(data, kind, rng):
    """A cut at a random length, one to three bytes with flipped bits (anywhere, or in the
    last 40 bytes, where a pickle keeps its run-time settings), or four random bytes
    written over a random place."""
    if kind == "cut":
        return data[:int(rng.integers(0, len(data)))]
    data = bytearray(data)
    if kind in ("flip", "tail"):
        for _ in range(int(rng.integers(1, 4))):
            pos = int(rng.integers(0 if kind == "flip" else len(data) - 40, len(data)))
            data[pos] ^= int(rng.integers(1, 256))
    else:
        at = int(rng.integers(0, len(data) - 3))
        for pos in range(at, at + 4):
            data[pos] = int(rng.integers(0, 256))
    return bytes(data)


def main(seed, per_kind):
    rng = np.random.default_rng(seed)
    report = {}
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "x.krvn")

        def from_file(data):
            with open(path, "wb") as f:
                f.write(data)
            return lambda: Korvane.load(path)

        for index_type in ("brute_force", "ivf_flat", "hnsw"):
            for kept in (None, "float16"):
                index, query = make(index_type, kept)
                blob = pickle.dumps(index)
                state = index.__reduce__()[2][0]
                index.save(path)
                with open(path, "rb") as f:
                    plain = f.read()
                forms = {
                    "plain": (plain, from_file),
                    "sealed": (state, from_file),  # the state is the sealed file
                    "state": (state, lambda d: lambda: from_state(d)),
                    "pickle": (blob, lambda d: lambda: pickle.loads(d)),
                }
                counts = collections.defaultdict(collections.Counter)
                for form, (data, loader) in forms.items():
                    for kind in ("flip", "tail", "overwrite", "cut"):
                        for _ in range(per_kind):
                            damaged = damage(data, kind, rng)
                            counts[f"{form} {kind}"][outcome(loader(damaged), index, query)] += 1
                report[f"{index_type} {kept or 'no kept'}"] = {k: dict(v) for k, v in counts.items()}
    json.dump(report, sys.stdout)


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]))
