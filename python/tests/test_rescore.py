"""Kept vectors and re-scoring: keep_vectors, set_rescore and kept_vectors; the candidates a
re-scored search starts from, the scores it gives them, the kept rows in a saved file and
the loader's checks of them."""

import copy
import json
import math
import pathlib
import pickle
import runpy
import struct
import textwrap

import numpy as np
import pytest

from korvane import Korvane

import krvn_bytes as kb

DIM = 20  # padded_dim 32
PADDED = 32
N = 120
KINDS = {
    "brute_force": {},
    "ivf_flat": {"ivf_nlist": 6, "ivf_nprobe": 2},
    "hnsw": {"hnsw_m": 6, "hnsw_ef_construction": 40, "hnsw_ef_search": 12},
}
DTYPES = ("float32", "float16", "int8")
DTYPE_CODES = {"float32": 0, "float16": 1, "int8": 2}
# (metric, fit): L2 both with and without a standardization, which changes the kept rows.
METRICS = [("cosine", False), ("dot", False), ("l2", False), ("l2", True)]
METRIC_IDS = ["cosine", "dot", "l2", "l2-fit"]
NEEDS_KEPT = "set_rescore() needs kept vectors: call keep_vectors() before add()"
ALREADY_FILLED = "keep_vectors() must be called before add() \u2014 index already contains vectors"
MISMATCH = "invalid .krvn file: kept vectors do not match the index"
TRUNCATED = "io error: failed to fill whole buffer"
TRAILER = struct.Struct("<4sIBQQd")  # tag, section, type, row count, row length, oversampling

rng = np.random.default_rng(31)
# Offset and scaled, so that an L2 standardization changes the transformed vectors.
VECTORS = (rng.standard_normal((N, DIM)) * 3.0 + 1.5).astype(np.float32)
MORE = (rng.standard_normal((60, DIM)) * 3.0 + 1.5).astype(np.float32)
QUERIES = (rng.standard_normal((6, DIM)) * 3.0 + 1.5).astype(np.float32)
IDS = [(1 << 40) + 7919 * i for i in range(N)]
MORE_IDS = [5000 + i for i in range(len(MORE))]
ALLOW = IDS[::3] + MORE_IDS[::4]
# Rows whose re-scores are not finite: one near a query by its codes but NaN, one far from
# unit scale, one infinite value.
POISONED = VECTORS.copy()
POISONED[0] = QUERIES[0]
POISONED[0, 3] = np.nan
POISONED[1] = QUERIES[1] * np.float32(1e30)
POISONED[2, 0] = np.inf


def make(kind="brute_force", metric="cosine", dtype=None, fit=False, n=N, vectors=VECTORS, **extra):
    index = Korvane(DIM, metric=metric, index_type=kind, **{**KINDS[kind], **extra})
    if fit:
        index.fit(vectors)
    if dtype is not None:
        index.keep_vectors(dtype)
    if n:
        index.add(IDS[:n], vectors[:n])
        index.build()
    return index


def file_of(index):
    """The bytes save() writes: a pickle's state is the saved file, sealed, with the run-time
    settings of an IvfFlat or Hnsw index in a last section of 25 bytes."""
    data = kb.unseal(index.__reduce__()[2][0])
    return data[:-25] if data[-25:-21] == b"KRUN" else data


def from_bytes(data):
    index = Korvane(0)
    index.__setstate__(data)
    return index


def row_bytes(dtype, padded=PADDED):
    return {"float32": 4 + 4 * padded, "float16": 8 + 2 * padded, "int8": 8 + padded}[dtype]


def split_trailer(index, data=None):
    """(everything before the kept rows' section, its fields, the rows) of the file of an
    index with kept vectors."""
    data = file_of(index) if data is None else data
    size = TRAILER.size + len(index) * row_bytes(index.kept_vectors, index.padded_dim)
    at = len(data) - size
    fields = dict(zip(("tag", "section", "type", "count", "length", "oversampling"), TRAILER.unpack_from(data, at)))
    return data[:at], fields, data[at + TRAILER.size:]


def body_ids(index, before):
    """The ids in the order the body stores them (and the kept rows follow)."""
    _, _, body = kb.split(before)
    r = index.packed_bytes_per_vec
    if index.index_type == "IvfFlat":
        return [vid for _, members in kb.parse_ivf(body, r)[1] for vid, _, _ in members]
    if index.index_type == "Hnsw":
        return [node[0] for node in kb.parse_hnsw(body, r)[2]]
    return kb.parse_brute(body, len(index), r)[1]


def decode_rows(rows, dtype, padded=PADDED):
    """(norms, values as float32) of kept rows read from a file."""
    a = np.frombuffer(rows, np.uint8).reshape(-1, row_bytes(dtype, padded))
    norms = a[:, :4].copy().view("<f4")[:, 0]
    if dtype == "float32":
        return norms, a[:, 4:].copy().view("<f4")
    scale = a[:, 4:8].copy().view("<f4")[:, 0]
    if dtype == "float16":
        return norms, a[:, 8:].copy().view("<f2").astype(np.float32) * scale[:, None]
    return norms, a[:, 8:].copy().view(np.int8).astype(np.float32) * scale[:, None]


