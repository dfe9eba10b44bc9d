"""Shard a collection across processes with Dask: one index per partition, searched
where it lives, the results merged by score.

When a collection outgrows one index or one process, split it into partitions and
build one index per partition on a Dask worker, saved as a .krvn file. A search runs
search_batch on every shard (each worker loads its shard file) and the client keeps
the k best of the shards' hits by score. Scores of indexes with the same dim, metric
and code layout are directly comparable: every index rotates with the same seed and
scores a vector the same way whichever index holds it.

Here the shards are BruteForce indexes, so the merged answer must be exactly what one
BruteForce index holding every vector returns, and the script checks that it is.
With Hnsw or IvfFlat shards the merge is the same (build() an IvfFlat shard before
saving it); each shard then finds its own top k approximately, so ask every shard for
the full k, not k / shards, and compare the merged answer with an exact one by recall
rather than for equality.

The shard files live in one temporary directory that every local worker can read; on
several machines they belong on storage that every worker reads. An index also pickles,
as the bytes of its .krvn file, so it can be passed to a task like any other argument.

Needs dask[distributed]: pip install "dask[distributed]".
"""
from __future__ import annotations

import os
import tempfile

import dask
import numpy as np
import numpy.typing as npt
from distributed import Client, LocalCluster

import korvane

DIM = 64
N = 20_000
SHARDS = 4
QUERIES = 100
K = 10
METRIC = "cosine"
PAD_ID = np.uint64(2**64 - 1)  # search_batch fills rows with fewer hits with this id and -inf

Hits = tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]


def build_shard(ids: npt.NDArray[np.uint64], vectors: npt.NDArray[np.float32], path: str) -> str:
    """Runs on a worker: indexes one partition and saves it as a .krvn file."""
    # Every shard takes the same dim, metric and layout (bit_width, n4_dims), or their
    # scores could not be compared. An L2 index that calls fit() must fit every shard on
    # the same sample, since the standardization changes the scores.
    index = korvane.Korvane(DIM, metric=METRIC)  # index_type="hnsw" or "ivf_flat" merge the same way
    index.add(ids, vectors)
    index.build()
    index.save(path)
    return path


def search_shard(path: str, queries: npt.NDArray[np.float32], k: int,
                 allowlist: npt.NDArray[np.uint64] | None = None) -> Hits:
    """Runs on a worker: the shard's top k for every query, shape (len(queries), min(k, shard size))."""
    index = korvane.Korvane.load(path)
    # Dask runs one task per worker thread already, so one search thread per task;
    # threads=0 would start a thread per core in every worker process. A worker that
    # is alone on its machine can search one shard with threads=0 and all the cores.
    return index.search_batch(queries, k, allowlist=allowlist, threads=1)


def merge(results: list[Hits], k: int) -> Hits:
    """The k best hits of every query across shards, best first, padded as search_batch pads.

    Equal scores are ordered by id. Padding ids never come before a hit, whatever their score.
    """
    ids = np.concatenate([r[0] for r in results], axis=1)
    scores = np.concatenate([r[1] for r in results], axis=1)
    order = np.lexsort((ids, -scores, ids == PAD_ID), axis=1)[:, :k]
    return np.take_along_axis(ids, order, axis=1), np.take_along_axis(scores, order, axis=1)


def by_score_then_id(hits: Hits) -> Hits:
    """A search_batch result with equal scores ordered by id, as merge orders them."""
    return merge([hits], hits[0].shape[1])


def sharded_search(client: Client, paths: list[str], queries: npt.NDArray[np.float32], k: int,
                   allowlist: npt.NDArray[np.uint64] | None = None) -> Hits:
    # The queries go to each worker once, not once per shard. hash=False gives them a new
    # key each time: equal queries scattered again must not share the key of data that
    # an earlier call's future is releasing.
    shared = client.scatter(queries, broadcast=True, hash=False)  # type: ignore[no-untyped-call]
    futures = client.map(search_shard, paths, queries=shared, k=k, allowlist=allowlist)
    results: list[Hits] = client.gather(futures)  # type: ignore[no-untyped-call]
    width = min(k, sum(r[0].shape[1] for r in results))
    return merge(results, width)


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
            # Here the client holds the data and sends one partition to each task. With the
            # data on disk, each task would read its own partition instead (a file each, or
            # the blocks of a dask.array through to_delayed()), and no process would hold it all.
            parts = np.array_split(np.arange(len(ids)), SHARDS)
            paths = [os.path.join(workdir, f"shard-{i}.krvn") for i in range(SHARDS)]
            id_parts = client.scatter([ids[p] for p in parts])
            vector_parts = client.scatter([vectors[p] for p in parts])
            built: list[str] = client.gather(client.map(build_shard, id_parts, vector_parts, paths))
            workers = len(client.scheduler_info()["workers"])
            print(f"{SHARDS} shards of {len(parts[0])} vectors built by {workers} worker processes: "
                  f"{sum(os.path.getsize(p) for p in built)} bytes of .krvn files")
            return sharded_search(client, built, queries, K), sharded_search(client, built, queries, K, allowed)


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
