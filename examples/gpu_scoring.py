"""Score a BruteForce index outside the engine, with array operations only.

A BruteForce index exports everything its scores are made of:

- packed_data(): one row of codes per vector, a 4-bit block of pb4_per_vec bytes (two
  codes a byte, low nibble first) and then a 2-bit block (four codes a byte, lowest
  bits first), n4_dims codes at 4 bits and padded_dim - n4_dims at 2 bits;
- centroids_4bit() and centroids_2bit(): the value each code stands for;
- vector_norms(): the norm of each decoded row; vector_ids(): the id of each row;
- transform_query_np(q): the query as the engine scores it (standardized for a fitted
  L2 index, rotated, scaled).

A score is the dot product of the transformed query with the decoded row, then
adjusted by metric: cosine divides by the row's norm when it exceeds 1e-9, L2 subtracts
half the squared norm, dot leaves it as it is. Decoding once and scoring a batch of
queries is one matrix product, which runs the same on a GPU array library with a
NumPy-compatible interface (CuPy, or torch with small changes).

This script checks, for each layout and metric, that these scores match the engine's
and rank the vectors in the same order.
"""
from __future__ import annotations

import numpy as np
import numpy.typing as npt

import korvane

DIM = 100  # padded to 128
N = 2000
QUERIES = 16
RTOL = 1e-5


def decode(index: korvane.Korvane) -> npt.NDArray[np.float32]:
    """Every stored row as padded_dim floats, shape [n, padded_dim]."""
    packed = index.packed_data()
    n = packed.shape[0]
    n4 = index.n4_dims
    n2 = index.padded_dim - n4
    block4 = packed[:, : index.pb4_per_vec]
    block2 = packed[:, index.pb4_per_vec:]
    # Two 4-bit codes a byte, low nibble first; a last odd code leaves a high nibble unused.
    codes4 = np.stack([block4 & 0x0F, block4 >> 4], axis=2).reshape(n, -1)[:, :n4]
    # Four 2-bit codes a byte, lowest bits first.
    codes2 = np.stack([(block2 >> shift) & 0x03 for shift in (0, 2, 4, 6)], axis=2).reshape(n, -1)[:, :n2]
    return np.concatenate([korvane.Korvane.centroids_4bit()[codes4], korvane.Korvane.centroids_2bit()[codes2]],
                          axis=1)


def scores(index: korvane.Korvane, queries: npt.NDArray[np.float32]) -> npt.NDArray[np.float64]:
    """Scores of every query against every stored row, shape [n_queries, n]."""
    rows = decode(index).astype(np.float64)
    transformed = np.stack([index.transform_query_np(q) for q in queries]).astype(np.float64)
    raw = transformed @ rows.T
    norms = index.vector_norms().astype(np.float64)
    if index.metric == "cosine":
        return np.where(norms > 1e-9, raw / np.where(norms > 1e-9, norms, 1.0), raw)
    if index.metric == "l2":
        return raw - 0.5 * norms**2
    return raw


def check(index: korvane.Korvane, queries: npt.NDArray[np.float32]) -> float:
    """Compares with the engine's full ranking; returns the largest relative difference."""
    mine = scores(index, queries)
    position = {vid: i for i, vid in enumerate(index.vector_ids().tolist())}
    worst = 0.0
    for q, row in zip(queries, mine):
        hits = index.search(q, len(index))
        engine_ids = np.array([position[h["id"]] for h in hits])
        engine_scores = np.array([h["score"] for h in hits])
        # A score is a sum of padded_dim products, so its rounding error scales with the
        # largest scores, not with the score itself (which may be near 0).
        scale = float(np.abs(row).max())
        np.testing.assert_allclose(row[engine_ids], engine_scores, rtol=RTOL, atol=RTOL * scale)
        worst = max(worst, float(np.max(np.abs(row[engine_ids] - engine_scores)) / scale))
        # The same order, except where two scores are equal to within rounding.
        order = np.argsort(-row, kind="stable")
        differ = order != engine_ids
        np.testing.assert_allclose(row[order[differ]], row[engine_ids[differ]], rtol=0, atol=RTOL * scale)
    return worst


def main() -> None:
    rng = np.random.default_rng(2024)
    vectors = (rng.standard_normal((N, DIM)) * rng.uniform(0.5, 2.0, (N, 1))).astype(np.float32)
    queries = rng.standard_normal((QUERIES, DIM)).astype(np.float32)
    ids = rng.permutation(10 * N)[:N].astype(np.uint64)  # ids in no particular order

    # (name, bit_width, n4_dims): the mixed layout codes 36 of 128 coordinates at 4 bits.
    layouts: list[tuple[str, int, int | None]] = [("4-bit", 4, None), ("2-bit", 2, None), ("mixed", 4, 36)]
    for name, bit_width, n4_dims in layouts:
        for metric in ("cosine", "dot", "l2"):
            index = korvane.Korvane(DIM, metric=metric, bit_width=bit_width, n4_dims=n4_dims)
            if metric == "l2":
                index.fit(vectors[:500])  # the standardization shows up in transform_query_np
            index.add(ids, vectors)
            worst = check(index, queries)
            print(f"{name:>5} {metric:>6}: {index.packed_bytes_per_vec} bytes/vector, "
                  f"largest difference {worst:.1e} of the top score")


if __name__ == "__main__":
    main()
