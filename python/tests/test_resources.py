"""Requests far larger than the memory a process may have, each in a child process held
to a memory limit (address_limit.py): a request that can be answered within the limit is
answered, and correctly; a file or a copy that cannot be had fails with its own error and
message, without a crash and within a time limit."""

import json
import os
import sys
import subprocess
import textwrap

import pytest

import korvane

from address_limit import child_env, set_limit

GIB = 1 << 30
TRUNCATED = "io error: failed to fill whole buffer"
NO_ID, NO_SCORE = 2**64 - 1, float("-inf")  # the padding of a search_batch row

# Run first in every child, after the limit: the imports, a small index of each type and
# `attempt`, which returns what a call gave or the error it raised, for the calls that may
# fail; an exception anywhere else ends the child with a traceback.
PRELUDE = """
import json, sys
import numpy as np
from korvane import Korvane

N, DIM = 3000, 32
KINDS = {"brute_force": {}, "ivf_flat": {"ivf_nlist": 16, "ivf_nprobe": 16},
         "hnsw": {"hnsw_m": 8, "hnsw_ef_construction": 40}}
rng = np.random.default_rng(0)
ROWS = rng.standard_normal((N, DIM)).astype(np.float32)
IDS = np.arange(N, dtype=np.uint64) * 3000  # spread over 0 .. 9 million
QUERIES = rng.standard_normal((4, DIM)).astype(np.float32)

def make(kind):
    index = Korvane(DIM, index_type=kind, **KINDS[kind])
    index.add(IDS, ROWS)
    index.build()
    return index

def attempt(call):
    try:
        return {"ok": call()}
    except Exception as e:
        return {"error": type(e).__name__, "message": str(e)}

def hits(found):
    return [[h["id"], h["score"]] for h in found]

def batch(found):
    ids, scores = found
    return [ids.tolist(), scores.tolist()]
"""


def run_limited(body, limit, *args, timeout=60):
    """Runs PRELUDE + body in a child held to `limit` bytes and returns what it printed as
    JSON; the body finds `args` from sys.argv[1]."""
    env = child_env(limit, dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1",
                                PYTHONPATH=os.pathsep.join(filter(None, [os.path.dirname(korvane.__path__[0]),
                                                                         os.environ.get("PYTHONPATH")]))))
    script = set_limit(limit) + textwrap.dedent(PRELUDE) + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", script, *map(str, args)], env=env,
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr}"
    return json.loads(done.stdout)


def assert_ranked(found, n):
    """`found` is `n` distinct hits, best first."""
    assert len(found) == n and len({h[0] for h in found}) == n
    scores = [h[1] for h in found]
    assert scores == sorted(scores, reverse=True)


def as_batch(rows, k):
    """Single-search answers, one per query, as search_batch gives them for `k`."""
    pad = [[NO_ID, NO_SCORE]] * k
    rows = [(row + pad)[:k] for row in rows]
    return [[[h[0] for h in row] for row in rows], [[h[1] for h in row] for row in rows]]


KINDS = ["brute_force", "ivf_flat", "hnsw"]
N = 3000
IDS = [3000 * i for i in range(N)]


@pytest.mark.memory_limit
@pytest.mark.parametrize("kind", KINDS)
def test_enormous_k_returns_every_row(kind):
    # The selection holds min(k, rows) entries: k far beyond the index costs nothing more.
    out = run_limited("""
        index = make(sys.argv[1])
        out = {"every": [hits(index.search(q, N)) for q in QUERIES]}
        for k in (10**12, 2**64 - 1):
            out[str(k)] = [hits(index.search(QUERIES[0], k)), batch(index.search_batch(QUERIES, k)),
                           batch(index.search_batch(QUERIES, k, threads=1))]
        print(json.dumps(out))
    """, 2 * GIB, kind)
    every = out.pop("every")
    for found in every:
        # With every list probed, or a beam as wide as the graph, every row comes back.
        assert_ranked(found, N)
        assert sorted(h[0] for h in found) == IDS
    assert list(out) == [str(10**12), str(2**64 - 1)]
    for k, (single, many, one_thread) in out.items():
        assert single == every[0], k
        assert many == as_batch(every, N), k
        assert one_thread == many, k


