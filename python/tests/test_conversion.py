import numpy as np
import pytest

from korvane import Korvane

DIM = 12
STR_REFUSAL = "'str' object cannot be converted into a sequence of numbers"


@pytest.fixture(scope="module")
def data():
    return np.random.default_rng(7).standard_normal((6, DIM)).astype(np.float32)


def misaligned(m):
    view = np.zeros(m.nbytes + 1, np.uint8)[1:].view(np.float32).reshape(m.shape)
    view[...] = m
    assert not view.flags.aligned and view.flags.c_contiguous
    return view


def read_only(m):
    m = m.copy()
    m.flags.writeable = False
    return m


class Seq:
    """A sequence whose __len__ lies (or is missing, with length None)."""

    def __init__(self, items, length):
        self.items, self.length = list(items), length

    def __len__(self):
        if self.length is None:
            raise TypeError("no length")
        return self.length

    def __getitem__(self, i):
        return self.items[i]


def packed_after_add(vectors, **layout):
    index = Korvane(DIM, **layout)
    index.add(list(range(6)), vectors)
    return index.packed_data()


@pytest.mark.parametrize("form", [
    lambda m: m.astype(np.float64), lambda m: m.tolist(), lambda m: tuple(map(tuple, m.tolist())),
    lambda m: np.asfortranarray(m), misaligned, read_only, lambda m: m.astype(">f4"), list,
    lambda m: [r.astype(np.float64) for r in m], lambda m: Seq(m.tolist(), 2**62), lambda m: Seq(m.tolist(), 1),
    lambda m: Seq([Seq(r, 2**63 - 1) for r in m.tolist()], None),
])
@pytest.mark.parametrize("layout", [{}, {"bit_width": 2}, {"mixed_ratio": 0.5}])
def test_every_input_form_gives_the_same_codes(data, form, layout):
    assert np.array_equal(packed_after_add(form(data), **layout), packed_after_add(data, **layout))


@pytest.mark.parametrize("ids", [
    [0, 1, 2**64 - 1], np.array([0, 1, 2**64 - 1], np.uint64), Seq([0, 1, 2**64 - 1], 2**62),
    Seq([np.uint8(0), np.int64(1), 2**64 - 1], None),
])
def test_id_forms(data, ids):
    index = Korvane(DIM)
    index.add(ids, data[:3])
    assert index.vector_ids().tolist() == [0, 1, 2**64 - 1]
    assert index.search(data[2], 1)[0]["id"] == 2**64 - 1


@pytest.mark.parametrize("ids, exc, message", [
    (np.array([0, -1, 2]), OverflowError, None),
    ([0, 2**64, 1], OverflowError, None),
    ("abc", TypeError, f"argument 'ids': {STR_REFUSAL}"),
    (5, TypeError, "argument 'ids': 'int' object cannot be converted to 'Sequence'"),
    ((i for i in range(3)), TypeError, "argument 'ids': 'generator' object cannot be converted to 'Sequence'"),
    ([0, 1.0, 2], TypeError, "argument 'ids': 'float' object cannot be interpreted as an integer"),
])
def test_id_errors(data, ids, exc, message):
    index = Korvane(DIM)
    with pytest.raises(exc) as info:
        index.add(ids, "not even looked at" if exc is TypeError else data[:3])
    if message is not None:
        assert str(info.value) == message
        assert isinstance(info.value.__cause__, TypeError) and message.endswith(str(info.value.__cause__))
    assert len(index) == 0


@pytest.mark.parametrize("vectors, exc, message", [
    (lambda m: m[:2], ValueError, "ids length (3) != vectors length (2)"),
    (lambda m: m[:2].tolist(), ValueError, "ids length (3) != vectors length (2)"),
    (lambda m: m[:3, :-1], ValueError, f"vector dimension mismatch: expected {DIM}, got {DIM - 1}"),
    (lambda m: np.asfortranarray(m[:3, :-1]), ValueError, f"vector dimension mismatch: expected {DIM}, got {DIM - 1}"),
    # A generic row set checks its rows before the count.
    (lambda m: [m[0], m[1, :-1]], ValueError, f"vector 1 dimension mismatch: expected {DIM}, got {DIM - 1}"),
    (lambda m: np.repeat(m[:3], 2, axis=1)[:, ::2], TypeError, "The given array is not contiguous"),
    (lambda m: np.repeat(m[:3], 2, axis=1)[:, 2::2], ValueError, f"vector dimension mismatch: expected {DIM}, got {DIM - 1}"),
    (lambda m: "abc", TypeError, STR_REFUSAL),
    (lambda m: ["abc"] * 3, TypeError, STR_REFUSAL),
    (lambda m: 3.5, TypeError, "'float' object cannot be converted to 'Sequence'"),
    (lambda m: [{1: 2}] * 3, TypeError, "'dict' object cannot be converted to 'Sequence'"),
    (lambda m: [[1.0, "x"]] * 3, TypeError, None),
])
def test_vector_errors(data, vectors, exc, message):
    index = Korvane(DIM)
    with pytest.raises(exc) as info:
        index.add([0, 1, 2], vectors(data))
    if message is not None:
        assert str(info.value) == message
    assert len(index) == 0


def test_non_contiguous_matrices_are_refused_by_every_row_set_argument(data):
    sliced = np.repeat(data, 2, axis=1)[:, ::2]
    index = Korvane(DIM, metric="l2")
    for call in (index.fit, index.profile_variance, lambda v: index.optimal_n4_dims(v, 3.0)):
        with pytest.raises(TypeError, match="^The given array is not contiguous$"):
            call(sliced)
    index.fit(sliced.tolist())


