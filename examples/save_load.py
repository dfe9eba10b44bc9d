"""Save an index to a .krvn file, load it back, and move it between processes by pickle.

A loaded index answers exactly as the saved one did. A pickled index is the bytes of
its .krvn file, so process pools (multiprocessing, concurrent.futures) can ship it.
"""
from __future__ import annotations

import os
import pickle
import tempfile
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import numpy.typing as npt

import korvane

DIM = 96


def top_ids(index: korvane.Korvane, query: npt.NDArray[np.float32], k: int = 5) -> list[int]:
    return [hit["id"] for hit in index.search(query, k)]


def main() -> None:
    rng = np.random.default_rng(11)
    vectors = rng.standard_normal((3000, DIM)).astype(np.float32)
    queries = rng.standard_normal((5, DIM)).astype(np.float32)

    index = korvane.Korvane(DIM, metric="l2", n4_dims=64)
    index.fit(vectors[:500])  # L2 only: per-dimension standardization, before the first add
    index.add(range(3000), vectors)

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "vectors.krvn")
        index.save(path)
        print(f"saved {index!r}: {os.path.getsize(path)} bytes "
              f"({index.packed_bytes_per_vec} per vector + 4 for its norm + 8 for its id)")
        loaded = korvane.Korvane.load(path)  # the file is closed again when load returns
        print(f"loaded {loaded!r}, metric={loaded.metric}, n4_dims={loaded.n4_dims}")
        for q in queries:
            assert loaded.search(q, 10) == index.search(q, 10)
        assert np.array_equal(loaded.packed_data(), index.packed_data())

    # Pickle: the same bytes in memory. copy.copy and copy.deepcopy work the same way.
    blob = pickle.dumps(index)
    clone = pickle.loads(blob)
    assert all(clone.search(q, 10) == index.search(q, 10) for q in queries)
    print(f"pickled: {len(blob)} bytes")

    # An IvfFlat index keeps rows added since its last build() outside the file; it must
    # be built before it is saved or pickled, or they would be lost.
    ivf = korvane.Korvane(DIM, index_type="ivf_flat", ivf_nlist=16, ivf_nprobe=4)
    ivf.add(range(3000), vectors)
    try:
        pickle.dumps(ivf)
    except RuntimeError as e:
        print(f"refused: {e}")
    else:
        raise AssertionError("an IvfFlat index with pending rows was pickled")
    ivf.build()

    # Each worker process receives a pickled copy of the index and searches it there.
    with ProcessPoolExecutor(max_workers=2) as pool:
        remote = list(pool.map(top_ids, [ivf] * len(queries), queries))
    assert remote == [top_ids(ivf, q) for q in queries]
    print("worker processes:", remote[0], "...")


if __name__ == "__main__":
    main()
