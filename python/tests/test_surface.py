"""The whole Python surface of the module: names, kinds, signatures, docstrings and the
exception class of every error a caller can meet."""
import inspect
import pathlib
import struct
import sys
import types

import numpy as np
import pytest

import korvane
from korvane import Korvane

import krvn_bytes as kb

# Everything a package has without being asked, and the submodule korvane.dask once
# something imported it.
MODULE_DUNDERS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__path__",
                  "__cached__", "__builtins__", "dask"}

# The class's own members in their order; kinds: method, static, class, property, slot.
MEMBERS = [
    ("__new__", "new"), ("__repr__", "slot"), ("__len__", "slot"), ("__contains__", "slot"),
    ("add", "method"), ("remove", "method"), ("update", "method"), ("get", "method"), ("search", "method"), ("fit", "method"), ("build", "method"),
    ("set_ef_search", "method"), ("set_nprobe", "method"), ("save", "method"),
    ("recommended_m", "static"), ("load", "class"), ("is_empty", "method"), ("is_mixed", "method"),
    ("transform_query_np", "method"), ("packed_data", "method"), ("vector_norms", "method"),
    ("vector_ids", "method"), ("centroids_4bit", "static"), ("centroids_2bit", "static"),
    ("profile_variance", "method"), ("optimal_n4_dims", "method"), ("search_batch", "method"), ("keep_vectors", "method"),
    ("set_rescore", "method"), ("__reduce__", "method"),
    ("__setstate__", "method"),
    ("n_vectors", "property"), ("dim", "property"), ("bit_width", "property"), ("index_type", "property"),
    ("n4_dims", "property"), ("metric", "property"), ("padded_dim", "property"),
    ("packed_bytes_per_vec", "property"), ("pb4_per_vec", "property"), ("kept_vectors", "property"),
    ("ef_search", "property"), ("nprobe", "property"), ("oversampling", "property"),
    ("__doc__", "data"), ("__module__", "data"),
]
KINDS = {
    "method": types.MethodDescriptorType, "static": staticmethod, "class": types.ClassMethodDescriptorType,
    "property": types.GetSetDescriptorType, "slot": types.WrapperDescriptorType,
    "new": types.BuiltinFunctionType, "data": str,
}
PROPERTIES = [name for name, kind in MEMBERS if kind == "property"]

SIGNATURES = {
    "add": "(self, /, ids, vectors, *, threads=1, progress=None)",
    "remove": "(self, /, ids, *, threads=1, progress=None)",
    "update": "(self, /, ids, vectors, *, threads=1, progress=None)",
    "get": "(self, /, ids)",
    "search": "(self, /, query, k, allowlist=None)",
    "fit": "(self, /, vectors)",
    "build": "(self, /, *, threads=0, progress=None)",
    "set_ef_search": "(self, /, ef)",
    "set_nprobe": "(self, /, nprobe)",
    "save": "(self, /, path, checksum=False)",
    "recommended_m": "(n)",
    "load": "(path, mmap=False)",  # bound to the class
    "is_empty": "(self, /)",
    "is_mixed": "(self, /)",
    "transform_query_np": "(self, /, query)",
    "packed_data": "(self, /)",
    "vector_norms": "(self, /)",
    "vector_ids": "(self, /)",
    "centroids_4bit": "()",
    "centroids_2bit": "()",
    "profile_variance": "(self, /, sample_vecs)",
    "optimal_n4_dims": "(self, /, sample_vecs, avg_bits)",
    "search_batch": "(self, /, queries, k, allowlist=None, threads=0)",
    "keep_vectors": "(self, /, dtype='float16')",
    "set_rescore": "(self, /, oversampling)",
    "__reduce__": "(self, /)",
    "__setstate__": "(self, state, /)",
}
CONSTRUCTOR = ("(dim, metric='cosine', bit_width=4, index_type='brute_force', mixed_ratio=None, n4_dims=None, "
               "ivf_nlist=256, ivf_nprobe=8, hnsw_m=32, hnsw_ef_construction=200, hnsw_ef_search=0)")