def kept_table(index):
    """{id: (norm, values, the row's bytes)} from the kept rows of the index's file."""
    before, fields, rows = split_trailer(index)
    assert fields["tag"] == b"KVEC" and fields["count"] == len(index)
    norms, values = decode_rows(rows, index.kept_vectors, index.padded_dim)
    rb = row_bytes(index.kept_vectors, index.padded_dim)
    return {vid: (norms[i], values[i], rows[i * rb:(i + 1) * rb]) for i, vid in enumerate(body_ids(index, before))}


def sequential_dots(q, values):
    """q · each row, summed in index order in single precision."""
    acc = np.full(len(values), -0.0, np.float32)
    for d in range(values.shape[1]):
        acc = acc + q[d] * values[:, d]
    return acc


def sequential_norms(values):
    return np.sqrt(sequential_dots(np.ones(values.shape[1], np.float32), values * values))


def adjusted(raw, norms, metric):
    if metric == "cosine":
        return raw / np.where(norms > np.float32(1e-9), norms, np.float32(1.0))
    if metric == "l2":
        return raw + (norms * np.float32(-0.5)) * norms
    return raw


def rescored(index, table, query, candidates, k):
    """The best k of `candidates` (ids) re-scored from `table`, sorted stably."""
    if not candidates:
        return [], np.zeros(0, np.float32)
    norms = np.array([table[c][0] for c in candidates], np.float32)
    values = np.array([table[c][1] for c in candidates], np.float32)
    scores = adjusted(sequential_dots(index.transform_query_np(query), values), norms, index.metric)
    # A score that is not a number, or infinite, ranks below every number.
    order = np.argsort(np.where(np.isfinite(scores), -scores, np.inf), kind="stable")[:k]
    return [candidates[i] for i in order], scores[order]


def ids_of(hits):
    return [h["id"] for h in hits]


def scores_of(hits):
    return np.array([h["score"] for h in hits], np.float32)


def answers(index, k=10):
    return [index.search(q, k) for q in QUERIES] + [index.search(q, k, ALLOW) for q in QUERIES]


def r_for(k, oversampling):
    return max(k, math.ceil(k * oversampling))


# ---- switched off, re-scoring changes nothing ------------------------------------------------

@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("metric, fit", METRICS, ids=METRIC_IDS)
@pytest.mark.parametrize("kind", KINDS)
def test_without_rescoring_every_answer_is_as_without_kept_vectors(kind, metric, fit, dtype):
    plain = make(kind, metric, fit=fit)
    kept = make(kind, metric, dtype, fit=fit)
    assert kept.kept_vectors == dtype and plain.kept_vectors is None
    # Switched on (the default after keep_vectors) the scores come from the kept rows...
    assert [scores_of(h).tolist() for h in answers(kept)] != [scores_of(h).tolist() for h in answers(plain)]
    kept.set_rescore(0)
    for k in (1, 10, N + 5):
        assert answers(kept, k) == answers(plain, k)
    assert all(np.array_equal(a, b) for a, b in zip(kept.search_batch(QUERIES, 7, ALLOW, threads=2),
                                                    plain.search_batch(QUERIES, 7, ALLOW, threads=2)))
    # ...and the structure they were added to is the same one.
    assert split_trailer(kept)[0] == file_of(plain)


# ---- the kept rows -----------------------------------------------------------------------------

@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("metric, fit", METRICS, ids=METRIC_IDS)
@pytest.mark.parametrize("kind", KINDS)
def test_kept_rows_hold_the_transformed_vectors(kind, metric, fit, dtype):
    index = make(kind, metric, dtype, fit=fit)
    table = kept_table(index)
    assert sorted(table) == sorted(IDS)
    by_id = dict(zip(IDS, VECTORS))
    for vid, (norm, values, row) in table.items():
        t = index.transform_query_np(by_id[vid])
        if dtype == "float32":
            assert values.tobytes() == t.tobytes()
        elif dtype == "float16":
            # Unit-scale data keeps a scale of 1 and each value rounded to half.
            assert row[4:8] == struct.pack("<f", 1.0)
            assert values.tobytes() == t.astype(np.float16).astype(np.float32).tobytes()
        else:
            scale = np.frombuffer(row[4:8], "<f4")[0]
            codes = np.frombuffer(row[8:], np.int8)
            assert scale == np.float32(np.abs(t).max()) / np.float32(127)
            assert np.abs(codes).max() == 127 and codes[np.abs(t).argmax()] == np.sign(t[np.abs(t).argmax()]) * 127
            assert values.tobytes() == (codes.astype(np.float32) * scale).tobytes()
            assert np.abs(values - t).max() <= scale * np.float32(0.5 + 1e-5)
        assert norm == sequential_norms(values[None, :])[0]


# ---- re-scored answers ---------------------------------------------------------------------

