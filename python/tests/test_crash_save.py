"""A process killed at any moment of a save leaves the old index or the new one at the path,
never a mixture, and no other file than its own temporary, named after the path.

A helper process holds two indexes A and B and, on request, forks a saver that writes
them over one path in turn until it is killed with SIGKILL at a random moment; after
each kill the path and the directory are examined."""

import os
import random
import re
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import korvane
from korvane import Korvane

DIM = 64
KILLS = 120  # per case
QUERY = np.random.default_rng(99).standard_normal(DIM).astype(np.float32)


def covered(seen):
    """Whether kills fell before and after a save's rename and inside its writes."""
    return seen["replaced"] > 0 and seen["unchanged"] > 0 and seen["partial temporary"] > 0


# Index kind, rows of A and of B, constructor arguments, kept vectors. BruteForce: 20,000
# and 19,000 rows (~0.88 MB). Hnsw: 5,000 and 4,500 nodes (~0.8 MB). IvfFlat: 18,000 and
# 17,000 rows in 64 lists (~0.8 MB). BruteForce keeping float16 vectors, whose file ends
# with them after the body: 4,600 and 4,300 rows (~0.8 MB).
PAIRS = {
    "brute_force": ("brute_force", (20_000, 19_000), {}, None),
    "hnsw": ("hnsw", (5_000, 4_500), {"hnsw_m": 16, "hnsw_ef_construction": 40}, None),
    "ivf_flat": ("ivf_flat", (18_000, 17_000), {"ivf_nlist": 64}, None),
    "kept_vectors": ("brute_force", (4_600, 4_300), {}, "float16"),
}

SAVER = """
    import os, pickle, sys, time
    from korvane import Korvane
    indexes = {"A": Korvane.load(sys.argv[1]), "B": Korvane.load(sys.argv[2])}
    target = sys.argv[3]

    def save_forever(first):
        order = (first, "B" if first == "A" else "A")
        i = 0
        while True:
            indexes[order[i % 2]].save(target)
            i += 1

    def median_seconds(call):
        times = []
        for i in range(10):
            start = time.perf_counter()
            call(indexes["AB"[i % 2]])
            times.append(time.perf_counter() - start)
        return sorted(times)[len(times) // 2]

    def save_seconds(directory):
        scratch = os.path.join(directory, f"timing.{os.getpid()}.krvn")
        try:
            return median_seconds(lambda index: index.save(scratch))
        finally:
            os.unlink(scratch)

    # How long one save takes here, and how long it spends writing: most of a save is
    # fsync, which costs next to nothing in memory (tmpfs); without one, serializing the
    # index in memory stands in for the writes.
    whole = save_seconds(os.path.dirname(target))
    try:
        writes = save_seconds("/dev/shm")
    except OSError:
        writes = median_seconds(pickle.dumps)
    print(whole, writes, flush=True)

    for line in sys.stdin:
        word, arg = line.split()
        if word == "go":
            started, ready = os.pipe()
            pid = os.fork()
            if pid == 0:
                try:
                    os.close(started)
                    os.write(ready, b"!")
                    os.close(ready)
                    save_forever(arg)
                finally:
                    os._exit(3)
            os.close(ready)
            # Answered once the saver is about to start its first save.
            os.read(started, 1)
            os.close(started)
            print(pid, flush=True)
        elif word == "reap":
            _, status = os.waitpid(int(arg), 0)
            print(status, flush=True)
"""


def build(kind, n, seed, extra, keep):
    index = Korvane(DIM, index_type=kind, **extra)
    if keep is not None:
        index.keep_vectors(keep)
    index.add(np.arange(n, dtype=np.uint64) * 3 + seed,
               np.random.default_rng(seed).standard_normal((n, DIM)).astype(np.float32))
    index.build()
    return index


class Saver:
    def __init__(self, a_path, b_path, target):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [os.path.dirname(korvane.__path__[0]),
                                                                         os.environ.get("PYTHONPATH")])))
        self.proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(SAVER), a_path, b_path, target],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
        self.save_seconds, self.write_seconds = map(float, self.reply().split())

    def reply(self):
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError(f"the saver process ended ({self.proc.wait(timeout=10)})")
        return line

    def ask(self, word, arg):
        self.proc.stdin.write(f"{word} {arg}\n")
        self.proc.stdin.flush()
        return int(self.reply())

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=30)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()


