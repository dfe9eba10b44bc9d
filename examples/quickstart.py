"""Index a few thousand vectors, search them, and look at what is stored."""
import numpy as np

import korvane

rng = np.random.default_rng(0)
vectors = rng.standard_normal((5000, 128)).astype(np.float32)
ids = list(range(1000, 6000))

index = korvane.Korvane(dim=128, metric="cosine", bit_width=4)
index.add(ids, vectors)
print(index)

hits = index.search(vectors[42], k=5)
for hit in hits:
    print(f"id={hit['id']}  score={hit['score']:.4f}")
assert hits[0]["id"] == 1042

only_even = index.search(vectors[7], k=3, allowlist=[i for i in ids if i % 2 == 0])
print("restricted to even ids:", [h["id"] for h in only_even])

mixed = korvane.Korvane(dim=128, mixed_ratio=0.5)
mixed.add(ids, vectors)
print(f"bytes per vector: 4-bit {index.packed_bytes_per_vec}, mixed {mixed.packed_bytes_per_vec}, "
      f"float32 {128 * 4}")
