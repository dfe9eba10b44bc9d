"""Reading and writing .krvn index files byte by byte, for the file format tests.

Everything is little-endian. A file is a header (32 bytes for versions 1 and 2, 40 for
version 3, 56 from version 4 on), then `dim` floats of mean and `dim` floats of inverse
standard deviation when the standardization flag (byte 54, version 6) is set, then the
body of the index type.
"""

import struct

MAGIC = b"KRVN"
NO_NODE = 0xFFFFFFFF
SEED = 0x3D71A5C08E42F96B
METRIC_CODES = {"cosine": 0, "dot": 1, "l2": 2}
INDEX_TYPE_CODES = {"BruteForce": 0, "IvfFlat": 1, "Hnsw": 2}

HEADER = struct.Struct("<4sIIBBBBQQIIIIHHHBB")
HEADER_FIELDS = (
    "magic", "version", "dim", "metric", "bit_width", "index_type", "reserved_15", "count", "seed",
    "n4_dims", "reserved_36", "ivf_nlist", "ivf_nprobe", "hnsw_m", "hnsw_ef_construction",
    "hnsw_ef_search", "standardized", "reserved_55",
)


def header_size(version):
    return 32 if version <= 2 else 40 if version == 3 else 56


def parse_header(data):
    """The 56 header bytes of a version 4 to 6 file as a dict of fields."""
    return dict(zip(HEADER_FIELDS, HEADER.unpack_from(data, 0)))


def pack_header(version=6, **fields):
    """A header of `version`'s size; fields not given are 0, the magic is "KRVN"."""
    unknown = set(fields) - set(HEADER_FIELDS)
    if unknown:
        raise TypeError(f"unknown header fields {sorted(unknown)}")
    values = {name: 0 for name in HEADER_FIELDS}
    values.update(magic=MAGIC, version=version, seed=SEED)
    values.update(fields)
    return HEADER.pack(*(values[name] for name in HEADER_FIELDS))[: header_size(version)]


class Reader:
    def __init__(self, data, at=0):
        self.data = data
        self.at = at

    def take(self, n):
        if self.at + n > len(self.data):
            raise ValueError(f"file ends at {len(self.data)}, wanted {n} bytes at {self.at}")
        out = self.data[self.at:self.at + n]
        self.at += n
        return out

    def get(self, fmt):
        return struct.unpack("<" + fmt, self.take(struct.calcsize("<" + fmt)))[0]


def split(data):
    """A version 6 file as (header dict, standardization bytes, body bytes)."""
    h = parse_header(data)
    std_bytes = 8 * h["dim"] if h["standardized"] else 0
    return h, data[56:56 + std_bytes], data[56 + std_bytes:]


# ---- BruteForce: codes, ids, norms ---------------------------------------------------

def parse_brute(body, n, r):
    """(codes, ids, norms) of a body of n rows of r bytes; norms None when absent."""
    rd = Reader(body)
    codes = rd.take(n * r)
    ids = list(struct.unpack(f"<{n}Q", rd.take(8 * n)))
    norms = list(struct.unpack(f"<{n}f", rd.take(4 * n))) if rd.at < len(body) else None
    if rd.at != len(body):
        raise ValueError("bytes after the BruteForce body")
    return codes, ids, norms


def pack_brute(codes, ids, norms=None):
    out = bytes(codes) + struct.pack(f"<{len(ids)}Q", *ids)
    if norms is not None:
        out += struct.pack(f"<{len(norms)}f", *norms)
    return out


# ---- IvfFlat: lists of (centroid bytes, [(id, code, norm), ...]) ----------------------

def parse_ivf(body, r):
    rd = Reader(body)
    count = rd.get("I")
    width = rd.get("I")
    lists = []
    for _ in range(count):
        centroid = rd.take(4 * width)
        members = [(rd.get("Q"), rd.take(r), rd.get("f")) for _ in range(rd.get("I"))]
        lists.append((centroid, members))
    if rd.at != len(body):
        raise ValueError("bytes after the IvfFlat body")
    return width, lists


def pack_ivf(width, lists, count=None):
    out = struct.pack("<II", len(lists) if count is None else count, width)
    for centroid, members in lists:
        out += bytes(centroid) + struct.pack("<I", len(members))
        for vid, code, norm in members:
            out += struct.pack("<Q", vid) + bytes(code) + struct.pack("<f", norm)
    return out


# ---- Hnsw: entry, top, nodes of (id, code, norm, [neighbours of layer 0, 1, ...]) -----

def parse_hnsw(body, r):
    rd = Reader(body)
    count = rd.get("I")
    entry = rd.get("I")
    top = rd.get("I")
    nodes = []
    for _ in range(count):
        vid, code, norm = rd.get("Q"), rd.take(r), rd.get("f")
        layers = []
        for _ in range(rd.get("B")):
            n = rd.get("H")
            layers.append(list(struct.unpack(f"<{n}I", rd.take(4 * n))))
        nodes.append((vid, code, norm, layers))
    if rd.at != len(body):
        raise ValueError("bytes after the Hnsw body")
    return entry, top, nodes


def pack_hnsw(entry, top, nodes, count=None):
    out = struct.pack("<III", len(nodes) if count is None else count, entry, top)
    for vid, code, norm, layers in nodes:
        out += struct.pack("<Q", vid) + bytes(code) + struct.pack("<fB", norm, len(layers))
        for links in layers:
            out += struct.pack(f"<H{len(links)}I", len(links), *links)
    return out


def unseal(data):
    """The plain file of a sealed one (a pickle's state): without the 16-byte checksum
    footer and with the header's reserved bytes 36-39 back to zero."""
    assert data[-16:-12] == b"KCRC" and data[36:40] == b"KCRC"
    return data[:36] + bytes(4) + data[40:-16]


def seal(data):
    """A plain file sealed as save(checksum=True) writes it."""
    body = data[:36] + b"KCRC" + data[40:]
    return body + b"KCRC" + struct.pack("<IQ", crc32c(body), len(body))


def crc32c(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 & -(crc & 1))
    return crc ^ 0xFFFFFFFF