SUMMARIES = {
    "add": "Add vectors to the index.",
    "remove": "Remove every vector whose id is among ``ids``.",
    "update": "Replace the vectors of ``ids``: ``remove(ids)``, then ``add(ids, vectors)``.",
    "get": "The vectors stored under ``ids``, as a float32 array of shape (len(ids), dim).",
    "search": "Search for the K nearest neighbors.",
    "fit": "Compute per-dimension standardization parameters for L2 metric.",
    "build": "Build the search index.",
    "set_ef_search": "Update HNSW ef_search at runtime without rebuilding the index.",
    "set_nprobe": "Update IvfFlat nprobe at runtime. Higher = better recall, lower QPS.",
    "save": "Save the index to a .krvn file.",
    "recommended_m": "Recommended HNSW M value for a given corpus size.",
    "load": "Load an index from a .krvn file (memory-mapped).",
    "is_empty": "True if the index contains no vectors.",
    "is_mixed": "True when index uses mixed 4-bit/2-bit quantization.",
    "transform_query_np": "Apply the full query pipeline (standardization → RHDH → scale).",
    "packed_data": "Raw packed vector data as a uint8 numpy array of shape ``[n, packed_bytes_per_vec]``.",
    "vector_norms": "Per-vector quantized norms as a float32 numpy array of shape ``[n]``.",
    "vector_ids": "Vector IDs as a uint64 numpy array of shape ``[n]``.",
    "centroids_4bit": "4-bit Lloyd-Max centroid table as float32 numpy array of shape ``[16]``.",
    "centroids_2bit": "2-bit Lloyd-Max centroid table as float32 numpy array of shape ``[4]``.",
    "profile_variance": "Profile per-dimension variance of RHDH-rotated embeddings.",
    "optimal_n4_dims": "Compute the optimal n4_dims for a given average bit budget.",
    "search_batch": "Search many queries at once, across threads.",
    "keep_vectors": "Keep, beside its codes, the vector each added row's codes approximate, to re-score.",
    "set_rescore": "Re-score ``ceil(k * oversampling)`` candidates from their kept vectors; 0 turns it off.",
    "n_vectors": "Number of indexed vectors.",
    "dim": "Vector dimension.",
    "bit_width": "Quantization bit width (2 or 4).",
    "index_type": "Index algorithm: 'BruteForce', 'IvfFlat', or 'Hnsw'.",
    "n4_dims": "Dims quantized at 4-bit in padded space (0 = pure 2-bit, padded_dim = pure 4-bit).",
    "metric": "Distance metric: 'cosine', 'dot', or 'l2'.",
    "padded_dim": "RHDH output dimension (`dim.next_power_of_two()`).",
    "packed_bytes_per_vec": "Bytes per packed vector.",
    "pb4_per_vec": "Bytes in the 4-bit block per packed vector (0 for pure 2-bit).",
    "kept_vectors": "Type of the kept vectors used for re-scoring: 'float32', 'float16', 'int8', 'input', or None.",
    "ef_search": "Candidate list size of an Hnsw search (set_ef_search; not saved), or None for other index types.",
    "nprobe": "Lists an IvfFlat search scans (set_nprobe; not saved; before the first build, the value build() "
              "will use), or None for other index types.",
    "oversampling": "Re-scoring oversampling (set_rescore; 0.0: off), or None without kept vectors.",
}

ROW = [0.5, -1.0, 2.0, 0.25]


def test_module_holds_the_class_and_the_version_only(run_python, tmp_path):
    assert [n for n in vars(korvane) if n not in MODULE_DUNDERS] == ["Korvane", "__version__"]
    # korvane.dask and what it needs are imported only when asked for.
    script = tmp_path / "imports.py"
    script.write_text("import sys, korvane\nprint(sorted(m for m in sys.modules if m.split('.')[0] in "
                      "('korvane', 'dask', 'distributed')))\n")
    assert run_python(script).stdout.strip() == "['korvane', 'korvane.korvane']"
    assert korvane.__version__ == "1.0.0" and type(korvane.__version__) is str
    assert Korvane.__name__ == Korvane.__qualname__ == "Korvane"