@pytest.mark.memory_limit
@pytest.mark.resident_memory
def test_an_add_converts_a_uint8_matrix_a_row_at_a_time():
    # The add's peak beyond the index it builds is its two chunks of work (about 10 MB),
    # never a float32 copy of the matrix (188 MB).
    grown, peak = run_limited("""
        def kib(field):
            return int(next(l for l in open("/proc/self/status") if l.startswith(field)).split()[1])
        pixels = rng.integers(0, 256, (60_000, 784), dtype=np.uint8)
        index = Korvane(784)
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # the peak resident size starts again from here
        before = kib("VmRSS:")
        index.add(np.arange(60_000), pixels)
        print(json.dumps([kib("VmRSS:") - before, kib("VmHWM:") - before]))
    """, 2 * GIB)
    assert 30_000 < grown <= peak < grown + 16_000, (grown, peak)


@pytest.mark.memory_limit
@pytest.mark.parametrize("kind", KINDS)
def test_ten_million_id_allowlist(kind):
    out = run_limited("""
        index = make(sys.argv[1])
        every = np.arange(10_000_000, dtype=np.uint64)  # holds every id of the index
        none = every + np.uint64(10_000_000)              # holds none of them
        some = every[every % 6000 != 3000]                # holds the ids of the even rows only
        out = {"plain": [hits(index.search(q, 10)) for q in QUERIES],
               "full": [hits(index.search(q, N)) for q in QUERIES],
               "plain batch": batch(index.search_batch(QUERIES, 10))}
        for name, allowed in (("every", every), ("none", none), ("some", some)):
            out[name] = hits(index.search(QUERIES[0], 10, allowlist=allowed))
            out[name + " batch"] = batch(index.search_batch(QUERIES, 10, allowlist=allowed))
        print(json.dumps(out))
    """, 2 * GIB, kind)
    plain = out["plain"]
    assert all(len(found) == 10 for found in plain)
    assert out["plain batch"] == as_batch(plain, 10)

    def allowed(hit):
        return hit[0] % 6000 != 3000

    if kind == "brute_force":
        # Filtered before the selection: the 10 best of the allowed rows.
        some = [[h for h in full if allowed(h)][:10] for full in out["full"]]
        assert all(len(found) == 10 for found in some)
    else:
        # Filtered after it: the allowed ones among the 10 best.
        some = [[h for h in found if allowed(h)] for found in plain]
    expected = {"every": plain[0], "every batch": as_batch(plain, 10), "none": [],
                "none batch": as_batch([[]] * 4, 10), "some": some[0], "some batch": as_batch(some, 10)}
    for name, want in expected.items():
        assert out[name] == want, name


@pytest.mark.memory_limit
def test_a_hundred_thousand_dimensions():
    out = run_limited("""
        index = Korvane(100_000)
        rows = rng.standard_normal((3, 100_000)).astype(np.float32)
        index.add([7, 8, 9], rows)
        found = [hits(index.search(row, 3)) for row in rows]
        print(json.dumps({"padded_dim": index.padded_dim, "n": len(index), "found": found}))
    """, 2 * GIB)
    assert out["padded_dim"] == 131072 and out["n"] == 3
    # Random directions in 100,000 dimensions: each row is nearest to itself, and the
    # others are almost orthogonal to it.
    for own, found in zip([7, 8, 9], out["found"]):
        assert_ranked(found, 3)
        assert found[0][0] == own and sorted(h[0] for h in found) == [7, 8, 9]
        assert found[0][1] > 20 * max(abs(h[1]) for h in found[1:]), found


@pytest.mark.memory_limit
def test_largest_ef_search_on_a_graph():
    out = run_limited("""
        graph, flat = make("hnsw"), make("brute_force")
        print(json.dumps({
            "set": graph.set_ef_search(2**64 - 1),
            "graph": [hits(graph.search(q, 10)) for q in QUERIES],
            "flat": [hits(flat.search(q, 10)) for q in QUERIES],
        }))
    """, 2 * GIB)
    assert out["set"] is None
    # A beam as wide as the graph visits every node: the answer of a brute force scan of
    # the same codes.
    assert out["graph"] == out["flat"]
    assert all(len(found) == 10 for found in out["flat"])


# (index type, where the count is, its format, the count). The header's vector count is at
# byte 16; an IvfFlat body starts with the list count and the centroid width, each list
# with its centroid and then its member count; an Hnsw body starts with its node count.
HUGE_COUNTS = {
    "brute_force count 2^40": ("brute_force", 16, "Q", 2**40),
    "ivf_flat list count 2^31": ("ivf_flat", 56, "I", 2**31),
    "ivf_flat member count 2^31": ("ivf_flat", "members", "I", 2**31),
    "hnsw node count 2^31": ("hnsw", 56, "I", 2**31),
}


