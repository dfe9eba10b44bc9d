"""Korvane.save and Korvane.load: round trips, the bytes of the .krvn file, files of older
versions written by hand, damaged files, and saves that are refused or fail."""

import json
import os
import pathlib
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import korvane
from korvane import Korvane

import krvn_bytes as kb
from address_limit import SANITIZED, child_env, set_limit

DIM = 20  # padded_dim 32
PADDED = 32
TRUNCATED = "io error: failed to fill whole buffer"
OUT_OF_RANGE = "invalid .krvn file: node index out of range"
NOT_BUILT = "call build() before search() for IvfFlat indexes"
V4_HNSW = ("invalid .krvn file: HNSW index version 4 is incompatible with v5 format "
           "(neighbor count type changed u8→u16). Rebuild the index with the current version.")

LAYOUTS = {"4bit": {"bit_width": 4}, "2bit": {"bit_width": 2}, "mixed": {"n4_dims": 16}}
KINDS = {
    "brute_force": {},
    "ivf_flat": {"ivf_nlist": 6, "ivf_nprobe": 2},
    "hnsw": {"hnsw_m": 6, "hnsw_ef_construction": 40, "hnsw_ef_search": 12},
}
INDEX_TYPE = {"brute_force": "BruteForce", "ivf_flat": "IvfFlat", "hnsw": "Hnsw"}
PROPS = ("dim", "metric", "bit_width", "index_type", "n4_dims", "padded_dim", "packed_bytes_per_vec",
         "pb4_per_vec", "n_vectors")


def vectors(n, seed, dim=DIM):
    # Offset and scaled, so that an L2 standardization changes the codes.
    return (np.random.default_rng(seed).standard_normal((n, dim)) * 3.0 + 1.5).astype(np.float32)


def ids_for(n):
    # Ids that need all 64 bits, the largest one included.
    return [2**64 - 1] + [(1 << 40) + 7919 * i for i in range(1, n)]


def make(kind, metric="cosine", layout="4bit", fit=False, n=60, seed=1, **extra):
    index = Korvane(DIM, metric=metric, index_type=kind, **LAYOUTS[layout], **{**KINDS[kind], **extra})
    if fit:
        index.fit(vectors(40, seed + 100))
    if n:
        index.add(ids_for(n), vectors(n, seed))
    if kind == "ivf_flat" and n:
        index.build()
    return index


def saved(index, path):
    index.save(str(path))
    return pathlib.Path(path).read_bytes()


def write(path, data):
    pathlib.Path(path).write_bytes(data)
    return str(path)


def load_error(path, mmap=False):
    with pytest.raises(Exception) as info:
        Korvane.load(str(path), mmap=mmap)
    return info.type, str(info.value)


def observed(index, queries, k=10):
    """Everything the public API shows of an index."""
    out = {p: getattr(index, p) for p in PROPS}
    out.update(len=len(index), repr=repr(index), mixed=index.is_mixed(), empty=index.is_empty())
    if len(index):
        out["hits"] = [index.search(q, k) for q in queries]
        out["allowed"] = index.search(queries[0], k, allowlist=ids_for(len(index))[::3])
    out["transformed"] = [index.transform_query_np(q).tobytes() for q in queries]
    if index.index_type == "BruteForce":
        out["codes"] = index.packed_data().tobytes()
        out["ids"] = index.vector_ids().tolist()
        out["norms"] = index.vector_norms().tobytes()
    return out


QUERIES = vectors(4, 77)


# ---- round trips ------------------------------------------------------------------------

ROUND_TRIPS = [(kind, metric, layout, False) for kind in KINDS for metric in ("cosine", "dot", "l2")
               for layout in LAYOUTS]
ROUND_TRIPS += [(kind, "l2", layout, True) for kind in KINDS for layout in LAYOUTS]


@pytest.mark.parametrize("kind, metric, layout, fit", ROUND_TRIPS,
                         ids=["-".join(map(str, c[:3])) + ("-fit" if c[3] else "") for c in ROUND_TRIPS])
def test_round_trip(tmp_path, kind, metric, layout, fit):
    index = make(kind, metric, layout, fit)
    data = saved(index, tmp_path / "a.krvn")
    loaded = Korvane.load(str(tmp_path / "a.krvn"))
    assert type(loaded) is Korvane
    before = observed(index, QUERIES)
    assert before["hits"][0] and before["metric"] == metric and before["n_vectors"] == 60
    assert observed(loaded, QUERIES) == before
    # The loaded index writes the very same bytes.
    assert saved(loaded, tmp_path / "b.krvn") == data


@pytest.mark.parametrize("kind", KINDS)
def test_loaded_index_grows_like_the_saved_one(tmp_path, kind):
    index = make(kind, "l2", "mixed", fit=True)
    if kind == "hnsw":
        index.build()  # the graph drops its construction vectors, as a loaded one has none
    first = saved(index, tmp_path / "a.krvn")
    loaded = Korvane.load(str(tmp_path / "a.krvn"))
    more_ids, more = list(range(5, 45)), vectors(40, 9)
    for each in (index, loaded):
        each.add(more_ids, more)
        if kind == "ivf_flat":
            # Pending until the next build: saved after the body, which stays as it was,
            # and pending again once loaded.
            pending = saved(each, tmp_path / "pending.krvn")
            assert len(each) == 60 and pending.startswith(first) and len(pending) > len(first)
            again = Korvane.load(str(tmp_path / "pending.krvn"))
            assert len(again) == 60 and again.build() is None and len(again) == 100
            each.build()
    assert len(loaded) == 100
    assert observed(loaded, QUERIES, k=30) == observed(index, QUERIES, k=30)
    assert saved(loaded, tmp_path / "b.krvn") == saved(index, tmp_path / "c.krvn")
    if kind == "ivf_flat":
        loaded.set_nprobe(6)
    if kind == "hnsw":
        loaded.set_ef_search(200)
    everything = loaded.search(QUERIES[0], 1000)
    assert sorted(h["id"] for h in everything) == sorted(ids_for(60) + more_ids)


@pytest.mark.parametrize("kind", KINDS)
def test_a_sealed_file_is_the_plain_file_and_its_checksum(tmp_path, kind):
    index = make(kind, "l2", "mixed", fit=True, n=700)  # long enough for the checksum's wide path
    plain = saved(index, tmp_path / "plain.krvn")
    index.save(str(tmp_path / "sealed.krvn"), checksum=True)
    assert len(plain) > 3 * 4096 and (tmp_path / "sealed.krvn").read_bytes() == kb.seal(plain)
    assert observed(Korvane.load(str(tmp_path / "sealed.krvn")), QUERIES) == observed(index, QUERIES)


