"""Random sequences of calls on one index, checked after every step against a small model
of what the index must hold.

One machine per index type. The model tracks the ids an index counts and searches (in the
order they were added), the IvfFlat rows added since the last build, the run-time
`nprobe` and `ef_search`, the kept-vector type and the oversampling, and the rows added
under each id. It checks:

- after every step, that `len` is the model's count, and that brute force and IvfFlat
  (with every list probed) return every stored id for a search with k = count,
  duplicates as often as they were added, whatever the scores (NaN and infinite inputs
  included); an Hnsw search returns only stored rows;
- that a call that fails raises the class its defect calls for and leaves the index as
  it was: the same pickled state (pending IvfFlat rows included), the same transformed probe,
  the same answers to probe searches and, for brute force, the same exported ids, codes
  and norms;
- that every accepted form of rows, queries and ids (arrays of any dtype, byte order or
  layout, lists, tuples, NumPy scalars) reaches the engine as the modelled float32
  values: for brute force, the index then equals one given those values in place;
- that searches return stored ids only, best first, as many as brute force can give;
  that an IvfFlat or Hnsw allowlist drops hits after the cut; that re-scored scores are
  those of the kept vectors; that `search_batch` rows are the searches, padded;
- that copies, pickles and saved files (loaded plainly or mapped) answer like the index
  they came from, and that no file changes but by a save to its path;
- that an add on several threads stores what one thread stores, and that progress is
  reported up to the add's total.

KORVANE_HYPOTHESIS_PROFILE=long runs many more and longer sequences; under the sanitizers
(KORVANE_SANITIZED=1) fewer run.
"""
import collections
import copy
import math
import os
import pickle
import shutil
import tempfile
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from korvane import Korvane

NO_ID = 2**64 - 1
# Probing this many IVF lists scans all of them: an index never has more than ivf_nlist.
EVERY_LIST = 10**6
PROBE_K = 7

# (sequences, steps per sequence) for each of the three machines.
PROFILES = {
    "default": (350, 50),
    "long": (2000, 70),
    "sanitized": (100, 40),
}


def chosen_profile():
    name = os.environ.get("KORVANE_HYPOTHESIS_PROFILE")
    if name:
        if name not in PROFILES:
            raise ValueError(f"KORVANE_HYPOTHESIS_PROFILE={name!r}: use one of {sorted(PROFILES)}")
        return name
    return "sanitized" if os.environ.get("KORVANE_SANITIZED") == "1" else "default"


def machine_settings():
    examples, steps = PROFILES[chosen_profile()]
    # No example database: nothing is written into the work tree, and a failure prints
    # the whole sequence of calls that reproduces it.
    return settings(max_examples=examples, stateful_step_count=steps, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                           HealthCheck.filter_too_much])


FAILED = object()


class Stopped(Exception):
    """What a progress callback raises to stop a call."""


def keyed(hits):
    """Hits in a form that compares equal when ids and score bits are (NaN included)."""
    assert isinstance(hits, list)
    out = []
    for hit in hits:
        assert type(hit) is dict and list(hit) == ["id", "score"], hit
        assert type(hit["id"]) is int and type(hit["score"]) is float
        out.append((hit["id"], np.float32(hit["score"]).tobytes()))
    return out


def ids_of(hits):
    return [hit["id"] for hit in hits]


def is_sub_multiset(small, big):
    return not (collections.Counter(small) - collections.Counter(big))


def descending(scores, rescored=False):
    """Scores must come best first; NaN scores have no place in an order, so a list holding
    one is not checked. Re-scored lists rank every score that is not finite below all
    numbers: the finite ones come first, in order."""
    if rescored:
        finite = [s for s in scores if math.isfinite(s)]
        return scores[:len(finite)] == finite and all(a >= b for a, b in zip(finite, finite[1:]))
    if any(math.isnan(s) for s in scores):
        return True
    return all(a >= b for a, b in zip(scores, scores[1:]))


SPECIALS = [math.nan, math.inf, -math.inf, 0.0, 3e38, -3e38, 1e-45, -0.0]


@st.composite
def matrices(draw, n, dim):
    """n rows: Gaussian at a drawn scale, with a few NaN, infinite, huge, tiny or zero
    values, zero rows and repeated rows."""
    seed = draw(st.integers(0, 2**32 - 1))
    scale = draw(st.sampled_from([1.0, 1.0, 1e-3, 300.0]))
    m = (np.random.default_rng(seed).standard_normal((n, dim)) * scale).astype(np.float32)
    if n:
        for _ in range(draw(st.integers(0, 3))):
            m[draw(st.integers(0, n - 1)), draw(st.integers(0, dim - 1))] = draw(st.sampled_from(SPECIALS))
        if draw(st.integers(0, 9)) == 0:
            m[draw(st.integers(0, n - 1))] = 0.0
        if n > 1 and draw(st.integers(0, 4)) == 0:
            m[draw(st.integers(1, n - 1))] = m[0]
    return m


def misaligned(m):
    view = np.zeros(m.nbytes + 1, np.uint8)[1:].view(np.float32).reshape(m.shape)
    view[...] = m
    return view


# Accepted forms of a row set that give the engine the same float32 values. Arrays of any
# other dtype, and non-contiguous ones that are not float32, are read value by value.
ROW_FORMS = {
    "float32": np.ascontiguousarray,
    "fortran": np.asfortranarray,
    "misaligned": misaligned,
    "float64": lambda m: m.astype(np.float64),
    "big-endian": lambda m: m.astype(">f4"),
    "longdouble": lambda m: m.astype(np.longdouble),
    "object": lambda m: m.astype(object),
    "strided float64": lambda m: np.repeat(m.astype(np.float64), 2, axis=1)[:, ::2],
    "list": lambda m: m.tolist(),
    "tuples": lambda m: tuple(map(tuple, m.tolist())),
    "row arrays": lambda m: [row.astype(np.float64) for row in m],
}


def float16_rows(m, scale):
    with np.errstate(over="ignore"):
        h = m.astype(np.float16)
    return h, h.astype(np.float32)  # every float16 value is a float32 value


