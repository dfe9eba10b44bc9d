"""Shard a collection across processes with Dask: one index per partition, searched
where it lives, the results merged by score (korvane.dask).

When a collection outgrows one index or one process, split it into the partitions of a
Dask array: build_shards builds one index per partition on the workers and saves each
as a .krvn file, and the ShardedIndex it returns keeps every shard loaded on one worker.
Its search_batch runs on every shard and keeps the k best of the shards' hits by score,
padded and ordered as one index's search_batch. Scores of indexes with the same dim,
metric and code layout are directly comparable: every index rotates with the same seed
and scores a vector the same way whichever index holds it.

Here the shards are BruteForce indexes, so the merged answer must be exactly what one
BruteForce index holding every vector returns, and the script checks that it is. With
Hnsw or IvfFlat shards (index_type="hnsw" to build_shards) each shard finds its own top
k approximately: compare the merged answer with an exact one by recall instead.

The shard files live in one temporary directory that every local worker can read; on
several machines they belong on storage that every worker reads.

Needs dask[distributed]: pip install "korvane[dask]".
"""
from __future__ import annotations

import tempfile

import dask
import dask.array as da
import numpy as np
import numpy.typing as npt
from distributed import Client, LocalCluster

import korvane
from korvane.dask import Hits, build_shards

DIM = 64
N = 20_000
SHARDS = 4
QUERIES = 100
K = 10
METRIC = "cosine"
PAD_ID = np.uint64(2**64 - 1)  # search_batch fills rows with fewer hits with this id and -inf


def shard_and_search(workdir: str, ids: npt.NDArray[np.uint64], vectors: npt.NDArray[np.float32],
                     queries: npt.NDArray[np.float32], allowed: npt.NDArray[np.uint64]) -> tuple[Hits, Hits]:
    """Builds SHARDS shard files in workdir on a local cluster, then searches them for
    queries, without and with an allowlist."""
    # Worker processes, not threads: each shard is built and searched in a process of its
    # own. The scheduler and the workers keep their scratch space in workdir as well, so
    # nothing outlives the run; leaving the with blocks stops the workers.
    with dask.config.set({"temporary-directory": workdir}):
        cluster = LocalCluster(  # type: ignore[no-untyped-call]
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
        with cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
            # Here the client holds the data; a Dask array read from files would let each
            # worker read its own partitions, and no process would hold them all.
            parts = da.from_array(vectors, chunks=(N // SHARDS, DIM))  # type: ignore[no-untyped-call]
            with build_shards(client, ids, parts, workdir, metric=METRIC) as index:
                print(f"{index!r} built by {len(client.scheduler_info()['workers'])} worker processes")
                return index.search_batch(queries, K), index.search_batch(queries, K, allowlist=allowed)


def by_score_then_id(hits: Hits) -> Hits:
    """A search_batch result with equal scores ordered by id, as the sharded search orders them."""
    order = np.lexsort((hits[0], -hits[1], hits[0] == PAD_ID), axis=1)
    return np.take_along_axis(hits[0], order, axis=1), np.take_along_axis(hits[1], order, axis=1)


def main() -> None:
    rng = np.random.default_rng(42)
    centres = rng.standard_normal((50, DIM)).astype(np.float32)
    vectors = (centres[rng.integers(0, 50, N)] + 0.5 * rng.standard_normal((N, DIM))).astype(np.float32)
    ids = rng.choice(2**40, size=N, replace=False).astype(np.uint64)  # any unsigned 64-bit ids will do
    queries = (vectors[rng.integers(0, N, QUERIES)] + 0.1 * rng.standard_normal((QUERIES, DIM))).astype(np.float32)
    # Fewer allowed ids than K, so every shard returns rows padded with id 2**64 - 1, which
    # the merge puts behind the hits.
    allowed = ids[rng.choice(N, size=K // 2, replace=False)]

    with tempfile.TemporaryDirectory() as tmp:
        merged, merged_allowed = shard_and_search(tmp, ids, vectors, queries, allowed)

    # The same vectors in one index.
    whole = korvane.Korvane(DIM, metric=METRIC)
    whole.add(ids, vectors)
    # Both sides are compared with equal scores ordered by id. A tie at the K-th place could
    # keep another of the tied ids on each side; none of these queries has one.
    expected = by_score_then_id(whole.search_batch(queries, K))
    expected_allowed = by_score_then_id(whole.search_batch(queries, K, allowlist=allowed))
    for got, want in ((merged, expected), (merged_allowed, expected_allowed)):
        assert got[0].shape == want[0].shape == (QUERIES, K)
        assert np.array_equal(got[0], want[0]), "the merged ids differ from one index's"
        assert np.array_equal(got[1], want[1]), "the merged scores differ from one index's"
    assert not np.any(merged[0] == PAD_ID)
    assert np.all(np.count_nonzero(merged_allowed[0] != PAD_ID, axis=1) == len(allowed))

    best = [(int(i), round(float(s), 4)) for i, s in zip(merged[0][0, :3], merged[1][0, :3])]
    print(f"query 0, best 3 of the merged top {K}: {best}")
    print(f"sharded and single-index results agree: {QUERIES} queries, top {K}, same ids and scores "
          f"(also with an allowlist of {len(allowed)} ids)")


if __name__ == "__main__":
    main()