def test_fitted_empty_index_keeps_its_standardization(tmp_path):
    index = Korvane(DIM, metric="l2")
    sample = vectors(40, 3)
    index.fit(sample)
    data = saved(index, tmp_path / "a.krvn")
    header, std, body = kb.split(data)
    assert header["standardized"] == 1 and header["count"] == 0 and body == b""
    mean = np.frombuffer(std[:4 * DIM], "<f4")
    inv_std = np.frombuffer(std[4 * DIM:], "<f4")
    # One pooled mean and one pooled scale for every coordinate.
    assert np.allclose(mean, sample.astype(np.float64).mean(), rtol=1e-5)
    assert np.allclose(inv_std, 1 / np.sqrt(sample.astype(np.float64).var() * DIM), rtol=1e-4)
    loaded = Korvane.load(str(tmp_path / "a.krvn"))
    assert observed(loaded, QUERIES) == observed(index, QUERIES)
    for each in (index, loaded):
        each.add(ids_for(30), vectors(30, 4))
    assert observed(loaded, QUERIES) == observed(index, QUERIES)


# ---- the bytes of a saved file ------------------------------------------------------------

@pytest.mark.parametrize("kind", KINDS)
def test_header_fields(tmp_path, kind):
    index = make(kind, "dot", "mixed", n=23)
    header = kb.parse_header(saved(index, tmp_path / "a.krvn"))
    ivf = kind == "ivf_flat"
    hnsw = kind == "hnsw"
    assert header == {
        "magic": b"KRVN", "version": 6, "dim": DIM, "metric": 1, "bit_width": 4,
        "index_type": kb.INDEX_TYPE_CODES[INDEX_TYPE[kind]], "reserved_15": 0, "count": 23,
        "seed": 0x3D71A5C08E42F96B, "n4_dims": 16, "reserved_36": 0,
        "ivf_nlist": 6 if ivf else 0, "ivf_nprobe": 2 if ivf else 0,
        "hnsw_m": 6 if hnsw else 0, "hnsw_ef_construction": 40 if hnsw else 0,
        "hnsw_ef_search": 12 if hnsw else 0, "standardized": 0, "reserved_55": 0,
    }


@pytest.mark.parametrize("metric, layout", [("cosine", "2bit"), ("l2", "4bit")])
def test_header_metric_and_bit_width_codes(tmp_path, metric, layout):
    header = kb.parse_header(saved(make("brute_force", metric, layout, n=2), tmp_path / "a.krvn"))
    assert (header["metric"], header["bit_width"], header["n4_dims"]) == (
        kb.METRIC_CODES[metric], LAYOUTS[layout]["bit_width"], 0 if layout == "2bit" else PADDED)


def test_the_seed_is_read_from_the_file(tmp_path):
    data = saved(make("brute_force", "dot"), tmp_path / "a.krvn")
    other = data[:24] + struct.pack("<Q", 12345) + data[32:]
    loaded = Korvane.load(write(tmp_path / "b.krvn", other))
    default = Korvane.load(str(tmp_path / "a.krvn"))
    assert not np.array_equal(loaded.transform_query_np(QUERIES[0]), default.transform_query_np(QUERIES[0]))
    assert saved(loaded, tmp_path / "c.krvn") == other


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("fit", [False, True])
@pytest.mark.parametrize("n", [0, 1, 37])
def test_brute_force_file_size(tmp_path, layout, fit, n):
    index = make("brute_force", "l2", layout, fit, n=n)
    r = index.packed_bytes_per_vec
    assert len(saved(index, tmp_path / "a.krvn")) == 56 + n * (r + 12) + (8 * DIM if fit else 0)


@pytest.mark.parametrize("kind", KINDS)
def test_body_layout(tmp_path, kind):
    index = make(kind, "l2", "mixed", fit=True, n=60)
    data = saved(index, tmp_path / "a.krvn")
    header, std, body = kb.split(data)
    r = index.packed_bytes_per_vec
    assert header["count"] == 60 and len(std) == 8 * DIM
    # The same vectors in a flat index: the codes and norms every index type must store.
    flat = make("brute_force", "l2", "mixed", fit=True, n=60)
    rows = dict(zip(flat.vector_ids().tolist(), zip(flat.packed_data(), flat.vector_norms().tolist())))
    assert len(rows) == 60
    stored = []
    if kind == "brute_force":
        codes, ids, norms = kb.parse_brute(body, 60, r)
        assert kb.pack_brute(codes, ids, norms) == body
        assert codes == index.packed_data().tobytes()
        assert ids == index.vector_ids().tolist() == ids_for(60)
        stored = [(i, codes[j * r:(j + 1) * r], norms[j]) for j, i in enumerate(ids)]
    elif kind == "ivf_flat":
        width, lists = kb.parse_ivf(body, r)
        assert kb.pack_ivf(width, lists) == body
        assert width == PADDED and len(lists) == 6 and all(len(c) == 4 * PADDED for c, _ in lists)
        stored = [member for _, members in lists for member in members]
    else:
        entry, top, nodes = kb.parse_hnsw(body, r)
        assert kb.pack_hnsw(entry, top, nodes) == body
        levels = [len(layers) for *_, layers in nodes]
        assert entry < 60 and top == levels[entry] - 1 == max(levels) - 1
        for *_, layers in nodes:
            assert 1 <= len(layers) and len(layers[0]) <= 2 * 6
            assert all(len(links) <= 6 for links in layers[1:])
            for level, links in enumerate(layers):
                assert all(x < 60 and levels[x] > level for x in links)
        stored = [(i, code, norm) for i, code, norm, _ in nodes]
    assert sorted(i for i, _, _ in stored) == sorted(ids_for(60))
    for i, code, norm in stored:
        assert (code, norm) == (rows[i][0].tobytes(), rows[i][1])


