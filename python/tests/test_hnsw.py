import struct
import numpy as np
import pytest

from korvane import Korvane

METRIC_HINT = "use 'cosine', 'dot', or 'l2'"


def ids_of(hits):
    return [h["id"] for h in hits]


def clustered(rng, centres, count, spread=1.0):
    labels = rng.integers(0, len(centres), count)
    return (centres[labels] + spread * rng.standard_normal((count, centres.shape[1]))).astype(np.float32)


def exact_top(data, queries, metric, k):
    if metric == "cosine":
        data = data / np.linalg.norm(data, axis=1, keepdims=True)
        queries = queries / np.linalg.norm(queries, axis=1, keepdims=True)
        scores = queries @ data.T
    else:
        scores = 2 * queries @ data.T - (data**2).sum(1)[None, :]
    return np.argsort(-scores, axis=1, kind="stable")[:, :k]


def filled(data, metric="cosine", first_id=0, **kwargs):
    index = Korvane(data.shape[1], metric=metric, **kwargs)
    if metric == "l2":
        index.fit(data[:1000])  # unstandardized L2 vectors saturate the codes
    index.add(np.arange(first_id, first_id + len(data), dtype=np.uint64), data)
    return index


@pytest.fixture(scope="module")
def blobs():
    """5,000 vectors of 64 dimensions around 32 centres, and 200 queries drawn alike."""
    rng = np.random.default_rng(7)
    centres = rng.standard_normal((32, 64)).astype(np.float32)
    return clustered(rng, centres, 5000), clustered(rng, centres, 200)


@pytest.fixture(scope="module")
def blob_graphs(blobs):
    data, _ = blobs
    return {metric: filled(data, metric, index_type="hnsw", hnsw_m=16, hnsw_ef_construction=100)
            for metric in ("cosine", "l2")}


@pytest.fixture(scope="module")
def small():
    """40 vectors in a graph small enough that every node is reachable."""
    vectors = np.random.default_rng(3).standard_normal((40, 16)).astype(np.float32)
    index = Korvane(16, index_type="hnsw", hnsw_m=4, hnsw_ef_construction=100)
    index.add(range(100, 140), vectors)
    return index, vectors


# ---- recall ------------------------------------------------------------------------------------

@pytest.mark.parametrize("metric", ["cosine", "l2"])
def test_recall_rises_with_ef_to_the_brute_force_level(blobs, blob_graphs, metric):
    data, queries = blobs
    truth = exact_top(data, queries, metric, 10)

    def recall(index):
        return np.mean([len(set(ids_of(index.search(q, 10))) & set(truth[i].tolist())) / 10
                        for i, q in enumerate(queries)])

    brute = recall(filled(data, metric))
    graph = blob_graphs[metric]
    efs = [0, 16, 32, 64, 128]  # 0: the beam is k wide
    recalls = []
    for ef in efs:
        graph.set_ef_search(ef)
        recalls.append(recall(graph))
    assert all(b >= a - 0.01 for a, b in zip(recalls, recalls[1:])), recalls
    assert recalls[-1] > recalls[0], recalls
    assert min(recalls[3:]) >= 0.95 * brute, (recalls, brute)


@pytest.mark.parametrize("metric", ["cosine", "l2"])
def test_nan_rows_leave_the_recall_of_finite_rows_alone(metric):
    rs = np.random.RandomState(0)
    data = rs.standard_normal((5000, 32)).astype(np.float32)
    queries = rs.standard_normal((200, 32)).astype(np.float32)
    finite = np.setdiff1d(np.arange(5000), rs.choice(5000, 63, replace=False))

    def index_of(rows, **kwargs):
        index = Korvane(32, metric=metric, **kwargs)
        if metric == "l2":
            index.fit(data[finite[:1000]])
        index.add(rows.astype(np.uint64), np.where(np.isin(rows, finite)[:, None], data[rows], np.nan))
        return index

    brute = index_of(finite)
    truth = [set(ids_of(brute.search(q, 10))) for q in queries]
    recalls = []
    for rows in (finite, np.arange(5000)):  # without the NaN rows, then with them
        graph = index_of(rows, index_type="hnsw", hnsw_m=16, hnsw_ef_construction=100, hnsw_ef_search=64)
        recalls.append(np.mean([len(set(ids_of(graph.search(q, 10))) & t) / 10 for q, t in zip(queries, truth)]))
    assert recalls[1] >= recalls[0] - 0.01, recalls


# ---- beam width and k --------------------------------------------------------------------------