def integer_rows(dtype, as_list=False):
    """Rows of integers of `dtype` near m times a scale (NaN as 0, the rest clipped to the
    range). Each value reaches the engine as the nearest double, narrowed to the nearest
    float32: the two roundings are modelled as such."""
    info = np.iinfo(dtype)

    def make(m, scale):
        x = m.astype(np.float64) * scale
        x[np.isnan(x)] = 0.0
        top, bottom = x >= float(info.max), x <= float(info.min)
        x[top | bottom] = 0.0
        ints = np.rint(x).astype(dtype)
        ints[top], ints[bottom] = info.max, info.min
        stored = ints.astype(np.float64).astype(np.float32)
        return (ints.tolist() if as_list else ints), stored

    return make


def complex_rows(m, scale):
    """NumPy's float conversion of a complex scalar keeps the real part, with a
    ComplexWarning."""
    z = m.astype(np.complex128)
    z.imag = scale
    return z, m


# Accepted forms whose values the conversion changes: form(m, scale) gives the argument
# and the float32 values the engine stores.
CONVERTED_FORMS = {
    "float16": float16_rows,
    "int32": integer_rows(np.int32),
    "int64": integer_rows(np.int64),
    "uint8": integer_rows(np.uint8),
    "int lists": integer_rows(np.int64, as_list=True),
    "bool": lambda m, scale: (m > 0, (m > 0).astype(np.float32)),
    "complex": complex_rows,
}
# The forms kept input rows keep the type of; every other form arrives as float32.
ARRIVES_AS = {"float16": "float16", "uint8": "uint8"}
ComplexWarning = getattr(np, "exceptions", np).ComplexWarning  # (numpy.exceptions since NumPy 1.25)
WARNS = {"complex": ComplexWarning}
# Scales that make integers of every size, up to those a float32 cannot hold exactly.
INT_SCALES = [1.0, 1000.0, 2.0**20 + 1, 2.0**40 + 3, 2.0**60]


@st.composite
def row_inputs(draw, m, warnings_ok=True, names=None):
    """(form name, the argument, the float32 values the engine must store)."""
    names = names or sorted(ROW_FORMS) + sorted(name for name in CONVERTED_FORMS if warnings_ok or name not in WARNS)
    name = draw(st.sampled_from(names), label="form")
    if name in ROW_FORMS:
        return name, ROW_FORMS[name](m), m
    arg, stored = CONVERTED_FORMS[name](m, draw(st.sampled_from(INT_SCALES), label="scale"))
    return name, arg, stored


ID_VALUES = st.one_of(st.integers(0, 12), st.integers(NO_ID - 3, NO_ID), st.integers(0, NO_ID))


@st.composite
def id_lists(draw, n):
    ids = draw(st.lists(ID_VALUES, min_size=n, max_size=n))
    form = draw(st.sampled_from(["list", "uint64", "tuple", "scalars", "int64"]))
    if form == "uint64":
        return ids, np.array(ids, dtype=np.uint64)
    if form == "tuple":
        return ids, tuple(ids)
    if form == "scalars":
        return ids, [np.uint64(i) for i in ids]
    if form == "int64" and all(i < 2**63 for i in ids):
        return ids, np.array(ids, dtype=np.int64)
    return ids, list(ids)


def other_width(draw, dim):
    return draw(st.sampled_from([w for w in (0, dim - 1, dim + 1, 2 * dim) if w != dim and w >= 0]))