def test_empty_hnsw_index(tmp_path):
    index = Korvane(DIM, index_type="hnsw", hnsw_m=6)
    data = saved(index, tmp_path / "a.krvn")
    header, _, body = kb.split(data)
    assert header["count"] == 0 and body == struct.pack("<III", 0, 0xFFFFFFFF, 0)
    loaded = Korvane.load(str(tmp_path / "a.krvn"))
    assert len(loaded) == 0 and loaded.is_empty() and loaded.index_type == "Hnsw"
    with pytest.raises(RuntimeError, match="^index is empty$"):
        loaded.search(QUERIES[0], 3)
    loaded.add([5, 6], vectors(2, 8))
    assert [h["id"] for h in loaded.search(vectors(2, 8)[1], 1)] == [6]


@pytest.mark.parametrize("kind", KINDS)
def test_bytes_after_the_body_are_ignored(tmp_path, kind):
    data = saved(make(kind, n=20), tmp_path / "a.krvn")
    loaded = Korvane.load(write(tmp_path / "b.krvn", data + b"\x00\xffjunk" * 9))
    assert saved(loaded, tmp_path / "c.krvn") == data


# ---- files of older versions, written by hand -------------------------------------------

def flat_source(tmp_path, metric="cosine", layout="4bit", n=30):
    """A saved BruteForce index and its parts: (index, header, codes, ids, norms)."""
    index = make("brute_force", metric, layout, n=n)
    header, _, body = kb.split(saved(index, tmp_path / "source.krvn"))
    return (index, header, *kb.parse_brute(body, n, index.packed_bytes_per_vec))


def old_header(version, header, **changes):
    fields = {k: header[k] for k in ("dim", "metric", "bit_width", "index_type", "count", "seed", "n4_dims")}
    fields.update(changes)
    return kb.pack_header(version, **fields)


@pytest.mark.parametrize("version, layout", [(2, "4bit"), (2, "2bit"), (3, "4bit"), (3, "2bit"), (3, "mixed"),
                                             (4, "mixed"), (5, "2bit")])
def test_older_brute_force_files(tmp_path, version, layout):
    index, header, codes, ids, norms = flat_source(tmp_path, "l2", layout)
    path = write(tmp_path / "old.krvn", old_header(version, header) + kb.pack_brute(codes, ids, norms))
    loaded = Korvane.load(path)
    # Versions 1 and 2 carry no n4_dims: all 4-bit for bit width 4, all 2-bit for 2.
    assert loaded.n4_dims == {"4bit": PADDED, "2bit": 0, "mixed": 16}[layout]
    assert observed(loaded, QUERIES) == observed(index, QUERIES)


@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
@pytest.mark.parametrize("bit_width", [4, 2])
def test_version_1_brute_force_has_no_norms(tmp_path, metric, bit_width):
    layout = "4bit" if bit_width == 4 else "2bit"
    index, header, codes, ids, _ = flat_source(tmp_path, metric, layout)
    loaded = Korvane.load(write(tmp_path / "v1.krvn", old_header(1, header) + kb.pack_brute(codes, ids)))
    assert loaded.n4_dims == (PADDED if bit_width == 4 else 0) and len(loaded) == 30
    assert loaded.vector_ids().tolist() == ids and loaded.packed_data().tobytes() == codes
    assert loaded.vector_norms().dtype == np.float32 and loaded.vector_norms().shape == (0,)
    # Raw kernel scores: what the same codes score with every norm 0.
    zero = Korvane.load(write(tmp_path / "zero.krvn", old_header(2, header) + kb.pack_brute(codes, ids, [0.0] * 30)))
    hits = [loaded.search(q, 30) for q in QUERIES]
    assert hits == [zero.search(q, 30) for q in QUERIES]
    if metric != "dot":
        assert hits != [index.search(q, 30) for q in QUERIES]
    # Saved again, the rows get norms of 0, which score the same.
    loaded.save(str(tmp_path / "v6.krvn"))
    again = Korvane.load(str(tmp_path / "v6.krvn"))
    assert again.vector_norms().tolist() == [0.0] * 30
    assert [again.search(q, 30) for q in QUERIES] == hits


def path_graph(n):
    """(ids in path order, Hnsw nodes) of n cosine rows linked in a path that, searched for
    QUERIES[0], gets worse at every step except the last node, the best of all."""
    index = make("brute_force", "cosine", "4bit", n=66, seed=5)
    ranked = index.search(QUERIES[0], 66)[:n]
    scores = [h["score"] for h in ranked]
    assert len(set(scores)) == n  # strictly ordered
    order = [h["id"] for h in ranked[1:]] + [ranked[0]["id"]]
    r = index.packed_bytes_per_vec
    row = {i: (index.packed_data()[j].tobytes(), float(index.vector_norms()[j]))
           for j, i in enumerate(index.vector_ids().tolist())}
    nodes = []
    for at, vid in enumerate(order):
        links = [x for x in (at - 1, at + 1) if 0 <= x < n]
        nodes.append((vid, row[vid][0], row[vid][1], [links]))
    assert all(len(code) == r for _, code, _, _ in nodes)
    return order, nodes


@pytest.mark.parametrize("n, reaches_the_end", [(65, True), (66, False)])
def test_version_3_hnsw_takes_the_default_parameters(tmp_path, n, reaches_the_end):
    order, nodes = path_graph(n)
    header = kb.pack_header(3, dim=DIM, metric=0, bit_width=4, index_type=2, count=n, n4_dims=PADDED)
    loaded = Korvane.load(write(tmp_path / "v3.krvn", header + kb.pack_hnsw(0, 0, nodes)))
    # A search of one hit walks the path as far as ef_search allows: 64 reaches node 64.
    top = loaded.search(QUERIES[0], 1)[0]["id"]
    assert top == (order[-1] if reaches_the_end else order[0])
    loaded.set_ef_search(n)
    assert loaded.search(QUERIES[0], 1)[0]["id"] == order[-1]
    loaded.set_ef_search(n - 2)
    assert loaded.search(QUERIES[0], 1)[0]["id"] == order[0]
    written = kb.parse_header(saved(loaded, tmp_path / "v6.krvn"))
    assert (written["hnsw_m"], written["hnsw_ef_construction"], written["hnsw_ef_search"]) == (32, 200, 0)
    loaded.add([1, 2], vectors(2, 6))  # m = 32 builds on
    assert len(loaded) == n + 2


@pytest.mark.parametrize("m, ef_search, reaches_the_end", [(32, 0, False), (33, 0, True), (2, 64, False),
                                                       (2, 65, True)])
