"""Save and load of a .krvn file beside plain copies of the same file, in the same run.

Two indexes: N x 768 4-bit cosine BruteForce (default N = 1,000,000, about 530 MB) and an
Hnsw index of HNSW_N x 128 (default 100,000; m 16, ef_construction 100 to keep the build
time reasonable). Random float32 vectors are made and added in chunks, so memory stays
near the index size.

Each row is the median of --repeat runs. MB/s counts the file's size (MB = 10^6 bytes).
- save: Korvane.save, which writes a temporary file, fsyncs it and renames it over the path.
- copy + fsync: shutil.copyfile of the saved file, then fsync of the copy: the same
  durability as save; the row save is held against.
- load, cached: Korvane.load right after the file was written, so its pages are in the
  page cache; held against "copy, cached" (shutil.copyfile with the source in the page
  cache and the copy left in it, no fsync).
- load, dropped: Korvane.load after posix_fadvise(DONTNEED) on the file (its pages are
  clean after save's fsync, so the kernel drops them); held against "copy, dropped",
  shutil.copyfile after the same advice on the source. Storage below the file system (a
  virtual disk's host cache, say) can still serve such reads from memory.
- read into new memory: readinto of the whole file into a new bytearray, cached and
  dropped. Not a target: it shows what filling new process memory with the file costs
  here, which a load must also do and shutil.copyfile (a copy inside the kernel) never does.
The last lines say whether save and both loads reach half the copy's MB/s.

    PYTHONPATH=build/python python bench/bench_persist.py [--n 1000000] [--hnsw-n 100000] [--dir DIR] [--checksum]

With --checksum every save is sealed (save(path, checksum=True)) and every load checks the
CRC-32C of the whole file.

Then plain against mapped loads (Korvane.load(path, mmap=True)) of indexes that keep float16
vectors: a BruteForce index of --mapped-n x 768 (default 60,000) and an Hnsw index of
--mapped-hnsw-n x 768 (default 50,000; m 16, ef_construction 100, built on every core),
clustered cosine data, 4-bit codes. Each load runs in a fresh child process, which reports
the load's time, how much its resident memory grew (RssAnon: the process's own memory;
RssFile: file pages it maps) after the load and after --searches re-scored searches
(search_batch, one thread, k 10; Hnsw at ef 128), and the searches' q/s: with the file in
the page cache ("warm"; the searches run twice, the second pass on pages already mapped)
and, for mapped loads, after posix_fadvise(DONTNEED) on the file ("cold"). Every cell is the
median of --repeat children. The last lines check the targets: anonymous growth at most
35% of a plain load's, open time at most 40% (BruteForce), warm q/s within 10%.

    PYTHONPATH=build/python python bench/bench_persist.py --n 0 --hnsw-n 0   # mapped loads only
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np

import korvane

from _common import clustered, print_table

CHUNK = 50_000


def drop_cached(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def remove(path):
    if os.path.exists(path):
        os.unlink(path)


def copy_synced(src, dst):
    shutil.copyfile(src, dst)
    fd = os.open(dst, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def read_into_new_memory(path, size):
    buf = bytearray(size)
    with open(path, "rb", buffering=0) as f:
        got = f.readinto(buf)
    if got != size:
        sys.exit(f"read {got} of {size} bytes of {path}")


def median_seconds(repeat, before, action):
    times = []
    for _ in range(repeat):
        before()
        t0 = time.perf_counter()
        action()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def fill(index, n, dim, seed):
    rng = np.random.default_rng(seed)
    for start in range(0, n, CHUNK):
        m = min(CHUNK, n - start)
        index.add(np.arange(start, start + m, dtype=np.uint64), rng.standard_normal((m, dim), dtype=np.float32))


def measure(label, index, directory, repeat, query, checksum):
    path = os.path.join(directory, label + ".krvn")
    copy = os.path.join(directory, label + ".copy")
    # Modules without the keyword (earlier builds, for a before/after run) save plainly.
    save_it = (lambda: index.save(path, checksum=True)) if checksum else (lambda: index.save(path))
    save = median_seconds(repeat, lambda: remove(path), save_it)
    size = os.path.getsize(path)
    copy_sync = median_seconds(repeat, lambda: remove(copy), lambda: copy_synced(path, copy))

    def load_checked():
        loaded = korvane.Korvane.load(path)
        if loaded.n_vectors != index.n_vectors:
            sys.exit(f"{label}: loaded {loaded.n_vectors} vectors, saved {index.n_vectors}")
        return loaded

    loaded = load_checked()
    if loaded.search(query, 10) != index.search(query, 10):
        sys.exit(f"{label}: the loaded index answers differently")
    del loaded
    # The file was just read, so its pages are cached for the cached rows.
    load_cached = median_seconds(repeat, lambda: None, load_checked)
    copy_cached = median_seconds(repeat, lambda: remove(copy), lambda: shutil.copyfile(path, copy))
    load_dropped = median_seconds(repeat, lambda: drop_cached(path), load_checked)
    copy_dropped = median_seconds(repeat, lambda: (remove(copy), drop_cached(path)),
                                  lambda: shutil.copyfile(path, copy))
    read_cached = median_seconds(repeat, lambda: None, lambda: read_into_new_memory(path, size))
    read_dropped = median_seconds(repeat, lambda: drop_cached(path), lambda: read_into_new_memory(path, size))
    remove(copy)
    remove(path)

    mb = size / 1e6

    def row(what, seconds, against=None):
        rate = mb / seconds
        ratio = f"{rate / (mb / against):.2f}" if against else ""
        return [what, f"{seconds:.3f}", f"{rate:,.0f}", ratio]

    rows = [
        row("save (fsync, rename)", save, copy_sync),
        row("copy + fsync", copy_sync),
        row("load, cached", load_cached, copy_cached),
        row("copy, cached", copy_cached),
        row("read into new memory, cached", read_cached),
        row("load, dropped", load_dropped, copy_dropped),
        row("copy, dropped", copy_dropped),
        row("read into new memory, dropped", read_dropped),
    ]
    print_table(f"{label}: {index.n_vectors:,} vectors, file {mb:,.1f} MB, median of {repeat}",
                ["operation", "seconds", "MB/s", "x copy"], rows)
    for what, seconds, against in (("save", save, copy_sync), ("load, cached", load_cached, copy_cached),
                                   ("load, dropped", load_dropped, copy_dropped)):
        ratio = against / seconds
        print(f"  {what}: {ratio:.2f}x the copy's MB/s, target 0.5x {'met' if ratio >= 0.5 else 'NOT met'}")
    sys.stdout.flush()


CHILD = r"""
import json, sys, time
import numpy as np
import korvane

