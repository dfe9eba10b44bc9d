"""Restrict a search to a subset of ids with an allowlist.

Each stored vector has a caller-chosen id; here the ids carry a category (the id's
last digit), and an allowlist is the list of ids of the wanted categories.

A BruteForce index filters first and scores only the allowed rows, so it returns the
k best allowed hits whenever there are k of them. IvfFlat and Hnsw search first and
drop disallowed hits afterwards, so a narrow allowlist can leave fewer than k: ask
for more and keep the first k.
"""
from __future__ import annotations

import numpy as np
import numpy.typing as npt

import korvane

DIM = 64
N = 4000
K = 10


def category(vector_id: int) -> int:
    return vector_id % 10


def exact_allowed_top(vectors: npt.NDArray[np.float32], ids: list[int], query: npt.NDArray[np.float32],
                      allowed: set[int], k: int) -> list[int]:
    """The k allowed ids of highest cosine similarity, computed in full precision."""
    unit = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
    sims = unit @ (query / np.linalg.norm(query))
    order = np.argsort(-sims)
    return [ids[i] for i in order if ids[i] in allowed][:k]


def main() -> None:
    rng = np.random.default_rng(7)
    centres = rng.standard_normal((20, DIM)).astype(np.float32)
    vectors = (centres[rng.integers(0, 20, N)] + 0.6 * rng.standard_normal((N, DIM))).astype(np.float32)
    ids = list(range(10_000, 10_000 + N))
    query = vectors[123] + 0.1 * rng.standard_normal(DIM).astype(np.float32)

    brute = korvane.Korvane(DIM)
    brute.add(ids, vectors)

    # Only categories 3 and 7: a fifth of the corpus.
    allowed = [i for i in ids if category(i) in (3, 7)]
    hits = brute.search(query, K, allowlist=allowed)
    print("BruteForce, categories 3 and 7:", [(h["id"], round(h["score"], 3)) for h in hits])
    assert len(hits) == K and all(category(h["id"]) in (3, 7) for h in hits)
    exact = exact_allowed_top(vectors, ids, query, set(allowed), K)
    overlap = len({h["id"] for h in hits} & set(exact))
    print(f"  {overlap}/{K} of them are among the exact top {K} of the allowed ids")
    assert overlap >= K // 2

    # An allowlist may name ids that are not stored; they are simply never found.
    assert brute.search(query, K, allowlist=[1, 2, 3]) == []
    # An empty allowlist allows nothing; None is the same as no allowlist at all.
    assert brute.search(query, K, allowlist=[]) == []
    assert brute.search(query, K, allowlist=None) == brute.search(query, K)
    # Any sequence of ints will do, NumPy integer arrays included.
    as_array = brute.search(query, K, allowlist=np.array(allowed, dtype=np.uint64))
    assert as_array == hits

    # Hnsw filters after its graph search: a narrow allowlist (one id in a hundred)
    # can leave fewer than k hits, so over-fetch and cut.
    hnsw = korvane.Korvane(DIM, index_type="hnsw", hnsw_m=16, hnsw_ef_construction=64)
    hnsw.add(ids, vectors)
    rare = [i for i in ids if i % 100 == 42]
    direct = hnsw.search(query, K, allowlist=rare)
    print(f"Hnsw, {len(rare)} allowed ids, k={K}: {len(direct)} hits")
    # Expect len(rare) / len(ids) of the hits to be allowed; fetch twice what that needs,
    # with a candidate list at least that long.
    fetch = 2 * K * len(ids) // len(rare)
    hnsw.set_ef_search(fetch)
    widened = hnsw.search(query, fetch, allowlist=rare)[:K]
    print(f"Hnsw, same allowlist, k={fetch} then cut to {K}: {len(widened)} hits")
    assert len(direct) <= len(widened) == K
    assert all(h["id"] in set(rare) for h in widened)
    reference = {h["id"] for h in brute.search(query, K, allowlist=rare)}
    agree = len(reference & {h["id"] for h in widened})
    print(f"  {agree}/{K} agree with the BruteForce answer for the same allowlist")
    assert agree >= K // 2


if __name__ == "__main__":
    main()