def test_ef_search_of_a_loaded_graph(tmp_path, m, ef_search, reaches_the_end):
    order, nodes = path_graph(66)
    header = kb.pack_header(6, dim=DIM, metric=0, bit_width=4, index_type=2, count=66, n4_dims=PADDED, hnsw_m=m,
                            hnsw_ef_construction=50, hnsw_ef_search=ef_search)
    data = header + kb.pack_hnsw(0, 0, nodes)
    loaded = Korvane.load(write(tmp_path / "a.krvn", data))
    # 0 stands for 2·m.
    expected = order[-1] if reaches_the_end else order[0]
    assert loaded.search(QUERIES[0], 1)[0]["id"] == expected
    loaded.set_ef_search(66 if expected == order[0] else 1)
    assert loaded.search(QUERIES[0], 1)[0]["id"] != expected
    # What set_ef_search changed is not written.
    assert saved(loaded, tmp_path / "b.krvn") == data
    assert Korvane.load(str(tmp_path / "b.krvn")).search(QUERIES[0], 1)[0]["id"] == expected


def test_version_3_ivf_flat_takes_the_default_parameters(tmp_path):
    index = make("brute_force", "cosine", "mixed", n=16, seed=6)
    raw = vectors(16, 6)
    codes, ids, norms = index.packed_data(), index.vector_ids().tolist(), index.vector_norms().tolist()
    # One list per vector, its centroid the transformed vector itself.
    lists = [(index.transform_query_np(raw[j]).astype("<f4").tobytes(), [(ids[j], codes[j].tobytes(), norms[j])])
             for j in range(16)]
    header = kb.pack_header(3, dim=DIM, metric=0, bit_width=4, index_type=1, count=16, n4_dims=16)
    loaded = Korvane.load(write(tmp_path / "v3.krvn", header + kb.pack_ivf(PADDED, lists)))
    assert loaded.index_type == "IvfFlat" and loaded.is_mixed() and len(loaded) == 16
    hits = loaded.search(raw[3], 16)
    assert len(hits) == 8 and hits[0]["id"] == ids[3]  # 8 lists probed, one vector each
    written = kb.parse_header(saved(loaded, tmp_path / "v6.krvn"))
    assert (written["ivf_nlist"], written["ivf_nprobe"]) == (256, 8)
    loaded.set_nprobe(16)
    assert len(loaded.search(raw[3], 16)) == 16
    # 16 lists where 256 are wanted: a build clusters the old and the new vectors again.
    loaded.add(range(100, 120), vectors(20, 7))
    loaded.build()
    assert len(loaded) == 36
    _, lists = kb.parse_ivf(kb.split(saved(loaded, tmp_path / "v6.krvn"))[2], loaded.packed_bytes_per_vec)
    assert len(lists) == 36
    assert sorted(i for _, members in lists for i, _, _ in members) == sorted(ids + list(range(100, 120)))


@pytest.mark.parametrize("version, kind", [(4, "brute_force"), (4, "ivf_flat"), (5, "brute_force"),
                                           (5, "ivf_flat"), (5, "hnsw")])
def test_versions_4_and_5_ignore_the_standardization_flag(tmp_path, version, kind):
    data = saved(make(kind, "l2", "4bit", fit=True, n=20), tmp_path / "a.krvn")
    header, _, body = kb.split(data)
    assert header["standardized"] == 1
    old = data[:4] + struct.pack("<I", version) + data[8:56] + body
    loaded = Korvane.load(write(tmp_path / "old.krvn", old))
    plain = Korvane(DIM, metric="l2")
    assert np.array_equal(loaded.transform_query_np(QUERIES[0]), plain.transform_query_np(QUERIES[0]))
    written = saved(loaded, tmp_path / "b.krvn")
    assert written == data[:54] + b"\x00" + data[55:56] + body


@pytest.mark.parametrize("n", [0, 10])
def test_version_4_hnsw_is_refused(tmp_path, n):
    data = saved(make("hnsw", n=n), tmp_path / "a.krvn")
    path = write(tmp_path / "v4.krvn", data[:4] + struct.pack("<I", 4) + data[8:])
    assert load_error(path) == (OSError, V4_HNSW)


# ---- refused headers --------------------------------------------------------------------

@pytest.mark.parametrize("at", range(4))
def test_bad_magic(tmp_path, at):
    data = bytearray(saved(make("brute_force", n=3), tmp_path / "a.krvn"))
    data[at] ^= 0x20
    assert load_error(write(tmp_path / "b.krvn", data)) == (OSError, "invalid .krvn file: bad magic bytes")


@pytest.mark.parametrize("version", [0, 7, 8, 2**32 - 1])
@pytest.mark.parametrize("whole", [True, False])
def test_unsupported_versions(tmp_path, version, whole):
    data = saved(make("brute_force", n=3), tmp_path / "a.krvn")
    data = data[:4] + struct.pack("<I", version) + (data[8:] if whole else b"")
    assert load_error(write(tmp_path / "b.krvn", data)) == (OSError, f"unsupported file version: {version}")


@pytest.mark.parametrize("version", [1, 3, 6])
@pytest.mark.parametrize("metric, index_type, message", [
    (3, 0, "invalid metric byte: 3"),
    (255, 2, "invalid metric byte: 255"),
    (3, 3, "invalid metric byte: 3"),
    (2, 3, "unsupported index type byte: 3"),
    (0, 200, "unsupported index type byte: 200"),
])
def test_metric_and_index_type_bytes(tmp_path, version, metric, index_type, message):
    header = kb.pack_header(version, dim=DIM, metric=metric, bit_width=4, index_type=index_type, n4_dims=PADDED)
    assert load_error(write(tmp_path / "a.krvn", header)) == (ValueError, message)
    # Checked only once the whole header is there.
    assert load_error(write(tmp_path / "b.krvn", header[:-1])) == (OSError, TRUNCATED)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n4_dims, bit_width", [(64, 4), (6, 2), (30, 9), (33, 4)])
def test_layout_the_rotation_cannot_hold(tmp_path, kind, n4_dims, bit_width):
    data = saved(make(kind, n=10), tmp_path / "a.krvn")
    data = data[:13] + bytes([bit_width]) + data[14:32] + struct.pack("<I", n4_dims) + data[36:]
    assert load_error(write(tmp_path / "b.krvn", data)) == (
        ValueError, f"invalid bit width: {bit_width} (must be 2 or 4)")


