import gc

import numpy as np
import pytest

from korvane import Korvane

# The code-selection thresholds and centroid tables of the codec, as float32 bit patterns.
BOUNDARIES_4BIT = np.array([
    0xC019A6C3, 0xBFEBF8DA, 0xBFB7F42A, 0xBF8CB566, 0xBF4CAF4C, 0xBF05BC40, 0xBE8435A2, 0x00000000,
    0x3E8435A2, 0x3F05BC40, 0x3F4CAF4C, 0x3F8CB566, 0x3FB7F42A, 0x3FEBF8DA, 0x4019A6C3,
], np.uint32).view(np.float32)
BOUNDARIES_2BIT = np.array([0xBF7B4A0F, 0x00000000, 0x3F7B4A0F], np.uint32).view(np.float32)
CENTROIDS_4BIT = np.array([
    0xC02EE2BF, 0xC0046AC7, 0xBFCF1C25, 0xBFA0CC2F, 0xBF713D3A, 0xBF28215D, 0xBEC6AE44, 0xBE0379FB,
    0x3E0379FB, 0x3EC6AE44, 0x3F28215D, 0x3F713D3A, 0x3FA0CC2F, 0x3FCF1C25, 0x40046AC7, 0x402EE2BF,
], np.uint32).view(np.float32)
CENTROIDS_2BIT = np.array([0xBFC1555D, 0xBEE7D2C8, 0x3EE7D2C8, 0x3FC1555D], np.uint32).view(np.float32)


def codes(values, thresholds):
    # The number of thresholds not above the value: a value equal to one takes the upper code.
    return np.searchsorted(thresholds, values, side="right").astype(np.uint8)


def pack(v, n4):
    c4, c2 = codes(v[:n4], BOUNDARIES_4BIT), codes(v[n4:], BOUNDARIES_2BIT)
    c4 = np.concatenate([c4, np.zeros(len(c4) % 2, np.uint8)])
    c2 = np.concatenate([c2, np.zeros(-len(c2) % 4, np.uint8)])
    low_first = c4[0::2] | (c4[1::2] << 4)
    two_bit = c2[0::4] | (c2[1::4] << 2) | (c2[2::4] << 4) | (c2[3::4] << 6)
    return np.concatenate([low_first, two_bit]).astype(np.uint8)


def decode(row, n4, padded):
    c4 = np.stack([row[: (n4 + 1) // 2] & 15, row[: (n4 + 1) // 2] >> 4], axis=1).reshape(-1)[:n4]
    b2 = row[(n4 + 1) // 2:]
    c2 = np.stack([(b2 >> s) & 3 for s in (0, 2, 4, 6)], axis=1).reshape(-1)[: padded - n4]
    return np.concatenate([CENTROIDS_4BIT[c4], CENTROIDS_2BIT[c2]]).astype(np.float64)


def test_code_helper_sends_ties_up_and_nan_to_the_top_code():
    at, below = np.array([0x3E8435A2, 0x3E8435A1], np.uint32).view(np.float32)
    assert codes([at, below, BOUNDARIES_4BIT[-1], -0.0, np.nan], BOUNDARIES_4BIT).tolist() == [9, 8, 15, 8, 15]
    assert codes([BOUNDARIES_2BIT[-1], -0.0], BOUNDARIES_2BIT).tolist() == [3, 2]


def test_centroid_tables_are_bit_exact():
    for table, expected in ((Korvane.centroids_4bit(), CENTROIDS_4BIT), (Korvane.centroids_2bit(), CENTROIDS_2BIT)):
        assert table.dtype == np.float32 and table.flags.c_contiguous and table.flags.writeable
        assert table.view(np.uint32).tolist() == expected.view(np.uint32).tolist()


@pytest.mark.parametrize("dim", [1, 3, 100, 128])
@pytest.mark.parametrize("layout", [{}, {"bit_width": 2}, {"mixed_ratio": 0.5}, {"n4_dims": 4}])
@pytest.mark.parametrize("metric", ["cosine", "l2"])
def test_requantized_query_reproduces_the_stored_row(dim, layout, metric):
    rng = np.random.default_rng(dim)
    vectors = (rng.standard_normal((8, dim)) * 3).astype(np.float32)
    index = Korvane(dim, metric=metric, **layout)
    index.add(range(8), vectors)
    packed = index.packed_data()
    assert packed.shape == (8, index.packed_bytes_per_vec) and packed.dtype == np.uint8
    for i, v in enumerate(vectors):
        t = index.transform_query_np(v)
        assert t.dtype == np.float32 and t.shape == (index.padded_dim,)
        assert np.array_equal(pack(t, index.n4_dims), packed[i])


@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
@pytest.mark.parametrize("layout", [{}, {"bit_width": 2}, {"mixed_ratio": 0.25}])
def test_exported_arrays_reproduce_norms_and_scores(metric, layout):
    rng = np.random.default_rng(3)
    vectors = rng.standard_normal((20, 48)).astype(np.float32)
    index = Korvane(48, metric=metric, **layout)
    index.add(range(100, 120), vectors)
    rows = [decode(r, index.n4_dims, index.padded_dim) for r in index.packed_data()]
    norms = index.vector_norms()
    assert norms.dtype == np.float32
    assert np.allclose(norms, [np.sqrt(r @ r) for r in rows], rtol=1e-5)
    q = rng.standard_normal(48).astype(np.float32)
    tq = index.transform_query_np(q).astype(np.float64)
    raw = np.array([tq @ r for r in rows])
    adjusted = {"cosine": raw / norms, "dot": raw, "l2": raw - 0.5 * norms.astype(np.float64) ** 2}[metric]
    hits = index.search(q, 20)
    expected = dict(zip(index.vector_ids().tolist(), adjusted))
    assert [h["score"] for h in hits] == sorted((h["score"] for h in hits), reverse=True)
    for hit in hits:
        assert hit["score"] == pytest.approx(expected[hit["id"]], rel=1e-4, abs=1e-4)


def test_output_arrays_are_independent_copies():
    index = Korvane(8)
    index.add([4, 5], np.eye(2, 8, dtype=np.float32))
    ids, norms, packed = index.vector_ids(), index.vector_norms(), index.packed_data()
    assert ids.dtype == np.uint64 and ids.tolist() == [4, 5]
    ids[:] = 0
    norms[:] = 0
    packed[:] = 0
    assert index.vector_ids().tolist() == [4, 5]
    assert index.vector_norms().min() > 0 and index.packed_data().any()
    index.add([6], np.ones((1, 8), np.float32))
    assert ids.shape == (2,) and len(index.vector_ids()) == 3
    del index
    gc.collect()
    assert packed.sum() == 0 and norms.sum() == 0  # still backed by live memory


@pytest.mark.parametrize("kwargs, pbpv", [({}, 4), ({"bit_width": 2}, 2), ({"dim": 0}, 1)])
def test_empty_brute_force_arrays(kwargs, pbpv):
    index = Korvane(**{"dim": 8, **kwargs})
    assert index.packed_data().shape == (0, pbpv)
    assert index.vector_norms().shape == (0,) and index.vector_ids().shape == (0,)


@pytest.mark.parametrize("index_type", ["ivf_flat", "hnsw"])
@pytest.mark.parametrize("method", ["packed_data", "vector_norms", "vector_ids"])
def test_array_exports_are_brute_force_only(index_type, method):
    with pytest.raises(RuntimeError) as info:
        getattr(Korvane(8, index_type=index_type), method)()
    assert str(info.value) == f"{method}() is only available for BruteForce indexes"