@pytest.mark.parametrize("ef_search", [0, 1, 5])
def test_k_beyond_ef_search_widens_the_beam(ef_search):
    vectors = np.random.default_rng(3).standard_normal((40, 16)).astype(np.float32)
    index = Korvane(16, index_type="hnsw", hnsw_m=4, hnsw_ef_construction=100, hnsw_ef_search=ef_search)
    index.add(range(100, 140), vectors)
    for q in vectors[:5]:
        hits = index.search(q, 40)
        assert sorted(ids_of(hits)) == list(range(100, 140))
        scores = [h["score"] for h in hits]
        assert scores == sorted(scores, reverse=True)
        assert len(index.search(q, 7)) == 7


@pytest.mark.parametrize("ef, k", [
    (None, 0), (2**64 - 1, 0), (2**64 - 1, 40), (2**64 - 1, 10**12), (2**64 - 1, 2**64 - 1), (0, 10**12), (7, 2**64 - 1),
])
def test_huge_ef_and_k_answer_normally(small, ef, k):
    index, vectors = small
    index.set_ef_search(40)
    every = index.search(vectors[2], 40)
    if ef is not None:
        index.set_ef_search(ef)
    hits = index.search(vectors[2], k)
    assert hits == (every if k else [])
    assert ids_of(every)[0] == 102


def test_ef_search_zero_makes_the_beam_k_wide(blobs, blob_graphs):
    _, queries = blobs
    graph = blob_graphs["cosine"]
    differs = 0
    for k in (1, 10):
        for q in queries[:100]:
            answers = []
            for ef in (0, 1, k, 200):
                graph.set_ef_search(ef)
                answers.append(graph.search(q, k))
            assert answers[0] == answers[1] == answers[2]
            differs += answers[0] != answers[3]
    assert differs > 0  # a wider beam would have changed some answers


def test_set_nprobe_leaves_an_hnsw_index_alone(blobs, blob_graphs):
    _, queries = blobs
    graph = blob_graphs["cosine"]
    graph.set_ef_search(128)
    before = [graph.search(q, 10) for q in queries[:50]]
    for nprobe in (0, 1, 2**64 - 1):
        assert graph.set_nprobe(nprobe) is None
        assert [graph.search(q, 10) for q in queries[:50]] == before


# ---- allowlist ------------------------------------------------------------------------------

@pytest.mark.parametrize("ef", [0, 40])  # 40: the beam holds every node, not only the k best
def test_allowlist_applies_after_the_cut_to_k(small, ef):
    index, vectors = small
    index.set_ef_search(ef)
    top = index.search(vectors[5], 5)
    top_ids = ids_of(top)
    assert len(top) == 5 and top_ids[0] == 105
    others = [i for i in range(100, 140) if i not in top_ids]
    assert index.search(vectors[5], 5, others) == []
    assert index.search(vectors[5], 5, [top_ids[3], 999, top_ids[1], top_ids[3]]) == [top[1], top[3]]
    assert index.search(vectors[5], 5, list(reversed(range(100, 140)))) == top
    assert index.search(vectors[5], 5, [1, 2, 3]) == []
    assert index.search(vectors[5], 0, top_ids) == []


# ---- construction order ----------------------------------------------------------------------

@pytest.mark.parametrize("metric", ["cosine", "l2"])
@pytest.mark.parametrize("splits", [[10, 10], [1, 19], [7, 6, 7]])
def test_adds_in_parts_answer_like_one_add(metric, splits):
    rng = np.random.default_rng(5)
    centres = rng.standard_normal((3, 24)).astype(np.float32)
    vectors = clustered(rng, centres, 20, 0.5)
    queries = clustered(rng, centres, 60, 0.7)
    whole = Korvane(24, metric=metric, index_type="hnsw", hnsw_m=2, hnsw_ef_construction=4)
    parts = Korvane(24, metric=metric, index_type="hnsw", hnsw_m=2, hnsw_ef_construction=4)
    whole.add(range(20), vectors)
    start = 0
    for size in splits:
        parts.add(range(start, start + size), vectors[start:start + size])
        start += size
    assert len(parts) == len(whole) == 20
    for ef in (0, 40):
        whole.set_ef_search(ef)
        parts.set_ef_search(ef)
        for q in queries:
            for k in (1, 3, 20):
                assert parts.search(q, k) == whole.search(q, k)