@pytest.mark.parametrize("make_path, message", [
    (lambda d: d / "missing.krvn", "io error: No such file or directory"),
    (lambda d: d, "io error: Is a directory"),
])
def test_load_of_what_is_not_a_file(tmp_path, make_path, message):
    assert load_error(make_path(tmp_path)) == (OSError, message)


# ---- cut files --------------------------------------------------------------------------

def cuts(path, data):
    """Leaves `path` holding data cut to every length from len(data) - 1 down to 0."""
    write(path, data)
    for cut in range(len(data) - 1, -1, -1):
        os.truncate(path, cut)  # far cheaper than rewriting the file each time
        yield cut


@pytest.mark.parametrize("fit", [False, True])
def test_brute_force_cut_anywhere(tmp_path, fit):
    index = make("brute_force", "l2", "mixed", fit=fit, n=4)
    data = saved(index, tmp_path / "a.krvn")
    norms_at = len(data) - 4 * 4
    path = tmp_path / "cut.krvn"
    for cut in cuts(path, data):
        if cut < norms_at:
            assert load_error(path) == load_error(path, mmap=True) == (OSError, TRUNCATED), cut
        else:
            loaded = Korvane.load(str(path))
            assert loaded.vector_norms().shape == (0,), cut
            assert loaded.vector_ids().tolist() == index.vector_ids().tolist()
            assert loaded.packed_data().tobytes() == index.packed_data().tobytes()


@pytest.mark.parametrize("kind", ["ivf_flat", "hnsw"])
@pytest.mark.parametrize("fit", [False, True])
def test_ivf_flat_and_hnsw_cut_anywhere(tmp_path, kind, fit):
    index = make(kind, "l2", "4bit", fit=fit, n=12, ivf_nlist=3, hnsw_m=2)
    data = saved(index, tmp_path / "a.krvn")
    if kind == "hnsw":
        assert kb.parse_hnsw(kb.split(data)[2], index.packed_bytes_per_vec)[1] >= 1  # an upper layer is cut too
    path = tmp_path / "cut.krvn"
    for cut in cuts(path, data):
        assert load_error(path) == load_error(path, mmap=True) == (OSError, TRUNCATED), cut


# ---- counts beyond the bytes present ----------------------------------------------------