@pytest.mark.parametrize("dtype, scale", [("float32", 1), ("float32", 5000), ("float16", 1), ("float16", 5000)])
@pytest.mark.parametrize("metric, fit", METRICS, ids=METRIC_IDS)
@pytest.mark.parametrize("kind", ["brute_force", "ivf_flat"])
def test_oversampling_past_the_count_gives_the_exact_top_k_of_the_kept_vectors(kind, metric, fit, dtype, scale):
    # R >= the vector count: every vector is a candidate (IVF probing every list), so the
    # answer is the exact top k of the transformed vectors, computed here from scratch. At
    # scale 5000 (norms near 75,000) transformed values pass the largest half, 65,504.
    vectors = VECTORS * np.float32(scale)
    index = make(kind, metric, dtype, fit=fit, vectors=vectors, ivf_nprobe=6)
    index.set_rescore(1000)
    t = np.array([index.transform_query_np(v) for v in vectors], np.float64)
    norms = np.sqrt((t**2).sum(1))
    # float16 rounds each value within 2**-11 of itself: scores within that of the size of their terms.
    tolerance = {"float32": 1e-5, "float16": 1e-3}[dtype]
    for allowlist in (None, ALLOW):
        allowed = np.array([allowlist is None or i in allowlist for i in IDS])
        for q in QUERIES * np.float32(scale):
            tq = index.transform_query_np(q).astype(np.float64)
            raw = t @ tq
            score = raw / norms if metric == "cosine" else raw - 0.5 * norms**2 if metric == "l2" else raw
            size = {"cosine": np.full_like(norms, np.linalg.norm(tq)), "dot": np.linalg.norm(tq) * norms,
                    "l2": np.linalg.norm(tq) * norms + norms**2}[metric]
            score = np.where(allowed, score, -np.inf)
            best = np.argsort(-score, kind="stable")[:10]
            hits = index.search(q, 10, allowlist)
            if dtype == "float32":
                assert ids_of(hits) == [IDS[i] for i in best]
                np.testing.assert_allclose(scores_of(hits), score[best], rtol=1e-5,
                                           atol=1e-5 * np.abs(score[best]).max())
            # Every score is its own row's, and the rows found are as good as the best ones.
            rows = [IDS.index(vid) for vid in ids_of(hits)]
            assert np.isfinite(scores_of(hits)).all()
            assert (np.abs(scores_of(hits) - score[rows]) <= tolerance * size[rows]).all()
            assert (np.abs(np.sort(score[rows])[::-1] - score[best]) <= tolerance * size[best]).all()


CUTS = [(1, 1), (3, 1), (3, 1.5), (4, 2.5), (10, 4), (7, 1e9)]


def assert_rescores_a_search_for_r(kept, plain, queries=QUERIES, cuts=CUTS, allowlists=(None, ALLOW)):
    """Each answer of `kept` is the best k of what `plain` (the same index without kept
    vectors) returns for R = max(k, ceil(k * oversampling)), re-scored from the kept rows."""
    table = kept_table(kept)
    for k, oversampling in cuts:
        kept.set_rescore(oversampling)
        for allowlist in allowlists:
            for q in queries:
                candidates = ids_of(plain.search(q, r_for(k, oversampling), allowlist))
                want_ids, want_scores = rescored(kept, table, q, candidates, k)
                hits = kept.search(q, k, allowlist)
                assert ids_of(hits) == want_ids, (k, oversampling, allowlist is not None)
                np.testing.assert_allclose(scores_of(hits), want_scores, rtol=1e-5, atol=1e-6)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("metric, fit", [("cosine", False), ("dot", False), ("l2", True)],
                         ids=["cosine", "dot", "l2-fit"])
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("rows", ["finite", "poisoned"])
@pytest.mark.filterwarnings("ignore")  # the overflowing rows warn, here and in the reference
def test_candidates_are_those_of_a_search_for_r(kind, metric, fit, dtype, rows):
    plain, kept = (make(kind, metric, d, fit=fit, n=0 if rows == "poisoned" else N) for d in (None, dtype))
    if rows == "poisoned":
        for index in (plain, kept):
            index.add(IDS, POISONED)
            index.build()
    assert_rescores_a_search_for_r(kept, plain)


def test_oversampling_defaults_to_four():
    index = make("hnsw", "l2", "float16")
    first = answers(index)
    assert split_trailer(index)[1]["oversampling"] == 4.0
    index.set_rescore(1)
    assert answers(index) != first
    index.set_rescore(4)
    assert answers(index) == first


