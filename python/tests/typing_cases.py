"""What the type stub accepts and refuses. Checked by `mypy --strict` in `make test`, never
run: each refused call carries an ignore comment for the error it must raise, and
--strict reports an ignore comment that silences nothing."""
from __future__ import annotations

import pathlib
import pickle
from typing import TYPE_CHECKING, Literal

import numpy as np
import numpy.typing as npt
from typing_extensions import assert_type

import korvane

if TYPE_CHECKING:
    from korvane import SearchHit

# Accepted: every argument form the engine takes.
ix = korvane.Korvane(8, metric="l2", bit_width=4, mixed_ratio=np.float32(0.5), n4_dims=np.int64(4))
ix.fit(np.zeros((3, 8)))
ix.add(np.arange(3), np.zeros((3, 8), np.float32))
ix.add(range(3, 5), [[1.0] * 8, np.ones(8)])
ix.add([np.uint64(7)], [[1] * 8], threads=np.int64(2), progress=lambda done, total: print(done / total))
ix.add([8], [[1] * 8], progress=True)
hits = ix.search(np.ones(8, np.float32), k=np.int64(3), allowlist=np.array([1, 2]))
assert_type(hits, "list[SearchHit]")
assert_type(hits[0]["id"], int)
assert_type(hits[0]["score"], float)
assert_type(ix.search((1.0,) * 8, 1, None), "list[SearchHit]")
assert_type(ix.transform_query_np([0.0] * 8), npt.NDArray[np.float32])
assert_type(ix.packed_data(), npt.NDArray[np.uint8])
assert_type(ix.vector_norms(), npt.NDArray[np.float32])
assert_type(ix.vector_ids(), npt.NDArray[np.uint64])
assert_type(korvane.Korvane.centroids_4bit(), npt.NDArray[np.float32])
assert_type(korvane.Korvane.centroids_2bit(), npt.NDArray[np.float32])
assert_type(ix.profile_variance(np.zeros((2, 8), np.float32)), list[float])
assert_type(ix.optimal_n4_dims([[1.0] * 8], 3), int)
assert_type(korvane.Korvane.recommended_m(10), int)
assert_type(ix.metric, Literal["cosine", "dot", "l2"])
assert_type(ix.index_type, Literal["BruteForce", "IvfFlat", "Hnsw"])
assert_type(len(ix) + ix.n_vectors + ix.dim + ix.bit_width + ix.n4_dims + ix.padded_dim, int)
assert_type(ix.packed_bytes_per_vec + ix.pb4_per_vec, int)
assert_type(ix.is_empty() or ix.is_mixed(), bool)
assert_type(ix.build(), None)
assert_type(ix.build(threads=0, progress=None), None)
assert_type(korvane.Korvane.load("x.krvn"), korvane.Korvane)
assert_type(korvane.__version__, str)
copied: korvane.Korvane = pickle.loads(pickle.dumps(ix))
ix.set_nprobe(4)
ix.set_ef_search(np.uint8(4))

# Refused: what the engine would refuse at run time.
ix.save(pathlib.Path("x.krvn"))  # type: ignore[arg-type]
korvane.Korvane.load(b"x.krvn")  # type: ignore[arg-type]
ix.search("abcdefgh", 1)  # type: ignore[arg-type]
ix.search([1.0] * 8, 1.5)  # type: ignore[arg-type]
ix.add(["a"], [[1.0] * 8])  # type: ignore[list-item]
ix.add([1], [[1.0] * 8], 2)  # type: ignore[call-arg]
ix.build(progress="yes")  # type: ignore[arg-type]
korvane.Korvane(8, metric=None)  # type: ignore[arg-type]
korvane.Korvane(8, colour="red")  # type: ignore[call-arg]
ix.dim = 3  # type: ignore[misc]
wrong: str = hits[0]["id"]  # type: ignore[assignment]


class Sub(korvane.Korvane):  # type: ignore[misc]
    pass