def is_temporary_of(name, target):
    """`name` is `{target}.{pid}.{n}.tmp`, the target's part cut short when the whole would
    not fit in 255 bytes; returns the pid."""
    match = re.fullmatch(r"(.+)\.(\d+)\.(\d+)\.tmp", name)
    assert match, name
    stem = match.group(1)
    assert stem == target or (target.startswith(stem) and len(name.encode()) == 255), name
    return int(match.group(2))


@pytest.mark.parametrize("pair, name", [
    ("brute_force", "index.krvn"),
    ("hnsw", "index.krvn"),
    ("ivf_flat", "index.krvn"),
    ("kept_vectors", "index.krvn"),
    ("brute_force", "n" * 255),  # the temporary's name keeps only a prefix of it
], ids=["brute_force", "hnsw", "ivf_flat", "kept_vectors", "brute_force-longest-name"])
def test_a_killed_save_leaves_the_old_or_the_new_index(tmp_path, pair, name):
    kind, (n_a, n_b), extra, keep = PAIRS[pair]
    source = tmp_path / "source"
    source.mkdir()
    expected = {}
    for label, n, seed in (("A", n_a, 1), ("B", n_b, 2)):
        index = build(kind, n, seed, extra, keep)
        path = source / f"{label}.krvn"
        index.save(str(path))
        expected[label] = (path.read_bytes(), len(index), index.search(QUERY, 10))
        assert Korvane.load(str(path)).kept_vectors == keep
    assert expected["A"][0] != expected["B"][0]

    work = tmp_path / "work"
    work.mkdir()
    target = work / name
    target.write_bytes(expected["A"][0])

    saver = Saver(str(source / "A.krvn"), str(source / "B.krvn"), str(target))
    rng = random.Random(20240607)
    on_disk = "A"
    pid = None
    seen = {"unchanged": 0, "replaced": 0, "no temporary": 0, "partial temporary": 0, "complete temporary": 0}
    try:
        kills = 0
        # Past KILLS, up to three times as many kills until some fell inside a save's
        # writes and some between saves (a loaded machine can shift the timing).
        while kills < KILLS or (kills < 3 * KILLS and not covered(seen)):
            kills += 1
            other = "B" if on_disk == "A" else "A"
            pid = saver.ask("go", other)
            # A third of the kills anywhere in the first two saves, the rest around the
            # writes of the first one.
            window = saver.save_seconds if rng.random() < 1 / 3 else saver.write_seconds
            time.sleep(rng.uniform(0.0, 2.0 * window))
            os.kill(pid, signal.SIGKILL)
            status = saver.ask("reap", pid)
            killed, pid = pid, None
            assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL, status

            data = target.read_bytes()
            now = next((label for label in expected if expected[label][0] == data), None)
            assert now is not None, f"the path holds neither index ({len(data)} bytes)"
            loaded = Korvane.load(str(target))
            assert (len(loaded), loaded.search(QUERY, 10)) == expected[now][1:]
            seen["unchanged" if now == on_disk else "replaced"] += 1
            on_disk = now

            leftovers = sorted(set(os.listdir(work)) - {target.name})
            assert len(leftovers) <= 1, leftovers
            if not leftovers:
                seen["no temporary"] += 1
            for left in leftovers:
                assert is_temporary_of(left, name) == killed
                partial = (work / left).read_bytes()
                # What the saver had written so far of one of the two indexes.
                assert any(full.startswith(partial) for full, _, _ in expected.values()), left
                complete = any(full == partial for full, _, _ in expected.values())
                seen["complete temporary" if complete else "partial temporary"] += 1
                (work / left).unlink()
    finally:
        if pid is not None:
            os.kill(pid, signal.SIGKILL)
        saver.close()

    print(f"{pair}: {kills} kills; a save takes {saver.save_seconds * 1e3:.2f} ms, its bytes "
          f"{saver.write_seconds * 1e3:.2f} ms; {seen}")
    assert seen["unchanged"] + seen["replaced"] == kills
    # The kills fell before, inside and between saves.
    assert covered(seen), seen
    assert os.listdir(work) == [target.name]
