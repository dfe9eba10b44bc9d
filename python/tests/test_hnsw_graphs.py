"""Saved graphs of fixed inputs: a change to construction must leave finite-data graphs as they were.

Each case is built from numpy.random.RandomState (its stream never changes across NumPy versions) and
compared byte for byte with the saved file in data/hnsw_graphs. To rewrite the files after an intended
change of the graphs: KORVANE_WRITE_GRAPH_FIXTURES=1 pytest python/tests/test_hnsw_graphs.py
"""
import gzip
import os
import pathlib

import numpy as np
import pytest

from korvane import Korvane

FIXTURES = pathlib.Path(__file__).parent / "data" / "hnsw_graphs"
WRITE = os.environ.get("KORVANE_WRITE_GRAPH_FIXTURES") == "1"

# n: vectors added in the first add; later: vectors added after build() (built from decoded codes).
# data: "normal", "ties" (duplicates and 2x copies mixed in), "grid" (0/1 rows, many equal) or "near"
# (rows repeated scaled by non-powers of two or nudged by a few ulps: scores that differ in their last bits).
CASES = {
    "cosine_4bit_ties": dict(metric="cosine", dim=16, m=4, ef=16, n=900, data="ties", seed=1),
    "cosine_mixed_later": dict(metric="cosine", dim=24, m=6, ef=12, n=700, later=300, data="ties", seed=2,
                               kwargs={"mixed_ratio": 0.5}),
    "dot_2bit_grid": dict(metric="dot", dim=8, m=4, ef=8, n=1200, data="grid", seed=3, kwargs={"bit_width": 2}),
    "dot_4bit_ties_later": dict(metric="dot", dim=32, m=8, ef=24, n=500, later=200, data="ties", seed=4),
    "l2_mixed_ties": dict(metric="l2", dim=32, m=8, ef=16, n=800, data="ties", seed=5, kwargs={"n4_dims": 12}),
    "l2_fit_2bit_later": dict(metric="l2", dim=16, m=5, ef=10, n=800, later=400, data="ties", seed=6, fit=True,
                              kwargs={"bit_width": 2}),
    "l2_fit_4bit_grid": dict(metric="l2", dim=12, m=6, ef=20, n=1000, data="grid", seed=7, fit=True),
    "cosine_2bit_normal": dict(metric="cosine", dim=20, m=7, ef=14, n=1500, data="normal", seed=8,
                               kwargs={"bit_width": 2}),
    # Wide enough for construction scores to be long sums.
    "l2_fit_128_near": dict(metric="l2", dim=128, m=12, ef=48, n=600, data="near", seed=9, fit=True,
                            kwargs={"bit_width": 2}),
    "cosine_200_near_later": dict(metric="cosine", dim=200, m=16, ef=64, n=400, later=200, data="near", seed=10,
                                  kwargs={"bit_width": 2}),
    "dot_96_near": dict(metric="dot", dim=96, m=8, ef=32, n=500, data="near", seed=11, kwargs={"bit_width": 2}),
    # Inserted in batches on two threads: the graph of any thread count above one.
    "cosine_4bit_ties_threads": dict(metric="cosine", dim=16, m=4, ef=16, n=1500, data="ties", seed=12, threads=2),
    "l2_fit_mixed_near_threads": dict(metric="l2", dim=48, m=6, ef=24, n=900, later=300, data="near", seed=13,
                                      fit=True, threads=2, kwargs={"n4_dims": 32}),
}


def case_vectors(case):
    total = case["n"] + case.get("later", 0)
    rs = np.random.RandomState(case["seed"])
    if case["data"] == "grid":
        return rs.randint(0, 2, (total, case["dim"])).astype(np.float32)
    x = rs.standard_normal((total, case["dim"])).astype(np.float32)
    if case["data"] == "ties":
        # A quarter of the rows repeat an earlier row, as it is or doubled (equal under cosine).
        rows = rs.choice(np.arange(1, total), total // 4, replace=False)
        for r in rows:
            x[r] = x[rs.randint(0, r)] * (2.0 if rs.randint(0, 2) else 1.0)
    if case["data"] == "near":
        # Half the rows copy an earlier one, scaled or with a few coordinates moved by an ulp.
        rows = rs.choice(np.arange(1, total), total // 2, replace=False)
        for r in rows:
            x[r] = x[rs.randint(0, r)] * np.float32(rs.choice([1.0, 0.7, 3.0, 1.0000001]))
            moved = rs.randint(0, case["dim"], 3)
            x[r, moved] = np.nextafter(x[r, moved], np.float32(rs.choice([-np.inf, np.inf])))
    return x


def build_graph(case):
    """The index of one case, built as the test builds it."""
    x = case_vectors(case)
    index = Korvane(case["dim"], metric=case["metric"], index_type="hnsw", hnsw_m=case["m"],
                    hnsw_ef_construction=case["ef"], **case.get("kwargs", {}))
    if case.get("fit"):
        index.fit(x[: case["n"]])
    n, threads = case["n"], case.get("threads", 1)
    index.add(np.arange(n, dtype=np.uint64), x[:n], threads=threads)
    if case.get("later"):
        index.build()
        index.add(np.arange(n, len(x), dtype=np.uint64), x[n:], threads=threads)
    return index


@pytest.mark.parametrize("name", sorted(CASES))
def test_graph_matches_its_saved_bytes(name, tmp_path):
    path = tmp_path / "g.krvn"
    build_graph(CASES[name]).save(str(path))
    built = path.read_bytes()
    fixture = FIXTURES / f"{name}.krvn.gz"
    if WRITE:
        FIXTURES.mkdir(parents=True, exist_ok=True)
        fixture.write_bytes(gzip.compress(built, mtime=0))
        pytest.skip(f"wrote {fixture.name}")
    assert built == gzip.decompress(fixture.read_bytes())
