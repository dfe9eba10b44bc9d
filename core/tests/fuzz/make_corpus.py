"""Writes the seed corpus of the loader fuzz target.

Current-version files come from the built module (every index type; dims 1 to 64; 4-bit,
2-bit and mixed; with and without an L2 standardization fit; empty indexes). Files of the
older versions 1 to 5 are made from current files without a standardization by cutting
the header down to that version's size (32, 32, 40, 56, 56 bytes) and, for version 1, by
dropping the norms of a BruteForce body. Every file is loaded back as a check: the older
ones must answer a query as the file they came from does, and a version-4 Hnsw file must
be refused.

    PYTHONPATH=build/python .venv/bin/python core/tests/fuzz/make_corpus.py core/tests/fuzz/corpus
"""
import os
import struct
import sys
import tempfile

import numpy as np

import korvane

HEADER_SIZE = {1: 32, 2: 32, 3: 40, 4: 56, 5: 56, 6: 56}


def data(n, dim, seed):
    return np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32)


def make(dim, n, seed, fit=False, build=False, kept=None, pending=0, dtype=None, **kw):
    k = korvane.Korvane(dim, **kw)
    x = data(max(n, 8) + pending, dim, seed)
    if dtype is not None:  # kept input rows keep this type
        x = (x * 40 + 100).clip(0, 255).astype(dtype)
    if fit:
        k.fit(x)
    if kept:
        k.keep_vectors(kept)
    if n:
        k.add(list(range(1000, 1000 + n)), x[:n])
    if build:
        k.build()
    if pending:
        k.add(list(range(2000, 2000 + pending)), x[n:n + pending])
    return k


# name -> engine; the names tell what each file exercises.
def current_files():
    return {
        "bf_cos_d3_b4": make(3, 20, 1),
        "bf_dot_d8_b2": make(8, 24, 2, metric="dot", bit_width=2),
        "bf_cos_d1_b4": make(1, 10, 3),
        "bf_cos_d64_mixed": make(64, 30, 4, mixed_ratio=0.5),
        "bf_l2_d64_mixed_fit": make(64, 30, 5, fit=True, metric="l2", mixed_ratio=0.25),
        "bf_l2_d8_fit_empty": make(8, 0, 6, fit=True, metric="l2"),
        "ivf_cos_d8_b4": make(8, 40, 7, build=True, index_type="ivf_flat", ivf_nlist=4, ivf_nprobe=2),
        "ivf_l2_d64_b2_fit": make(64, 30, 8, fit=True, build=True, metric="l2", bit_width=2,
                                  index_type="ivf_flat", ivf_nlist=3, ivf_nprobe=2),
        "ivf_dot_d16_mixed": make(16, 24, 9, build=True, metric="dot", mixed_ratio=0.5,
                                  index_type="ivf_flat", ivf_nlist=2, ivf_nprobe=1),
        "hnsw_cos_d8_b4": make(8, 40, 10, index_type="hnsw", hnsw_m=4, hnsw_ef_construction=16),
        "hnsw_l2_d64_mixed_fit": make(64, 30, 11, fit=True, metric="l2", mixed_ratio=0.5,
                                      index_type="hnsw", hnsw_m=3, hnsw_ef_construction=12, hnsw_ef_search=7),
        "hnsw_dot_d3_b2": make(3, 25, 12, metric="dot", bit_width=2, index_type="hnsw", hnsw_m=2,
                               hnsw_ef_construction=8),
        "hnsw_cos_d16_mixed": make(16, 24, 13, mixed_ratio=0.5, index_type="hnsw", hnsw_m=4,
                                   hnsw_ef_construction=16),
        "hnsw_cos_d8_empty": make(8, 0, 14, index_type="hnsw", hnsw_m=4),
        # Kept vectors, pending IvfFlat rows, and files sealed with a checksum.
        "bf_dot_d8_kept_f16": make(8, 20, 15, metric="dot", kept="float16"),
        "ivf_cos_d8_pending": make(8, 30, 16, build=True, pending=6, index_type="ivf_flat", ivf_nlist=3),
        "ivf_l2_d16_kept_i8_pending": make(16, 20, 17, fit=True, build=True, pending=5, metric="l2",
                                           kept="int8", index_type="ivf_flat", ivf_nlist=2),
        "sealed_hnsw_cos_d8_kept_f32": make(8, 25, 18, kept="float32", index_type="hnsw", hnsw_m=4),
        "sealed_bf_l2_d16_fit": make(16, 20, 19, fit=True, metric="l2"),
        "sealed_ivf_dot_d8_pending": make(8, 20, 20, build=True, pending=4, metric="dot",
                                          index_type="ivf_flat", ivf_nlist=2),
        # Kept input rows: uint8, float16 (pending rows too), and a type no add has fixed.
        "hnsw_l2_d12_kept_input_u8": make(12, 20, 21, fit=True, metric="l2", kept="input", dtype=np.uint8,
                                          index_type="hnsw", hnsw_m=4),
        "ivf_cos_d8_kept_input_f16_pending": make(8, 16, 22, build=True, pending=3, kept="input",
                                                  dtype=np.float16, index_type="ivf_flat", ivf_nlist=2),
        "bf_dot_d5_kept_input_empty": make(5, 0, 23, metric="dot", kept="input"),
    }


