"""korvane.dask on a local cluster of two worker processes: shards built by build_shards
and searched through a ShardedIndex answer as one index holding every vector."""
import numpy as np
import pytest

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
import dask.array as da  # noqa: E402

import korvane  # noqa: E402
import korvane.dask as kd  # noqa: E402

DIM = 16
PAD = np.uint64(2**64 - 1)


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    with dask.config.set({"temporary-directory": str(tmp_path_factory.mktemp("dask"))}):
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
        with cluster, distributed.Client(cluster) as c:
            yield c


def cached_shards(client):
    return sum(client.run(lambda: len(kd._loaded)).values())


@pytest.mark.parametrize("metric, options", [("cosine", {}), ("l2", {}),
                                             ("cosine", {"index_type": "ivf_flat", "ivf_nlist": 4, "ivf_nprobe": 4})])
def test_shards_answer_as_one_index(client, tmp_path, metric, options):
    rng = np.random.default_rng(7)
    n, k = 600, 10
    vectors = rng.standard_normal((n, DIM)).astype(np.float32)
    ids = rng.choice(2**40, size=n, replace=False).astype(np.uint64)
    ids[5] = PAD  # a real id, not padding: it must rank by its score
    vectors[300:303] = vectors[0:3]  # equal scores in different shards, ranked by id
    chunks = ((250, 0, 200, 150), (8, 8))  # an empty partition; columns split, rows kept together
    sample = rng.standard_normal((100, DIM)) if metric == "l2" else None
    shard_ids = da.from_array(ids, chunks=300) if sample is None else ids  # Dask ids are re-chunked
    index = kd.build_shards(client, shard_ids, da.from_array(vectors, chunks=chunks), tmp_path, metric=metric,
                            fit_sample=sample, **options)
    whole = korvane.Korvane(DIM, metric=metric)
    if sample is not None:
        whole.fit(sample)
    whole.add(ids, vectors)
    queries = np.concatenate([vectors[[0, 1, 2, 5]], rng.standard_normal((16, DIM)).astype(np.float32)])
    with index:
        assert len(index) == n and repr(index) == f"ShardedIndex(shards=3, n={n}, dim={DIM}, metric='{metric}')"
        allowed = np.concatenate([ids[[0, 300, 5]], rng.choice(ids, 3)])  # fewer than k: padded
        # An IvfFlat allowlist drops hits after the cut, unlike one BruteForce index's.
        for allowlist in (None, allowed) if not options else (None,):
            got = index.search_batch(queries, k, allowlist)
            # One index asked for every vector, so that no tie at the k-th place is cut.
            want_ids, want_scores = whole.search_batch(queries, n, allowlist)
            order = np.lexsort((want_ids, -want_scores, (want_ids == PAD) & (want_scores == -np.inf)))[:, :k]
            assert got[0].dtype == np.uint64 and got[1].dtype == np.float32 and got[0].shape == (len(queries), k)
            np.testing.assert_array_equal(got[0], np.take_along_axis(want_ids, order, axis=1))
            np.testing.assert_array_equal(got[1], np.take_along_axis(want_scores, order, axis=1))
        assert cached_shards(client) == 3  # each shard loaded on one worker only; none for the empty partition
    assert cached_shards(client) == 0 and repr(index).endswith(", closed)")


@pytest.mark.parametrize("first, second, message", [
    ({}, {"metric": "dot"}, "share dim, metric and code layout"),
    ({}, {"bit_width": 2}, "share dim, metric and code layout"),
    ({"metric": "l2", "fit_seed": 0}, {"metric": "l2", "fit_seed": 1}, "fitted alike"),
])
def test_shards_that_score_differently_are_refused(client, tmp_path, first, second, message):
    for i, options in enumerate((dict(first), dict(second))):
        fit_seed = options.pop("fit_seed", None)
        shard = korvane.Korvane(DIM, **options)
        if fit_seed is not None:
            shard.fit(np.random.default_rng(fit_seed).standard_normal((50, DIM)))
        shard.add([i], np.ones((1, DIM)))
        shard.save(str(tmp_path / f"{i}.krvn"))
    with pytest.raises(ValueError, match=message):
        kd.ShardedIndex(client, [tmp_path / "0.krvn", tmp_path / "1.krvn"])
    assert cached_shards(client) == 0  # what was loaded is released