@pytest.mark.filterwarnings("ignore")  # rows far from unit scale
@pytest.mark.parametrize("kept", ["float32", "input"])
def test_rows_far_beyond_unit_scale_rescore_in_order(kept):
    # q · row 3 overflows to inf: below every number. A cosine row of size 3e18 scores as
    # its unit row does (its squares times padded_dim overflow).
    q = np.ones(4, np.float32)
    dot = Korvane(4, metric="dot")
    cosine = Korvane(4)
    for index in (dot, cosine):
        index.keep_vectors(kept)
        index.add([1, 2, 3], np.stack([q, q * np.float32(0.5), q * np.float32(1e38)]))
    hits = dot.search(q, 3)
    assert [h["id"] for h in hits] == [1, 2, 3] and hits[-1]["score"] == np.inf, hits
    row = np.array([3e18, 1e18, 0, 0], np.float32)
    cosine.add([4, 5], np.stack([row, row / np.float32(3e18)]))
    scores = {h["id"]: h["score"] for h in cosine.search(q, 5)}
    assert scores[4] == pytest.approx(scores[5], rel=1e-5) and scores[4] > 0.6


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind", KINDS)
def test_search_batch_equals_search(kind, dtype):
    index = make(kind, "l2", dtype, fit=True)
    index.set_rescore(2.5)
    for k in (5, N + 10):
        for allowlist in (None, ALLOW):
            for threads in (1, 2):
                ids, scores = index.search_batch(QUERIES, k, allowlist, threads=threads)
                assert ids.shape == (len(QUERIES), min(k, N))
                for row_ids, row_scores, q in zip(ids, scores, QUERIES):
                    hits = index.search(q, k, allowlist)
                    assert row_ids[:len(hits)].tolist() == ids_of(hits)
                    assert row_scores[:len(hits)].tobytes() == scores_of(hits).tobytes()
                    assert (row_ids[len(hits):] == 2**64 - 1).all() and (row_scores[len(hits):] == -np.inf).all()


# ---- kept rows as the index grows -----------------------------------------------------------

@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind", ["brute_force", "hnsw"])
def test_adds_in_parts_keep_what_one_add_keeps(kind, dtype):
    whole = make(kind, "cosine", dtype)
    parts = make(kind, "cosine", dtype, n=0)
    for start, stop in ((0, 1), (1, 50), (50, N)):
        parts.add(IDS[start:stop], [list(v) for v in VECTORS[start:stop]])  # the row form
    assert file_of(parts) == file_of(whole)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("metric", ["cosine", "l2"])
def test_hnsw_add_after_build(metric, dtype):
    indexes = [make("hnsw", metric, d, n=40) for d in (None, dtype)]
    for index in indexes:
        index.build()  # drops the construction vectors
        index.add(MORE_IDS, MORE)
    plain, kept = indexes
    assert len(kept_table(kept)) == 40 + len(MORE)
    assert_rescores_a_search_for_r(kept, plain, queries=np.vstack([QUERIES, MORE[::15]]))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("first, nlist", [(10, 64), (N, 4)], ids=["clusters-again", "appends"])
def test_ivf_second_build(first, nlist, dtype):
    # Room for more lists: every member is clustered again with the new rows; every list in
    # use: the new rows join their lists. Either way each kept row must follow its vector.
    indexes = [make("ivf_flat", "cosine", d, n=first, ivf_nlist=nlist, ivf_nprobe=nlist) for d in (None, dtype)]
    for index in indexes:
        index.add(MORE_IDS, MORE)
        index.build()
    plain, kept = indexes
    table = kept_table(kept)
    assert sorted(table) == sorted(IDS[:first] + MORE_IDS)
    transformed = {vid: kept.transform_query_np(v) for vid, v in zip(IDS + MORE_IDS, np.vstack([VECTORS, MORE]))}
    for vid, (norm, values, _) in table.items():
        assert np.abs(values - transformed[vid]).max() <= 0.02 * np.abs(transformed[vid]).max(), vid
    assert_rescores_a_search_for_r(kept, plain, queries=np.vstack([QUERIES, MORE[::15]]))


@pytest.mark.parametrize("kind", KINDS)
def test_failed_adds_keep_nothing(kind):
    # Every row is checked before the first is stored, so a refused add leaves no kept row
    # behind, and the rows of the next add line up with the ones already kept.
    index = make(kind, "dot", "int8", n=0)
    twin = make(kind, "dot", "int8", n=0)
    for each in (index, twin):
        each.add(IDS[:2], VECTORS[:2])
    rows = [list(v) for v in VECTORS[2:6]]
    failures = [
        (lambda: index.add(IDS[2:5], rows), r"^ids length \(3\) != vectors length \(4\)$"),
        (lambda: index.add(IDS[2:6], rows[:2] + [rows[2][:-1], rows[3]]),
         "^vector 2 dimension mismatch: expected 20, got 19$"),
        (lambda: index.add(IDS[2:6], VECTORS[2:6, :-1]), "^vector dimension mismatch: expected 20, got 19$"),
    ]
    for call, message in failures:
        with pytest.raises(ValueError, match=message):
            call()
        assert len(index) == 2
    with pytest.raises(TypeError):
        index.add(IDS[2:6], rows[:3] + [["x"] * DIM])
    for each in (index, twin):
        each.build()
    assert split_trailer(index)[1]["count"] == 2
    assert file_of(index) == file_of(twin)
    for each in (index, twin):
        each.add(IDS[2:N], VECTORS[2:])
        each.build()
    assert file_of(index) == file_of(twin)
    assert answers(index) == answers(twin)


# ---- copies ------------------------------------------------------------------------------------

