import copy
import json
import pathlib
import pickle

import numpy as np
import pytest

from korvane import Korvane

import krvn_bytes as kb

DIM = 20
PROPERTIES = ["n_vectors", "dim", "bit_width", "index_type", "n4_dims", "metric", "padded_dim",
              "packed_bytes_per_vec", "pb4_per_vec"]
INDEX_TYPES = {
    "brute_force": {},
    "ivf_flat": {"ivf_nlist": 8, "ivf_nprobe": 3},
    "hnsw": {"hnsw_m": 8, "hnsw_ef_construction": 32, "hnsw_ef_search": 24},
}
LAYOUTS = {"4bit": {}, "2bit": {"bit_width": 2}, "mixed": {"n4_dims": 12}}
COPIERS = {
    "pickle": lambda ix: pickle.loads(pickle.dumps(ix)),
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}

rng = np.random.default_rng(21)
VECTORS = rng.standard_normal((200, DIM)).astype(np.float32)
MORE = rng.standard_normal((50, DIM)).astype(np.float32)
QUERIES = rng.standard_normal((6, DIM)).astype(np.float32)


def make(index_type, metric, layout):
    index = Korvane(DIM, metric=metric, index_type=index_type, **INDEX_TYPES[index_type], **LAYOUTS[layout])
    if metric == "l2":
        index.fit(VECTORS)
    index.add(range(1000, 1200), VECTORS)
    index.build()
    return index


def answers(index):
    allow = list(range(1000, 1200, 3))
    return [index.search(q, 10) for q in QUERIES] + [index.search(q, 10, allow) for q in QUERIES]


def assert_same(a, b):
    assert repr(a) == repr(b)
    assert [getattr(a, p) for p in PROPERTIES] == [getattr(b, p) for p in PROPERTIES]
    assert answers(a) == answers(b)
    assert all(np.array_equal(a.transform_query_np(q), b.transform_query_np(q)) for q in QUERIES)
    if a.index_type == "BruteForce":
        for export in ("packed_data", "vector_norms", "vector_ids"):
            assert np.array_equal(getattr(a, export)(), getattr(b, export)())


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
@pytest.mark.parametrize("index_type", INDEX_TYPES)
def test_round_trips_answer_identically(index_type, metric, layout):
    original = make(index_type, metric, layout)
    for name, copier in COPIERS.items():
        clone = copier(original)
        assert type(clone) is Korvane and clone is not original, name
        assert_same(clone, original)


def test_every_pickle_protocol():
    original = make("hnsw", "l2", "mixed")
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert_same(pickle.loads(pickle.dumps(original, protocol)), original)


def test_a_pickle_is_the_saved_file_with_its_checksum(tmp_path):
    original = make("brute_force", "cosine", "4bit")
    original.save(str(tmp_path / "x.krvn"))
    original.save(str(tmp_path / "sealed.krvn"), checksum=True)
    cls, args, state = original.__reduce__()
    assert cls is Korvane and args == (0,) and state == ((tmp_path / "sealed.krvn").read_bytes(), None, None)
    assert kb.unseal(state[0]) == (tmp_path / "x.krvn").read_bytes()


@pytest.mark.parametrize("index_type", INDEX_TYPES)
def test_copies_are_independent_and_grow_like_the_original(index_type):
    original = make(index_type, "cosine", "mixed")
    clone = copy.deepcopy(original)
    clone.add(range(2000, 2050), MORE)
    clone.build()
    assert len(original) == 200 and len(clone) == 250
    # Once built, an index and its copy take further vectors the same way.
    original.add(range(2000, 2050), MORE)
    original.build()
    assert_same(clone, original)


@pytest.mark.parametrize("index_type", INDEX_TYPES)
def test_empty_indexes_round_trip(index_type):
    empty = Korvane(DIM, index_type=index_type, **INDEX_TYPES[index_type])
    clone = pickle.loads(pickle.dumps(empty))
    assert repr(clone) == repr(empty) and clone.is_empty()
    clone.add(range(200), VECTORS)
    clone.build()
    assert [h["id"] for h in clone.search(VECTORS[5], 1)] == [5]