@pytest.mark.memory_limit
@pytest.mark.parametrize("case", HUGE_COUNTS)
def test_files_claiming_huge_counts(tmp_path, case):
    kind, at, fmt, count = HUGE_COUNTS[case]
    out = run_limited("""
        import struct
        path, patched_path, at, fmt, count, kind = sys.argv[1:]
        make(kind).save(path)
        data = open(path, "rb").read()
        if at == "members":
            at = 64 + 4 * struct.unpack_from("<I", data, 60)[0]  # after the first centroid
        patched = bytearray(data)
        struct.pack_into("<" + fmt, patched, int(at), int(count))
        with open(patched_path, "wb") as f:
            f.write(patched)
        def unpickled():
            index = Korvane(DIM)
            index.__setstate__(bytes(patched))
            return len(index)
        print(json.dumps({
            "intact": len(Korvane.load(path)),
            "load": attempt(lambda: len(Korvane.load(patched_path))),
            "unpickle": attempt(unpickled),
        }))
    """, 2 * GIB, tmp_path / "a.krvn", tmp_path / "b.krvn", at, fmt, count, kind)
    assert out.pop("intact") == N
    for way, outcome in out.items():
        # Counts are believed only as far as the bytes present.
        assert outcome == {"error": "OSError", "message": TRUNCATED}, way


@pytest.mark.heavy
@pytest.mark.memory_limit
@pytest.mark.needs_real_oom
@pytest.mark.parametrize("limit_gib, fits", [(3, False), (6, True)])
def test_pickle_of_a_one_gigabyte_index(tmp_path, limit_gib, fits):
    # A pickle holds a copy of the file's bytes, and loading it builds a second index: at
    # 6 GiB the round trip fits; at 3 GiB making the pickle runs out of memory and leaves
    # the index as it was.
    #
    # 2,000,000 rows of 1,024 dimensions at 4 bits: 512 bytes of codes a row, 1 GB in all.
    # Encoding that many rows takes longer than this test may, so the file is made of the
    # rows of a saved 2,000-row index repeated 1,000 times under distinct ids, then loaded.
    out = run_limited("""
        import os, pickle, struct
        small_path, big_path = sys.argv[1:3]
        ROWS, TILE, WIDE = 2_000_000, 2_000, 1024
        small = Korvane(WIDE)
        small.add(np.arange(TILE, dtype=np.uint64), rng.standard_normal((TILE, WIDE)).astype(np.float32))
        small.save(small_path)
        data = open(small_path, "rb").read()
        r = small.packed_bytes_per_vec
        codes, norms = data[56:56 + TILE * r], data[56 + TILE * (r + 8):]
        assert len(norms) == 4 * TILE
        with open(big_path, "wb") as f:
            f.write(data[:16] + struct.pack("<Q", ROWS) + data[24:56])
            for _ in range(ROWS // TILE):
                f.write(codes)
            f.write(np.arange(ROWS, dtype=np.uint64).tobytes())
            for _ in range(ROWS // TILE):
                f.write(norms)
        size = os.path.getsize(big_path)
        index = Korvane.load(big_path)
        os.unlink(big_path)
        query = rng.standard_normal(WIDE).astype(np.float32)
        before = hits(index.search(query, 5))

        stage = []

        def round_trip():
            stage.append("dumps")
            blob = pickle.dumps(index)
            length = len(blob)
            stage.append("loads")
            copy = pickle.loads(blob)
            del blob
            return [length, len(copy), hits(copy.search(query, 5))]

        print(json.dumps({"size": size, "n": len(index), "codes": index.packed_bytes_per_vec * len(index),
                          "before": before, "pickled": attempt(round_trip),
                          "after": hits(index.search(query, 5)), "stage": stage}))
    """, limit_gib * GIB, tmp_path / "small.krvn", tmp_path / "big.krvn", timeout=120)
    (tmp_path / "big.krvn").unlink(missing_ok=True)  # the child removes it once loaded
    assert out["n"] == 2_000_000 and out["codes"] == 1_024_000_000
    assert out["after"] == out["before"] and len(out["before"]) == 5
    if fits:
        length, n, found = out["pickled"]["ok"]
        assert length > out["size"] and n == 2_000_000 and found == out["before"]
    else:
        # Out of memory in pickle.dumps, as a plain MemoryError (no text, as Python's own).
        assert out["pickled"] == {"error": "MemoryError", "message": ""} and out["stage"] == ["dumps"]