COPIERS = {
    "save-load": lambda ix, tmp: (ix.save(str(tmp / "x.krvn")), Korvane.load(str(tmp / "x.krvn")))[1],
    "pickle": lambda ix, tmp: pickle.loads(pickle.dumps(ix)),
    "copy": lambda ix, tmp: copy.copy(ix),
    "deepcopy": lambda ix, tmp: copy.deepcopy(ix),
}


@pytest.mark.parametrize("copier", COPIERS)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind", KINDS)
def test_copies_keep_the_kept_vectors_and_the_oversampling(tmp_path, kind, dtype, copier):
    original = make(kind, "l2", dtype, fit=True)
    original.set_rescore(2.5)
    clone = COPIERS[copier](original, tmp_path)
    assert clone.kept_vectors == dtype and len(clone) == len(original)
    assert answers(clone) == answers(original)
    assert file_of(clone) == file_of(original)
    assert split_trailer(clone)[1]["oversampling"] == 2.5
    original.set_rescore(0)  # independent of each other
    assert answers(clone) != answers(original)


GROWTH = textwrap.dedent("""
    import copy, pickle, sys
    import numpy as np
    from korvane import Korvane

    kind, first, nlist, how = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    rng = np.random.default_rng(5)
    x = rng.standard_normal((first + 60, 20)).astype(np.float32)
    extra = {"ivf_flat": {"ivf_nlist": nlist, "ivf_nprobe": nlist}, "hnsw": {"hnsw_m": 6}}.get(kind, {})
    original = Korvane(20, metric="cosine", index_type=kind, **extra)
    original.keep_vectors("float16")
    if first:
        original.add(range(first), x[:first])
        original.build()
    if how == "save-load":
        original.save(sys.argv[5])
        clone = Korvane.load(sys.argv[5])
    else:
        clone = {"pickle": lambda ix: pickle.loads(pickle.dumps(ix)), "copy": copy.copy}[how](original)
    for each in (original, clone):
        each.add(range(first, first + 60), x[first:])
        each.build()
    for q in x[::7]:
        assert clone.search(q, 5) == original.search(q, 5), (clone.search(q, 5), original.search(q, 5))
    assert clone.__reduce__() == original.__reduce__()
    print("same")
""")
GROWTH_CASES = [
    pytest.param(kind, first, nlist, how, id=f"{name}-{how}")
    for name, kind, first, nlist in [("brute_force", "brute_force", 50, 0), ("hnsw", "hnsw", 50, 0),
                                     ("ivf_flat-appends", "ivf_flat", 50, 4),
                                     ("ivf_flat-clusters-again", "ivf_flat", 5, 64), ("ivf_flat-empty", "ivf_flat", 0, 4)]
    for how in ("save-load", "pickle", "copy")
    if not (first == 0 and how == "save-load")  # an IvfFlat index never built is not saved
]


@pytest.mark.parametrize("kind, first, nlist, how", GROWTH_CASES)
def test_copies_grow_like_the_original(run_python, tmp_path, kind, first, nlist, how):
    # In a child process: a kept row missing from a store is read through a null pointer.
    script = tmp_path / "grow.py"
    script.write_text(GROWTH)
    done = run_python(script, kind, first, nlist, how, tmp_path / "x.krvn")
    assert (done.returncode, done.stdout, done.stderr[-2000:]) == (0, "same\n", "")


# ---- the kept rows in the file -----------------------------------------------------------------

@pytest.mark.parametrize("oversampling", [None, 0, 1, 2.5])
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind", KINDS)
def test_the_kept_rows_follow_the_file_without_them(kind, dtype, oversampling):
    index = make(kind, "l2", dtype, fit=True)
    if oversampling is not None:
        index.set_rescore(oversampling)
    data = file_of(index)
    before, fields, rows = split_trailer(index, data)
    assert before == file_of(make(kind, "l2", fit=True))
    assert fields == {"tag": b"KVEC", "section": 2 if dtype == "float16" else 1, "type": DTYPE_CODES[dtype], "count": N, "length": PADDED,
                      "oversampling": 4.0 if oversampling is None else oversampling}
    assert len(data) == len(before) + TRAILER.size + N * row_bytes(dtype)


@pytest.mark.parametrize("kind", KINDS)
def test_an_empty_index_writes_an_empty_section(kind):
    index = make(kind, "cosine", "float32", n=0)
    data = file_of(index)
    # An IvfFlat index never built ends with its (empty) pending rows' section.
    pending = b"KPND" + struct.pack("<IBQ", 1, 0, 0) if kind == "ivf_flat" else b""
    assert data.endswith(pending) and file_of(make(kind, "cosine", n=0)).endswith(pending)
    before, fields, rows = split_trailer(index, data[:len(data) - len(pending)])
    assert before + pending == file_of(make(kind, "cosine", n=0)) and rows == b""
    assert (fields["tag"], fields["count"], fields["length"]) == (b"KVEC", 0, PADDED)
    loaded = from_bytes(data)
    assert loaded.kept_vectors == "float32" and file_of(loaded) == data


