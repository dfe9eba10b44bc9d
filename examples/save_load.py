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
        # mmap=True keeps the file mapped and reads kept vectors (keep_vectors) from it in
        # place, only for the rows a search re-scores; everything else is in memory as above.
        # The mapped index may be saved over its own file: save writes a new file and renames it.
        mapped = korvane.Korvane.load(path, mmap=True)
        mapped.save(path)
        assert all(mapped.search(q, 10) == index.search(q, 10) for q in queries)

    # Pickle: the same bytes in memory. copy.copy and copy.deepcopy work the same way.
    blob = pickle.dumps(index)
    clone = pickle.loads(blob)
    assert all(clone.search(q, 10) == index.search(q, 10) for q in queries)
    print(f"pickled: {len(blob)} bytes")

    # Rows an IvfFlat index holds pending (added since its last build()) travel too, and
    # come back pending: the next build() places them.
    ivf = korvane.Korvane(DIM, index_type="ivf_flat", ivf_nlist=16, ivf_nprobe=4)
    ivf.add(range(3000), vectors)
    ivf = pickle.loads(pickle.dumps(ivf))
    ivf.build()

    # checksum=True ends the file with a CRC-32C that load checks: for files that travel
    # or are kept for long, a damaged byte is then an error instead of a different index.
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "ivf.krvn")
        ivf.save(path, checksum=True)
        assert top_ids(korvane.Korvane.load(path), queries[0]) == top_ids(ivf, queries[0])

    # Each worker process receives a pickled copy of the index and searches it there.
    with ProcessPoolExecutor(max_workers=2) as pool:
        remote = list(pool.map(top_ids, [ivf] * len(queries), queries))
    assert remote == [top_ids(ivf, q) for q in queries]
    print("worker processes:", remote[0], "...")


if __name__ == "__main__":
    main()