def test_pending_ivf_rows_travel_with_every_copier():
    index = Korvane(DIM, index_type="ivf_flat", ivf_nlist=4, ivf_nprobe=4)
    index.add(range(100), VECTORS[:100])
    for held in (100, 200):  # never built, then built with rows pending again
        for copier in COPIERS.values():
            clone = copier(index)
            assert repr(clone) == repr(index)
            clone.build()
            assert sorted(h["id"] for h in clone.search(VECTORS[0], 1000)) == list(range(held))
        index.build()
        index.add(range(100, 200), VECTORS[100:200])


def test_damaged_files_and_pickles_raise_or_answer_as_before(run_python):
    done = run_python(pathlib.Path(__file__).with_name("damaged_files.py"), 20261208, 40)
    assert done.returncode == 0, f"exit {done.returncode}\n{done.stderr}"  # a crash is a negative exit code
    report = json.loads(done.stdout)
    # Anything pickle itself raises on garbage, and the loader's OSError and ValueError.
    raised = {"UnpicklingError", "EOFError", "OSError", "ValueError", "UnicodeDecodeError", "AttributeError",
              "ModuleNotFoundError", "TypeError", "OverflowError", "MemoryError", "KeyError", "IndexError"}
    for index, counts in report.items():
        for what, outcomes in counts.items():
            form = what.split()[0]
            # A plain file has no checksum: a damaged one may load as another index. Any
            # damage to a sealed file is a checksum mismatch.
            # A pickle's own opcodes lie outside what the index seals: damaged, they may make
            # another object (a tuple, None…), never an index that answers otherwise.
            allowed = {"plain": raised | {"same", "differs"},
                       "pickle": raised | {"same", "not a Korvane"}}.get(form, {"OSError"})
            assert set(outcomes) <= allowed, (index, what, outcomes)


def test_settings_beside_or_inside_the_bytes_that_do_not_fit_are_refused():
    ivf = Korvane(DIM, index_type="ivf_flat", ivf_nlist=16, ivf_nprobe=1)
    ivf.add(range(200), VECTORS)
    ivf.build()
    file, nprobe, ef = ivf.__reduce__()[2]
    for outside in ((file, 15, ef), (file, None, ef), (file, nprobe, 24)):
        with pytest.raises(OSError, match="run-time settings do not match the file"):
            Korvane(0).__setstate__(outside)
    graph = Korvane(DIM, index_type="hnsw", hnsw_m=4)
    graph.add(range(50), VECTORS[:50])
    plain = bytearray(kb.unseal(graph.__reduce__()[2][0]))
    plain[-17] = 3  # an nprobe for a graph, sealed
    with pytest.raises(OSError, match="run-time settings do not match the index"):
        Korvane(0).__setstate__(kb.seal(bytes(plain)))


def test_copies_keep_the_run_time_tuning():
    ivf = Korvane(DIM, index_type="ivf_flat", ivf_nlist=16, ivf_nprobe=1)
    ivf.add(range(200), VECTORS)
    ivf.build()
    ivf.set_nprobe(16)
    graph = Korvane(DIM, index_type="hnsw", hnsw_m=4, hnsw_ef_search=1)
    graph.add(range(200), VECTORS)
    graph.set_ef_search(200)
    for original in (ivf, graph):
        # The state of an earlier version, whose bytes do not hold the settings (the last
        # section, of 25 bytes), still loads.
        state = original.__reduce__()[2]
        plain = kb.unseal(state[0])
        assert plain[-25:-21] == b"KRUN"
        earlier = Korvane(0)
        earlier.__setstate__((kb.seal(plain[:-25]), *state[1:]))
        for clone in [copier(original) for copier in COPIERS.values()] + [earlier]:
            for q in VECTORS[:20]:
                assert clone.search(q, 10) == original.search(q, 10)
