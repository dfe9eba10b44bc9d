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
    "search": lambda ix: ix.search(ROW, 1), "len": len, "repr": repr, "property": lambda ix: ix.n_vectors,
    "packed_data": lambda ix: ix.packed_data(), "profile_variance": lambda ix: ix.profile_variance([ROW]),
}
WRITES = {
    "add": lambda ix: ix.add([9], [ROW]), "fit": lambda ix: ix.fit([ROW]), "build": lambda ix: ix.build(),
    "set_nprobe": lambda ix: ix.set_nprobe(1), "set_ef_search": lambda ix: ix.set_ef_search(1),
}
# Each outer call holds the index (exclusively or not) while it converts the callback.
OUTERS = {
    "add/ids": (True, lambda ix, cb: ix.add([cb], [ROW])),
    "add/row": (True, lambda ix, cb: ix.add([2], [cb])),
    "add/element": (True, lambda ix, cb: ix.add([2], [[cb] * 4])),
    "fit": (True, lambda ix, cb: ix.fit([cb])),
    "set_nprobe": (True, lambda ix, cb: ix.set_nprobe(cb)),
    "search/k": (False, lambda ix, cb: ix.search(ROW, cb)),
    "search/allowlist": (False, lambda ix, cb: ix.search(ROW, 1, [cb])),
    "search/query": (False, lambda ix, cb: ix.search(cb, 1)),
    "transform_query_np": (False, lambda ix, cb: ix.transform_query_np(cb)),
}


@pytest.mark.parametrize("inner", list(READS) + list(WRITES))
@pytest.mark.parametrize("outer", list(OUTERS))
def test_re_entry(outer, inner):
    index = Korvane(4)
    index.add([1], [ROW])
    exclusive, call = OUTERS[outer]
    cb = Callback(lambda: {**READS, **WRITES}[inner](index))
    if exclusive:
        message = "Already mutably borrowed" if inner in READS else "Already borrowed"
    else:
        message = "Already borrowed" if inner in WRITES else None  # shared uses nest
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
