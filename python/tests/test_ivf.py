import numpy as np
import pytest

from korvane import Korvane

DIM = 24
METRICS = ["cosine", "dot", "l2"]
LAYOUTS = [{}, {"bit_width": 2}, {"mixed_ratio": 0.5}]


def ids_of(hits):
    return [h["id"] for h in hits]


def gaussian(n, seed, dim=DIM):
    return np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32)


def ivf(vectors, ids=None, build=True, **kwargs):
    index = Korvane(vectors.shape[1], index_type="ivf_flat", **kwargs)
    index.add(np.arange(len(vectors), dtype=np.uint64) if ids is None else ids, vectors)
    if build:
        index.build()
    return index


def brute(vectors, ids=None, **kwargs):
    index = Korvane(vectors.shape[1], **kwargs)
    index.add(np.arange(len(vectors), dtype=np.uint64) if ids is None else ids, vectors)
    return index


@pytest.mark.parametrize("metric", METRICS)
def test_identical_vectors_share_a_list(metric):
    vectors = gaussian(200, 1)
    twin = vectors[37]
    vectors = np.vstack([vectors, twin, twin])
    index = ivf(vectors, ivf_nlist=16, ivf_nprobe=1, metric=metric)
    # One list is scanned: both copies come back only if they sit in the same list.
    hits = index.search(twin, len(vectors))
    assert len(hits) < len(vectors)
    found = {h["id"]: h["score"] for h in hits if h["id"] in (37, 200, 201)}
    assert set(found) == {37, 200, 201}
    assert found[37] == found[200] == found[201]


@pytest.mark.parametrize("layout", LAYOUTS, ids=["4bit", "2bit", "mixed"])
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("nprobe", [10, 10**6])
def test_probing_every_list_equals_brute_force(metric, layout, nprobe):
    vectors = gaussian(300, 2)
    ids = np.arange(1000, 1300, dtype=np.uint64)
    index = ivf(vectors, ids, ivf_nlist=10, ivf_nprobe=nprobe, metric=metric, **layout)
    exact = brute(vectors, ids, metric=metric, **layout)
    # Fewer probes than lists must miss something, or the comparison shows nothing.
    index.set_nprobe(1)
    assert len(index.search(vectors[0], 300)) < 300
    index.set_nprobe(nprobe)
    for query in list(gaussian(5, 3)) + [vectors[7]]:
        for k in (1, 10, 300, 301, 2**64 - 1):
            assert index.search(query, k) == exact.search(query, k)


def test_set_nprobe_before_build_is_lost_and_zero_returns_nothing():
    vectors = gaussian(100, 4)
    index = ivf(vectors, build=False, ivf_nlist=4, ivf_nprobe=0)
    index.set_nprobe(4)  # no lists yet: nothing to set
    index.build()
    assert index.search(vectors[0], 10) == []
    index.set_nprobe(4)
    assert len(index.search(vectors[0], 100)) == 100
    index.set_nprobe(1)
    assert 0 < len(index.search(vectors[0], 100)) < 100
    index.set_nprobe(0)
    assert index.search(vectors[0], 100) == []

    kept = ivf(vectors, build=False, ivf_nlist=4, ivf_nprobe=4)
    kept.set_nprobe(0)
    kept.build()
    assert len(kept.search(vectors[0], 100)) == 100


def test_vectors_added_after_build_wait_for_the_next_build():
    vectors = gaussian(40, 5)
    index = ivf(vectors[:30], ivf_nlist=4, ivf_nprobe=4)
    before = index.search(vectors[35], 40)
    index.add(np.arange(100, 110, dtype=np.uint64), vectors[30:])
    assert len(index) == index.n_vectors == 30 and not index.is_empty()
    assert index.search(vectors[35], 40) == before
    assert not {h["id"] for h in before} & set(range(100, 110))
    index.build()
    assert len(index) == 40
    assert ids_of(index.search(vectors[35], 40))[0] == 105


def assert_every_vector_found(index, vectors, ids, k=5):
    for v, i in zip(vectors, ids):
        assert int(i) in ids_of(index.search(v, k)), f"vector {i} lost"
        assert ids_of(index.search(v, k, [int(i)])) == [int(i)]


@pytest.mark.parametrize("metric", METRICS)
def test_second_build_with_room_for_more_lists_clusters_everything_again(metric):
    first, second = gaussian(10, 6, 32), gaussian(100, 7, 32)
    ids = np.arange(500, 610, dtype=np.uint64)
    index = ivf(first, ids[:10], ivf_nlist=64, ivf_nprobe=64, metric=metric)
    index.add(ids[10:], second)
    index.set_nprobe(1)  # the build puts back the configured count
    index.build()
    everything = np.vstack([first, second])
    assert len(index) == 110
    assert_every_vector_found(index, everything, ids)
    exact = brute(everything, ids, metric=metric)
    for v in everything[::9]:
        assert index.search(v, 7) == exact.search(v, 7)
    # The first build made 10 lists; scanning 10 lists no longer covers every vector.
    index.set_nprobe(10)
    assert max(len(index.search(v, 110)) for v in everything[:20]) < 110

    with pytest.raises(RuntimeError) as info:
        index.build()
    assert str(info.value) == "index is empty"
    index.set_nprobe(64)
    assert len(index) == 110
    assert index.search(everything[3], 7) == exact.search(everything[3], 7)