def older(current, version, drop_norms=False):
    """The bytes of a version-6 file without standardization, as an older version."""
    assert current[54] == 0, "older versions have no standardization section"
    header = bytearray(current[:HEADER_SIZE[version]])
    header[4:8] = struct.pack("<I", version)
    if version in (4, 5):
        header[54] = 1  # these versions ignore the flag: no standardization follows
    body = current[56:]
    if drop_norms:
        (count,) = struct.unpack_from("<Q", current, 16)
        body = body[:len(body) - 4 * count]
    return bytes(header) + body


# (new name, source, version, drop the norms); versions 1 and 2 derive n4_dims from the
# bit width, so their sources use the default n4_dims. Versions 4 and 5 get the
# standardization flag set, which they ignore.
OLDER = [
    ("v1_bf_cos_d3_b4", "bf_cos_d3_b4", 1, True),
    ("v1_bf_dot_d8_b2", "bf_dot_d8_b2", 1, True),
    ("v2_bf_cos_d3_b4", "bf_cos_d3_b4", 2, False),
    ("v2_ivf_cos_d8_b4", "ivf_cos_d8_b4", 2, False),
    ("v2_hnsw_dot_d3_b2", "hnsw_dot_d3_b2", 2, False),
    ("v3_bf_cos_d64_mixed", "bf_cos_d64_mixed", 3, False),
    ("v3_ivf_dot_d16_mixed", "ivf_dot_d16_mixed", 3, False),
    ("v3_hnsw_cos_d16_mixed", "hnsw_cos_d16_mixed", 3, False),
    ("v4_bf_dot_d8_b2", "bf_dot_d8_b2", 4, False),
    ("v4_ivf_cos_d8_b4", "ivf_cos_d8_b4", 4, False),
    ("v4_hnsw_cos_d8_b4", "hnsw_cos_d8_b4", 4, False),
    ("v5_bf_cos_d64_mixed", "bf_cos_d64_mixed", 5, False),
    ("v5_hnsw_cos_d8_b4", "hnsw_cos_d8_b4", 5, False),
]


# (new name, source, node numbers): an Hnsw file with nodes marked deleted, which follow the
# body in their own section (tag, version 1, u64 count, u32 node numbers ascending).
DELETED = [
    ("hnsw_cos_d8_b4_deleted", "hnsw_cos_d8_b4", [0, 5, 17, 39]),
]


def with_deleted(current, nodes):
    return current + b"KDEL" + struct.pack("<IQ", 1, len(nodes)) + struct.pack(f"<{len(nodes)}I", *nodes)


def hits(k, dim):
    q = data(1, dim, 99)[0]
    return [(h["id"], h["score"]) for h in k.search(q, 5)]


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    written = {}
    engines = current_files()
    with tempfile.TemporaryDirectory() as tmp:
        for name, k in engines.items():
            path = os.path.join(tmp, name)
            k.save(path, checksum=name.startswith("sealed_"))
            with open(path, "rb") as f:
                written[name] = f.read()
    for name, source, version, drop_norms in OLDER:
        written[name] = older(written[source], version, drop_norms)
    for name, source, nodes in DELETED:
        written[name] = with_deleted(written[source], nodes)

    for name, raw in written.items():
        path = os.path.join(out_dir, name + ".krvn")
        with open(path, "wb") as f:
            f.write(raw)
        if name.startswith("v4_hnsw"):
            try:
                korvane.Korvane.load(path)
            except OSError:
                continue
            raise SystemExit(f"{name}: a version-4 Hnsw file loaded")
        loaded = korvane.Korvane.load(path)
        if name.endswith("_deleted"):
            source = engines[name[:-len("_deleted")]]
            gone = {1000 + n for d in DELETED if d[0] == name for n in d[2]}
            found = {h["id"] for h in loaded.search(data(1, source.dim, 99)[0], source.n_vectors)}
            if found & gone or not found:
                raise SystemExit(f"{name}: answers {sorted(found)} with deleted nodes {sorted(gone)}")
            continue
        source = engines[name.split("_", 1)[1]] if name[0] == "v" and name[1].isdigit() else engines[name]
        if loaded.n_vectors != source.n_vectors:
            raise SystemExit(f"{name}: {loaded.n_vectors} vectors, expected {source.n_vectors}")
        # Version 1 keeps no norms, which changes the scores; versions 1 to 3 give IvfFlat
        # and Hnsw indexes default search parameters. The rest answer alike.
        alike = name[:3] not in ("v1_", "v2_", "v3_") or (name[:3] != "v1_" and "_bf_" in name)
        if source.n_vectors and alike:
            if hits(loaded, source.dim) != hits(source, source.dim):
                raise SystemExit(f"{name}: answers differ from the engine it was made from")
    total = sum(len(r) for r in written.values())
    print(f"{len(written)} files, {total} bytes in {out_dir}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus"))