def rss():
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(("RssAnon:", "RssFile:")):
                key, value = line.split(":")
                out[key] = int(value.split()[0]) * 1024
    return out

path, mode, queries_path, ef = sys.argv[1:5]
queries = np.load(queries_path)
before = rss()
t0 = time.perf_counter()
index = korvane.Korvane.load(path, mmap=mode == "mmap")
opened = time.perf_counter() - t0
loaded = rss()
if index.index_type == "Hnsw":
    index.set_ef_search(int(ef))
passes = []
for _ in range(2):
    t0 = time.perf_counter()
    index.search_batch(queries, 10, threads=1)
    passes.append(len(queries) / (time.perf_counter() - t0))
after = rss()
print(json.dumps({"open": opened, "qps1": passes[0], "qps2": passes[1],
                  "anon_load": loaded["RssAnon"] - before["RssAnon"],
                  "file_load": loaded["RssFile"] - before["RssFile"],
                  "anon": after["RssAnon"] - before["RssAnon"],
                  "file": after["RssFile"] - before["RssFile"]}))
"""


def run_child(path, mode, queries_path, ef):
    import json
    import subprocess

    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    done = subprocess.run([sys.executable, "-c", CHILD, path, mode, queries_path, str(ef)], env=env,
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def measure_mapped(label, index, directory, queries, repeat, ef=128):
    path = os.path.join(directory, label + ".krvn")
    queries_path = os.path.join(directory, label + ".queries.npy")
    np.save(queries_path, queries)
    index.save(path)
    size = os.path.getsize(path)

    def median_of(mode, cold):
        runs = []
        for _ in range(repeat):
            if cold:
                drop_cached(path)
            else:
                read_into_new_memory(path, size)  # the whole file in the page cache
            runs.append(run_child(path, mode, queries_path, ef))
        return {key: statistics.median(r[key] for r in runs) for key in runs[0]}

    plain, mapped, cold = median_of("plain", False), median_of("mmap", False), median_of("mmap", True)
    mib = 1 << 20
    rows = []
    for what, r in (("plain load, warm", plain), ("mapped load, warm", mapped), ("mapped load, cold", cold)):
        rows.append([what, f"{r['open'] * 1e3:.1f}", f"{r['anon_load'] / mib:.1f}", f"{r['file_load'] / mib:.1f}",
                     f"{r['anon'] / mib:.1f}", f"{r['file'] / mib:.1f}", f"{r['qps1']:,.0f}", f"{r['qps2']:,.0f}"])
    print_table(f"{label}: {len(index):,} vectors, float16 kept, file {size / mib:,.1f} MiB, "
                f"{len(queries):,} searches, median of {repeat} processes",
                ["load", "open ms", "anon MiB (load)", "file MiB (load)", f"anon MiB (+searches)",
                 "file MiB (+searches)", "q/s pass 1", "q/s pass 2"], rows)
    anon = mapped["anon"] / plain["anon"]
    print(f"  anonymous growth after the searches: mapped {anon:.0%} of plain, target <= 35% "
          f"{'met' if anon <= 0.35 else 'NOT met'}")
    if index.index_type == "BruteForce":
        opened = mapped["open"] / plain["open"]
        print(f"  open time: mapped {opened:.0%} of plain, target <= 40% {'met' if opened <= 0.40 else 'NOT met'}")
    for p in (1, 2):
        ratio = mapped[f"qps{p}"] / plain[f"qps{p}"]
        print(f"  warm q/s, pass {p}: mapped {ratio:.2f}x plain, target >= 0.90x {'met' if ratio >= 0.9 else 'NOT met'}")
    remove(path)
    remove(queries_path)
    sys.stdout.flush()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000, help="BruteForce vectors (768 dims, 4-bit)")
    ap.add_argument("--hnsw-n", type=int, default=100_000, help="Hnsw vectors (128 dims); 0 leaves it out")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--dir", default=None, help="where the files go (default: the system's temporary directory)")
    ap.add_argument("--checksum", action="store_true", help="save with checksum=True (a sealed file)")
    ap.add_argument("--mapped-n", type=int, default=60_000, help="BruteForce vectors for mapped loads; 0 skips")
    ap.add_argument("--mapped-hnsw-n", type=int, default=50_000, help="Hnsw vectors for mapped loads; 0 skips")
    ap.add_argument("--searches", type=int, default=1000)
    ap.add_argument("--mapped-dim", type=int, default=768, help="dimension of the mapped-load indexes")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory(dir=args.dir, prefix="korvane-persist-") as directory:
        print(f"files in {directory}", flush=True)
        if args.n > 0:
            dim = 768
            index = korvane.Korvane(dim, metric="cosine", bit_width=4)
            t0 = time.perf_counter()
            fill(index, args.n, dim, seed=0)
            print(f"BruteForce {args.n:,} x {dim} 4-bit added in {time.perf_counter() - t0:.1f} s", flush=True)
            query = np.random.default_rng(1).standard_normal(dim, dtype=np.float32)
            measure(f"bruteforce_{args.n}x{dim}", index, directory, args.repeat, query, args.checksum)
            del index
        if args.hnsw_n > 0:
            dim = 128
            index = korvane.Korvane(dim, metric="cosine", bit_width=4, index_type="hnsw", hnsw_m=16,
                                    hnsw_ef_construction=100)
            t0 = time.perf_counter()
            fill(index, args.hnsw_n, dim, seed=2)
            index.build()
            print(f"Hnsw {args.hnsw_n:,} x {dim} 4-bit (m 16, ef_construction 100) built in "
                  f"{time.perf_counter() - t0:.1f} s", flush=True)
            query = np.random.default_rng(3).standard_normal(dim, dtype=np.float32)
            measure(f"hnsw_{args.hnsw_n}x{dim}", index, directory, args.repeat, query, args.checksum)
            del index
        dim = args.mapped_dim
        for kind, n in (("brute_force", args.mapped_n), ("hnsw", args.mapped_hnsw_n)):
            if n <= 0:
                continue
            base, queries = clustered(n, dim, args.searches, seed=4)
            extra = {"hnsw_m": 16, "hnsw_ef_construction": 100} if kind == "hnsw" else {}
            index = korvane.Korvane(dim, metric="cosine", bit_width=4, index_type=kind, **extra)
            index.keep_vectors("float16")
            t0 = time.perf_counter()
            index.add(np.arange(n, dtype=np.uint64), base, threads=0)
            index.build()
            print(f"{kind} {n:,} x {dim} with float16 kept vectors built in {time.perf_counter() - t0:.1f} s",
                  flush=True)
            del base
            measure_mapped(f"mapped_{kind}_{n}x{dim}", index, directory, queries, args.repeat)
            del index


if __name__ == "__main__":
    main()
