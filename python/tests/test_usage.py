import json
import os
import pathlib
import pickle

import pytest

from korvane import Korvane

ROW = [1.0, 0.0, 0.0, 0.0]


class Callback:
    """A number or a row of numbers that calls back into the index while it is converted."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 1.0

    def __index__(self):
        self.action()
        return 1

    def __len__(self):
        return 4

    def __getitem__(self, i):
        return 1.0

    def __iter__(self):
        self.action()
        return iter(ROW)


READS = {
    "search": lambda ix, path: ix.search(ROW, 1), "len": lambda ix, path: len(ix), "repr": lambda ix, path: repr(ix),
    "property": lambda ix, path: ix.n_vectors, "is_empty": lambda ix, path: ix.is_empty(),
    "is_mixed": lambda ix, path: ix.is_mixed(), "transform_query_np": lambda ix, path: ix.transform_query_np(ROW),
    "packed_data": lambda ix, path: ix.packed_data(), "vector_norms": lambda ix, path: ix.vector_norms(),
    "vector_ids": lambda ix, path: ix.vector_ids(), "profile_variance": lambda ix, path: ix.profile_variance([ROW]),
    "optimal_n4_dims": lambda ix, path: ix.optimal_n4_dims([ROW], 3.0), "save": lambda ix, path: ix.save(path),
    "pickle": lambda ix, path: pickle.dumps(ix),
}
WRITES = {
    "add": lambda ix, path: ix.add([9], [ROW]), "fit": lambda ix, path: ix.fit([ROW]),
    "build": lambda ix, path: ix.build(), "set_nprobe": lambda ix, path: ix.set_nprobe(1),
    "set_ef_search": lambda ix, path: ix.set_ef_search(1),
    "__setstate__": lambda ix, path: ix.__setstate__(STATE),
}
# Static methods and load take no use of any instance.
FREE = {
    "recommended_m": lambda ix, path: Korvane.recommended_m(5), "centroids_4bit": lambda ix, path: Korvane.centroids_4bit(),
    "centroids_2bit": lambda ix, path: Korvane.centroids_2bit(), "load": lambda ix, path: Korvane.load(path),
}
INNERS = {**READS, **WRITES, **FREE}
# Each outer call holds the index (exclusively, shared, or not at all) while it converts
# the callback.
OUTERS = {
    "add/ids": ("exclusive", lambda ix, cb: ix.add([cb], [ROW])),
    "add/row": ("exclusive", lambda ix, cb: ix.add([2], [cb])),
    "add/element": ("exclusive", lambda ix, cb: ix.add([2], [[cb] * 4])),
    "fit": ("exclusive", lambda ix, cb: ix.fit([cb])),
    "set_nprobe": ("exclusive", lambda ix, cb: ix.set_nprobe(cb)),
    "set_ef_search": ("exclusive", lambda ix, cb: ix.set_ef_search(cb)),
    "search/k": ("shared", lambda ix, cb: ix.search(ROW, cb)),
    "search/allowlist": ("shared", lambda ix, cb: ix.search(ROW, 1, [cb])),
    "search/query": ("shared", lambda ix, cb: ix.search(cb, 1)),
    "transform_query_np": ("shared", lambda ix, cb: ix.transform_query_np(cb)),
    "profile_variance": ("shared", lambda ix, cb: ix.profile_variance([cb])),
    "optimal_n4_dims": ("shared", lambda ix, cb: ix.optimal_n4_dims([ROW], cb)),
    "recommended_m": (None, lambda ix, cb: Korvane.recommended_m(cb)),
    "constructor": (None, lambda ix, cb: Korvane(cb)),
}


def one_row_index():
    index = Korvane(4)
    index.add([1], [ROW])
    return index


STATE = one_row_index().__reduce__()[2][0]


@pytest.fixture(scope="module")
def path(tmp_path_factory):
    """A saved one-row index, for load; save writes the same over it."""
    path = tmp_path_factory.mktemp("usage") / "index.krvn"
    path.write_bytes(STATE)
    return str(path)


@pytest.mark.parametrize("inner", INNERS)
@pytest.mark.parametrize("outer", OUTERS)
def test_re_entry(outer, inner, path):
    index = one_row_index()
    use, call = OUTERS[outer]
    cb = Callback(lambda: INNERS[inner](index, path))
    if use == "exclusive":
        message = {**dict.fromkeys(READS, "Already mutably borrowed"), **dict.fromkeys(WRITES, "Already borrowed")}.get(inner)
    elif use == "shared":
        message = "Already borrowed" if inner in WRITES else None  # shared uses nest
    else:
        message = None
    if message is None:
        call(index, cb)
    else:
        with pytest.raises(RuntimeError) as info:
            call(index, cb)
        assert str(info.value) == message
        assert len(index) == 1
    # Released on every path: the index is fully usable again.
    index.add([3], [[0.0, 1.0, 0.0, 0.0]])
    assert index.search([0.0, 1.0, 0.0, 0.0], 1)[0]["id"] == 3


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads /proc/self/statm")
@pytest.mark.resident_memory
def test_create_use_drop_cycles_keep_memory_flat(run_python):
    # Each cycle handles about 20 KB of index and arrays: a leak of any of it per cycle
    # would add far more than the margin over 10,000 cycles.
    done = run_python(pathlib.Path(__file__).with_name("cycle_memory.py"), 1000, 10000)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert report["after"] - report["before"] < 10 * 2**20, report