def loaders(tmp_path):
    """Every way a file is read: from disk (a BruteForce file through a mapping), kept
    mapped, and from bytes (pickles)."""
    def from_disk(data, mmap=False):
        path = tmp_path / "x.krvn"
        path.write_bytes(data)
        return Korvane.load(str(path), mmap=mmap)

    return {"load": from_disk, "mmap": lambda data: from_disk(data, True), "bytes": from_bytes}


def refused(tmp_path, data):
    messages = set()
    for name, read in loaders(tmp_path).items():
        with pytest.raises(OSError) as info:
            read(data)
        messages.add(str(info.value))
    assert len(messages) == 1, messages  # the same on both paths
    return messages.pop()


@pytest.mark.parametrize("field, change", [("count", 1), ("count", -1), ("length", 1), ("length", -1),
                                           ("length", PADDED)])
@pytest.mark.parametrize("kind", KINDS)
def test_a_section_that_disagrees_with_the_body_is_refused(tmp_path, kind, field, change):
    index = make(kind, "cosine", "float16")
    data = file_of(index)
    before, fields, rows = split_trailer(index, data)
    fields[field] += change
    damaged = before + TRAILER.pack(*fields.values()) + rows
    assert refused(tmp_path, damaged) == MISMATCH


@pytest.mark.parametrize("field, value", [("section", 0), ("section", 3), ("type", 3), ("oversampling", 0.5),
                                          ("oversampling", math.inf), ("oversampling", math.nan)])
def test_other_damaged_section_fields_are_refused(tmp_path, field, value):
    index = make("brute_force", "cosine", "float16")
    before, fields, rows = split_trailer(index)
    fields[field] = value
    assert refused(tmp_path, before + TRAILER.pack(*fields.values()) + rows).startswith("invalid .krvn file: ")


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind", KINDS)
def test_a_cut_section_is_refused(tmp_path, kind, dtype):
    index = make(kind, "cosine", dtype)
    data = file_of(index)
    start = len(split_trailer(index, data)[0])
    rb = row_bytes(dtype)
    # After the tag, inside and after the fields, inside the rows, one byte short.
    for cut in (start + 4, start + 9, start + TRAILER.size - 1, start + TRAILER.size,
                start + TRAILER.size + rb + 3, len(data) - 1):
        assert refused(tmp_path, data[:cut]) == TRUNCATED, cut - start


# Indexes saved when float16 rows had no scale (kept-vector section version 1), and how.
V1 = runpy.run_path(str(pathlib.Path(__file__).parent / "data" / "make_kept_float16_v1.py"))


@pytest.mark.parametrize("case", sorted(V1["CASES"]))
def test_float16_rows_of_section_version_1_still_load(tmp_path, case):
    # They load as rows of scale 1, answer as they did then and grow like an index made today.
    today = V1["build"](V1["CASES"][case])
    then = json.loads((V1["HERE"] / "kept_float16_v1.json").read_text())["cases"][case]["answers"]
    for read in loaders(tmp_path).values():
        loaded = read((V1["HERE"] / f"kept_float16_v1_{case}.krvn").read_bytes())
        assert V1["answers"](loaded) == then
        assert file_of(loaded) == file_of(today)
        twin = from_bytes(file_of(today))
        for each in (loaded, twin):
            each.add(range(len(V1["QUERIES"])), V1["QUERIES"])
        assert file_of(loaded) == file_of(twin)


@pytest.mark.parametrize("tail", [b"\x00", b"KVE", b"kvec" + bytes(40), b"XVEC" + TRAILER.pack(b"KVEC", 1, 0, N, 32, 4.0),
                                  bytes(range(256))], ids=["one-byte", "part-of-the-tag", "lowercase", "other-tag",
                                                           "junk"])
@pytest.mark.parametrize("kind", KINDS)
def test_bytes_after_the_body_without_the_tag_are_ignored(tmp_path, kind, tail):
    index = make(kind, "cosine")
    data = file_of(index)
    for read in loaders(tmp_path).values():
        loaded = read(data + tail)
        assert loaded.kept_vectors is None
        assert answers(loaded) == answers(index)
        assert file_of(loaded) == data
        with pytest.raises(ValueError) as info:
            loaded.set_rescore(4)
        assert str(info.value) == NEEDS_KEPT


# ---- refusals -------------------------------------------------------------------------------------

@pytest.mark.parametrize("kind", KINDS)
def test_keep_vectors_is_refused_once_the_index_holds_vectors(kind):
    index = Korvane(DIM, index_type=kind, **KINDS[kind])
    index.add(IDS[:30], VECTORS[:30])  # an IvfFlat index holds them as pending rows
    states = [index]
    if kind == "ivf_flat":
        built = make(kind, n=30)
        states.append(built)
    for each in states:
        before = len(each)
        for dtype in DTYPES + ("input",):
            with pytest.raises(ValueError) as info:
                each.keep_vectors(dtype)
            assert str(info.value) == ALREADY_FILLED
        assert each.kept_vectors is None and len(each) == before
        with pytest.raises(ValueError) as info:
            each.set_rescore(4)
        assert str(info.value) == NEEDS_KEPT
    assert file_of(states[-1]) == file_of(make(kind, n=30))