def run_child(script, *args, limit=None):
    """Runs `script` in a child, held to `limit` bytes when one is given (address_limit.py),
    and returns what it printed as JSON."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(korvane.__path__[0]),
                                                        os.path.dirname(__file__)]),
               OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    script = textwrap.dedent(script)
    if limit is not None:
        env, script = child_env(limit, env), set_limit(limit) + script
    done = subprocess.run([sys.executable, "-c", script, *map(str, args)], env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def huge_count_files(tmp_path):
    """Files whose counts claim far more than the bytes that follow them."""
    flat = make("brute_force", n=2)
    _, _, body = kb.split(saved(flat, tmp_path / "flat.krvn"))
    shape = {"dim": DIM, "bit_width": 4, "n4_dims": PADDED}
    row = (7, bytes(flat.packed_bytes_per_vec), 1.0)
    centroid = bytes(4 * PADDED)
    ivf = kb.pack_header(index_type=1, **shape)
    hnsw = kb.pack_header(index_type=2, hnsw_m=4, **shape)
    tail = b"\0" * 64
    files = {
        "flat 2^40": kb.pack_header(6, count=2**40, **shape) + body,
        "flat 2^61": kb.pack_header(6, count=2**61, **shape) + body,  # 2^61 rows of 16 bytes wrap to 0 bytes
        "flat 2^64-1": kb.pack_header(6, count=2**64 - 1, **shape) + body,
        "flat v1 2^40": kb.pack_header(1, count=2**40, **shape) + body,
        "ivf lists": ivf + kb.pack_ivf(PADDED, [(centroid, [row])], count=2**32 - 1),
        "ivf members": ivf + struct.pack("<II", 1, PADDED) + centroid + struct.pack("<I", 2**32 - 1) + tail,
        "ivf width": ivf + struct.pack("<II", 1, 2**32 - 1) + tail,
        "hnsw nodes": hnsw + kb.pack_hnsw(0, 0, [(*row, [[]])], count=2**32 - 1),
        "hnsw links": hnsw + kb.pack_hnsw(0, 0, [(*row, [[]])])[:-2] + struct.pack("<H", 0xFFFF) + tail,
    }
    # Pending rows of 32 KiB codes: a count of them is gigabytes, though its ids and norms
    # alone would fit the bytes that follow.
    wide = Korvane(65536, index_type="ivf_flat", ivf_nlist=1)
    wide.add([1], np.ones((1, 65536), np.float32))
    wide.build()
    wide.add([2], np.ones((1, 65536), np.float32))
    data = bytearray(saved(wide, tmp_path / "wide.krvn"))
    struct.pack_into("<Q", data, data.rindex(b"KPND") + 9, 100_000)
    files["ivf pending"] = bytes(data) + bytes(12 * 100_000)
    paths = {}
    for name, data in files.items():
        paths[name] = write(tmp_path / (name.replace(" ", "_").replace("^", "") + ".krvn"), data)
    return paths


@pytest.mark.memory_limit
def test_huge_counts_fail_without_allocating(tmp_path):
    paths = huge_count_files(tmp_path)
    script = """
        import json, sys
        from korvane import Korvane
        out = {}
        for name, path in json.loads(sys.argv[1]).items():
            try:
                Korvane.load(path)
                out[name] = "loaded"
            except BaseException as e:
                out[name] = type(e).__name__ + ": " + str(e)
        print(json.dumps(out))
    """
    outcomes = run_child(script, json.dumps(paths), limit=1 << 30)
    assert outcomes == {name: "OSError: " + TRUNCATED for name in paths}


# ---- graphs that point outside themselves -----------------------------------------------

@pytest.fixture(scope="module")
def graph(tmp_path_factory):
    """A saved Hnsw index with an upper layer: (file bytes, entry, top, nodes)."""
    index = make("hnsw", n=40, hnsw_m=3)
    data = saved(index, tmp_path_factory.mktemp("graph") / "g.krvn")
    entry, top, nodes = kb.parse_hnsw(kb.split(data)[2], index.packed_bytes_per_vec)
    assert top >= 1
    return data, entry, top, nodes


def bad_graphs(entry, top, nodes):
    n = len(nodes)
    low = next(i for i, node in enumerate(nodes) if len(node[3]) == 1)
    up = next(i for i, node in enumerate(nodes) if len(node[3]) >= 2 and node[3][1])

    def changed(i, layer, links):
        out = [list(node) for node in nodes]
        out[i][3] = [list(x) for x in out[i][3]]
        out[i][3][layer] = links
        return out

    def without_layers(i):
        out = [list(node) for node in nodes]
        out[i][3] = []
        return out

    return {
        "no entry": (kb.NO_NODE, top, nodes),
        "entry = count": (n, top, nodes),
        "entry far out": (n + 1000, top, nodes),
        "layer-0 neighbour = count": (entry, top, changed(low, 0, nodes[low][3][0] + [n])),
        "upper neighbour = count": (entry, top, changed(up, 1, [n])),
        "neighbour 0xFFFFFFFF": (entry, top, changed(low, 0, [kb.NO_NODE])),
        "top too high": (entry, top + 1, nodes),
        "top too low": (entry, top - 1, nodes),
        "entry below the top": (low, top, nodes),
        "entry without layers": (entry, top, without_layers(entry)),
        "entry but no nodes": (0, 0, []),
    }


BAD_GRAPHS = ["no entry", "entry = count", "entry far out", "layer-0 neighbour = count", "upper neighbour = count",
              "neighbour 0xFFFFFFFF", "top too high", "top too low", "entry below the top", "entry without layers",
              "entry but no nodes"]


@pytest.mark.parametrize("case", BAD_GRAPHS)
def test_node_index_out_of_range(tmp_path, graph, case):
    data, entry, top, nodes = graph
    cases = bad_graphs(entry, top, nodes)
    assert list(cases) == BAD_GRAPHS
    bad_entry, bad_top, bad_nodes = cases[case]
    body = kb.pack_hnsw(bad_entry, bad_top, bad_nodes)
    head = data[:56]
    if not bad_nodes:
        head = head[:16] + struct.pack("<Q", 0) + head[24:]
    assert load_error(write(tmp_path / "bad.krvn", head + body)) == (OSError, OUT_OF_RANGE)
    # Cut as well: the truncation is what is reported.
    assert load_error(write(tmp_path / "cut.krvn", head + body[:-1])) == (OSError, TRUNCATED)


def test_node_without_layers(tmp_path, graph):
    data, entry, top, nodes = graph
    other = next(i for i in range(len(nodes)) if i != entry)
    bad = [list(node) for node in nodes]
    bad[other][3] = []
    for node in bad:  # nothing links to it any more
        node[3] = [[x for x in links if x != other] for links in node[3]]
    path = write(tmp_path / "bad.krvn", data[:56] + kb.pack_hnsw(entry, top, bad))
    assert load_error(path) == (OSError, "invalid .krvn file: node without layers")


# ---- parameters a constructor refuses, as files may hold them ---------------------------

@pytest.mark.parametrize("version", [5, 6])
@pytest.mark.parametrize("m", [0, 1])
def test_loaded_hnsw_with_too_small_m(tmp_path, version, m):
    data = saved(make("hnsw", n=20), tmp_path / "a.krvn")
    loaded = Korvane.load(str(tmp_path / "a.krvn"))
    path = write(tmp_path / "b.krvn", data[:4] + struct.pack("<I", version) + data[8:48] + struct.pack("<H", m)
                 + data[50:])
    odd = Korvane.load(path)
    before = observed(odd, QUERIES)
    assert before == observed(loaded, QUERIES)
    with pytest.raises(ValueError) as info:
        odd.add([1], vectors(1, 3))
    assert str(info.value) == f"hnsw_m must be at least 2 for hnsw indexes (got {m})"
    assert observed(odd, QUERIES) == before
    assert len(odd) == 20


@pytest.mark.parametrize("version", [4, 5, 6])
def test_loaded_ivf_flat_with_no_lists_wanted(tmp_path, version):
    data = saved(make("ivf_flat", n=20), tmp_path / "a.krvn")
    data = data[:4] + struct.pack("<I", version) + data[8:40] + struct.pack("<I", 0) + data[44:]
    odd = Korvane.load(write(tmp_path / "b.krvn", data))
    before = observed(odd, QUERIES)
    assert before["hits"][0]
    odd.add([1, 2, 3], vectors(3, 3))  # pending rows are fine
    with pytest.raises(ValueError) as info:
        odd.build()
    assert str(info.value) == "ivf_nlist must be at least 1 for ivf_flat indexes (got 0)"
    assert observed(odd, QUERIES) == before and len(odd) == 20
    # Pending rows follow the body, which is written as it was read.
    assert saved(odd, tmp_path / "c.krvn").startswith(data[:4] + struct.pack("<I", 6) + data[8:])


def test_ivf_flat_centroid_length_must_be_padded_dim(tmp_path):
    index = make("ivf_flat", n=20, ivf_nlist=2)
    data = saved(index, tmp_path / "a.krvn")
    _, lists = kb.parse_ivf(kb.split(data)[2], index.packed_bytes_per_vec)
    short = [(c[:4 * 16], members) for c, members in lists]
    path = write(tmp_path / "b.krvn", data[:56] + kb.pack_ivf(16, short))
    assert load_error(path) == (OSError, "invalid .krvn file: centroid length 16 differs from padded_dim 32")


# ---- run-time settings are not saved ----------------------------------------------------

def test_nprobe_set_at_run_time_is_not_saved(tmp_path):
    index = make("ivf_flat", n=60)
    first = saved(index, tmp_path / "a.krvn")
    before = [index.search(q, 10) for q in QUERIES]
    index.set_nprobe(6)
    assert [index.search(q, 10) for q in QUERIES] != before
    assert saved(index, tmp_path / "b.krvn") == first
    loaded = Korvane.load(str(tmp_path / "b.krvn"))
    assert [loaded.search(q, 10) for q in QUERIES] == before


# ---- saving: by rename, or not at all ---------------------------------------------------

def test_save_replaces_the_file_by_rename(tmp_path):
    target = tmp_path / "index.krvn"
    old = saved(make("brute_force", n=5), target)
    old_inode = target.stat().st_ino
    new = make("hnsw", n=30)
    assert saved(new, target) == saved(new, tmp_path / "fresh.krvn") != old
    assert target.stat().st_ino != old_inode
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fresh.krvn", "index.krvn"]


def pending_ivf():
    index = Korvane(DIM, index_type="ivf_flat")
    index.add([1, 2], vectors(2, 1))
    return index


REFUSED = [
    ("ivf empty", lambda: Korvane(DIM, index_type="ivf_flat"), RuntimeError, NOT_BUILT),
    ("ivf not built", pending_ivf, RuntimeError, NOT_BUILT),
    ("hnsw_ef_search", lambda: make("hnsw", n=0, hnsw_ef_search=65536), ValueError,
     "hnsw_ef_search 65536 does not fit the .krvn header (at most 65535)"),
    ("ivf_nprobe", lambda: make("ivf_flat", n=5, ivf_nprobe=2**32), ValueError,
     "ivf_nprobe 4294967296 does not fit the .krvn header (at most 4294967295)"),
]


@pytest.mark.parametrize("name, build, exc, message", REFUSED, ids=[c[0] for c in REFUSED])
def test_refused_save_touches_no_file(tmp_path, name, build, exc, message):
    index = build()
    absent = tmp_path / "absent.krvn"
    with pytest.raises(exc) as info:
        index.save(str(absent))
    assert str(info.value) == message
    present = tmp_path / "present.krvn"
    old = saved(make("brute_force", n=3), present)
    stamp = present.stat().st_mtime_ns, present.stat().st_ino
    with pytest.raises(exc):
        index.save(str(present))
    assert present.read_bytes() == old and (present.stat().st_mtime_ns, present.stat().st_ino) == stamp
    assert [p.name for p in tmp_path.iterdir()] == ["present.krvn"]
    # Refused before any file is opened: a path that cannot be written changes nothing.
    with pytest.raises(exc) as info:
        index.save(str(tmp_path / "missing" / "a.krvn"))
    assert str(info.value) == message


@pytest.mark.parametrize("kind, fields", [
    ("hnsw", {"hnsw_m": 32767, "hnsw_ef_construction": 65535, "hnsw_ef_search": 65535}),
    ("ivf_flat", {"ivf_nlist": 2**32 - 1, "ivf_nprobe": 2**32 - 1}),
])
def test_largest_values_that_fit(tmp_path, kind, fields):
    index = make(kind, n=0 if kind == "hnsw" else 5, **fields)
    header = kb.parse_header(saved(index, tmp_path / "a.krvn"))
    assert {k: header[k] for k in fields} == fields
    loaded = Korvane.load(str(tmp_path / "a.krvn"))
    assert saved(loaded, tmp_path / "b.krvn") == saved(index, tmp_path / "a.krvn")


@pytest.mark.parametrize("kind, m", [("hnsw", 32768), ("hnsw", 65535), ("brute_force", 32776),
                                     ("ivf_flat", 40000)])
def test_a_header_that_save_could_not_write_is_refused_at_load(tmp_path, kind, m):
    # Otherwise the index would load, take adds, and then refuse every save and copy.
    data = bytearray(saved(make(kind, n=8), tmp_path / "a.krvn"))
    struct.pack_into("<H", data, 48, m)
    for mmap in (False, True):
        assert load_error(write(tmp_path / "b.krvn", bytes(data)), mmap) == (
            OSError, f"invalid .krvn file: hnsw_m {m} does not fit the .krvn header (at most 32767)")


@pytest.mark.parametrize("where, message", [
    (lambda d: d / "no" / "such" / "dir.krvn", "io error: No such file or directory"),
    (lambda d: d / "taken", "io error: Is a directory"),
])
def test_save_errors_leave_no_temporary_file(tmp_path, where, message):
    (tmp_path / "taken").mkdir()
    with pytest.raises(OSError) as info:
        make("brute_force", n=3).save(str(where(tmp_path)))
    assert str(info.value) == message
    assert [p.name for p in tmp_path.iterdir()] == ["taken"] and not any((tmp_path / "taken").iterdir())


def test_save_that_fails_midway_keeps_the_old_file(tmp_path):
    target = tmp_path / "index.krvn"
    old = saved(make("brute_force", n=5), target)
    saved(make("hnsw", n=400), tmp_path / "big.krvn")
    assert (tmp_path / "big.krvn").stat().st_size > 3 * 8192
    script = """
        import json, resource, signal, sys
        from korvane import Korvane
        big = Korvane.load(sys.argv[1])
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (10000, 10000))
        try:
            big.save(sys.argv[2])
            print(json.dumps("saved"))
        except OSError as e:
            print(json.dumps(str(e)))
    """
    assert run_child(script, tmp_path / "big.krvn", target) == "io error: File too large"
    assert target.read_bytes() == old
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.krvn", "index.krvn"]


def test_save_leaves_other_temporary_files_alone(tmp_path):
    target = tmp_path / "index.krvn"
    script = """
        import json, os, sys
        from korvane import Korvane
        target = sys.argv[2]
        # The names this process's first saves would take.
        for serial in range(3):
            with open(f"{target}.{os.getpid()}.{serial}.tmp", "wb") as f:
                f.write(b"not mine %d" % serial)
        Korvane.load(sys.argv[1]).save(target)
        print(json.dumps(sorted(os.listdir(os.path.dirname(target)))))
    """
    data = saved(make("brute_force", n=5), tmp_path / "source.krvn")
    names = run_child(script, tmp_path / "source.krvn", target)
    assert target.read_bytes() == data
    temporaries = [name for name in names if name.endswith(".tmp")]
    assert len(temporaries) == 3
    for name in temporaries:
        serial = int(name.split(".")[-2])
        assert (tmp_path / name).read_bytes() == b"not mine %d" % serial


# ---- arguments --------------------------------------------------------------------------

@pytest.mark.parametrize("as_path", [lambda p: p.encode(), pathlib.Path])
def test_paths_must_be_str(tmp_path, as_path):
    index = make("brute_force", n=3)
    path = str(tmp_path / "a.krvn")
    with pytest.raises(TypeError) as info:
        index.save(as_path(path))
    assert str(info.value).startswith("argument 'path': ")
    assert not os.path.exists(path)
    index.save(path=path)
    with pytest.raises(TypeError) as info:
        Korvane.load(as_path(path))
    assert str(info.value).startswith("argument 'path': ")
    assert len(Korvane.load(path=path)) == 3


def test_link_to_a_node_without_that_layer_is_refused(tmp_path, graph):
    # Loading it would let a later add write a back-link into another node's list.
    data, entry, top, nodes = graph
    low = next(i for i, node in enumerate(nodes) if len(node[3]) == 1)
    up = next(i for i, node in enumerate(nodes) if len(node[3]) >= 2 and node[3][1] and i != low)
    bad = [list(node) for node in nodes]
    bad[up][3] = [list(x) for x in bad[up][3]]
    bad[up][3][1] = [low]
    path = write(tmp_path / "bad.krvn", data[:56] + kb.pack_hnsw(entry, top, bad))
    assert load_error(path) == (OSError, "invalid .krvn file: node linked on a layer it does not have")


def test_the_longest_file_name_saves_beside_itself(tmp_path):
    index = make("brute_force", n=5)
    path = tmp_path / ("n" * 255)
    index.save(str(path))
    assert observed(Korvane.load(str(path)), QUERIES) == observed(index, QUERIES)
    assert os.listdir(tmp_path) == [path.name]


@pytest.mark.memory_limit
def test_a_claimed_m_does_not_size_a_loaded_graph(tmp_path):
    # hnsw_m 32767 would reserve 65,534 slots per node; lists take what the file holds,
    # and an add widens them to the caps of that m.
    data = saved(make("hnsw", n=2000), tmp_path / "a.krvn")
    path = write(tmp_path / "b.krvn", data[:48] + struct.pack("<H", 32767) + data[50:])
    script = """
        import json, sys
        from korvane import Korvane
        k = Korvane.load(sys.argv[1])
        print(json.dumps([len(k), len(k.search([0.5] * k.dim, 5)), heap_in_use()]))
    """
    n, found, in_use = run_child(script, path, limit=1 << 30)
    assert [n, found] == [2000, 5]
    if SANITIZED:
        # There no one allocation is held to the limit, but the slots of all the nodes
        # together would take a gigabyte; the index needs about 1 MB.
        assert in_use < 256 << 20, in_use


@pytest.mark.memory_limit
@pytest.mark.parametrize("kind", ["brute_force", "ivf_flat", "hnsw"])
def test_a_huge_dimension_with_a_short_body_is_a_truncation(tmp_path, kind):
    # The rotation such a dimension needs (2^32 signs) is built only after the body is
    # read, so the cut file is reported at once and in bounded memory.
    index = make(kind, n=20)
    data = saved(index, tmp_path / "a.krvn")
    path = write(tmp_path / "b.krvn", data[:8] + struct.pack("<I", 0xFFFFFFFF) + data[12:32]
                 + struct.pack("<I", 0) + data[36:])
    script = """
        import json, sys
        from korvane import Korvane
        try:
            Korvane.load(sys.argv[1])
            print(json.dumps("loaded"))
        except Exception as e:
            print(json.dumps([type(e).__name__, str(e)]))
    """
    assert run_child(script, path, limit=1 << 30) == ["OSError", TRUNCATED]


@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
def test_rows_added_to_an_index_loaded_without_norms(tmp_path, metric):
    # A file cut inside its norms loads without them; an add then derives the old rows'
    # norms from their codes, so every row has one and the index answers like one that
    # never lost them.
    whole = make("brute_force", metric=metric, n=60)
    data = saved(whole, tmp_path / "a.krvn")
    cut = Korvane.load(write(tmp_path / "cut.krvn", data[:-7]))
    assert len(cut.vector_norms()) == 0
    extra = vectors(5, 99)
    whole.add(range(1000, 1005), extra)
    cut.add(range(1000, 1005), extra)
    assert observed(cut, QUERIES, k=65) == observed(whole, QUERIES, k=65)
    assert cut.vector_norms().tolist() == whole.vector_norms().tolist()


# ---- mapped loads ---------------------------------------------------------------------

@pytest.mark.parametrize("kept, checksum", [(None, False), ("float32", False), ("float16", True), ("int8", False),
                                            ("input", False)])
@pytest.mark.parametrize("kind", KINDS)
def test_a_mapped_load_answers_as_a_plain_one_and_never_writes_the_file(tmp_path, kind, kept, checksum):
    index = make(kind, "l2", fit=True, n=0)
    if kept:
        index.keep_vectors(kept)
    # Input rows kept as uint8, one byte each: rows in a mapped file start at any byte.
    rows = (lambda x: np.abs(x * 20).astype(np.uint8)) if kept == "input" else (lambda x: x)
    index.add(ids_for(60), rows(vectors(60, 1)))
    index.build()
    path = str(tmp_path / "a.krvn")
    index.save(path, checksum=checksum)
    data = pathlib.Path(path).read_bytes()
    plain, mapped = Korvane.load(path), Korvane.load(path, mmap=True)
    assert observed(mapped, QUERIES) == observed(plain, QUERIES)
    for each in (plain, mapped):
        each.add([5, 6], rows(vectors(2, 9)))
        each.build()
    assert observed(mapped, QUERIES) == observed(plain, QUERIES)
    assert pathlib.Path(path).read_bytes() == data
    # A save over the mapped file replaces it; the mapped index reads the old one still.
    mapped.save(path)
    assert observed(mapped, QUERIES) == observed(plain, QUERIES)
    assert observed(Korvane.load(path, mmap=True), QUERIES) == observed(plain, QUERIES)


@pytest.mark.parametrize("kind", KINDS)
def test_a_mapped_file_cut_short_behind_the_index_is_refused_not_a_crash(tmp_path, kind):
    index = make(kind, n=0)
    index.keep_vectors("float16")
    index.add(ids_for(60), vectors(60, 1))
    index.build()
    path = str(tmp_path / "a.krvn")
    index.save(path)
    # In a child: were it read past the file's end, the process would stop with SIGBUS.
    out = run_child("""
        import json, os, pickle, sys, numpy as np, korvane
        index = korvane.Korvane.load(sys.argv[1], mmap=True)
        q = np.ones((3, index.dim), np.float32)
        os.truncate(sys.argv[1], 100)
        index.add([1, 2], q[:2])  # new rows live in memory: nothing to read
        out = []
        for call in (lambda: index.search(q[0], 5), lambda: index.search_batch(q, 5), lambda: pickle.dumps(index),
                     lambda: index.save(sys.argv[1] + ".b"), lambda: index.get([7]), lambda: index.remove([7]),
                     lambda: index.update([8], q[:1]), index.build):
            try:
                call()
                out.append("done")
            except OSError as e:
                out.append(str(e))
        print(json.dumps(out))
    """, path)
    refused = "io error: the mapped file has been cut short since it was loaded"
    assert out == [refused] * 7 + [refused if kind == "ivf_flat" else "done"]
