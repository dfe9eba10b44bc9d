import numpy as np
import pytest

from korvane import Korvane

DIM = 16


@pytest.fixture(scope="module")
def filled():
    vectors = np.random.default_rng(11).standard_normal((10, DIM)).astype(np.float32)
    index = Korvane(DIM)
    index.add(range(10, 20), vectors)
    return index, vectors


def ids_of(hits):
    return [h["id"] for h in hits]


def test_hits_are_dicts_of_id_then_score(filled):
    index, vectors = filled
    hits = index.search(vectors[4], 3)
    assert len(hits) == 3 and ids_of(hits)[0] == 14
    for hit in hits:
        assert list(hit) == ["id", "score"]
        assert type(hit["id"]) is int and type(hit["score"]) is float


@pytest.mark.parametrize("k, allowlist, expected_count", [
    (0, None, 0), (3, None, 3), (10, None, 10), (11, None, 10), (10**12, None, 10), (2**64 - 1, None, 10),
    (5, [], 0), (5, [12, 999], 1), (5, [11, 11, 15], 2), (5, range(10, 14), 4),
    (5, np.array([13, 2**64 - 1], np.uint64), 1),
])
def test_k_and_allowlist(filled, k, allowlist, expected_count):
    index, vectors = filled
    hits = index.search(vectors[0], k, allowlist)
    assert len(hits) == expected_count
    if allowlist is None:
        assert index.search(vectors[0], k=k) == hits
    else:
        assert set(ids_of(hits)) <= set(int(i) for i in allowlist)


@pytest.mark.parametrize("kwargs, exc, prefix", [
    ({"k": -1}, OverflowError, None),
    ({"k": 2**64}, OverflowError, None),
    ({"k": 2.0}, TypeError, "argument 'k': "),
    ({"k": 2, "allowlist": [-1]}, OverflowError, None),
    ({"k": 2, "allowlist": "12"}, TypeError, "argument 'allowlist': 'str' object cannot be converted"),
    ({"k": 2, "allowlist": [1.5]}, TypeError, "argument 'allowlist': "),
    ({"k": 2, "allowlist": 12}, TypeError, "argument 'allowlist': 'int' object cannot be converted to 'Sequence'"),
])
def test_search_argument_errors(filled, kwargs, exc, prefix):
    index, vectors = filled
    with pytest.raises(exc) as info:
        index.search(vectors[0], **kwargs)
    if prefix is not None:
        assert str(info.value).startswith(prefix)
        assert isinstance(info.value.__cause__, TypeError)


def test_ties_and_duplicate_ids():
    same = np.ones((4, DIM), np.float32)
    index = Korvane(DIM)
    index.add([1, 2, 3, 4], same)
    assert ids_of(index.search(same[0], 3)) == [3, 1, 2]
    two = Korvane(DIM)
    two.add([8, 9], same[:2])
    assert ids_of(two.search(same[0], 1)) == [8]
    dup = Korvane(DIM)
    dup.add([7, 7], np.eye(2, DIM, dtype=np.float32))
    assert ids_of(dup.search(np.eye(1, DIM, dtype=np.float32)[0], 2)) == [7, 7]


def filled_ivf():
    index = Korvane(DIM, index_type="ivf_flat")
    index.add([1, 2], np.ones((2, DIM), np.float32))
    return index


@pytest.mark.parametrize("make, call, exc, message", [
    (lambda: Korvane(DIM), lambda ix: ix.search([0.5] * DIM, 0), RuntimeError, "index is empty"),
    # The query length is checked before emptiness.
    (lambda: Korvane(DIM), lambda ix: ix.search([0.5] * (DIM - 1), 1), ValueError,
     f"query dimension mismatch: expected {DIM}, got {DIM - 1}"),
    (lambda: Korvane(DIM, index_type="hnsw"), lambda ix: ix.search([0.5] * DIM, 1), RuntimeError, "index is empty"),
    (lambda: Korvane(DIM, index_type="ivf_flat"), lambda ix: ix.build(), RuntimeError, "index is empty"),
    (filled_ivf, lambda ix: ix.search([0.5] * DIM, 1), RuntimeError, "call build() before search() for IvfFlat indexes"),
    (lambda: Korvane(0), lambda ix: ix.add([1], np.zeros((1, 0), np.float32)), ValueError,
     "id/vector count mismatch: 1 ids vs 0 vectors"),
])
def test_engine_errors(make, call, exc, message):
    index = make()
    with pytest.raises(exc) as info:
        call(index)
    assert str(info.value) == message


@pytest.mark.parametrize("index_type", ["brute_force", "ivf_flat", "hnsw"])
def test_setters(index_type):
    index = Korvane(DIM, index_type=index_type)
    assert index.set_nprobe(3) is None and index.set_ef_search(0) is None
    with pytest.raises(OverflowError):
        index.set_nprobe(-1)
    with pytest.raises(TypeError, match="^argument 'ef': "):
        index.set_ef_search(1.5)


def test_empty_adds_store_nothing():
    index = Korvane(DIM)
    index.add([], [])
    index.add(np.array([], np.uint64), np.zeros((0, DIM), np.float32))
    assert len(index) == 0


@pytest.mark.parametrize("metric, layout, minimum", [
    ("cosine", {}, 0.99), ("l2", {}, 0.99),
    ("cosine", {"mixed_ratio": 0.5}, 0.99), ("l2", {"mixed_ratio": 0.5}, 0.99),
    ("cosine", {"bit_width": 2}, 0.95), ("l2", {"bit_width": 2}, 0.95),
])
def test_a_stored_vector_finds_itself(metric, layout, minimum):
    rng = np.random.default_rng(2024)
    vectors = rng.standard_normal((10_000, 128)).astype(np.float32)
    index = Korvane(128, metric=metric, **layout)
    index.add(np.arange(10_000, dtype=np.uint64), vectors)
    picks = rng.choice(10_000, 1_000, replace=False)
    found = sum(index.search(vectors[i], 1)[0]["id"] == i for i in picks)
    assert found / 1_000 >= minimum


@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
def test_dimension_zero_stores_and_finds_empty_rows(metric):
    index = Korvane(0, metric=metric)
    index.add([1], [[]])
    assert len(index) == 1
    assert [h["id"] for h in index.search([], 5)] == [1]