@pytest.mark.parametrize("kind", KINDS)
def test_keep_vectors_names_its_type_and_adds_nothing(kind):
    index = Korvane(DIM, index_type=kind, **KINDS[kind])
    assert index.kept_vectors is None
    index.keep_vectors()
    assert index.kept_vectors == "float16" and len(index) == 0 and index.is_empty()
    for dtype in DTYPES + ("input",):
        index.keep_vectors(dtype=dtype)
        assert index.kept_vectors == dtype and len(index) == 0


@pytest.mark.parametrize("dtype", ["x", "float64", "Float16", "fp16", "", "int8 "])
def test_unknown_dtypes_are_refused(dtype):
    index = Korvane(DIM)
    with pytest.raises(ValueError) as info:
        index.keep_vectors(dtype)
    assert str(info.value) == f"unknown dtype {dtype!r}: use 'float32', 'float16', 'int8', or 'input'"
    assert index.kept_vectors is None


@pytest.mark.parametrize("value", [0, 4, 0.5, -1.0])
def test_set_rescore_needs_kept_vectors(value):
    for index in (Korvane(DIM), make("hnsw", n=10)):
        with pytest.raises(ValueError) as info:
            index.set_rescore(value)
        assert str(info.value) == NEEDS_KEPT


@pytest.mark.parametrize("value", [0.5, 0.999999, -1.0, -0.0 - 1e-300, math.nan, math.inf, -math.inf, 1e-300,
                                   np.float32(0.25)])
def test_oversampling_below_one_or_not_finite_is_refused(value):
    index = make("brute_force", "cosine", "float16")
    index.set_rescore(2)
    before = answers(index)
    with pytest.raises(ValueError) as info:
        index.set_rescore(value)
    assert str(info.value) == f"oversampling must be 0 or at least 1 (got {float(value)!r})"
    assert answers(index) == before and split_trailer(index)[1]["oversampling"] == 2.0


@pytest.mark.parametrize("value, stored", [(0, 0.0), (-0.0, 0.0), (1, 1.0), (True, 1.0), (1.0000001, 1.0000001),
                                           (np.float32(2.5), 2.5), (10**6, 1e6), (1e300, 1e300)])
def test_accepted_oversampling(value, stored):
    index = make("brute_force", "cosine", "int8")
    index.set_rescore(value)
    assert split_trailer(index)[1]["oversampling"] == stored


# ---- kept input rows -----------------------------------------------------------------------------

INPUT_TRAILER = struct.Struct("<4sIBBQQd")  # tag, section, type, input type, row count, row length, oversampling
INPUT_CODES = {"uint8": 0, "int8": 1, "float16": 2, "float32": 3}
INPUTS = {"uint8": rng.integers(0, 256, (N, DIM)).astype(np.uint8), "float32": VECTORS,
          "int8": rng.integers(-128, 128, (N, DIM)).astype(np.int8), "float16": VECTORS.astype(np.float16)}


def split_input_trailer(index):
    data = file_of(index)
    at = data.rindex(b"KVEC")
    fields = INPUT_TRAILER.unpack_from(data, at)
    return data[:at], dict(zip(("tag", "section", "type", "input", "count", "length", "oversampling"), fields)), \
        data[at + INPUT_TRAILER.size:]


@pytest.mark.parametrize("dtype", INPUTS)
@pytest.mark.parametrize("metric, fit", METRICS, ids=METRIC_IDS)
@pytest.mark.parametrize("kind", KINDS)
def test_input_rows_rescore_as_transformed_float32_rows(kind, metric, fit, dtype):
    # The same candidates, re-scored in the input space: the scores of the kept transformed
    # vectors up to rounding, so the same hits. Queries lie between rows, nearer one.
    x = INPUTS[dtype]
    reference, kept = (make(kind, metric, d, fit=fit, vectors=x, ivf_nprobe=3) for d in ("float32", "input"))
    queries = x[:12:2].astype(np.float32) * np.float32(0.3) + x[1:12:2].astype(np.float32) * np.float32(0.7)
    for oversampling in (4, 1000):
        for index in (reference, kept):
            index.set_rescore(oversampling)
        for allowlist in (None, ALLOW):
            for q in queries:
                want, got = reference.search(q, 10, allowlist), kept.search(q, 10, allowlist)
                assert ids_of(got) == ids_of(want)
                np.testing.assert_allclose(scores_of(got), scores_of(want), rtol=1e-5,
                                           atol=1e-5 * np.abs(scores_of(want)).max())
        for row_ids, row_scores, q in zip(*kept.search_batch(queries, 10, ALLOW, threads=2), queries):
            hits = kept.search(q, 10, ALLOW)
            assert (row_ids[:len(hits)].tolist(), row_scores[:len(hits)].tobytes()) == (ids_of(hits),
                                                                                        scores_of(hits).tobytes())
    # The rows as given, in body order, at their type's size; the rest of the file as it was.
    before, fields, rows = split_input_trailer(kept)
    assert before == split_trailer(reference)[0]
    assert fields == {"tag": b"KVEC", "section": 3, "type": 3, "input": INPUT_CODES[dtype], "count": N,
                      "length": DIM, "oversampling": 1000.0}
    assert rows == x[[IDS.index(i) for i in body_ids(kept, before)]].tobytes() and len(rows) == N * DIM * x.itemsize
    # Rows in the other byte order keep the same type and the same bytes.
    swapped = make(kind, metric, "input", fit=fit, vectors=x.astype(x.dtype.newbyteorder()), ivf_nprobe=3)
    swapped.set_rescore(1000)
    assert file_of(swapped) == file_of(kept)