def test_members_in_order_and_kind():
    seen = [(name, type(value)) for name, value in vars(Korvane).items()]
    expected = [(name, KINDS[kind]) for name, kind in MEMBERS]
    # Python 3.9 puts __new__ after the slot wrappers (__repr__, __len__), later versions
    # before them: its place is the interpreter's, everything else keeps the given order.
    assert sorted(seen, key=lambda member: member[0] != "__new__") == expected


def test_no_special_methods_beyond_length_membership_and_representation():
    for name in ("__eq__", "__ne__", "__lt__", "__hash__", "__init__", "__getattribute__", "__setattr__"):
        assert getattr(Korvane, name) is getattr(object, name), name
    for name in ("__iter__", "__getitem__", "__bool__", "__call__", "__copy__", "__deepcopy__",
                 "__getstate__", "__dict__", "__weakref__"):
        assert name not in vars(Korvane), name
    index = Korvane(4)
    assert index != Korvane(4) and index == index and hash(index) == object.__hash__(index)
    with pytest.raises(TypeError):
        iter(index)
    with pytest.raises(AttributeError, match="'Korvane' object has no attribute 'colour'"):
        index.colour = "red"
    with pytest.raises(TypeError):
        type("Sub", (Korvane,), {})


@pytest.mark.parametrize("name", PROPERTIES)
def test_properties_are_read_only(name):
    index = Korvane(8)
    before = getattr(index, name)
    with pytest.raises(AttributeError):
        setattr(index, name, before)
    with pytest.raises(AttributeError):
        delattr(index, name)
    assert getattr(index, name) == before


@pytest.mark.skipif(sys.version_info < (3, 10), reason="3.9 drops a heap type's text signature")
def test_constructor_signature():
    assert str(inspect.signature(Korvane)) == CONSTRUCTOR
    assert Korvane.__doc__.startswith("Korvane — ultra-low resource embedded vector search engine.\n")
    assert "\nParameters\n----------\n" in Korvane.__doc__
    documented = [line.split(" : ")[0] for line in Korvane.__doc__.splitlines() if " : " in line]
    assert documented == list(inspect.signature(Korvane).parameters)


@pytest.mark.parametrize("name", SIGNATURES)
def test_method_signatures(name):
    assert set(SIGNATURES) == {n for n, kind in MEMBERS if kind in ("method", "static", "class")}
    assert str(inspect.signature(getattr(Korvane, name))) == SIGNATURES[name]


@pytest.mark.parametrize("name", SUMMARIES)
def test_docstring_summaries(name):
    assert set(SUMMARIES) == {n for n, kind in MEMBERS if kind != "data" and not n.startswith("__")}
    doc = getattr(Korvane, name).__doc__
    assert doc.splitlines()[0] == SUMMARIES[name]


def test_every_parameter_is_accepted_by_its_keyword(tmp_path):
    # What the signatures promise: positional-or-keyword parameters work by name.
    index = Korvane(dim=4, metric="l2", bit_width=4, index_type="brute_force", mixed_ratio=None, n4_dims=None,
                    ivf_nlist=2, ivf_nprobe=1, hnsw_m=4, hnsw_ef_construction=8, hnsw_ef_search=0)
    index.fit(vectors=[ROW, [1.0, 1.0, 1.0, 1.0]])
    index.add(ids=[7], vectors=[ROW])
    assert [h["id"] for h in index.search(query=ROW, k=1, allowlist=[7])] == [7]
    index.set_ef_search(ef=3)
    index.set_nprobe(nprobe=3)
    index.save(path=str(tmp_path / "x.krvn"))
    assert len(Korvane.load(path=str(tmp_path / "x.krvn"))) == 1
    assert Korvane.recommended_m(n=5) == 32
    assert index.transform_query_np(query=ROW).shape == (4,)
    assert len(index.profile_variance(sample_vecs=[ROW])) == 4
    assert index.optimal_n4_dims(sample_vecs=[ROW], avg_bits=3.0) == 0  # 2 of padded_dim 4, rounded down to 0
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        index.__setstate__(state=index.__reduce__()[2])


