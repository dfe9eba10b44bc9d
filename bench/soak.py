"""Soak: several threads run a mix of add, search, search_batch, save, load and build on
one index for a set time. Reports operations per second and mean latency of each kind, every
error (any exception, or a wrong answer, counts as one and is printed), and the resident
memory from /proc/self/statm at the start, once the index is built, after the warm-up and
at the end, beside the rows the index holds, the rows added so far and the size of its
saved file.

Every row an add reports as added is tallied. At the end the index must hold exactly the
rows it started with plus those, and each of them must be found: BruteForce lists its ids;
IvfFlat is built once more and searched over every list for all its rows; Hnsw is checked
by count, and its searches must return only ids that were added (a graph may leave a node
unreachable, so not every id need come back). During the run every hit must be an id
already handed to an add that has not failed. IvfFlat runs `build` now and then (weight
2 by default, 0 for the others) so that rows added during the run are searched too.

With the index fixed (`--mix add=0`) resident memory stays flat after the warm-up. With
adds it grows faster than the rows themselves: every load makes a whole copy of the
index, and the threads' heaps keep room for the largest copies they have held; the last
figure, after returning freed memory to the system, shows how much of it is such room.
The growth from the warm-up to the end is also given per row added in between.

    PYTHONPATH=build/python python bench/soak.py [--seconds 300] [--threads 4] [--kind brute_force]
        [--mix search=40,search_batch=15,add=20,save=10,load=15,build=0]

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
WEIGHTS = {"search": 40, "search_batch": 15, "add": 20, "save": 10, "load": 15, "build": 0}
BUILD_WEIGHT = {"ivf_flat": 2}  # rows added to an IvfFlat index are searched only after a build
NOTHING_PENDING = "index is empty"  # build() of an IvfFlat index with no rows added since the last
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
        self.nlist = 64
        extra = {"ivf_flat": {"ivf_nlist": self.nlist, "ivf_nprobe": 8},
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
        self.added = []  # ids of every add that returned, in the order they returned
        self.failed = set()  # ids of adds that raised: never to be found
        self.empty_builds = 0  # builds that found nothing pending, which is no error
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

    def check_known(self, ids):
        # Read after the search returned: any id it saw was issued by then.
        ids = np.asarray(ids, dtype=np.uint64)
        assert (ids < self.issued).all(), "an id that was never added"
        if self.failed:
            assert not np.isin(ids, np.fromiter(self.failed, np.uint64)).any(), "an id whose add failed"

    def check_hits(self, hits, want):
        assert len(hits) == want, f"{len(hits)} hits, wanted {want}"
        scores = [h["score"] for h in hits]
        assert scores == sorted(scores, reverse=True), "hits out of order"
        ids = [h["id"] for h in hits]
        assert len(set(ids)) == len(ids), "an id twice in one answer"
        self.check_known(ids)

    def op_search(self, rng):
        self.check_hits(self.index.search(self.rows(1, rng)[0], K), K)

    def op_search_batch(self, rng):
        queries = self.rows(16, rng)
        ids, scores = self.index.search_batch(queries, K, threads=int(rng.integers(1, 3)))
        assert ids.shape == (16, K) and scores.shape == (16, K), f"shapes {ids.shape} {scores.shape}"
        assert (np.diff(scores, axis=1) <= 0).all(), "scores out of order"
        assert all(len(set(row)) == K for row in ids.tolist()), "an id twice in one answer"
        self.check_known(ids)

    def op_add(self, rng):
        n = self.args.add_rows
        with self.lock:
            new = [next(self.ids) for _ in range(n)]
            self.issued = new[-1] + 1
        try:
            self.index.add(np.array(new, dtype=np.uint64), self.rows(n, rng))
        except BaseException:
            with self.lock:
                self.failed.update(new)
            raise
        with self.lock:
            self.added.extend(new)

    def op_build(self, rng):
        try:
            self.index.build()
        except RuntimeError as e:
            if str(e) != NOTHING_PENDING or self.args.kind != "ivf_flat":
                raise
            with self.lock:
                self.empty_builds += 1

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
        with self.lock:
            added = len(self.added)
        return {"label": label, "t": time.perf_counter() - t0, "rss": resident(), "rows": len(self.index),
                "added": added, "file": os.path.getsize(self.path)}

    def final_check(self):
        """With the threads stopped: the index holds exactly the rows it started with and every
        row added since, and finds them. Returns a list of the faults seen, with a line on what
        was checked."""
        faults = []
        added = np.array(self.added, dtype=np.uint64)
        want = np.concatenate([np.arange(self.args.initial, dtype=np.uint64), added])
        if len(np.unique(added)) != len(added):
            faults.append("an id reported added twice")
        if self.args.kind == "ivf_flat":
            try:
                self.index.build()  # the rows added since the last build
            except RuntimeError as e:
                if str(e) != NOTHING_PENDING:
                    raise
        if len(self.index) != len(want):
            faults.append(f"the index holds {len(self.index):,} rows; {self.initial:,} to start "
                          f"and {len(added):,} added make {len(want):,}")
        if self.args.kind == "brute_force":
            found, how = self.index.vector_ids(), "ids listed"
        elif self.args.kind == "ivf_flat":
            self.index.set_nprobe(self.nlist)
            query = self.rows(1, np.random.default_rng(self.args.seed))[0]
            found, how = np.array([h["id"] for h in self.index.search(query, len(want))], dtype=np.uint64), \
                "ids found by one search over every list"
        else:
            found, how = None, "count"
        if found is not None:
            missing = np.setdiff1d(want, found)
            extra = np.setdiff1d(found, want)
            if len(found) != len(np.unique(found)):
                faults.append(f"{len(found) - len(np.unique(found)):,} ids more than once")
            if len(missing):
                faults.append(f"{len(missing):,} added ids not found, such as {missing[:5].tolist()}")
            if len(extra):
                faults.append(f"{len(extra):,} ids found that were never added, such as {extra[:5].tolist()}")
        # Whatever the kind, searches now return only rows that were added.
        queries = self.rows(256, np.random.default_rng(self.args.seed + 10_000))
        ids, _ = self.index.search_batch(queries, K, threads=1)
        stray = np.setdiff1d(ids, want)
        if len(stray):
            faults.append(f"searches returned {len(stray):,} ids never added, such as {stray[:5].tolist()}")
        summary = (f"final check ({self.args.kind}): {len(self.index):,} rows = {self.initial:,} to start "
                   f"+ {len(added):,} added" + ("" if len(self.index) == len(want) else " FAILED")
                   + f"; {how}" + (f" {len(found):,}" if found is not None else "")
                   + f"; {len(queries)} searches returned only added ids" * (not len(stray)))
        return summary, faults


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
    ap.add_argument("--mix", default="", help="relative weights of some operations, the others keeping "
                    f"theirs (default {','.join(f'{k}={w}' for k, w in WEIGHTS.items())}; build "
                    f"{', '.join(f'{w} for {k}' for k, w in BUILD_WEIGHT.items())})")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--dir", default=None, help="where the index file is saved (default a new temporary folder)")
    args = ap.parse_args()
    weights = dict(WEIGHTS, build=BUILD_WEIGHT.get(args.kind, 0))
    try:
        weights.update({k: float(w) for k, w in (part.split("=") for part in args.mix.split(",") if part)})
    except ValueError:
        ap.error(f"--mix takes name=weight pairs for {', '.join(WEIGHTS)}")
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
        marks = [{"label": "start", "t": 0.0, "rss": start_rss, "rows": 0, "added": 0, "file": 0},
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
        checked, faults = soak.final_check()
        for fault in faults:
            soak.errors[("final check", "mismatch", fault)] += 1

    print(f"\n{sum(counts.values()):,} operations in {elapsed:.1f} s")
    print(f"{'operation':<13}{'count':>10}{'per second':>12}{'mean ms':>10}")
    for kind in WEIGHTS:
        n = counts[kind]
        print(f"{kind:<13}{n:>10,}{n / elapsed:>12,.1f}{(busy[kind] / n * 1e3 if n else 0):>10.3f}")
    if soak.empty_builds:
        print(f"builds that found nothing pending: {soak.empty_builds:,}")
    print(checked)

    print(f"\n{'memory':<15}{'at s':>8}{'resident':>14}{'rows':>10}{'added':>10}{'file':>14}")
    for m in marks:
        print(f"{m['label']:<15}{m['t']:>8.1f}{mib(m['rss']):>14}{m['rows']:>10,}{m['added']:>10,}{mib(m['file']):>14}")
    label = {m["label"]: m for m in marks}
    if "after warm-up" in label:
        a, b = label["after warm-up"], label["end"]
        grown, rows_grown = b["rss"] - a["rss"], b["file"] - a["file"]
        print(f"after warm-up to end: resident {grown / 2**20:+,.1f} MiB, of which the added rows "
              f"(growth of the saved file) {rows_grown / 2**20:+,.1f} MiB, other {(grown - rows_grown) / 2**20:+,.1f} MiB")
        added = b["added"] - a["added"]
        per_row = f"{grown / added:+,.0f} bytes per added row" if added else "no rows added"
        print(f"resident after warm-up {mib(a['rss'])}, at the end {mib(b['rss'])}, "
              f"{added:,} rows added in between: {per_row}")
        if "end, trimmed" in label and added:
            print(f"  after returning freed memory: {(label['end, trimmed']['rss'] - a['rss']) / added:+,.0f} "
                  f"bytes per added row")
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
