"""Choose a code layout: 4-bit, 2-bit, or a mix of the two, by bytes and by recall.

Every vector is rotated into padded_dim coordinates (the next power of two of dim);
the first n4_dims of them are stored at 4 bits, the rest at 2 bits. profile_variance
shows what the quantizer sees of a sample, and optimal_n4_dims turns an average bit
budget into an n4_dims for the constructor.
"""
from __future__ import annotations

import numpy as np
import numpy.typing as npt

import korvane

DIM = 120  # padded to 128
N = 5000
K = 10


def make_data(rng: np.random.Generator, n: int) -> npt.NDArray[np.float32]:
    # Clustered, with a few dominant directions: far from the equal-variance Gaussian
    # the code tables are made for, until the rotation spreads it out.
    centres = rng.standard_normal((32, DIM)) * np.linspace(3.0, 0.2, DIM)
    points = centres[rng.integers(0, 32, n)] + rng.standard_normal((n, DIM))
    return points.astype(np.float32)


def exact_top(vectors: npt.NDArray[np.float32], queries: npt.NDArray[np.float32], k: int) -> npt.NDArray[np.intp]:
    unit = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
    sims = queries @ unit.T
    return np.argsort(-sims, axis=1)[:, :k]


def recall(index: korvane.Korvane, queries: npt.NDArray[np.float32], truth: npt.NDArray[np.intp]) -> float:
    found = 0
    for q, want in zip(queries, truth):
        got = {hit["id"] for hit in index.search(q, K)}
        found += len(got & set(want.tolist()))
    return found / truth.size


def main() -> None:
    rng = np.random.default_rng(5)
    vectors = make_data(rng, N)
    queries = make_data(rng, 50)
    truth = exact_top(vectors, queries, K)
    sample = vectors[:1000]

    probe = korvane.Korvane(DIM)  # cosine, 4-bit: only its dim, metric and rotation matter here
    variances = np.array(probe.profile_variance(sample))
    # The same scale without the rotation, for comparison.
    raw = sample / np.linalg.norm(sample, axis=1, keepdims=True) * np.sqrt(probe.padded_dim)
    print(f"variance of the {DIM} input coordinates: {raw.var(axis=0).min():.2f}..{raw.var(axis=0).max():.2f}; "
          f"of the {len(variances)} rotated ones: {variances.min():.2f}..{variances.max():.2f} "
          f"(the code tables assume 1.0)")

    print(f"\n{'avg bits':>8} {'n4_dims':>7} {'mixed':>5} {'bytes/vec':>9} {'recall@10':>9}")
    results = []
    for avg_bits in (2.0, 2.5, 3.0, 3.5, 4.0):
        n4 = probe.optimal_n4_dims(sample, avg_bits)
        index = korvane.Korvane(DIM, n4_dims=n4)
        index.add(range(N), vectors)
        r = recall(index, queries, truth)
        results.append((index.packed_bytes_per_vec, r))
        print(f"{avg_bits:>8} {n4:>7} {index.is_mixed()!s:>5} {index.packed_bytes_per_vec:>9} {r:>9.3f}")
    print(f"{'float32':>8} {'':>7} {'':>5} {DIM * 4:>9} {1.0:>9.3f}")
    # Each stored vector also has a 4-byte norm; ids take 8 bytes each.

    # Each step of half a bit costs padded_dim / 16 bytes and buys recall.
    sizes = [b for b, _ in results]
    assert sizes == list(range(probe.padded_dim // 4, probe.padded_dim // 2 + 1, probe.padded_dim // 16))
    assert [r for _, r in results] == sorted(r for _, r in results)

    # The same layouts by other names: bit_width=2 is n4_dims=0, and mixed_ratio is a
    # share of padded_dim (rounded down to a multiple of 4).
    assert korvane.Korvane(DIM, bit_width=2).n4_dims == 0
    assert korvane.Korvane(DIM, mixed_ratio=0.5).n4_dims == probe.optimal_n4_dims(sample, 3.0) == 64


if __name__ == "__main__":
    main()