# type -> values it holds (given as float32), as it keeps them, values it refuses as the
# message names them, what the message says of the type
CONVERSIONS = {
    "uint8": ([0, 7, -0.0, 255], [0, 7, 0, 255], {3.5: "3.5", 256: "256", -1: "-1", math.nan: "nan",
                                                  math.inf: "inf"}, "integers from 0 to 255 only"),
    "int8": ([-128, 5, 0, 127], [-128, 5, 0, 127], {0.5: "0.5", 128: "128", -129: "-129", math.nan: "nan"},
             "integers from -128 to 127 only"),
    "float16": ([1.5, 65519.99, 1e-8, math.nan], [1.5, 65504, 1e-8, math.nan],
                {65520: "65520", -1e5: "-1e+05", 3e38: "3e+38"}, "it would round to infinity"),
}


@pytest.mark.parametrize("copier", COPIERS)
@pytest.mark.parametrize("fixed", CONVERSIONS)
@pytest.mark.parametrize("kind", KINDS)
def test_later_adds_are_converted_to_the_type_of_the_first(tmp_path, kind, fixed, copier):
    held, kept_as, refused_values, rule = CONVERSIONS[fixed]
    index = make(kind, "l2", "input", n=0)
    # A refused first add fixes nothing; the type no add fixed travels in a copy.
    with pytest.raises(ValueError):
        index.add(IDS[:2], VECTORS[:2, :-1].astype(np.float16))
    index = COPIERS["pickle"](index, tmp_path)
    index.add(IDS[:10], INPUTS[fixed][:10])
    index.build()
    # Given as float32 and as lists, then copied (IvfFlat: as pending rows).
    rows = np.tile(np.array(held, np.float32), (2, DIM // len(held)))
    index.add(IDS[10:12], rows)
    index.add(IDS[12:14], rows.tolist())
    index = COPIERS[copier](index, tmp_path)
    data = file_of(index)
    for value, text in refused_values.items():
        bad = rows.copy()
        bad[1, 5] = value
        for form in (bad, bad.tolist()):
            with pytest.raises(ValueError) as info:
                index.add(IDS[14:16], form)
            assert str(info.value) == f"vector 1 holds {text}, which {fixed} kept vectors cannot hold ({rule})"
    assert file_of(index) == data
    index.build()
    before, fields, kept = split_input_trailer(index)
    assert (fields["input"], fields["count"]) == (INPUT_CODES[fixed], 14)
    want = np.vstack([INPUTS[fixed][:10], np.tile(np.array(kept_as, INPUTS[fixed].dtype), (4, DIM // len(held)))])
    assert kept == want[[IDS.index(i) for i in body_ids(index, before)]].tobytes()


def test_every_other_input_fixes_float32():
    for given in (VECTORS[:3].astype(np.float64), VECTORS[:3].tolist(), list(INPUTS["uint8"][:3]),
                  INPUTS["uint8"][:3].astype(np.int16), INPUTS["float16"][:3].astype(">f4")):
        index = make("brute_force", "dot", "input", n=0)
        index.add(IDS[:3], given)
        assert split_input_trailer(index)[1]["input"] == INPUT_CODES["float32"]


@pytest.mark.parametrize("field, value, message", [
    ("input", 4, "kept input vectors of an unknown type 4"), ("type", 2, "kept vectors of an unknown type 2"),
    ("input", 0xFF, "kept vectors do not match the index"),  # rows of no fixed type
    ("length", PADDED, "kept vectors do not match the index"), ("count", N - 1, "kept vectors do not match the index"),
    ("pending", 0xFF, "pending rows do not match the index"), ("cut", 1, None),
])
def test_damaged_input_sections_are_refused(tmp_path, field, value, message):
    index = make("ivf_flat" if field == "pending" else "hnsw", "cosine", "input", vectors=INPUTS["uint8"],
                 n=0 if field == "pending" else N)
    if field == "pending":  # the rows of an IvfFlat index never built, of no fixed type
        index.add(IDS[:4], INPUTS["uint8"][:4])
    before, fields, rows = split_input_trailer(index)
    if field != "cut":
        fields["input" if field == "pending" else field] = value
    data = before + INPUT_TRAILER.pack(*fields.values()) + rows
    if field == "cut":
        assert refused(tmp_path, data[:-value]) == TRUNCATED
    else:
        assert refused(tmp_path, data) == "invalid .krvn file: " + message
