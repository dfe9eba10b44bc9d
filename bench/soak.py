"""Soak: several threads run a mix of add, search, search_batch, save and load on one
index for a set time. Reports operations per second and mean latency of each kind, every
error (any exception, or a wrong answer, counts as one and is printed), and the resident
memory from /proc/self/statm at the start, once the index is built, after the warm-up and
at the end, beside the rows the index holds and the size of its saved file.

With the index fixed (`--mix add=0`) resident memory stays flat after the warm-up. With
adds it grows faster than the rows themselves: every load makes a whole copy of the
index, and the threads' heaps keep room for the largest copies they have held; the last
figure, after returning freed memory to the system, shows how much of it is such room.

    PYTHONPATH=build/python python bench/soak.py [--seconds 300] [--threads 4] [--kind brute_force]
        [--mix search=40,search_batch=15,add=20,save=10,load=15]

Exits with status 1 when any error was seen.
"""
import argparse
import collections
import ctypes
import gc
import itertools
import os
import random
import sys
import tempfile
import threading
import time
import traceback

import numpy as np

import korvane

PAGE = os.sysconf("SC_PAGE_SIZE")
WEIGHTS = {"search": 40, "search_batch": 15, "add": 20, "save": 10, "load": 15}
K = 10


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def trim_heap():
    try:
        return ctypes.CDLL("libc.so.6").malloc_trim(0) is not None
    except (OSError, AttributeError):
        return False


def mib(n):
    return f"{n / 2**20:,.1f} MiB"