@pytest.mark.parametrize("query, exc, message", [
    (lambda q: q[:-1], ValueError, f"query dimension mismatch: expected {DIM}, got {DIM - 1}"),
    (lambda q: q[:-1].tolist(), ValueError, f"query dimension mismatch: expected {DIM}, got {DIM - 1}"),
    (lambda q: np.repeat(q, 2)[::2], TypeError, "The given array is not contiguous"),
    (lambda q: q.reshape(1, DIM), TypeError, None),
    (lambda q: "abc", TypeError, STR_REFUSAL),
    (lambda q: None, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
])
def test_query_errors(data, query, exc, message):
    index = Korvane(DIM)
    index.add([0], data[:1])
    for call in (lambda q: index.search(q, 1), index.transform_query_np):
        with pytest.raises(exc) as info:
            call(query(data[0]))
        assert message is None or str(info.value) == message


@pytest.mark.parametrize("form", [
    list, lambda q: np.repeat(q.astype(np.float64), 2)[::2], lambda q: misaligned(q[None])[0],
    lambda q: Seq(q.tolist(), 2**62),
])
def test_query_forms(data, form):
    index = Korvane(DIM)
    index.add(range(6), data)
    assert np.array_equal(index.transform_query_np(form(data[3])), index.transform_query_np(data[3]))
    assert index.search(form(data[3]), 3) == index.search(data[3], 3)


def test_search_converts_k_then_allowlist_then_query(data):
    index = Korvane(DIM)
    index.add([0], data[:1])
    with pytest.raises(TypeError, match="^argument 'k'"):
        index.search("bad", 1.5, allowlist="bad")
    with pytest.raises(TypeError, match="^argument 'allowlist'"):
        index.search("bad", 1, allowlist="bad")


MASKED_REFUSAL = "masked arrays are not supported; call .filled() first"


def masked(a):
    mask = np.zeros(a.shape, bool)
    mask.flat[1] = True
    return np.ma.masked_array(a, mask=mask)


ROW_SET_CALLS = {
    "add": lambda index, v: index.add([0, 1, 2], v),
    "fit": lambda index, v: index.fit(v),
    "profile_variance": lambda index, v: index.profile_variance(v),
    "optimal_n4_dims": lambda index, v: index.optimal_n4_dims(v, 3.0),
}
QUERY_CALLS = {
    "search": lambda index, q: index.search(q, 1),
    "transform_query_np": lambda index, q: index.transform_query_np(q),
}


def refusals():
    # Whether anything is masked does not matter: the buffer of a masked array is not its data.
    for name, call in ROW_SET_CALLS.items():
        yield pytest.param(call, masked, MASKED_REFUSAL, id=f"{name}-float32")
        yield pytest.param(call, np.ma.masked_array, MASKED_REFUSAL, id=f"{name}-nothing-masked")
        yield pytest.param(call, lambda m: masked(np.asfortranarray(m)), MASKED_REFUSAL, id=f"{name}-fortran")
        yield pytest.param(call, lambda m: masked(m.astype(np.float64)), MASKED_REFUSAL, id=f"{name}-float64")
        yield pytest.param(call, lambda m: [m[0].tolist(), masked(m[1]), m[2]], MASKED_REFUSAL, id=f"{name}-one-row")
    for name, call in QUERY_CALLS.items():
        yield pytest.param(call, lambda m: masked(m[0]), MASKED_REFUSAL, id=f"{name}-float32")
        yield pytest.param(call, lambda m: np.ma.masked_array(m[0]), MASKED_REFUSAL, id=f"{name}-nothing-masked")
        yield pytest.param(call, lambda m: masked(m[0].astype(np.float64)), MASKED_REFUSAL, id=f"{name}-float64")
    ids = masked(np.arange(3))
    yield pytest.param(lambda index, m: index.add(ids, m[:3]), lambda m: m, f"argument 'ids': {MASKED_REFUSAL}", id="ids")
    yield pytest.param(lambda index, m: index.search(m[0], 1, allowlist=ids), lambda m: m,
                       f"argument 'allowlist': {MASKED_REFUSAL}", id="allowlist")


@pytest.mark.parametrize("call, form, message", list(refusals()))
def test_masked_arrays_are_refused(data, call, form, message):
    index = Korvane(DIM, metric="l2")
    before = index.transform_query_np(data[0])
    with pytest.raises(TypeError) as info:
        call(index, form(data[:3]))
    assert str(info.value) == message
    # Nothing reached the index: no rows added, no standardization fitted.
    assert len(index) == 0
    assert np.array_equal(index.transform_query_np(data[0]), before)


@pytest.mark.parametrize("offset", [0, 1])
@pytest.mark.parametrize("mode", ["r", "r+"])
def test_memmap_matrix_is_read_like_the_plain_array(data, tmp_path, offset, mode):
    path = tmp_path / "vectors.f32"
    path.write_bytes(b"\0" * offset + data.tobytes())
    mapped = np.memmap(path, dtype=np.float32, mode=mode, offset=offset, shape=data.shape)
    assert type(mapped) is np.memmap and mapped.flags.c_contiguous
    assert np.array_equal(packed_after_add(mapped), packed_after_add(data))
    # Read as one matrix, not row by row as a sequence (whose message names a row).
    wide = mapped.reshape(4, 18)
    assert type(wide) is np.memmap
    with pytest.raises(ValueError, match=f"^vector dimension mismatch: expected {DIM}, got 18$"):
        Korvane(DIM).add(range(4), wide)
    index = Korvane(DIM)
    index.add(range(6), data)
    assert np.array_equal(index.transform_query_np(mapped[3]), index.transform_query_np(data[3]))
