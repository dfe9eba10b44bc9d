"""Requests far larger than the memory a process may have: each runs in a child process
under RLIMIT_AS and either answers correctly or fails with MemoryError, ValueError or
OSError, without a crash and within a time limit."""

import json
import os
import sys
import subprocess
import textwrap

import pytest

import korvane

GIB = 1 << 30
TRUNCATED = "io error: failed to fill whole buffer"
CLEAN = ("MemoryError", "ValueError", "OSError")

# Run first in every child: the limit, then the imports, a small index of each type and
# `attempt`, which returns what a call gave or the clean error it raised; any other
# exception ends the child with a traceback.
PRELUDE = """
import json, resource, sys
limit = int(sys.argv[1])
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
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
    except (MemoryError, ValueError, OSError) as e:
        return {"error": type(e).__name__, "message": str(e)}

def hits(found):
    return [[h["id"], h["score"]] for h in found]

def batch(found):
    ids, scores = found
    return [ids.tolist(), scores.tolist()]
"""


def run_limited(body, limit, *args, timeout=60):
    """Runs PRELUDE + body in a child under an address-space limit of `limit` bytes and
    returns what it printed as JSON."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [os.path.dirname(korvane.__file__),
                                                                     os.environ.get("PYTHONPATH")])),
               OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    script = textwrap.dedent(PRELUDE) + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", script, str(limit), *map(str, args)], env=env,
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr}"
    return json.loads(done.stdout)


def assert_clean(outcome):
    assert "error" in outcome and outcome["error"] in CLEAN and outcome["message"] is not None, outcome


def assert_ranked(found, n):
    """`found` is `n` distinct hits, best first."""
    assert len(found) == n and len({h[0] for h in found}) == n
    scores = [h[1] for h in found]
    assert scores == sorted(scores, reverse=True)


KINDS = ["brute_force", "ivf_flat", "hnsw"]
N = 3000


@pytest.mark.memory_limit
@pytest.mark.parametrize("kind", KINDS)
def test_enormous_k_returns_every_row(kind):
    out = run_limited("""
        index = make(sys.argv[2])
        out = {}
        for k in (10**12, 2**64 - 1):
            out[str(k)] = [attempt(lambda: hits(index.search(QUERIES[0], k))),
                           attempt(lambda: batch(index.search_batch(QUERIES, k))),
                           attempt(lambda: batch(index.search_batch(QUERIES, k, threads=1)))]
        out["every"] = hits(index.search(QUERIES[0], N))
        print(json.dumps(out))
    """, 2 * GIB, kind)
    every = out.pop("every")
    assert_ranked(every, N)
    for k, (single, many, one_thread) in out.items():
        for outcome in (single, many, one_thread):
            if "error" in outcome:
                assert_clean(outcome)
        if "ok" in single:
            # With every list probed, or a beam as wide as the graph, every row comes back.
            assert_ranked(single["ok"], N)
            assert sorted(h[0] for h in single["ok"]) == sorted(h[0] for h in every)
        for outcome in (many, one_thread):
            if "ok" in outcome:
                ids, scores = outcome["ok"]
                assert len(ids) == 4 and all(len(row) == N for row in ids)
                assert [[i, s] for i, s in zip(ids[0], scores[0])] == (single.get("ok") or every)


@pytest.mark.memory_limit
@pytest.mark.parametrize("kind", KINDS)
def test_ten_million_id_allowlist(kind):
    out = run_limited("""
        index = make(sys.argv[2])
        every = np.arange(10_000_000, dtype=np.uint64)   # holds every id of the index
        none = every + np.uint64(10_000_000)               # holds none of them
        print(json.dumps({
            "plain": hits(index.search(QUERIES[0], 10)),
            "plain batch": batch(index.search_batch(QUERIES, 10)),
            "every": attempt(lambda: hits(index.search(QUERIES[0], 10, allowlist=every))),
            "every batch": attempt(lambda: batch(index.search_batch(QUERIES, 10, allowlist=every))),
            "none": attempt(lambda: hits(index.search(QUERIES[0], 10, allowlist=none))),
            "none batch": attempt(lambda: batch(index.search_batch(QUERIES, 10, allowlist=none))),
        }))
    """, 2 * GIB, kind)
    expected = {"every": out["plain"], "every batch": out["plain batch"], "none": [],
                "none batch": [[[2**64 - 1] * 10] * 4, [[float("-inf")] * 10] * 4]}
    assert len(out["plain"]) == 10
    for name, want in expected.items():
        if "error" in out[name]:
            assert_clean(out[name])
        else:
            assert out[name]["ok"] == want, name


@pytest.mark.memory_limit
def test_a_hundred_thousand_dimensions():
    out = run_limited("""
        index = Korvane(100_000)
        rows = rng.standard_normal((3, 100_000)).astype(np.float32)
        added = attempt(lambda: index.add([7, 8, 9], rows))
        found = attempt(lambda: [[h["id"] for h in index.search(row, 3)] for row in rows])
        print(json.dumps({"padded_dim": index.padded_dim, "added": added, "found": found, "n": len(index)}))
    """, 2 * GIB)
    assert out["padded_dim"] == 131072
    if "error" in out["added"]:
        assert_clean(out["added"])
        assert out["n"] == 0
        return
    assert out["n"] == 3
    if "error" in out["found"]:
        assert_clean(out["found"])
    else:
        # Random directions in 100,000 dimensions: each row is nearest to itself.
        assert [row[0] for row in out["found"]["ok"]] == [7, 8, 9]
        assert all(sorted(row) == [7, 8, 9] for row in out["found"]["ok"])


@pytest.mark.memory_limit
def test_largest_ef_search_on_a_graph():
    out = run_limited("""
        graph, flat = make("hnsw"), make("brute_force")
        set_ef = attempt(lambda: graph.set_ef_search(2**64 - 1))
        print(json.dumps({
            "set": set_ef,
            "graph": [attempt(lambda: hits(graph.search(q, 10))) for q in QUERIES],
            "flat": [hits(flat.search(q, 10)) for q in QUERIES],
        }))
    """, 2 * GIB)
    if "error" in out["set"]:
        assert_clean(out["set"])
    for graph, flat in zip(out["graph"], out["flat"]):
        if "error" in graph:
            assert_clean(graph)
        else:
            # A beam as wide as the graph visits every node: the answer of a brute force
            # scan of the same codes.
            assert graph["ok"] == flat


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
        path, patched_path, at, fmt, count, kind = sys.argv[2:]
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


@pytest.mark.memory_limit
@pytest.mark.parametrize("limit_gib", [3, 6])
def test_pickle_of_a_one_gigabyte_index(tmp_path, limit_gib):
    # 2,000,000 rows of 1,024 dimensions at 4 bits: 512 bytes of codes a row, 1 GB in all.
    # Encoding that many rows takes longer than this test may, so the file is made of the
    # rows of a saved 2,000-row index repeated 1,000 times under distinct ids, then loaded.
    out = run_limited("""
        import os, pickle, struct
        small_path, big_path = sys.argv[2:4]
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

        def round_trip():
            blob = pickle.dumps(index)
            length = len(blob)
            copy = pickle.loads(blob)
            del blob
            return [length, len(copy), hits(copy.search(query, 5))]

        print(json.dumps({"size": size, "n": len(index), "codes": index.packed_bytes_per_vec * len(index),
                          "before": before, "pickled": attempt(round_trip),
                          "after": hits(index.search(query, 5))}))
    """, limit_gib * GIB, tmp_path / "small.krvn", tmp_path / "big.krvn", timeout=120)
    (tmp_path / "big.krvn").unlink(missing_ok=True)  # the child removes it once loaded
    assert out["n"] == 2_000_000 and out["codes"] == 1_024_000_000
    assert out["after"] == out["before"] and len(out["before"]) == 5
    if "error" in out["pickled"]:
        assert out["pickled"]["error"] == "MemoryError"
    else:
        length, n, found = out["pickled"]["ok"]
        assert length > out["size"] and n == 2_000_000 and found == out["before"]
    print(f"{limit_gib} GiB: {'pickled' if 'ok' in out['pickled'] else 'MemoryError'}")