class Soak:
    def __init__(self, args, path):
        self.args = args
        self.path = path
        self.rng = np.random.default_rng(args.seed)
        extra = {"ivf_flat": {"ivf_nlist": 64, "ivf_nprobe": 8},
                 "hnsw": {"hnsw_m": 16, "hnsw_ef_construction": 64}}.get(args.kind, {})
        self.index = korvane.Korvane(args.dim, index_type=args.kind, **extra)
        self.ids = itertools.count()
        self.pool = self.rng.standard_normal((4096, args.dim)).astype(np.float32)
        first = [next(self.ids) for _ in range(args.initial)]
        self.index.add(np.array(first, dtype=np.uint64), self.rows(args.initial, self.rng))
        self.index.build()
        self.initial = len(self.index)
        self.index.save(path)
        self.issued = args.initial  # ids below this may be in the index
        self.counts = [collections.Counter() for _ in range(args.threads)]
        self.busy = [collections.Counter() for _ in range(args.threads)]
        self.errors = collections.Counter()
        self.shown = []
        self.lock = threading.Lock()
        self.stop = threading.Event()

    def rows(self, n, rng):
        # Pool rows plus a little noise: cheap to draw, and no two alike.
        at = rng.integers(0, len(self.pool), n)
        return self.pool[at] + np.float32(0.01) * rng.standard_normal((n, self.args.dim)).astype(np.float32)

    def check_hits(self, hits, want):
        assert len(hits) == want, f"{len(hits)} hits, wanted {want}"
        scores = [h["score"] for h in hits]
        assert scores == sorted(scores, reverse=True), "hits out of order"
        issued = self.issued
        assert all(h["id"] < issued for h in hits), "an id that was never added"

    def op_search(self, rng):
        self.check_hits(self.index.search(self.rows(1, rng)[0], K), K)

    def op_search_batch(self, rng):
        queries = self.rows(16, rng)
        ids, scores = self.index.search_batch(queries, K, threads=int(rng.integers(1, 3)))
        assert ids.shape == (16, K) and scores.shape == (16, K), f"shapes {ids.shape} {scores.shape}"
        assert (np.diff(scores, axis=1) <= 0).all(), "scores out of order"
        assert (ids < self.issued).all(), "an id that was never added"

    def op_add(self, rng):
        n = self.args.add_rows
        with self.lock:
            new = [next(self.ids) for _ in range(n)]
            self.issued = new[-1] + 1
        before = len(self.index)
        self.index.add(np.array(new, dtype=np.uint64), self.rows(n, rng))
        if self.args.kind != "ivf_flat":  # IVF rows count only after the next build()
            assert len(self.index) >= before + n, "rows lost by add"

    def op_save(self, rng):
        self.index.save(self.path)

    def op_load(self, rng):
        loaded = korvane.Korvane.load(self.path)
        now = len(self.index)
        assert self.initial <= len(loaded) <= now, f"loaded {len(loaded)} rows, index has {now}"
        self.check_hits(loaded.search(self.rows(1, rng)[0], K), K)

    def worker(self, t):
        rng = np.random.default_rng(self.args.seed + 1 + t)
        pick = random.Random(self.args.seed + 1 + t)
        kinds, weights = list(self.args.weights), list(self.args.weights.values())
        ops = {kind: getattr(self, "op_" + kind) for kind in kinds}
        counts, busy = self.counts[t], self.busy[t]
        while not self.stop.is_set():
            kind = pick.choices(kinds, weights)[0]
            start = time.perf_counter()
            try:
                ops[kind](rng)
            except Exception as e:  # every failure is a finding: count it and go on
                with self.lock:
                    self.errors[(kind, type(e).__name__, str(e))] += 1
                    if len(self.shown) < 5:
                        self.shown.append(f"thread {t}, {kind}:\n{traceback.format_exc()}")
            counts[kind] += 1
            busy[kind] += time.perf_counter() - start

    def totals(self):
        counts, busy = collections.Counter(), collections.Counter()
        for c in self.counts:
            counts.update(dict(c))
        for b in self.busy:
            busy.update(dict(b))
        return counts, busy

    def snapshot(self, label, t0):
        return {"label": label, "t": time.perf_counter() - t0, "rss": resident(), "rows": len(self.index),
                "file": os.path.getsize(self.path)}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=300.0, help="how long to run (default 5 minutes)")
    ap.add_argument("--warm-up", type=float, default=None, help="seconds before the memory baseline "
                    "(default a tenth of the run, at most 30)")
    ap.add_argument("--threads", type=int, default=4)
    ap.add_argument("--kind", default="brute_force", choices=["brute_force", "ivf_flat", "hnsw"])
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--initial", type=int, default=20_000, help="rows before the threads start")
    ap.add_argument("--add-rows", type=int, default=2, help="rows per add")
    ap.add_argument("--report-every", type=float, default=30.0, help="seconds between progress lines")
    ap.add_argument("--mix", default=",".join(f"{k}={w}" for k, w in WEIGHTS.items()),
                    help="relative weights of the operations (default %(default)s)")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--dir", default=None, help="where the index file is saved (default a new temporary folder)")
    args = ap.parse_args()
    weights = dict(WEIGHTS, **{k: float(w) for k, w in (part.split("=") for part in args.mix.split(","))})
    if set(weights) != set(WEIGHTS) or sum(weights.values()) <= 0:
        ap.error(f"--mix takes weights for {', '.join(WEIGHTS)}")
    args.weights = weights
    warm_up = min(30.0, args.seconds / 10) if args.warm_up is None else args.warm_up

    t0 = time.perf_counter()
    start_rss = resident()
    with tempfile.TemporaryDirectory(dir=args.dir, prefix="soak.") as folder:
        soak = Soak(args, os.path.join(folder, "index.krvn"))
        gc.collect()
        trim_heap()  # the rows drawn to build the index are gone: count only what it holds
        marks = [{"label": "start", "t": 0.0, "rss": start_rss, "rows": 0, "file": 0},
                 soak.snapshot("index built", t0)]
        print(f"{args.kind}, dim {args.dim}, {soak.initial:,} rows to start, {args.threads} threads, "
              f"{args.add_rows} rows per add, {args.seconds:g} s ({warm_up:g} s warm-up); "
              f"mix {', '.join(f'{k} {w:g}' for k, w in args.weights.items())}", flush=True)
        threads = [threading.Thread(target=soak.worker, args=(t,), daemon=True) for t in range(args.threads)]
        begin = time.perf_counter()
        for th in threads:
            th.start()
        samples = []
        warmed = False
        next_report = begin + args.report_every
        end = begin + args.seconds
        while (now := time.perf_counter()) < end:
            time.sleep(min(1.0, end - now))
            now = time.perf_counter()
            if not warmed and now - begin >= warm_up:
                marks.append(soak.snapshot("after warm-up", t0))
                warmed = True
            if warmed:
                samples.append((now - begin, resident()))
            if now >= next_report:
                counts, _ = soak.totals()
                print(f"  {now - begin:6.0f} s: {sum(counts.values()):,} ops, {sum(soak.errors.values())} errors, "
                      f"{len(soak.index):,} rows, resident {mib(resident())}", flush=True)
                next_report += args.report_every
        soak.stop.set()
        for th in threads:
            th.join()
        elapsed = time.perf_counter() - begin
        marks.append(soak.snapshot("end", t0))
        # Freed memory that the allocator still holds (per-thread arenas, gaps left by the
        # copies that loads and saves make) goes back to the system; a leak would stay.
        gc.collect()
        if trim_heap():
            marks.append(soak.snapshot("end, trimmed", t0))
        counts, busy = soak.totals()

    print(f"\n{sum(counts.values()):,} operations in {elapsed:.1f} s")
    print(f"{'operation':<13}{'count':>10}{'per second':>12}{'mean ms':>10}")
    for kind in WEIGHTS:
        n = counts[kind]
        print(f"{kind:<13}{n:>10,}{n / elapsed:>12,.1f}{(busy[kind] / n * 1e3 if n else 0):>10.3f}")

    print(f"\n{'memory':<15}{'at s':>8}{'resident':>14}{'rows':>10}{'file':>14}")
    for m in marks:
        print(f"{m['label']:<15}{m['t']:>8.1f}{mib(m['rss']):>14}{m['rows']:>10,}{mib(m['file']):>14}")
    label = {m["label"]: m for m in marks}
    if "after warm-up" in label:
        a, b = label["after warm-up"], label["end"]
        grown, rows_grown = b["rss"] - a["rss"], b["file"] - a["file"]
        print(f"after warm-up to end: resident {grown / 2**20:+,.1f} MiB, of which the added rows "
              f"(growth of the saved file) {rows_grown / 2**20:+,.1f} MiB, other {(grown - rows_grown) / 2**20:+,.1f} MiB")
    if len(samples) >= 2:
        ts, rs = np.array(samples, dtype=np.float64).T
        slope = np.polyfit(ts, rs, 1)[0]
        print(f"resident after warm-up: min {mib(rs.min())}, max {mib(rs.max())}, "
              f"trend {slope * 60 / 2**20:+.2f} MiB per minute over {len(samples)} samples")
    if "end, trimmed" in label:
        print(f"freed memory the allocator still held at the end: "
              f"{mib(label['end']['rss'] - label['end, trimmed']['rss'])}")

    n_errors = sum(soak.errors.values())
    print(f"\nerrors: {n_errors}")
    for (kind, name, message), n in soak.errors.most_common():
        print(f"  {n} x {kind}: {name}: {message}")
    for text in soak.shown:
        print(text)
    sys.exit(1 if n_errors else 0)


if __name__ == "__main__":
    main()
