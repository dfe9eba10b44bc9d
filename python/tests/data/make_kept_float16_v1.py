"""Writes kept_float16_v1_*.krvn and kept_float16_v1.json: indexes keeping float16 vectors
in the kept-vector section of version 1 (float16 rows of a norm and the halves, no scale),
and the answers they gave when written. It was run once, by the release that wrote that
section; test_rescore.py checks that a later release loads them and answers the same.

    PYTHONPATH=build/python python python/tests/data/make_kept_float16_v1.py
"""

import json
import pathlib

from korvane import Korvane

HERE = pathlib.Path(__file__).parent
DIM, N = 12, 30
# Exact in single precision and independent of any random generator.
VECTORS = [[((i * 7 + d * 13 + i * d * 3) % 29 - 14) / 8 for d in range(DIM)] for i in range(N)]
QUERIES = [[((q * 5 + d * 11) % 13 - 6) / 3 for d in range(DIM)] for q in range(5)]
IDS = [(1 << 40) + 37 * i for i in range(N)]
ALLOW = IDS[::3]
CASES = {
    "brute_force_l2_fit": {"index_type": "brute_force", "metric": "l2", "fit": True, "args": {},
                           "oversampling": 2.5},
    "hnsw_cosine": {"index_type": "hnsw", "metric": "cosine", "fit": False,
                    "args": {"hnsw_m": 6, "hnsw_ef_construction": 40, "hnsw_ef_search": 12}, "oversampling": 4.0},
}


def build(case):
    index = Korvane(DIM, metric=case["metric"], index_type=case["index_type"], **case["args"])
    if case["fit"]:
        index.fit(VECTORS)
    index.keep_vectors("float16")
    index.add(IDS, VECTORS)
    index.set_rescore(case["oversampling"])
    return index


def answers(index):
    return [[[h["id"], h["score"]] for h in index.search(q, 6, allow)] for allow in (None, ALLOW) for q in QUERIES]


if __name__ == "__main__":
    record = {"vectors": VECTORS, "queries": QUERIES, "ids": IDS, "allow": ALLOW, "cases": {}}
    for name, case in CASES.items():
        index = build(case)
        index.save(str(HERE / f"kept_float16_v1_{name}.krvn"))
        record["cases"][name] = {**case, "answers": answers(index)}
    (HERE / "kept_float16_v1.json").write_text(json.dumps(record) + "\n")