@pytest.mark.parametrize("metric", ["cosine", "l2"])
def test_add_after_build_finds_new_and_old_vectors(metric):
    rng = np.random.default_rng(11)
    old = rng.standard_normal((1000, 64)).astype(np.float32)
    new = rng.standard_normal((200, 64)).astype(np.float32)
    index = filled(old, metric, index_type="hnsw", hnsw_m=8, hnsw_ef_construction=64)
    index.build()
    index.set_ef_search(64)
    picks = range(0, 1000, 5)
    assert np.mean([index.search(old[i], 1)[0]["id"] == i for i in picks]) >= 0.98
    index.add(np.arange(1000, 1200, dtype=np.uint64), new)
    assert len(index) == 1200
    new_found = np.mean([index.search(v, 1)[0]["id"] == 1000 + i for i, v in enumerate(new)])
    old_found = np.mean([index.search(old[i], 1)[0]["id"] == i for i in picks])
    assert new_found >= 0.98 and old_found >= 0.98, (new_found, old_found)
    index.build()  # a second build and add work the same way
    index.add([5000], new[:1] * 2)
    assert len(index) == 1201 and index.search(new[0] * 2, 1)[0]["id"] in (5000, 1000)


def test_equal_vectors_under_two_ids_score_alike():
    rng = np.random.default_rng(2)
    vectors = rng.standard_normal((30, 16)).astype(np.float32)
    index = Korvane(16, index_type="hnsw", hnsw_m=4, hnsw_ef_construction=50)
    index.add(range(30), vectors)
    index.add([77], vectors[4:5])
    hits = index.search(vectors[4], 3)
    assert sorted(ids_of(hits[:2])) == [4, 77]
    assert hits[0]["score"] == hits[1]["score"] > hits[2]["score"]


# ---- construction arguments and errors ----------------------------------------------------------

@pytest.mark.parametrize("kwargs, message", [
    ({"hnsw_m": 0}, "hnsw_m must be at least 2 for hnsw indexes (got 0)"),
    ({"hnsw_m": 1}, "hnsw_m must be at least 2 for hnsw indexes (got 1)"),
    ({"hnsw_m": 1, "hnsw_ef_construction": 0, "hnsw_ef_search": 0},
     "hnsw_m must be at least 2 for hnsw indexes (got 1)"),
    ({"hnsw_m": 0, "metric": "bad"}, f"unknown metric 'bad': {METRIC_HINT}"),
    ({"hnsw_m": 1, "bit_width": 3}, "invalid bit width: 3 (must be 2 or 4)"),
    ({"hnsw_m": 0, "dim": 2**63 + 1}, "dim 9223372036854775809 is too large: its padded size cannot be represented"),
])
def test_hnsw_m_below_two_is_refused(kwargs, message):
    with pytest.raises(ValueError) as info:
        Korvane(**{"dim": 8, "index_type": "hnsw", **kwargs})
    assert str(info.value) == message


@pytest.mark.parametrize("kwargs", [
    {"index_type": "hnsw", "hnsw_m": 2},
    {"index_type": "brute_force", "hnsw_m": 0},
    {"index_type": "ivf_flat", "hnsw_m": 1},
])
def test_hnsw_m_matters_only_to_hnsw(kwargs):
    index = Korvane(8, **kwargs)
    index.add(range(6), np.eye(6, 8, dtype=np.float32))
    index.build()
    index.set_nprobe(8)
    assert ids_of(index.search(np.eye(6, 8, dtype=np.float32)[3], 1)) == [3]


@pytest.mark.parametrize("k, allowlist", [(0, None), (5, None), (5, [1, 2]), (2**64 - 1, None)])
def test_empty_graph_search_is_an_error(k, allowlist):
    index = Korvane(8, index_type="hnsw")
    index.set_ef_search(0)
    index.build()
    with pytest.raises(RuntimeError) as info:
        index.search([0.5] * 8, k, allowlist)
    assert str(info.value) == "index is empty"


def test_a_file_whose_nodes_are_all_deleted_takes_new_rows(tmp_path):
    # (A file can list every node as deleted; rows added to it must be found and removable.)
    x = np.random.default_rng(0).standard_normal((10, 8)).astype(np.float32)
    index = Korvane(8, index_type="hnsw", hnsw_m=4)
    index.add(np.arange(10), x)
    index.remove([3])
    index.save(str(tmp_path / "a.krvn"))
    data = (tmp_path / "a.krvn").read_bytes()
    at = data.index(b"KDEL")
    listed = b"KDEL" + struct.pack("<IQ", 1, 10) + b"".join(struct.pack("<I", i) for i in range(10))
    (tmp_path / "b.krvn").write_bytes(data[:at] + listed + data[at + 24:])
    loaded = Korvane.load(str(tmp_path / "b.krvn"))
    assert len(loaded) == 0 and 3 not in loaded
    loaded.add([20], x[:1])
    assert [h["id"] for h in loaded.search(x[0], 3)] == [20] and loaded.remove([20]) == 1