class IndexMachine(RuleBasedStateMachine):
    INDEX_TYPE = None  # set by each subclass
    SPELLINGS = {}

    def __init__(self):
        super().__init__()
        self.tmp = tempfile.mkdtemp(prefix="korvane-sm-")
        self.index = None

    def teardown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    # ---- the model -------------------------------------------------------------------

    @property
    def ivf(self):
        return self.INDEX_TYPE == "ivf_flat"

    @property
    def hnsw(self):
        return self.INDEX_TYPE == "hnsw"

    @property
    def brute(self):
        return self.INDEX_TYPE == "brute_force"

    def count(self):
        """What len() must say: an IvfFlat index counts its pending rows only until its
        first build."""
        if self.ivf and not self.built:
            return len(self.pending)
        return len(self.rows)

    def searchable(self):
        """Whether a search with good arguments must succeed."""
        return self.count() > 0 and (self.built or not self.ivf)

    def reduce_extras(self):
        """The run-time nprobe and ef_search a pickle carries."""
        return (self.nprobe if self.ivf and self.built else None, self.ef if self.hnsw else None)

    def observe(self):
        """Everything a failed call must leave as it was. The pickled state holds the whole
        index (its file: settings, standardization, codes, lists or graph, kept vectors and
        oversampling) and the run-time nprobe and ef_search. An IvfFlat index with rows
        added since its last build has none: then what can be seen of it is recorded."""
        index = self.index
        seen = [len(index), index.n_vectors, index.is_empty(), index.kept_vectors, repr(index),
                index.transform_query_np(self.probe).tobytes()]
        state = index.__reduce__()
        assert type(state[2][0]) is bytes
        seen.append(state[1:])
        # (Hnsw and IvfFlat searches also show ef_search, nprobe and, with re-scoring on,
        # the oversampling.)
        for k in (PROBE_K, max(self.count(), 1)):
            try:
                seen.append(keyed(index.search(self.probe, k)))
            except RuntimeError as error:
                seen.append(("RuntimeError", str(error)))
        if self.brute:
            seen += [index.vector_ids().tobytes(), index.packed_data().tobytes(), index.vector_norms().tobytes()]
        return seen

    def attempt(self, call, expected):
        """Runs `call`; `expected` is None when it must succeed, else the exception class it
        must raise, leaving the index as it was."""
        before = None if expected is None else self.observe()
        try:
            result = call()
        except Exception as error:  # noqa: BLE001 - the class is what is checked
            assert expected is not None, f"unexpected {type(error).__name__}: {error}"
            assert type(error) is expected, f"expected {expected.__name__}, got {type(error).__name__}: {error}"
            after = self.observe()
            assert after == before, "a failed call changed the index"
            return FAILED
        assert expected is None, f"expected {expected.__name__}, but the call succeeded"
        return result

    # ---- construction ----------------------------------------------------------------

    @initialize(data=st.data())
    def construct(self, data):
        draw = data.draw
        dim = draw(st.integers(1, 40), label="dim")
        kwargs = {"dim": dim, "metric": draw(st.sampled_from(["cosine", "dot", "l2", "Euclidean", "DOT_PRODUCT"]))}
        layout = draw(st.sampled_from(["4", "2", "mixed_ratio", "n4_dims"]))
        if layout in "42":
            kwargs["bit_width"] = int(layout)
        elif layout == "mixed_ratio":
            kwargs["mixed_ratio"] = draw(st.floats(-0.5, 1.5))
        else:
            kwargs["n4_dims"] = draw(st.integers(0, 70))
            kwargs["bit_width"] = draw(st.sampled_from([2, 4]))
        kwargs["index_type"] = draw(st.sampled_from(self.SPELLINGS))
        if self.ivf:
            kwargs["ivf_nlist"] = draw(st.integers(1, 6))
            kwargs["ivf_nprobe"] = draw(st.integers(0, 7))
        if self.hnsw:
            kwargs["hnsw_m"] = draw(st.integers(2, 8))
            kwargs["hnsw_ef_construction"] = draw(st.integers(1, 40))
            kwargs["hnsw_ef_search"] = draw(st.integers(0, 12))
        self.kwargs = kwargs
        self.index = Korvane(**kwargs)
        self.dim = dim
        self.l2 = kwargs["metric"].lower() in ("l2", "euclidean")
        self.probe = np.random.default_rng(dim).standard_normal(dim).astype(np.float32)
        self.rows = []     # ids counted and searched, in the order added
        self.pending = []  # IvfFlat: ids added since the last build
        self.built = False
        self.nprobe = None
        self.ef = (kwargs.get("hnsw_ef_search") or 2 * kwargs.get("hnsw_m", 0)) if self.hnsw else None
        self.kept = None
        self.input_type = None  # kept input rows: the type the first add that stored rows fixed
        self.oversampling = None
        self.vectors = {}  # id -> the rows added under it, as float32
        self.gone = []     # the last rows removed (their vectors), as queries that would find them
        self.saved = {}    # path -> bytes of the file saved there
        self.far_warned = False  # whether this index warned of rows far from unit scale
        assert self.index.index_type == {"brute_force": "BruteForce", "ivf_flat": "IvfFlat",
                                         "hnsw": "Hnsw"}[self.INDEX_TYPE]

    # ---- adding ----------------------------------------------------------------------

    def added(self, ids, rows):
        for i, row in zip(ids, rows):
            self.vectors.setdefault(i, []).append(np.array(row, np.float32))
        if self.ivf:
            self.pending += ids
        else:
            self.rows += ids

    def check_far_warning(self, caught, n):
        """An add warns of rows far from unit scale once in an index's life, when most codes of
        its first chunk (here every row) are the outermost ones; cosine rows never are."""
        far = [w for w in caught if w.category is UserWarning]
        cosine = self.kwargs["metric"] == "cosine"
        assert len(far) <= 1 and not (far and (self.far_warned or cosine)), far
        if self.brute and n and not self.far_warned:
            codes = self.index.packed_data()[-n:]
            n4 = self.index.n4_dims
            fours = np.stack([codes[:, :(n4 + 1) // 2] & 15, codes[:, :(n4 + 1) // 2] >> 4], axis=2)
            twos = np.stack([codes[:, (n4 + 1) // 2:] >> s & 3 for s in (0, 2, 4, 6)], axis=2)
            outer = (np.isin(fours.reshape(n, -1)[:, :n4], (0, 15)).sum() +
                     np.isin(twos.reshape(n, -1)[:, :self.index.padded_dim - n4], (0, 3)).sum())
            assert bool(far) == (not cosine and 2 * outer > n * self.index.padded_dim), far
        self.far_warned |= bool(far)

    def input_refuses(self, form, stored):
        """Whether the type kept input rows were fixed to refuses `stored` arriving in `form`."""
        if self.input_type in (None, "float32", ARRIVES_AS.get(form, "float32")):
            return False
        if self.input_type == "float16":
            return bool((np.isfinite(stored) & (np.abs(stored) >= 65520)).any())
        return not ((stored >= 0) & (stored <= 255) & (np.rint(stored) == stored)).all()  # NaN fails too

    def fix_input_type(self, form, n):
        if self.kept == "input" and self.input_type is None and n:
            self.input_type = ARRIVES_AS.get(form, "float32")

    @rule(data=st.data())
    def add_good_rows(self, data):
        draw = data.draw
        n = draw(st.one_of(st.integers(0, 6), st.integers(7, 60)), label="n")
        ids, ids_arg = draw(id_lists(n), label="ids")
        m = draw(matrices(n, self.dim), label="rows")
        # Kept input rows meet the forms that fix another type than float32 more often.
        names = sorted(ARRIVES_AS) if self.kept == "input" and draw(st.booleans(), label="input form") else None
        form, vectors, stored = draw(row_inputs(m, names=names))
        # Brute force: the same index given the modelled float32 values, read in place,
        # must end up with the same codes, norms and kept vectors.
        # On threads it must store the same as on one: the twin adds on one.
        threads = draw(st.sampled_from([None, 1, 2, 0]), label="threads")
        twin = copy.deepcopy(self.index) if self.brute and (form != "float32" or threads != 1) else None
        # An add that fixes the kept input type fixes another one in a twin given float32.
        if self.kept == "input" and self.input_type is None and ARRIVES_AS.get(form, "float32") != "float32":
            twin = None
        refused = self.input_refuses(form, stored)
        extra, calls = {}, []
        if threads is not None:
            extra["threads"] = threads
        if draw(st.booleans(), label="progress"):
            extra["progress"] = lambda done, total: calls.append((done, total))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = self.attempt(lambda: self.index.add(ids_arg, vectors, **extra), ValueError if refused else None)
        warned = {type(w.message) for w in caught if w.category is not UserWarning}
        assert warned == ({WARNS[form]} if form in WARNS and m.size else set()), (form, caught)
        if result is FAILED:
            assert not [w for w in caught if w.category is UserWarning], caught
            return
        self.check_far_warning(caught, n)
        self.fix_input_type(form, n)
        if "progress" in extra:
            assert calls and calls[-1] == (n, n) and all(t == n and d <= n for d, t in calls), calls
        self.added(ids, stored)
        if twin is not None:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", UserWarning)  # the index's own, seen above
                twin.add(ids, np.ascontiguousarray(stored))
            assert twin.__reduce__()[2] == self.index.__reduce__()[2], form

    @rule(data=st.data())
    def add_nothing(self, data):
        empty = data.draw(st.sampled_from([
            ([], []), ((), ()), (np.zeros(0, np.uint64), np.zeros((0, self.dim), np.float32)),
            ([], np.zeros((0, self.dim))), ([], np.zeros((0, 1, self.dim), np.float32)),
        ]))
        self.attempt(lambda: self.index.add(*empty), None)

    @rule(data=st.data())
    def add_refused(self, data):
        """Adds with exactly one defect: each is refused whole with its class."""
        draw = data.draw
        dim = self.dim
        n = draw(st.integers(1, 5), label="n")
        ids, ids_arg = draw(id_lists(n), label="ids")
        m = draw(matrices(n, dim), label="rows")
        kind = draw(st.sampled_from([
            "matrix width", "list width", "row width", "ids count", "str element", "str rows", "str array",
            "None element", "not contiguous", "3-d", "scalar", "1-d", "masked", "negative id", "id too big",
            "float id", "str ids", "None ids", "id set", "float id array", "datetime array", "bytes array",
            "int too big for a float", "row sets", "generator", "complex, warnings as errors",
        ]), label="kind")
        vectors = m
        expected = ValueError
        if kind == "matrix width":
            vectors = np.zeros((draw(st.integers(0, 3)), other_width(draw, dim)), np.float32)
            ids_arg = list(range(len(vectors)))
        elif kind == "list width":
            vectors = np.ones((n, other_width(draw, dim))).tolist()
        elif kind == "row width":
            # Rows are all checked before any is added, so the rows before the bad one
            # are not added either.
            bad = draw(st.integers(0, n - 1))
            vectors = m.tolist()
            vectors[bad] = [1.0] * other_width(draw, dim)
        elif kind == "ids count":
            ids_arg = list(ids) + [1] if draw(st.booleans()) else list(ids)[:-1]
            vectors = ROW_FORMS[draw(st.sampled_from(sorted(ROW_FORMS)))](m)
        elif kind == "str element":
            vectors = m.tolist()
            vectors[draw(st.integers(0, n - 1))][draw(st.integers(0, dim - 1))] = "x"
            expected = TypeError
        elif kind == "str rows":
            vectors = draw(st.sampled_from(["a" * dim, ["a" * dim] * n]))
            expected = TypeError
        elif kind == "str array":
            vectors = np.full((n, dim), "1.5")
            expected = TypeError
        elif kind == "None element":
            vectors = m.astype(object)
            vectors[draw(st.integers(0, n - 1)), draw(st.integers(0, dim - 1))] = None
            expected = TypeError
        elif kind == "not contiguous":
            wide = np.repeat(m, 2, axis=1)
            vectors = wide[:, ::2]
            # A (1, 1) slice counts as contiguous, and is added.
            expected = None if vectors.flags.c_contiguous else TypeError
            if expected is None and self.input_refuses("float32", m):
                expected = ValueError
        elif kind == "3-d":
            # Every element of a row is then an array of two values, not a number.
            vectors = np.repeat(m[:, :, None], 2, axis=2)
            expected = TypeError
        elif kind == "scalar":
            vectors = 5.0
            expected = TypeError
        elif kind == "1-d":
            vectors = m[0]
            ids, ids_arg = ids[:1], ids_arg[:1]
            expected = TypeError
        elif kind == "masked":
            vectors = np.ma.masked_array(m)
            expected = TypeError
        elif kind == "negative id":
            ids_arg = list(ids)
            ids_arg[draw(st.integers(0, n - 1))] = -draw(st.integers(1, 2**64))
            expected = OverflowError
        elif kind == "id too big":
            ids_arg = list(ids)
            ids_arg[draw(st.integers(0, n - 1))] = draw(st.integers(2**64, 2**80))
            expected = OverflowError
        elif kind == "float id":
            ids_arg = list(ids)
            ids_arg[draw(st.integers(0, n - 1))] = 1.0
            expected = TypeError
        elif kind == "str ids":
            ids_arg = "0" * n
            expected = TypeError
        elif kind == "None ids":
            ids_arg = None
            expected = TypeError
        elif kind == "id set":
            ids_arg = set(ids)
            expected = TypeError
        elif kind == "float id array":
            ids_arg = np.array(ids, np.float64)
            expected = TypeError
        elif kind == "datetime array":
            vectors = np.zeros((n, dim), "datetime64[s]")
            expected = TypeError
        elif kind == "bytes array":
            vectors = np.full((n, dim), b"1.5")
            expected = TypeError
        elif kind == "int too big for a float":
            vectors = m.tolist()
            vectors[draw(st.integers(0, n - 1))][draw(st.integers(0, dim - 1))] = -(10**400)
            expected = OverflowError
        elif kind == "row sets":
            vectors = [set(row) for row in m.tolist()]
            expected = TypeError
        elif kind == "generator":
            vectors = (row for row in m)
            expected = TypeError
        elif kind == "complex, warnings as errors":
            # The first element's warning, raised, ends the conversion.
            vectors = complex_rows(m, 1.0)[0]
            expected = ComplexWarning
        with warnings.catch_warnings():
            warnings.simplefilter("error", ComplexWarning)
            result = self.attempt(lambda: self.index.add(ids_arg, vectors), expected)
        if result is not FAILED:
            self.fix_input_type("float32", n)
            self.added(ids, m)

    # ---- searching -------------------------------------------------------------------

    def draw_query(self, draw):
        """(the argument, the float32 values it must reach the engine as)."""
        kind = draw(st.sampled_from(["probe", "random", "random", "special"]), label="query")
        if kind == "probe":
            q = self.probe
        else:
            q = draw(matrices(1, self.dim))[0]
            if kind == "special":
                q[draw(st.integers(0, self.dim - 1))] = draw(st.sampled_from(SPECIALS))
        _, arg, values = draw(row_inputs(q[None, :], warnings_ok=False))
        return arg[0], values[0]

    def draw_k(self, draw):
        return draw(st.one_of(st.integers(0, 12), st.sampled_from([10**12, NO_ID]), st.integers(0, NO_ID)), label="k")

    def draw_allowlist(self, draw):
        """(set of allowed ids or None, the argument)."""
        if draw(st.booleans()):
            return None, None
        known = sorted(set(self.rows) | set(self.pending)) or [0]
        allowed = draw(st.lists(st.one_of(st.sampled_from(known), ID_VALUES), max_size=6), label="allowlist")
        top = max(allowed, default=0)
        # Each form is drawn only when it can hold the ids; a list holds any.
        forms = {
            "list": list,
            "tuple": tuple,
            "uint64": lambda a: np.array(a, np.uint64),
            "uint64 scalars": lambda a: [np.uint64(i) for i in a],
            "big-endian uint64": lambda a: np.array(a, ">u8"),
            "strided uint64": lambda a: np.repeat(np.array(a, np.uint64), 2)[::2],
            "object array": lambda a: np.array(a, object),
            "int64": lambda a: np.array(a, np.int64) if top < 2**63 else None,
            "int64 scalars": lambda a: [np.int64(i) for i in a] if top < 2**63 else None,
            "uint32": lambda a: np.array(a, np.uint32) if top < 2**32 else None,
            "int32": lambda a: np.array(a, np.int32) if top < 2**31 else None,
        }
        arg = forms[draw(st.sampled_from(sorted(forms)), label="allowlist form")](allowed)
        return set(allowed), list(allowed) if arg is None else arg

    def draw_search_defect(self, draw):
        """(name, replacement arguments, class) of one bad argument, or None."""
        if draw(st.integers(0, 3)):
            return None
        dim = self.dim
        return draw(st.sampled_from([
            ("query length", {"query": [0.5] * other_width(draw, dim)}, ValueError),
            ("query str", {"query": "a" * dim}, TypeError),
            # (An element that is an array of one value converts with older NumPy.)
            ("query 2-d", {"query": np.ones((1, max(dim, 2)))}, TypeError),
            ("query None", {"query": None}, TypeError),
            ("query bytes", {"query": np.full(dim, b"1")}, TypeError),
            ("query datetime", {"query": np.zeros(dim, "datetime64[s]")}, TypeError),
            ("k negative", {"k": -1}, OverflowError),
            ("k too big", {"k": 2**64}, OverflowError),
            ("k float", {"k": 3.0}, TypeError),
            ("allowlist negative", {"allowlist": [1, -1]}, OverflowError),
            ("allowlist negative int64", {"allowlist": np.array([3, -2], np.int64)}, OverflowError),
            ("allowlist float", {"allowlist": [1.0]}, TypeError),
            ("allowlist float array", {"allowlist": np.array([1.0, 2.0])}, TypeError),
            ("allowlist 2-d", {"allowlist": np.array([[1, 2]], np.uint64)}, TypeError),
            ("allowlist set", {"allowlist": {1, 2}}, TypeError),
            ("allowlist str", {"allowlist": "12"}, TypeError),
        ]), label="defect")

    def check_hits(self, hits, k, allowed):
        ids = ids_of(hits)
        assert len(hits) <= min(k, self.count())
        assert is_sub_multiset(ids, self.rows), f"ids never stored (or too often): {ids} vs {self.rows}"
        if allowed is not None:
            assert set(ids) <= allowed
        if allowed is None or self.brute:
            # (IvfFlat and Hnsw drop disallowed hits after sorting, and a NaN among them
            # may have split the order: compared with the unfiltered search instead.)
            assert descending([hit["score"] for hit in hits], self.rescoring()), hits
        if self.brute:
            reachable = len(self.rows) if allowed is None else sum(1 for i in self.rows if i in allowed)
            assert len(hits) == min(k, reachable)

    @rule(data=st.data())
    def search(self, data):
        draw = data.draw
        query, values = self.draw_query(draw)
        # The query as the engine takes it: exactly the modelled float32 values.
        assert self.index.transform_query_np(query).tobytes() == self.index.transform_query_np(values).tobytes()
        args = {"query": query, "k": self.draw_k(draw)}
        allowed, args["allowlist"] = self.draw_allowlist(draw)
        defect = self.draw_search_defect(draw)
        expected = None if self.searchable() else RuntimeError
        if defect is not None:
            args.update(defect[1])
            expected = defect[2]
        hits = self.attempt(lambda: self.index.search(**args), expected)
        if hits is FAILED:
            return
        self.check_hits(hits, args["k"], allowed)
        if self.rescoring():
            self.check_rescored(args["query"], hits)
            return
        if self.brute:
            # Brute force filters before selecting: the scores are the best ones among
            # the allowed rows (which rows win a tie is not fixed). A NaN score compares
            # equal to every score, so where one exists there is no "best" to compare.
            every = self.index.search(args["query"], len(self.rows))
            if not any(math.isnan(h["score"]) for h in every):
                pool = [h["score"] for h in every if allowed is None or h["id"] in allowed]
                assert [h["score"] for h in hits] == pool[:len(hits)]
        elif allowed is not None:
            # IvfFlat and Hnsw apply the allowlist after the cut: the hits are those of
            # the same search without one, less the ids not allowed.
            unfiltered = self.index.search(args["query"], args["k"])
            assert keyed(hits) == keyed([h for h in unfiltered if h["id"] in allowed])

    def rescoring(self):
        return self.kept is not None and self.oversampling != 0

    # How far a re-scored score may be from one computed in float64, relative to the
    # size of its terms, for each kept type.
    KEPT_TOLERANCE = {"float32": 1e-4, "float16": 4e-3, "int8": 3e-2, "input": 1e-4}

    def check_rescored(self, query, hits):
        """With re-scoring on, every hit's score comes from its kept vector: the transformed
        query against the transformed row it was added as."""
        q = self.index.transform_query_np(query).astype(np.float64)
        if not np.isfinite(q).all():
            return
        metric = self.index.metric
        tolerance = self.KEPT_TOLERANCE[self.kept]
        for hit in hits[:10]:
            expected = []
            for row in self.vectors[hit["id"]]:
                # The row as it was kept: transformed like a query (for cosine, normalised).
                if self.input_type == "float16":  # kept input rows: rounded to half
                    row = row.astype(np.float16).astype(np.float32)
                x = self.index.transform_query_np(row).astype(np.float64)
                if not np.isfinite(x).all():
                    expected = None  # a row that overflowed has no score to compare
                    break
                norm = float(np.linalg.norm(x))
                dot = float(q @ x)
                scale = float(np.linalg.norm(q)) * norm
                if metric == "l2":
                    expected.append((dot - 0.5 * norm * norm, scale + norm * norm))
                elif metric == "cosine" and norm > 1e-9:
                    expected.append((dot / norm, scale / norm))
                else:  # dot, and cosine rows of norm 0, which keep the raw product
                    expected.append((dot, scale))
            # Terms beyond the float32 range overflow on the way: nothing to compare.
            if not expected or math.isnan(hit["score"]) or max(scale for _, scale in expected) > 1e37:
                continue
            assert any(abs(hit["score"] - want) <= tolerance * scale + 1e-6 for want, scale in expected), (
                hit, expected)

    @rule(data=st.data())
    def search_batch(self, data):
        draw = data.draw
        nq = draw(st.integers(0, 4), label="queries")
        queries = draw(matrices(nq, self.dim))
        _, queries_arg, values = draw(row_inputs(queries, warnings_ok=False))
        k = self.draw_k(draw)
        allowed, allowlist = self.draw_allowlist(draw)
        threads = draw(st.sampled_from([0, 1, 2, 3, 64]), label="threads")
        expected = None if self.searchable() or nq == 0 else RuntimeError
        defect = draw(st.sampled_from([None] * 6 + ["width", "ragged", "threads", "1-d"]), label="defect")
        if defect == "width":
            queries_arg = np.zeros((nq, other_width(draw, self.dim)), np.float32)
            expected = ValueError
        elif defect == "ragged" and nq:
            queries_arg = queries.tolist()
            queries_arg[draw(st.integers(0, nq - 1))] = [1.0] * other_width(draw, self.dim)
            expected = ValueError
        elif defect == "threads":
            threads = -1
            expected = OverflowError
        elif defect == "1-d" and nq:
            queries_arg = queries[0]
            expected = TypeError
        result = self.attempt(lambda: self.index.search_batch(queries_arg, k, allowlist, threads), expected)
        if result is FAILED:
            return
        ids, scores = result
        width = min(k, self.count())
        assert ids.dtype == np.uint64 and scores.dtype == np.float32
        assert ids.shape == scores.shape == (nq, width)
        for i in range(nq):
            hits = self.index.search(values[i], k, allowlist)
            self.check_hits(hits, k, allowed)
            n = len(hits)
            assert ids[i, :n].tolist() == ids_of(hits)
            assert scores[i, :n].tobytes() == np.array([h["score"] for h in hits], np.float32).tobytes()
            assert (ids[i, n:] == NO_ID).all() and (scores[i, n:] == -np.inf).all()

    # ---- structure and settings ------------------------------------------------------

    @rule(threads=st.sampled_from([None, 1, 2, 0]))
    def build(self, threads):
        expected = RuntimeError if self.ivf and not self.pending else None
        build = self.index.build if threads is None else lambda: self.index.build(threads=threads)
        if self.attempt(build, expected) is FAILED:
            return
        if self.ivf:
            self.rows += self.pending
            self.pending = []
            self.built = True
            self.nprobe = self.kwargs["ivf_nprobe"]

    @rule(value=st.one_of(st.integers(0, 8), st.sampled_from([10**12, NO_ID]), st.sampled_from([-1, 2**64, 2.0])))
    def set_nprobe(self, value):
        expected = {int: None if 0 <= value < 2**64 else OverflowError, float: TypeError}[type(value)]
        if self.attempt(lambda: self.index.set_nprobe(value), expected) is not FAILED and self.ivf and self.built:
            self.nprobe = value

    @rule(value=st.one_of(st.integers(0, 40), st.sampled_from([10**12, NO_ID]), st.sampled_from([-1, 2**64, 2.0])))
    def set_ef_search(self, value):
        expected = {int: None if 0 <= value < 2**64 else OverflowError, float: TypeError}[type(value)]
        if self.attempt(lambda: self.index.set_ef_search(value), expected) is not FAILED and self.hnsw:
            self.ef = value

    @rule(dtype=st.sampled_from(["float32", "float16", "int8", "input", "input", None, "float64", "FLOAT16", 16]))
    def keep_vectors(self, dtype):
        if dtype is None:
            call, dtype = self.index.keep_vectors, "float16"
        else:
            def call():
                return self.index.keep_vectors(dtype)
        good = dtype in ("float32", "float16", "int8", "input")
        holds_rows = self.rows or self.pending
        expected = TypeError if not isinstance(dtype, str) else None if good and not holds_rows else ValueError
        if self.attempt(call, expected) is not FAILED:
            self.kept, self.oversampling, self.input_type = dtype, 4.0, None
            self.start_over()

    @rule(value=st.sampled_from([0, 0.0, 1, 1.0, 1.5, 4, 8.0, 1e300, 2**70, True,
                                 0.5, -1, -0.0001, math.nan, math.inf, -math.inf, "2"]))
    def set_rescore(self, value):
        if isinstance(value, str):
            expected = TypeError
        elif self.kept is None or not (value == 0 or 1 <= value < math.inf):
            expected = ValueError
        else:
            expected = None
        if self.attempt(lambda: self.index.set_rescore(value), expected) is not FAILED:
            self.oversampling = float(value)

    @rule(data=st.data())
    def fit(self, data):
        draw = data.draw
        kind = draw(st.sampled_from(["rows", "rows", "empty", "width", "str"]), label="sample")
        form = None
        if kind == "rows":
            form, sample, values = draw(row_inputs(draw(matrices(draw(st.integers(1, 6)), self.dim)),
                                                   warnings_ok=False))
        elif kind == "empty":
            sample = []
        elif kind == "width":
            sample = [[1.0] * other_width(draw, self.dim)]
        else:
            sample = [["x"] * self.dim]
        if kind == "str":
            expected = TypeError
        elif kind == "width":
            expected = ValueError
        elif not self.l2:
            expected = None  # nothing to do for cosine and dot, whatever the sample
        else:
            refused = self.rows or self.pending or kind == "empty" or not np.isfinite(values).all()
            expected = ValueError if refused else None
        # An empty index fitted on the modelled float32 values must end up the same.
        twin = copy.deepcopy(self.index) if form not in (None, "float32") and self.count() == 0 else None
        if self.attempt(lambda: self.index.fit(sample), expected) is FAILED:
            return
        if self.l2:
            self.start_over()
        if twin is None:
            return
        twin.fit(np.ascontiguousarray(values))
        assert twin.__reduce__()[2] == self.index.__reduce__()[2], form

    # ---- changing and reading rows by id ---------------------------------------------

    def draw_ids(self, draw, label):
        """Ids to change or look up, held ones and others mixed, in one of the id forms."""
        held = sorted(set(self.vectors))
        pool = st.one_of(st.sampled_from(held), ID_VALUES) if held else ID_VALUES
        ids = draw(st.lists(pool, max_size=8), label=label)
        form = draw(st.sampled_from(["list", "uint64", "tuple"]), label=label + " form")
        return ids, {"list": list, "tuple": tuple, "uint64": lambda v: np.array(v, np.uint64)}[form](ids)

    def start_over(self):
        """keep_vectors() and fit() on an index whose rows were all removed: an IvfFlat index
        is as one never built."""
        if self.ivf and self.built:
            self.built, self.nprobe = False, None

    def forget(self, ids):
        """The model after remove(ids); returns how many rows went."""
        gone = set(ids)
        count = sum(1 for i in self.rows + self.pending if i in gone)
        self.rows = [i for i in self.rows if i not in gone]
        self.pending = [i for i in self.pending if i not in gone]
        for i in gone:
            self.gone = (self.gone + self.vectors.pop(i, []))[-3:]
        return count

    def draw_long_work(self, draw, stops):
        """threads and progress for a remove or an update: the keyword arguments, the reports
        they will see, and whether the first report raises Stopped (one of `stops` may)."""
        extra, calls = {}, []
        threads = draw(st.sampled_from([None, 1, 2, 0]), label="threads")
        if threads is not None:
            extra["threads"] = threads
        watch = draw(st.sampled_from([None, "watch", "stop"] if stops else [None, "watch"]), label="progress")
        if watch is not None:
            def progress(done, total):
                calls.append((done, total))
                if watch == "stop":
                    raise Stopped

            extra["progress"] = progress
        return extra, calls, watch == "stop"

    @staticmethod
    def check_reports(calls, extra, stopped):
        """One total, known from the first report; a call not stopped reports its end."""
        assert ("progress" in extra) == bool(calls) and len({t for _, t in calls}) <= 1, calls
        assert all(d <= t for d, t in calls) and (stopped or not calls or calls[-1][0] == calls[-1][1]), calls

    @rule(data=st.data())
    def remove(self, data):
        ids, ids_arg = self.draw_ids(data.draw, "ids")
        extra, calls, stops = self.draw_long_work(data.draw, True)
        exports = None
        if self.brute:
            index = self.index
            exports = (index.vector_ids(), index.packed_data(), index.vector_norms())
        if stops:
            # Stopped or not, every row named is gone: len, in and get must agree.
            with pytest.raises(Stopped):
                self.index.remove(ids_arg, **extra)
            self.forget(ids)
        else:
            removed = self.attempt(lambda: self.index.remove(ids_arg, **extra), None)
            assert removed == self.forget(ids)
        self.check_reports(calls, extra, stops)
        if exports is not None:
            # The rows left are the earlier ones less those removed, in their order.
            left = ~np.isin(exports[0], np.array(ids, np.uint64))
            assert self.index.vector_ids().tobytes() == exports[0][left].tobytes()
            assert self.index.packed_data().tobytes() == exports[1][left].tobytes()
            assert self.index.vector_norms().tobytes() == exports[2][left].tobytes()

    @rule(data=st.data())
    def update(self, data):
        draw = data.draw
        ids, ids_arg = self.draw_ids(draw, "ids")
        form, vectors, stored = draw(row_inputs(draw(matrices(len(ids), self.dim)), warnings_ok=False))
        refused = self.input_refuses(form, stored)
        if ids and draw(st.integers(0, 4), label="wrong width") == 0:
            vectors, refused = [[0.5] * other_width(draw, self.dim)] * len(ids), True
        extra, calls, _ = self.draw_long_work(draw, False)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = self.attempt(lambda: self.index.update(ids_arg, vectors, **extra),
                                  ValueError if refused else None)
        if result is FAILED:
            return
        self.check_reports(calls, extra, False)
        assert not calls or calls[-1][1] >= len(ids), calls
        self.check_far_warning(caught, len(ids))
        self.forget(ids)
        self.fix_input_type(form, len(ids))
        self.added(ids, stored)

    @rule(data=st.data())
    def get_and_contains(self, data):
        ids, ids_arg = self.draw_ids(data.draw, "ids")
        index = self.index
        for i in ids + [-1, 2**64]:
            assert (i in index) == (i in self.vectors) == (0 <= i < 2**64 and np.uint64(i) in index), i
        assert "7" not in index and None not in index  # a key of another type, as in Python's containers
        missing = [i for i in ids if i not in self.vectors]
        if missing:
            with pytest.raises(KeyError) as raised:
                index.get(ids_arg)
            assert raised.value.args == (missing[0],)
            return
        got = index.get(ids_arg)
        assert got.dtype == np.float32 and got.shape == (len(ids), self.dim)
        for i, row in zip(ids, got):
            last = self.vectors[i][-1]
            if self.kept == "input":
                # (Rows kept as float16 that arrived as another type were rounded to it. An
                # IvfFlat index's lists do not keep the order of adds: any row of the id.)
                rows = self.vectors[i] if self.ivf else [last]
                if self.input_type == "float16":
                    with np.errstate(over="ignore"):
                        rows = [r.astype(np.float16).astype(np.float32) for r in rows]
                assert any(np.array_equal(row, r, equal_nan=True) for r in rows), (i, row, rows)
                continue
            size = float(np.linalg.norm(last.astype(np.float64)))
            several = self.ivf and len(self.vectors[i]) > 1
            if self.kept != "float32" or several or not np.isfinite(last).all() or not 1e-3 < size < 1e30:
                continue
            # A kept transformed vector comes back as the prepared row, within rounding.
            want = last / size if self.kwargs["metric"].lower() == "cosine" else last
            assert np.allclose(row, want, rtol=0, atol=1e-4 * max(1.0, float(np.abs(want).max()))), (i, row, want)

    # ---- persistence -----------------------------------------------------------------

    def check_copy(self, other, what):
        """`other` holds what the index holds: the same settings, count and answers."""
        index = self.index
        for name in ("dim", "metric", "bit_width", "n4_dims", "padded_dim", "index_type", "kept_vectors",
                     "packed_bytes_per_vec"):
            assert getattr(other, name) == getattr(index, name), (what, name)
        assert len(other) == self.count()
        if self.searchable():
            for k in (PROBE_K, len(self.rows)):
                assert keyed(other.search(self.probe, k)) == keyed(index.search(self.probe, k)), what

    @rule(data=st.data())
    def save_and_load(self, data):
        path = os.path.join(self.tmp, data.draw(st.sampled_from(["a.krvn", "b.krvn"]), label="file"))
        existed = self.saved.get(path)
        checksum = data.draw(st.booleans(), label="checksum")
        # Nothing but a save writes a file, whatever indexes mapped from it did since.
        for p, written in self.saved.items():
            with open(p, "rb") as f:
                assert f.read() == written, p
        if self.ivf and not self.built:
            self.attempt(lambda: self.index.save(path, checksum=checksum), RuntimeError)
            # Refused before writing: an earlier file at the path is as it was.
            if existed is None:
                assert not os.path.exists(path)
            else:
                with open(path, "rb") as f:
                    assert f.read() == existed
            assert sorted(os.listdir(self.tmp)) == sorted(os.path.basename(p) for p in self.saved)
            return
        self.attempt(lambda: self.index.save(path, checksum=checksum), None)
        with open(path, "rb") as f:
            self.saved[path] = f.read()
        assert sorted(os.listdir(self.tmp)) == sorted(os.path.basename(p) for p in self.saved)
        loaded = Korvane.load(path, mmap=data.draw(st.booleans(), label="mmap"))
        # Run-time nprobe and ef_search are not saved: the constructor's values come back.
        resolved_ef = (self.kwargs["hnsw_ef_search"] or 2 * self.kwargs["hnsw_m"]) if self.hnsw else None
        assert loaded.__reduce__()[2][1:] == (self.kwargs["ivf_nprobe"] if self.ivf else None, resolved_ef)
        if self.ivf:
            loaded.set_nprobe(self.nprobe)
        if self.hnsw:
            loaded.set_ef_search(self.ef)
        self.check_copy(loaded, "load")
        if data.draw(st.booleans(), label="go on with the loaded index"):
            self.index, self.far_warned = loaded, False

    @rule(data=st.data())
    def copy_or_pickle(self, data):
        how = data.draw(st.sampled_from(["pickle", "copy", "deepcopy"]), label="how")
        protocol = data.draw(st.integers(2, pickle.HIGHEST_PROTOCOL), label="protocol")
        make = {"pickle": lambda: pickle.loads(pickle.dumps(self.index, protocol)),
                "copy": lambda: copy.copy(self.index), "deepcopy": lambda: copy.deepcopy(self.index)}[how]
        other = self.attempt(make, None)
        assert other is not self.index
        assert other.__reduce__()[2][1:] == self.index.__reduce__()[2][1:] == self.reduce_extras()
        self.check_copy(other, how)
        if data.draw(st.booleans(), label="go on with the copy"):
            self.index, self.far_warned = other, False

    # ---- after every step ------------------------------------------------------------

    @invariant()
    def counted(self):
        if self.index is None:
            return
        index = self.index
        n = self.count()
        assert len(index) == index.n_vectors == n
        assert index.is_empty() == (n == 0)
        assert index.kept_vectors == self.kept
        assert index.ef_search == self.ef
        assert index.nprobe == ((self.nprobe if self.built else self.kwargs["ivf_nprobe"]) if self.ivf else None)
        assert index.oversampling == (self.oversampling if self.kept else None)
        assert repr(index) == (f"Korvane(dim={self.dim}, n={n}, bit_width={index.bit_width}, "
                               f"index_type={index.index_type})")

    @invariant()
    def batches_answer_as_searches(self):
        """A batch (which scans the rows once for all its queries) answers each query as a
        search does, the vectors of removed rows among the queries."""
        if self.index is None or not self.searchable():
            return
        queries = np.array(self.gone + [self.probe], np.float32)
        k = min(PROBE_K, self.count())
        ids, scores = self.index.search_batch(queries, k, threads=1)
        for i, q in enumerate(queries):
            hits = self.index.search(q, k)
            assert ids[i, :len(hits)].tolist() == ids_of(hits)
            assert scores[i, :len(hits)].tobytes() == np.array([h["score"] for h in hits], np.float32).tobytes()

    @invariant()
    def every_row_is_found(self):
        if self.index is None:
            return
        index = self.index
        if not self.searchable():
            with pytest.raises(RuntimeError):
                index.search(self.probe, 1)
            return
        n = len(self.rows)
        if self.brute:
            assert index.vector_ids().tolist() == self.rows
        if self.hnsw:
            hits = index.search(self.probe, n)
            assert 0 < len(hits) <= n and is_sub_multiset(ids_of(hits), self.rows)
            return
        if self.ivf:
            index.set_nprobe(EVERY_LIST)
        try:
            for k, allowlist in ((n, None), (10**12, np.array(sorted(set(self.rows)), np.uint64))):
                hits = index.search(self.probe, k, allowlist)
                assert collections.Counter(ids_of(hits)) == collections.Counter(self.rows), (k, allowlist)
        finally:
            if self.ivf:
                index.set_nprobe(self.nprobe)


class BruteForceMachine(IndexMachine):
    INDEX_TYPE = "brute_force"
    SPELLINGS = ["brute_force", "Brute-Force", "BRUTE_FORCE"]


class IvfFlatMachine(IndexMachine):
    INDEX_TYPE = "ivf_flat"
    SPELLINGS = ["ivf_flat", "IVF-Flat"]


class HnswMachine(IndexMachine):
    INDEX_TYPE = "hnsw"
    SPELLINGS = ["hnsw", "HNSW"]


TestBruteForce = BruteForceMachine.TestCase
TestIvfFlat = IvfFlatMachine.TestCase
TestHnsw = HnswMachine.TestCase
TestBruteForce.settings = TestIvfFlat.settings = TestHnsw.settings = machine_settings()

