import math

import numpy as np
import pytest

from korvane import Korvane

METRIC_HINT = "use 'cosine', 'dot', or 'l2'"
INDEX_HINT = "use 'brute_force', 'ivf_flat', or 'hnsw'"


def test_new_index_state():
    index = Korvane(8)
    assert len(index) == 0 and not index and index.is_empty()
    assert repr(index) == "Korvane(dim=8, n=0, bit_width=4, index_type=BruteForce)"
    index.add([5], [[1.0] * 8])
    assert len(index) == index.n_vectors == 1 and index and not index.is_empty()
    assert repr(index) == "Korvane(dim=8, n=1, bit_width=4, index_type=BruteForce)"
    with pytest.raises(AttributeError):
        index.dim = 9


@pytest.mark.parametrize("kwargs, prop, expected", [
    ({"metric": "COSINE"}, "metric", "cosine"), ({"metric": "Dot_Product"}, "metric", "dot"),
    ({"metric": "Euclidean"}, "metric", "l2"), ({"metric": "l2"}, "metric", "l2"),
    ({"index_type": "Brute-Force"}, "index_type", "BruteForce"), ({"index_type": "brute"}, "index_type", "BruteForce"),
    ({"index_type": "IVF-Flat"}, "index_type", "IvfFlat"), ({"index_type": "IvfFlat"}, "index_type", "IvfFlat"),
    ({"index_type": "ivf"}, "index_type", "IvfFlat"), ({"index_type": "HNSW"}, "index_type", "Hnsw"),
])
def test_accepted_texts(kwargs, prop, expected):
    assert getattr(Korvane(4, **kwargs), prop) == expected


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"metric": "dot-product"}, ValueError, f"unknown metric 'dot-product': {METRIC_HINT}"),
    # Full Unicode lowercasing: U+0130 becomes "i" and a combining dot.
    ({"metric": "COSİNE"}, ValueError, f"unknown metric 'cosi\u0307ne': {METRIC_HINT}"),
    ({"metric": " cosine"}, ValueError, f"unknown metric ' cosine': {METRIC_HINT}"),
    ({"metric": "\ud800"}, ValueError, f"unknown metric '\ud800': {METRIC_HINT}"),
    ({"index_type": "flat"}, ValueError, f"unknown index_type 'flat': {INDEX_HINT}"),
    ({"index_type": "IVF-PQ"}, ValueError, f"unknown index_type 'ivf_pq': {INDEX_HINT}"),
    ({"bit_width": 3}, ValueError, "invalid bit width: 3 (must be 2 or 4)"),
    ({"bit_width": 0}, ValueError, "invalid bit width: 0 (must be 2 or 4)"),
    ({"metric": "x", "index_type": "y", "bit_width": 3}, ValueError, f"unknown metric 'x': {METRIC_HINT}"),
    ({"index_type": "y", "bit_width": 3}, ValueError, f"unknown index_type 'y': {INDEX_HINT}"),
    ({"dim": 2**63 + 1}, ValueError, "dim 9223372036854775809 is too large: its padded size cannot be represented"),
    ({"bit_width": 256}, OverflowError, "out of range integral type conversion attempted"),
    ({"bit_width": -1}, OverflowError, "out of range integral type conversion attempted"),
    ({"bit_width": 2**70}, OverflowError, "out of range integral type conversion attempted"),
    ({"dim": -1}, OverflowError, "can't convert negative int to unsigned"),
    ({"dim": 2**64}, OverflowError, None),
    ({"n4_dims": -4}, OverflowError, None),
    ({"dim": 1.5}, TypeError, "argument 'dim': 'float' object cannot be interpreted as an integer"),
    ({"dim": None}, TypeError, "argument 'dim': "),
    ({"metric": None}, TypeError, "argument 'metric': 'NoneType' object cannot be converted to 'str'"),
    ({"index_type": 2}, TypeError, "argument 'index_type': "),
    ({"bit_width": None}, TypeError, "argument 'bit_width': "),
    ({"ivf_nlist": None}, TypeError, "argument 'ivf_nlist': "),
    ({"hnsw_ef_search": 1.0}, TypeError, "argument 'hnsw_ef_search': "),
    ({"mixed_ratio": "half"}, TypeError, "argument 'mixed_ratio': "),
    ({"colour": "red"}, TypeError, None),
])
def test_constructor_errors(kwargs, exc, message):
    with pytest.raises(exc) as info:
        Korvane(**{"dim": 16, **kwargs})
    if message is not None:
        assert str(info.value).startswith(message)
        assert exc is TypeError or str(info.value) == message


