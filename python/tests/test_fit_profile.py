import math
import warnings

import numpy as np
import pytest

from korvane import Korvane

EMPTY_SAMPLE = "sample is empty — provide at least 1 vector for profiling"
FIT_AFTER_ADD = "fit() must be called before add() — index already contains vectors"


@pytest.mark.parametrize("metric", ["cosine", "dot"])
def test_fit_is_a_no_op_outside_l2(metric):
    index = Korvane(2, metric=metric)
    before = index.transform_query_np([2.5, 2.5])
    assert index.fit([]) is None
    index.add([1], [[1.0, 2.0]])
    assert index.fit([[1.0, 2.0], [3.0, 4.0]]) is None
    assert np.array_equal(index.transform_query_np([2.5, 2.5]), before)


def test_l2_fit_standardizes_queries_and_can_be_repeated_before_add():
    index = Korvane(2, metric="l2")
    assert index.transform_query_np([2.5, 2.5]).any()
    index.fit(np.array([[1, 2], [3, 4]], np.float32))
    assert not index.transform_query_np([2.5, 2.5]).any()  # the pooled mean maps to zero
    index.fit([[0.0, 0.0], [2.0, 2.0]])
    assert not index.transform_query_np([1.0, 1.0]).any()
    index.add([1], [[1.0, 1.0]])
    with pytest.raises(ValueError) as info:
        index.fit([[0.0, 0.0]])
    assert str(info.value) == FIT_AFTER_ADD
    assert not index.transform_query_np([1.0, 1.0]).any()


@pytest.mark.parametrize("sample, exc, message", [
    ([], ValueError, EMPTY_SAMPLE),
    (np.zeros((0, 3), np.float32), ValueError, EMPTY_SAMPLE),
    ([[1.0, 2.0]], ValueError, "vector 0 dimension mismatch: expected 3, got 2"),
    (np.zeros((2, 2), np.float32), ValueError, "vector dimension mismatch: expected 3, got 2"),
    ("abc", TypeError, "'str' object cannot be converted into a sequence of numbers"),
    ([[1.0, 2.0, 3.0], [1.0, float("nan"), 3.0]], ValueError, "fit() sample row 1 holds a non-finite value"),
    (np.array([[-np.inf, 0, 0]], np.float32), ValueError, "fit() sample row 0 holds a non-finite value"),
])
def test_fit_errors(sample, exc, message):
    index = Korvane(3, metric="l2")
    with pytest.raises(exc) as info:
        index.fit(sample)
    assert str(info.value) == message


def test_profile_variance():
    index = Korvane(5)
    one = index.profile_variance([[1.0, 2.0, 3.0, 4.0, 5.0]])
    assert one == [0.0] * 8 and all(type(v) is float for v in one)
    sample = np.random.default_rng(5).standard_normal((2000, 5)).astype(np.float32)
    variances = index.profile_variance(sample)
    assert len(variances) == 8 and 0.0 < min(variances) and max(variances) < 2.0
    for call in (index.profile_variance, lambda s: index.optimal_n4_dims(s, 3.0)):
        with pytest.raises(ValueError) as info:
            call([])
        assert str(info.value) == EMPTY_SAMPLE


@pytest.mark.parametrize("dim, avg_bits, expected", [
    (100, 3.0, 64), (100, 3.5, 96), (100, 2.0, 0), (100, 4.0, 128), (100, 5.0, 128), (100, 1.0, 0),
    (100, 2.1, 4), (100, 3.01, 64), (100, math.nan, 0), (100, 3, 64),
    (1536, 2.5, 512), (1536, 3.01, 1032), (1536, 3.9, 1944), (2, 4.0, 0),
])
def test_optimal_n4_dims(dim, avg_bits, expected):
    index = Korvane(dim)
    assert index.optimal_n4_dims(np.ones((1, dim), np.float32), avg_bits) == expected


def test_optimal_n4_dims_argument_errors():
    index = Korvane(4)
    with pytest.raises(TypeError, match="^argument 'avg_bits': "):
        index.optimal_n4_dims([[1.0] * 4], "3")
    with pytest.raises(ValueError, match="^vector 0 dimension mismatch: expected 4, got 3$"):
        index.optimal_n4_dims([[1.0] * 3], 3.0)


@pytest.mark.parametrize("n, expected", [(0, 32), (999_999, 32), (1_000_000, 64), (2**64 - 1, 64)])
def test_recommended_m(n, expected):
    assert Korvane.recommended_m(n) == expected
    assert Korvane(4).recommended_m(n=n) == expected


@pytest.mark.parametrize("n, exc", [(-1, OverflowError), (2**64, OverflowError), (1.0, TypeError)])
def test_recommended_m_errors(n, exc):
    with pytest.raises(exc):
        Korvane.recommended_m(n)


def test_fit_brings_raw_magnitude_data_to_the_scale_of_the_tables():
    # Pixel-like values: without fit the rotated coordinates are in the thousands and
    # every code saturates; after fit they have about unit variance.
    rng = np.random.default_rng(5)
    pixels = rng.integers(0, 256, (400, 100)).astype(np.float32)
    index = Korvane(100, metric="l2")
    raw = np.stack([index.transform_query_np(p) for p in pixels[:50]])
    assert raw.var() > 1000
    index.fit(pixels)
    fitted = np.stack([index.transform_query_np(p) for p in pixels[:50]])
    assert 0.5 < fitted.var() < 1.5
    assert np.mean(np.abs(fitted) > 2.4008033) < 0.05


@pytest.mark.parametrize("metric, fit, fix", [
    ("l2", False, "call fit() with a sample before add()"),
    ("dot", False, "normalise the vectors or use metric='cosine'"),
    ("l2", True, None),
    ("cosine", False, None),
])
@pytest.mark.parametrize("bit_width", [4, 2])
def test_pixels_far_from_unit_scale_warn_once(metric, fit, fix, bit_width):
    pixels = np.random.default_rng(6).integers(0, 256, (300, 100), dtype=np.uint8)
    index = Korvane(100, metric=metric, bit_width=bit_width)
    if fit:
        index.fit(pixels)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        index.add(range(100), pixels[:100])
        index.update(range(100), pixels[:100])
        index.add(range(100, 300), pixels[100:])
    assert [(str(w.message), w.category, w.filename) for w in caught] == ([] if fix is None else [(
        "the added vectors are far from unit scale: most of their rotated coordinates fall into the outermost "
        f"codes, so recall will be low; {fix}", UserWarning, __file__)])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        Korvane(100, metric=metric, bit_width=bit_width).add(range(10), pixels[:10] / 2550)  # about unit scale