# ---- error kinds ------------------------------------------------------------------------

def krvn_bytes(*patches):
    """A saved one-vector index, with header fields replaced: (offset, struct format, value)."""
    index = Korvane(4)
    index.add([1], [ROW])
    data = bytearray(kb.unseal(index.__reduce__()[2][0]))
    for offset, fmt, value in patches:
        struct.pack_into(fmt, data, offset, value)
    return bytes(data)


def load_bytes(tmp_path, data):
    path = tmp_path / "f.krvn"
    path.write_bytes(data)
    return Korvane.load(str(path))


def filled(**kwargs):
    index = Korvane(4, **kwargs)
    index.add([1, 2], [ROW, [1.0, 0.0, 0.0, 0.0]])
    return index


def re_entering(method):
    """Calls `method` on an index from inside the conversion of the index's own add."""
    index = filled()

    class Row(list):
        def __iter__(self):
            getattr(index, method)()
            return iter(ROW)
    return lambda p: index.add([3], [Row()])


# (what, call, exception class, message; a message ending in "…" is a prefix)
ERRORS = [
    # errors of the engine, one per kind a caller can reach
    ("invalid bit width", lambda p: Korvane(4, bit_width=3), ValueError, "invalid bit width: 3 (must be 2 or 4)"),
    ("invalid metric byte", lambda p: load_bytes(p, krvn_bytes((12, "<B", 3))), ValueError,
     "invalid metric byte: 3"),
    ("index is empty", lambda p: Korvane(4).search(ROW, 1), RuntimeError, "index is empty"),
    ("io error", lambda p: Korvane.load(str(p / "missing.krvn")), OSError, "io error: …"),
    ("io error on save", lambda p: filled().save(str(p)), OSError, "io error: …"),
    ("invalid file", lambda p: load_bytes(p, b"KRVX" + krvn_bytes()[4:]), OSError,
     "invalid .krvn file: bad magic bytes"),
    ("unsupported version", lambda p: load_bytes(p, krvn_bytes((4, "<I", 7))), OSError,
     "unsupported file version: 7"),
    ("unsupported index type byte", lambda p: load_bytes(p, krvn_bytes((14, "<B", 3))), ValueError,
     "unsupported index type byte: 3"),
    ("not built", lambda p: filled(index_type="ivf_flat", ivf_nlist=2).search(ROW, 1), RuntimeError,
     "call build() before search() for IvfFlat indexes"),
    ("empty sample", lambda p: Korvane(4).profile_variance([]), ValueError,
     "sample is empty — provide at least 1 vector for profiling"),
    ("fit after add", lambda p: filled(metric="l2").fit([ROW]), ValueError,
     "fit() must be called before add() — index already contains vectors"),
    ("invalid argument", lambda p: Korvane(4, index_type="ivf_flat", ivf_nlist=0), ValueError,
     "ivf_nlist must be at least 1 for ivf_flat indexes (got 0)"),
    # the constructor's texts
    ("unknown metric", lambda p: Korvane(4, metric="hamming"), ValueError,
     "unknown metric 'hamming': use 'cosine', 'dot', or 'l2'"),
    ("unknown index type", lambda p: Korvane(4, index_type="lsh"), ValueError,
     "unknown index_type 'lsh': use 'brute_force', 'ivf_flat', or 'hnsw'"),
    # the binding's own
    ("export from another index type", lambda p: filled(index_type="hnsw").vector_ids(), RuntimeError,
     "vector_ids() is only available for BruteForce indexes"),
    ("ids and vectors counts", lambda p: Korvane(4).add([1, 2, 3], np.zeros((2, 4), np.float32)), ValueError,
     "ids length (3) != vectors length (2)"),
    ("query dimension", lambda p: filled().search([1.0], 1), ValueError, "query dimension mismatch: expected 4, got 1"),
    ("row dimension", lambda p: Korvane(4).add([1, 2], [ROW, [1.0]]), ValueError,
     "vector 1 dimension mismatch: expected 4, got 1"),
    ("matrix dimension", lambda p: Korvane(4).add([1], np.zeros((1, 3), np.float32)), ValueError,
     "vector dimension mismatch: expected 4, got 3"),
    ("not contiguous", lambda p: Korvane(4).add([1], np.zeros((1, 8), np.float32)[:, ::2]), TypeError,
     "The given array is not contiguous"),
    ("not a sequence", lambda p: Korvane(4).add([1], 5), TypeError, "'int' object cannot be converted to 'Sequence'"),
    ("batch of one 1-d query", lambda p: filled().search_batch(np.zeros(4, np.float32), 1), TypeError,
     "queries must be a 2-D array of shape (n, 4), got an array of shape (4,)"),
    ("batch of 3-d queries", lambda p: filled().search_batch(np.zeros((2, 1, 4)), 1), TypeError,
     "queries must be a 2-D array of shape (n, 4), got an array of shape (2, 1, 4)"),
    ("batch of one query list", lambda p: filled().search_batch(ROW, 1), TypeError,
     "queries must be rows of length 4, shape (n, 4), got one row of numbers: wrap it in a list"),
    ("ids not a sequence", lambda p: Korvane(4).add(5, [ROW]), TypeError,
     "argument 'ids': 'int' object cannot be converted to 'Sequence'"),
    ("wrong type of int argument", lambda p: filled().search(ROW, 1.0), TypeError, "argument 'k': …"),
    ("path not a str", lambda p: filled().save(p / "x.krvn"), TypeError,
     "argument 'path': 'PosixPath' object cannot be converted to 'str'"),
    ("path with a null", lambda p: Korvane.load("a\0b"), ValueError, "argument 'path': embedded null character"),
    ("missing argument", lambda p: Korvane(), TypeError, "…"),
    ("unknown keyword", lambda p: filled().search(ROW, k=1, filter=[1]), TypeError, "…"),
    # The interpreter checks the receiver of a method before the method runs.
    ("receiver not a Korvane", lambda p: Korvane.is_empty(3), TypeError, "…"),
    ("state not bytes", lambda p: Korvane(4).__setstate__("x"), TypeError,
     "argument 'state': 'str' object cannot be converted to 'bytes'"),
    ("state not a file", lambda p: Korvane(4).__setstate__(b"KRVN"), OSError, "io error: …"),
    ("exclusive use while in use", re_entering("build"), RuntimeError, "Already borrowed"),
    ("shared use while in exclusive use", re_entering("is_empty"), RuntimeError, "Already mutably borrowed"),
    ("negative int", lambda p: filled().search(ROW, -1), OverflowError, "…"),
    ("id out of range", lambda p: Korvane(4).add([2**64], [ROW]), OverflowError, "…"),
    ("bit width out of range", lambda p: Korvane(4, bit_width=256), OverflowError,
     "out of range integral type conversion attempted"),
]


@pytest.mark.parametrize("call, exc, message", [e[1:] for e in ERRORS], ids=[e[0] for e in ERRORS])
def test_error_classes_and_messages(tmp_path, call, exc, message):
    with pytest.raises(Exception) as info:
        call(tmp_path)
    assert type(info.value) is exc
    if message.endswith("…"):
        assert str(info.value).startswith(message[:-1])
    else:
        assert str(info.value) == message


def test_load_makes_a_korvane_and_keeps_no_file_open(tmp_path):
    path = tmp_path / "x.krvn"
    filled().save(str(path))
    loaded = Korvane.load(str(path))
    assert type(loaded) is Korvane and len(loaded) == 2
    fds = pathlib.Path("/proc/self/fd")
    if fds.is_dir():
        assert not any(str(fd.resolve()) == str(path) for fd in fds.iterdir() if fd.is_symlink())