@pytest.mark.parametrize("dim, kwargs, layout", [
    # padded_dim, n4_dims, pb4_per_vec, packed_bytes_per_vec, is_mixed()
    (1536, {}, (2048, 2048, 1024, 1024, False)),
    (1536, {"bit_width": 2}, (2048, 0, 0, 512, False)),
    (1536, {"bit_width": 2, "mixed_ratio": 0.5}, (2048, 1024, 512, 768, True)),
    (1536, {"n4_dims": 5000}, (2048, 2048, 1024, 1024, False)),
    (100, {"mixed_ratio": 0.3}, (128, 36, 18, 41, True)),
    (100, {"mixed_ratio": 1.7}, (128, 128, 64, 64, False)),
    (100, {"mixed_ratio": -0.2}, (128, 0, 0, 32, False)),
    (100, {"mixed_ratio": math.nan}, (128, 0, 0, 32, False)),
    (100, {"mixed_ratio": np.float32(0.25)}, (128, 32, 16, 40, True)),
    (100, {"n4_dims": 7}, (128, 4, 2, 33, True)),
    (100, {"n4_dims": 0}, (128, 0, 0, 32, False)),
    (100, {"n4_dims": 8, "mixed_ratio": 0.9}, (128, 8, 4, 34, True)),
    (100, {"n4_dims": None, "mixed_ratio": None}, (128, 128, 64, 64, False)),
    (0, {}, (1, 1, 1, 1, False)),
    (1, {}, (1, 1, 1, 1, False)),
    (2, {"mixed_ratio": 1.0}, (2, 0, 0, 1, False)),
    (np.int64(3), {}, (4, 4, 2, 2, False)),
])
def test_layout(dim, kwargs, layout):
    index = Korvane(dim, **kwargs)
    got = (index.padded_dim, index.n4_dims, index.pb4_per_vec, index.packed_bytes_per_vec, index.is_mixed())
    assert got == layout
    assert index.dim == dim and index.bit_width == kwargs.get("bit_width", 4)


@pytest.mark.parametrize("kwargs, field, value, limit", [
    ({"dim": 2**62}, "dim", 2**62, 2**32 - 1),
    ({"index_type": "hnsw", "hnsw_m": 40000}, "hnsw_m", 40000, 32767),
    ({"index_type": "hnsw", "hnsw_ef_construction": 70000}, "hnsw_ef_construction", 70000, 65535),
    ({"index_type": "ivf_flat", "ivf_nlist": 2**32}, "ivf_nlist", 2**32, 2**32 - 1),
])
def test_shapes_the_file_cannot_hold_are_refused_when_made(kwargs, field, value, limit):
    with pytest.raises(ValueError, match=f"^{field} {value} does not fit the .krvn header \\(at most {limit}\\)$"):
        Korvane(**{"dim": 8, **kwargs})
    # Fields of another index type, and those read only at search time, stay free.
    Korvane(8, index_type="brute_force", hnsw_m=40000, ivf_nlist=2**40)
    Korvane(8, index_type="ivf_flat", ivf_nprobe=2**40)


@pytest.mark.parametrize("call", [
    lambda: Korvane.add(5, [], []),
    lambda: Korvane.search(object(), [1.0], 1),
    lambda: Korvane.dim.__get__(3),
    lambda: Korvane.__len__("abc"),
])
def test_methods_refuse_other_receivers(call):
    with pytest.raises(TypeError):
        call()