@pytest.mark.parametrize("metric", METRICS)
def test_second_build_with_every_list_in_use_appends(metric):
    first, second = gaussian(300, 8, 32), gaussian(50, 9, 32)
    ids = np.arange(2000, 2350, dtype=np.uint64)
    index = ivf(first, ids[:300], ivf_nlist=8, ivf_nprobe=8, metric=metric)
    index.add(ids[300:], second)
    index.set_nprobe(1)
    index.build()
    everything = np.vstack([first, second])
    assert len(index) == 350
    assert_every_vector_found(index, everything, ids)
    exact = brute(everything, ids, metric=metric)
    for v in everything[::13]:
        assert index.search(v, 7) == exact.search(v, 7)

    with pytest.raises(RuntimeError) as info:
        index.build()
    assert str(info.value) == "index is empty"
    assert len(index) == 350
    assert index.search(everything[301], 7) == exact.search(everything[301], 7)


NLIST_ZERO = "ivf_nlist must be at least 1 for ivf_flat indexes (got 0)"


@pytest.mark.parametrize("kwargs, message", [
    ({}, NLIST_ZERO),
    ({"ivf_nprobe": 0}, NLIST_ZERO),
    ({"metric": "l2", "bit_width": 2, "mixed_ratio": 0.5}, NLIST_ZERO),
    ({"metric": "x"}, "unknown metric 'x': use 'cosine', 'dot', or 'l2'"),
    ({"bit_width": 3}, "invalid bit width: 3 (must be 2 or 4)"),
    ({"dim": 2**63 + 1}, "dim 9223372036854775809 is too large: its padded size cannot be represented"),
])
def test_zero_lists_refused_at_construction(kwargs, message):
    with pytest.raises(ValueError) as info:
        Korvane(**{"dim": 16, "index_type": "ivf_flat", "ivf_nlist": 0, **kwargs})
    assert str(info.value) == message


@pytest.mark.parametrize("index_type", ["brute_force", "hnsw"])
def test_zero_lists_mean_nothing_to_other_index_types(index_type):
    assert len(Korvane(16, index_type=index_type, ivf_nlist=0)) == 0


def test_allowlist_applies_after_the_cut_to_k():
    vectors = gaussian(60, 10)
    index = ivf(vectors, ivf_nlist=4, ivf_nprobe=4)
    ranked = ids_of(index.search(vectors[0], 60))
    assert len(ranked) == 60
    top, outside = ranked[:5], ranked[9]
    assert index.search(vectors[0], 5, [outside]) == []
    assert ids_of(index.search(vectors[0], 5, [outside, top[3], top[1]])) == [top[1], top[3]]
    assert index.search(vectors[0], 5, []) == []
    assert ids_of(index.search(vectors[0], 10, [outside])) == [outside]


@pytest.mark.parametrize("add, call, exc, message", [
    (False, lambda ix: ix.search([0.5] * 8, 1), RuntimeError, "index is empty"),
    (False, lambda ix: ix.search([0.5] * 8, 0), RuntimeError, "index is empty"),
    (True, lambda ix: ix.search([0.5] * 8, 1), RuntimeError, "call build() before search() for IvfFlat indexes"),
    (True, lambda ix: ix.search([0.5] * 8, 0), RuntimeError, "call build() before search() for IvfFlat indexes"),
    (True, lambda ix: ix.search([0.5] * 7, 1), ValueError, "query dimension mismatch: expected 8, got 7"),
])
def test_search_before_build(add, call, exc, message):
    index = Korvane(8, index_type="ivf_flat", ivf_nlist=2)
    if add:
        index.add([1, 2, 3], gaussian(3, 11, 8))
        index.set_nprobe(2)
    with pytest.raises(exc) as info:
        call(index)
    assert str(info.value) == message


def test_one_vector_one_list():
    index = ivf(gaussian(1, 12, 8), ivf_nlist=256, ivf_nprobe=1)
    assert ids_of(index.search(gaussian(1, 13, 8)[0], 3)) == [0]
    assert index.search(gaussian(1, 13, 8)[0], 0) == []


@pytest.mark.parametrize("bad", [[np.nan], [np.inf], [3e38, 3e38]], ids=["nan", "inf", "two 3e38"])
@pytest.mark.parametrize("metric", METRICS)
def test_a_non_finite_row_leaves_every_search_its_k_hits(metric, bad, tmp_path):
    vectors = gaussian(2001, 14)
    vectors[2000, :len(bad)] = bad
    index = ivf(vectors, metric=metric)
    index.save(str(tmp_path / "a.krvn"))
    loaded = Korvane.load(str(tmp_path / "a.krvn"))
    for q in gaussian(20, 15):
        assert len(index.search(q, 10)) == 10 and loaded.search(q, 10) == index.search(q, 10)
