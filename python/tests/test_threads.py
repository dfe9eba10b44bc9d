"""search_batch against search, and one index used from several Python threads at once."""
import _thread
import copy
import random
import re
import signal
import threading
import time
import traceback

import numpy as np
import pytest

from korvane import Korvane

DIM = 24
N = 400
NO_ID = 2**64 - 1
EVERYTHING = 2**64 - 1
INDEX_TYPES = ["brute_force", "ivf_flat", "hnsw"]
LAYOUTS = {"4bit": {}, "2bit": {"bit_width": 2}, "mixed": {"mixed_ratio": 0.5}}
METRICS = ["cosine", "dot", "l2"]
INDEX_KWARGS = {
    "brute_force": {},
    # Two of eight lists probed: asking for every vector leaves rows of different lengths.
    "ivf_flat": {"ivf_nlist": 8, "ivf_nprobe": 2},
    "hnsw": {"hnsw_m": 8, "hnsw_ef_construction": 64},
}


def gaussian(n, seed, dim=DIM):
    return np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32)


def make_index(index_type, metric="cosine", layout="4bit", vectors=None, ids=None):
    vectors = gaussian(N, 1) if vectors is None else vectors
    ids = np.arange(len(vectors), dtype=np.uint64) if ids is None else ids
    index = Korvane(vectors.shape[1], metric=metric, index_type=index_type, **LAYOUTS[layout],
                    **INDEX_KWARGS[index_type])
    index.add(ids, vectors)
    if index_type == "ivf_flat":
        index.build()
    return index


def row_by_row(index, queries, k, allowlist=None):
    """The (ids, scores) arrays that one search call per query gives, padded as a batch pads."""
    width = min(k, len(index))
    ids = np.full((len(queries), width), NO_ID, np.uint64)
    scores = np.full((len(queries), width), -np.inf, np.float32)
    for i, query in enumerate(queries):
        hits = index.search(query, k, allowlist)
        ids[i, :len(hits)] = [h["id"] for h in hits]
        scores[i, :len(hits)] = [h["score"] for h in hits]
    return ids, scores


def assert_same(batch, expected):
    ids, scores = batch
    assert ids.dtype == np.uint64 and scores.dtype == np.float32
    assert ids.shape == scores.shape == expected[0].shape
    np.testing.assert_array_equal(ids, expected[0])
    # Exactly the scores search gives: equal floats, -inf where padded.
    np.testing.assert_array_equal(scores, expected[1])
    assert np.array_equal(ids == NO_ID, np.isneginf(scores))


def padded_rows(ids):
    return int((ids == NO_ID).any(axis=1).sum())


# Queries: ten stored vectors (each finds itself) and twenty new ones.
QUERIES = np.vstack([gaussian(N, 1)[:10], gaussian(20, 2)])
# (k, allowlist, some rows must be padded); None: it depends on the index type (IvfFlat and
# Hnsw apply the allowlist to the k they found, brute force to every row).
CASES = {
    "top10": (10, None, False),
    "everything": (EVERYTHING, None, None),
    "half allowed": (10, np.arange(0, N, 2, dtype=np.uint64), None),
    # Six known ids and two unknown ones: every row holds at most six hits of ten.
    "six allowed": (10, [5, 17, 99, 230, 231, 399, 10_000, NO_ID], True),
    "allowed, everything": (EVERYTHING, range(100, 300), True),
}


@pytest.fixture(scope="module")
def indexes():
    """Indexes over the same vectors, made on first use."""
    made = {}

    def get(index_type, metric="cosine", layout="4bit"):
        key = (index_type, metric, layout)
        if key not in made:
            made[key] = make_index(index_type, metric, layout)
        return made[key]

    return get


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("index_type", INDEX_TYPES)
def test_batch_rows_equal_single_searches(indexes, index_type, layout, metric, case, threads):
    index = indexes(index_type, metric, layout)
    k, allowlist, padded = CASES[case]
    expected = row_by_row(index, QUERIES, k, allowlist)
    assert expected[0].shape == (len(QUERIES), min(k, N))
    if padded is not None:
        assert (padded_rows(expected[0]) > 0) == padded
    if index_type == "ivf_flat" and case == "everything":
        # Each query reads its own two lists: rows of different lengths.
        assert len(set((expected[0] != NO_ID).sum(axis=1).tolist())) > 1
    assert_same(index.search_batch(QUERIES, k, allowlist, threads=threads), expected)
    # Keyword arguments, and the default thread count.
    assert_same(index.search_batch(queries=QUERIES, k=k, allowlist=allowlist), expected)


FORMS = {
    "list of lists": lambda q: q.tolist(),
    "tuple of float32 rows": lambda q: tuple(q),
    "float64 matrix": lambda q: q.astype(np.float64),
    "Fortran-order float32": lambda q: np.asfortranarray(q),
    "int matrix": lambda q: (q * 10).astype(np.int32),
}


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("index_type", INDEX_TYPES)
def test_query_forms(indexes, index_type, form):
    index = indexes(index_type)
    queries = FORMS[form](QUERIES)
    # search takes a one-dimensional float32 array only when it is contiguous.
    rows = [np.ascontiguousarray(q, np.float32) for q in queries]
    assert_same(index.search_batch(queries, 7, threads=2), row_by_row(index, rows, 7))


@pytest.mark.parametrize("k, width", [(0, 0), (5, 5), (EVERYTHING, N)])
@pytest.mark.parametrize("queries", [[], (), np.zeros((0, DIM), np.float32), np.zeros((0, DIM))],
                         ids=["list", "tuple", "float32", "float64"])
def test_zero_queries(indexes, queries, k, width):
    for index in (indexes("brute_force"), indexes("hnsw")):
        ids, scores = index.search_batch(queries, k, threads=2)
        assert ids.shape == scores.shape == (0, width)
        assert ids.dtype == np.uint64 and scores.dtype == np.float32


def ivf_not_built():
    index = Korvane(DIM, index_type="ivf_flat")
    index.add(range(50), gaussian(50, 3))
    return index


EMPTY_OR_UNBUILT = {
    "empty brute_force": lambda: Korvane(DIM),
    "empty ivf_flat": lambda: Korvane(DIM, index_type="ivf_flat"),
    "empty hnsw": lambda: Korvane(DIM, index_type="hnsw"),
    "ivf_flat not built": ivf_not_built,
}


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("state", EMPTY_OR_UNBUILT)
def test_search_errors_are_raised_alike(state, threads):
    index = EMPTY_OR_UNBUILT[state]()
    queries = gaussian(5, 4)
    with pytest.raises(RuntimeError) as single:
        index.search(queries[0], 3)
    with pytest.raises(RuntimeError) as batch:
        index.search_batch(queries, 3, threads=threads)
    assert str(batch.value) == str(single.value)
    assert str(single.value) == ("call build() before search() for IvfFlat indexes" if state == "ivf_flat not built"
                                 else "index is empty")
    # No query, nothing searched, nothing to fail.
    ids, _ = index.search_batch(queries[:0], 3, threads=threads)
    assert ids.shape == (0, min(3, len(index)))


@pytest.mark.parametrize("make", [lambda: Korvane(DIM), ivf_not_built, lambda: make_index("hnsw")],
                         ids=["empty", "ivf_flat not built", "filled hnsw"])
@pytest.mark.parametrize("queries, got", [
    (np.zeros((3, DIM - 1), np.float32), DIM - 1),
    (np.zeros((3, DIM + 5)), DIM + 5),
    ([[0.5] * DIM, [0.5] * (DIM - 2), [0.5] * DIM], DIM - 2),
    ([[0.5] * DIM, [0.5] * DIM, [0.5] * (DIM + 1)], DIM + 1),
    ([[]], 0),
], ids=["narrow float32", "wide float64", "short second row", "long last row", "empty row"])
def test_query_width_is_checked_before_any_search(make, queries, got):
    index = make()
    with pytest.raises(ValueError) as info:
        index.search_batch(queries, 3)
    assert str(info.value) == f"query dimension mismatch: expected {DIM}, got {got}"


@pytest.mark.parametrize("kwargs", [
    {"k": -1}, {"k": 2**64}, {"k": 2.0}, {"k": 2, "allowlist": [-1]}, {"k": 2, "allowlist": "12"},
    {"k": 2, "allowlist": [1.5]}, {"k": 2, "allowlist": 12},
])
def test_argument_errors_match_search(indexes, kwargs):
    index = indexes("brute_force")
    with pytest.raises(Exception) as single:
        index.search(QUERIES[0], **kwargs)
    with pytest.raises(Exception) as batch:
        index.search_batch(QUERIES, **kwargs)
    assert type(batch.value) is type(single.value)
    assert str(batch.value) == str(single.value)


@pytest.mark.parametrize("call", ["search_batch", "add", "build", "remove"])
@pytest.mark.parametrize("kwargs, exc, message", [
    ({"threads": -1}, OverflowError, None), ({"threads": 2**64}, OverflowError, None),
    ({"threads": 1.5}, TypeError, "argument 'threads': "), ({"threads": "2"}, TypeError, "argument 'threads': "),
    ({"progress": 5}, TypeError, "argument 'progress': 'int' object is not callable"),
])
def test_thread_count_and_progress_errors(call, kwargs, exc, message):
    index = ivf_not_built()
    before = index.__reduce__()
    if call == "search_batch" and "progress" in kwargs:
        kwargs, exc, message = {"progress": None}, TypeError, None  # search_batch has none
    with pytest.raises(exc) as info:
        {"search_batch": lambda: index.search_batch(QUERIES, 3, **kwargs),
         "add": lambda: index.add([1], QUERIES[:1], **kwargs), "build": lambda: index.build(**kwargs),
         "remove": lambda: index.remove([1], **kwargs)}[call]()
    if message is not None:
        assert str(info.value).startswith(message)
    assert index.__reduce__() == before


@pytest.mark.parametrize("threads", [3, 64, 10**6])
def test_more_threads_than_queries_or_cores(indexes, threads):
    index = indexes("hnsw")
    assert_same(index.search_batch(QUERIES[:5], 10, threads=threads), row_by_row(index, QUERIES[:5], 10))


# ---- other threads ------------------------------------------------------------------------------

def queries_for(index, seconds, threads=1, seed=7):
    """Queries enough for one batch on `index` to last about `seconds` here and now."""
    sample = gaussian(20, 6, dim=index.dim)
    index.search_batch(sample, 10, threads=threads)
    t0 = time.perf_counter()
    index.search_batch(sample, 10, threads=threads)
    count = max(100, int(seconds * len(sample) / (time.perf_counter() - t0)))
    return gaussian(count, seed, dim=index.dim)


@pytest.fixture(scope="module")
def big():
    """A brute-force index large enough for a batch to take a while."""
    vectors = gaussian(20_000, 5, dim=128)
    index = Korvane(128)
    index.add(np.arange(len(vectors), dtype=np.uint64), vectors)
    return index


class Ticker(threading.Thread):
    """Notes the time about every millisecond until stopped."""

    def __init__(self):
        super().__init__(daemon=True)
        self.ticks = []
        self.stop = threading.Event()

    def run(self):
        while not self.stop.is_set():
            self.ticks.append(time.perf_counter())
            time.sleep(0.001)


@pytest.mark.parametrize("threads", [1, 2])
def test_other_threads_run_during_a_batch(big, threads):
    index = big
    queries = queries_for(index, 0.5, threads)
    ticker = Ticker()
    ticker.start()
    while not ticker.ticks:
        time.sleep(0.001)
    # A busy machine may run the batch faster than it did a moment ago: it must last a while.
    for _ in range(4):
        t0 = time.perf_counter()
        index.search_batch(queries, 10, threads=threads)
        t1 = time.perf_counter()
        if t1 - t0 > 0.3:
            break
        queries = np.vstack([queries, queries])
    ticker.stop.set()
    ticker.join()
    assert t1 - t0 > 0.3
    # Held for the whole call, the interpreter lock would leave no tick inside it; a tick
    # comes about every millisecond, fewer when the machine is busy.
    inside = [t for t in ticker.ticks if t0 + 0.05 < t < t1 - 0.05]
    assert len(inside) >= 20, (len(inside), t1 - t0)


@pytest.mark.parametrize("index_type", INDEX_TYPES)
def test_concurrent_batches_answer_as_serial_ones(indexes, index_type):
    index = indexes(index_type, "l2", "mixed")
    plans = [(gaussian(60, 10 + t), k, allow) for t, (k, allow) in enumerate(
        [(10, None), (EVERYTHING, None), (5, range(0, N, 3)), (20, [1, 2, 3, NO_ID])])]
    expected = [row_by_row(index, q, k, allow) for q, k, allow in plans]
    barrier = threading.Barrier(len(plans))
    results = [[] for _ in plans]
    errors = []

    def worker(t):
        try:
            queries, k, allow = plans[t]
            barrier.wait()
            for round_ in range(4):
                results[t].append(index.search_batch(queries, k, allow, threads=1 + (t + round_) % 2))
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    workers = [threading.Thread(target=worker, args=(t,), daemon=True) for t in range(len(plans))]
    for w in workers:
        w.start()
    for w in workers:
        w.join(60)
    assert not any(w.is_alive() for w in workers)
    assert errors == []
    for got, want in zip(results, expected):
        assert len(got) == 4
        for batch in got:
            assert_same(batch, want)


class SignalledRows:
    """Query rows; the moment the last one has been read, `done` is set."""

    def __init__(self, rows):
        self.rows = rows
        self.done = threading.Event()

    def __len__(self):
        return len(self.rows)

    def __getitem__(self, i):
        return self.rows[i]

    def __iter__(self):
        yield from self.rows
        self.done.set()


WAITING_ADD = {
    "brute_force": (10_000, {}),
    "ivf_flat": (10_000, {"ivf_nlist": 4, "ivf_nprobe": 4}),
    # A wide beam makes each query slow enough on a small graph.
    "hnsw": (2_000, {"hnsw_m": 8, "hnsw_ef_construction": 32, "hnsw_ef_search": 500}),
}


@pytest.mark.parametrize("index_type", INDEX_TYPES)
def test_an_add_waits_for_a_running_batch(index_type):
    n, kwargs = WAITING_ADD[index_type]
    index = Korvane(128, index_type=index_type, **kwargs)
    index.add(np.arange(n, dtype=np.uint64), gaussian(n, 5, dim=128))
    if index_type == "ivf_flat":
        index.build()
    queries = queries_for(index, 0.3)
    old = row_by_row(index, queries[:20], 10)
    rows = SignalledRows(list(queries))
    outcome = {}

    def run_batch():
        outcome["batch"] = index.search_batch(rows, 10, threads=1)

    def run_add():
        # The first queries themselves, under new ids: any later search finds them first.
        index.add(np.arange(10**6, 10**6 + 20, dtype=np.uint64), queries[:20])
        outcome["added"] = True

    searcher = threading.Thread(target=run_batch, daemon=True)
    adder = threading.Thread(target=run_add, daemon=True)
    searcher.start()
    assert rows.done.wait(30)
    adder.start()
    time.sleep(0.05)
    # The batch is still running, and the add is waiting for it.
    assert searcher.is_alive() and adder.is_alive() and "added" not in outcome
    searcher.join(60)
    adder.join(60)
    assert not searcher.is_alive() and not adder.is_alive() and outcome["added"]
    ids, scores = outcome["batch"]
    assert ids.shape == (len(queries), 10)
    assert_same((ids[:20], scores[:20]), old)
    assert (ids < n).all()
    if index_type == "ivf_flat":
        index.build()  # vectors added to a built IvfFlat index count from the next build
    assert len(index) == n + 20
    found = index.search_batch(queries[:20], 1)[0][:, 0]
    np.testing.assert_array_equal(found, np.arange(10**6, 10**6 + 20, dtype=np.uint64))


# ---- adds and builds on threads, watched and stopped ------------------------------------------

def state(index):
    return index.__reduce__()[2][0]


def misaligned(m):
    view = np.zeros(m.nbytes + 1, np.uint8)[1:].view(np.float32).reshape(m.shape)
    view[...] = m
    return view


@pytest.mark.parametrize("index_type", INDEX_TYPES)
def test_adds_and_builds_store_the_same_bytes_on_any_number_of_threads(index_type):
    """Every path an add or build takes: rows in several chunks, read in place, misaligned and
    as lists, kept vectors, a standardization; first builds, builds that cluster again and
    builds that only fill the lists."""
    rows = gaussian(4700, 60, dim=300) * 3 + 1

    def run(threads):
        index = Korvane(300, metric="l2", index_type=index_type, mixed_ratio=0.5, ivf_nlist=8, hnsw_m=4,
                        hnsw_ef_construction=12)
        index.fit(rows[:100])
        index.keep_vectors("int8")
        steps = [rows[:5], rows[5:4500], misaligned(rows[4500:4600]), rows[4600:].tolist()]
        for i, step in enumerate(steps):
            index.add(range(i * 10_000, i * 10_000 + len(step)), step, threads=threads)
            if i < 2:
                index.build(threads=threads)
        index.build(threads=threads)
        return state(index)

    if index_type == "hnsw":  # a threaded graph is its own, the same on any number of threads above one
        assert run(2) == run(3) != run(1)
    else:
        assert run(1) == run(2) == run(3)


LONG = {  # (index arguments, rows, dim): an Hnsw add and an IvfFlat build that take a good part of a second
    "hnsw": ({"index_type": "hnsw", "hnsw_m": 8, "hnsw_ef_construction": 64}, 5000, 64),
    "brute_force": ({}, 20_000, 64),
    "ivf_flat": ({"index_type": "ivf_flat", "ivf_nlist": 128}, 20_000, 128),
}


def long_add(index_type):
    kwargs, n, dim = LONG[index_type]
    return Korvane(dim, **kwargs), np.arange(n, dtype=np.uint64), gaussian(n, 61, dim=dim)


@pytest.mark.parametrize("index_type", INDEX_TYPES)
def test_progress_counts_to_the_total_while_other_threads_run(index_type, capsys):
    index, ids, vectors = long_add(index_type)
    calls = []
    ticker = Ticker()
    ticker.start()
    t0 = time.perf_counter()
    index.add(ids, vectors, threads=2, progress=lambda done, total: calls.append((done, total, time.perf_counter())))
    t1 = time.perf_counter()
    ticker.stop.set()
    ticker.join()
    assert calls[-1][:2] == (len(ids), len(ids)) and {total for _, total, _ in calls} == {len(ids)}
    assert [d for d, _, _ in calls] == sorted(d for d, _, _ in calls)
    times = [t0] + [t for _, _, t in calls]
    assert all(b - a > 0.08 for a, b in zip(times, times[1:-1]))  # at most one a tick, and the last
    if index_type == "hnsw":
        assert len(calls) >= 2
        inside = [t for t in ticker.ticks if t0 + 0.05 < t < t1 - 0.05]
        assert len(inside) >= 20, (len(inside), t1 - t0)
    if index_type == "ivf_flat":
        index.build(threads=1, progress=True)
        bar = capsys.readouterr().err
        assert bar.count("\r") >= 2 and bar.count("\n") == 1, bar
        total = len(ids) * 26  # each vector assigned at most once in each of 25 rounds and once more
        assert re.fullmatch(rf"building 100%\|\u2588{{20}}\| {total}/{total} \[\d\d:\d\d<\d\d:\d\d\]\n",
                            bar.split("\r")[-1]), bar


def stopped(stop, call, calls=None):
    """Runs call(progress) and stops it: by an exception from progress (its reports go to
    `calls`), or by Ctrl-C 0.05 s in, a bar drawn. The call must raise what stopped it."""
    if stop == "progress":
        def progress(done, total):
            if calls is not None:
                calls.append((done, total))
            raise ZeroDivisionError("enough")

        with pytest.raises(ZeroDivisionError, match="enough"):
            call(progress)
        return
    # A run started in the background inherits SIGINT ignored, which interrupt_main would
    # then leave alone: the test uses Python's own handler.
    before = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        timer = threading.Timer(0.05, _thread.interrupt_main)
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            call(True)
            for _ in range(500):  # the call ended first: the signal comes here
                time.sleep(0.01)
        timer.join()
    finally:
        signal.signal(signal.SIGINT, before)


@pytest.mark.parametrize("stop", ["progress", "signal"])
@pytest.mark.parametrize("index_type", INDEX_TYPES)
def test_a_stopped_add_keeps_the_rows_before_the_stop(index_type, stop, capsys):
    """Ctrl-C or an exception from progress ends an add at a clean point: the rows before it
    stay added, and adding the others gives the index one add would have given. An add
    that ends before the stop keeps every row."""
    index, ids, vectors = long_add(index_type)
    stopped(stop, lambda progress: index.add(ids, vectors, progress=progress))
    kept = len(index)
    if stop == "signal" and kept:
        bar = capsys.readouterr().err.split("\r")[-1]  # it ends at the rows kept
        assert bar.endswith("\n") and f"| {kept}/{len(ids)} [" in bar, bar
    # The quick adds usually end first (always, but under sanitizers that slow them).
    assert 0 < kept < len(ids) if index_type == "hnsw" else kept <= len(ids)
    if kept < len(ids):
        if index_type == "hnsw":
            assert index.search(vectors[0], 1)[0]["id"] == 0
        index.add(ids[kept:], vectors[kept:])
    twin, _, _ = long_add(index_type)
    twin.add(ids, vectors)
    assert state(index) == state(twin)


def test_a_stopped_build_leaves_the_index_as_it_was():
    index, ids, vectors = long_add("ivf_flat")
    index.add(ids[:10], vectors[:10])
    index.build()
    index.add(ids[10:], vectors[10:])
    before = state(index), index.search_batch(vectors[:50], 5)

    def progress(done, total):
        assert done < total
        raise ZeroDivisionError("enough")

    with pytest.raises(ZeroDivisionError, match="enough"):
        index.build(threads=1, progress=progress)
    after = state(index), index.search_batch(vectors[:50], 5)
    assert after[0] == before[0]
    np.testing.assert_array_equal(after[1][0], before[1][0])
    index.build()
    twin, _, _ = long_add("ivf_flat")
    twin.add(ids[:10], vectors[:10])
    twin.build()
    twin.add(ids[10:], vectors[10:])
    twin.build()
    assert state(index) == state(twin)


@pytest.fixture(scope="module")
def marked_graph():
    """A graph, its vectors and a third of its ids, whose removal repairs the graph for a
    good part of a second."""
    n, dim = 40_000, 16
    index = Korvane(dim, index_type="hnsw", hnsw_m=16, hnsw_ef_construction=16)
    vectors = gaussian(n, 62, dim=dim)
    index.add(np.arange(n, dtype=np.uint64), vectors, threads=2)
    return index, vectors, np.arange(0, n, 3, dtype=np.uint64)


def test_a_remove_repairs_the_same_graph_on_any_number_of_threads(marked_graph):
    index, _, gone = marked_graph
    states = []
    for threads in (1, 2, 3):
        twin = copy.deepcopy(index)
        assert twin.remove(gone, threads=threads) == len(gone)
        states.append(state(twin))
    assert states[0] == states[1] == states[2]


@pytest.mark.parametrize("stop", ["progress", "signal"])
def test_a_stopped_remove_has_removed_every_row_it_names(marked_graph, stop):
    """Ctrl-C or an exception from progress stops a graph's repair between groups of lists:
    every row named is gone all the same, the graph answers around them, and the next
    remove finishes the repair."""
    original, vectors, gone = marked_graph
    index = copy.deepcopy(original)
    calls = []
    stopped(stop, lambda progress: index.remove(gone, progress=progress), calls)
    assert len(index) == len(vectors) - len(gone)
    assert not any(int(i) in index for i in gone[:100]) and all(int(i) + 1 in index for i in gone[:100])
    with pytest.raises(KeyError):
        index.get(gone[-1:])
    live = np.setdiff1d(np.arange(len(vectors)), gone)[:300]
    found, _ = index.search_batch(vectors[live], 10)
    assert not np.isin(found, gone).any() and (found[:, 0] == live).mean() > 0.95
    rest, after = [], []
    assert index.remove([], progress=lambda done, total: rest.append((done, total))) == 0
    assert rest[-1][0] == rest[-1][1] and (rest[-1][1] > 0 or not calls or calls[0][0] == calls[0][1])
    index.remove([], progress=lambda done, total: after.append((done, total)))
    assert after == [(0, 0)]  # nothing left to repair
    found, _ = index.search_batch(vectors[live], 10)
    assert (found[:, 0] == live).mean() > 0.95


# ---- Python code inside a call ----------------------------------------------------------------

class Num:
    """A number known to the interpreter only through __float__ / __index__; `action`
    runs each time it is read."""

    def __init__(self, value, action=None):
        self.value = value
        self.action = action

    def __float__(self):
        if self.action is not None:
            self.action()
        return float(self.value)

    def __index__(self):
        if self.action is not None:
            self.action()
        return int(self.value)


class Lazy:
    """A sequence whose items come from a generator when it is iterated."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for item in self.items:
            yield item


def lazy_rows(matrix, action=None):
    return Lazy(Lazy(Num(float(x), action) for x in row) for row in matrix)


def lazy_ids(ids, action=None):
    return Lazy(Num(int(i), action) for i in ids)


def small_index():
    index = Korvane(DIM)
    index.add(range(10), gaussian(10, 20))
    return index


ROW = gaussian(1, 21)[0]
# Calls made from inside a conversion of the outer call, on the same index.
INNER = {
    "add": lambda ix: ix.add([99], [ROW]),
    "search": lambda ix: ix.search(ROW, 2),
    "search_batch": lambda ix: ix.search_batch([ROW], 2, threads=2),
    "len": len,
    "in": lambda ix: 3 in ix,
    "get": lambda ix: ix.get([3]),
    "remove": lambda ix: ix.remove([3]),
}
OUTER = {
    "search_batch/queries": ("shared", lambda ix, cb: ix.search_batch(lazy_rows([ROW, ROW], cb), 3)),
    "search_batch/k": ("shared", lambda ix, cb: ix.search_batch([ROW], Num(3, cb))),
    "search_batch/allowlist": ("shared", lambda ix, cb: ix.search_batch([ROW], 3, lazy_ids([1, 2], cb))),
    "search_batch/threads": ("shared", lambda ix, cb: ix.search_batch([ROW], 3, threads=Num(2, cb))),
    "add/vectors": ("exclusive", lambda ix, cb: ix.add([50], lazy_rows([ROW], cb))),
    "add/ids": ("exclusive", lambda ix, cb: ix.add(lazy_ids([50], cb), [ROW])),
    "update/vectors": ("exclusive", lambda ix, cb: ix.update([50], lazy_rows([ROW], cb))),
    "remove/ids": ("exclusive", lambda ix, cb: ix.remove(lazy_ids([3], cb))),
    "get/ids": ("shared", lambda ix, cb: ix.get(lazy_ids([3], cb))),
}


@pytest.mark.parametrize("inner", INNER)
@pytest.mark.parametrize("outer", OUTER)
def test_re_entry_from_the_same_thread(outer, inner):
    index = small_index()
    use, call = OUTER[outer]
    writes = inner in ("add", "remove")
    if use == "exclusive":
        message = "Already borrowed" if writes else "Already mutably borrowed"
    else:
        message = "Already borrowed" if writes else None  # reads nest
    if message is None:
        call(index, lambda: INNER[inner](index))
    else:
        with pytest.raises(RuntimeError) as info:
            call(index, lambda: INNER[inner](index))
        assert str(info.value) == message
    assert len(index) == {"add": 11, "remove": 9}.get(outer.split("/")[0], 10) if message is None else 10
    # Released on every path.
    index.add([7000], [ROW])
    assert index.search_batch([ROW], 1)[0][0, 0] == 7000


HAMMER_SECONDS = 10.0
HAMMER_DIM = 16


def hammer_indexes():
    return {
        "brute_force": Korvane(HAMMER_DIM, metric="l2"),
        "ivf_flat": Korvane(HAMMER_DIM, index_type="ivf_flat", ivf_nlist=8, ivf_nprobe=3),
        "hnsw": Korvane(HAMMER_DIM, metric="dot", index_type="hnsw", hnsw_m=8, hnsw_ef_construction=32),
    }


def replay(log):
    indexes = hammer_indexes()
    for op, name, ids, vectors in log:
        if op == "add":
            indexes[name].add(ids, vectors)
        elif op == "update":
            indexes[name].update(ids, vectors)
        elif op == "remove":
            indexes[name].remove(ids)
        else:
            indexes[name].build()
    return indexes


def test_one_writer_and_readers_on_shared_indexes():
    """A writer adds (Python objects, read through generators) and builds while readers
    search the same indexes with Python-level inputs too; re-entry from either side still
    raises its own error, and nothing else goes wrong."""
    indexes = hammer_indexes()
    log = []  # what the writer did, in order, with the float32 values it passed
    rng = np.random.default_rng(30)

    pending = set()  # IvfFlat counts its new vectors from the next build; a build of none fails

    def write(name, ids, vectors):
        indexes[name].add(lazy_ids(ids), lazy_rows(vectors))
        log.append(("add", name, ids, vectors))
        pending.add(name)

    def build(name):
        indexes[name].build()
        log.append(("build", name, None, None))
        pending.discard(name)

    for name in indexes:
        write(name, list(range(50)), rng.standard_normal((50, HAMMER_DIM)).astype(np.float32))
    build("ivf_flat")
    next_id = [50]
    stop = threading.Event()
    errors = []
    counts = {"writes": 0, "reads": 0, "refused re-entries": 0}

    def expect_refusal(call, message):
        try:
            call()
        except RuntimeError as e:
            if str(e) != message:
                raise
            counts["refused re-entries"] += 1
        else:
            raise AssertionError(f"re-entry was not refused with {message!r}")

    def writer():
        wrng = np.random.default_rng(31)
        step = 0
        try:
            while not stop.is_set():
                step += 1
                name = list(indexes)[step % 3]
                index = indexes[name]
                if step % 25 == 0:
                    before = len(index)
                    row = ROW[:HAMMER_DIM]
                    searching = lazy_rows([row], lambda: index.search_batch([row], 1))
                    expect_refusal(lambda: index.add([1], searching), "Already mutably borrowed")
                    assert len(index) == before
                elif name == "ivf_flat" and step % 40 == 1 and name in pending:
                    build(name)
                elif step % 7 == 3:
                    # Now and then a third of the ids at once: a graph repairs itself.
                    ids = [int(i) for i in wrng.integers(0, next_id[0], next_id[0] // 3 if step % 5 == 0 else 3)]
                    if step % 2:
                        index.remove(ids, threads=step % 3)
                        log.append(("remove", name, ids, None))
                    else:
                        vectors = wrng.standard_normal((len(ids), HAMMER_DIM)).astype(np.float32)
                        index.update(ids, vectors)
                        log.append(("update", name, ids, vectors))
                        pending.add(name)
                else:
                    n = int(wrng.integers(1, 5))
                    ids = list(range(next_id[0], next_id[0] + n))
                    next_id[0] += n  # before the add: a reader may find the new ids at once
                    write(name, ids, wrng.standard_normal((n, HAMMER_DIM)).astype(np.float32))
                    counts["writes"] += 1
        except BaseException:  # noqa: BLE001 - reported below
            errors.append(traceback.format_exc())
            stop.set()

    def reader(seed):
        rrng = random.Random(seed)
        queries = np.random.default_rng(seed).standard_normal((8, HAMMER_DIM)).astype(np.float32)
        try:
            while not stop.is_set():
                name = rrng.choice(list(indexes))
                index = indexes[name]
                choice = rrng.randrange(8)
                known = next_id[0]
                if choice == 0:
                    hits = index.search(Lazy(Num(float(x)) for x in queries[0]), 5,
                                        lazy_ids(range(0, known, 2)) if rrng.random() < 0.5 else None)
                    assert all(h["id"] < next_id[0] for h in hits)
                elif choice in (1, 2):
                    k = rrng.choice([1, 5, 40])
                    allow = lazy_ids(rrng.sample(range(known), 10)) if choice == 2 else None
                    n_before = len(index)
                    ids, scores = index.search_batch(lazy_rows(queries[:4]), k, allow, threads=rrng.choice([0, 1, 2]))
                    n_after = len(index)
                    width = ids.shape[1]
                    assert ids.shape == scores.shape == (4, width) and min(k, n_before, n_after) <= width <= min(k, max(n_before, n_after))
                    found = ids != NO_ID
                    assert (ids[found] < next_id[0]).all()
                    for row, mask in zip(scores, found):
                        assert (np.diff(row[mask]) <= 0).all()
                elif choice == 3:
                    index.search_batch(queries, 3, threads=2)
                elif choice == 6:
                    # The first look-up makes the id map, maybe in several readers at once.
                    assert (rrng.randrange(known) in index) in (True, False)
                    assert (-1 in index) is False
                elif choice == 7:
                    try:
                        assert index.get([rrng.randrange(known)]).shape == (1, HAMMER_DIM)
                    except KeyError:
                        pass  # removed, or not yet built into an IvfFlat index
                elif choice == 4:
                    # A read nested inside a read of the same thread goes on even while the
                    # writer waits for the outer one.
                    index.search_batch(lazy_rows(queries[:2], lambda: index.search(queries[0], 1)), 3)
                else:
                    adding = lazy_rows(queries[:1], lambda: index.add([1], [queries[0]]))
                    expect_refusal(lambda: index.search_batch(adding, 3), "Already borrowed")
                counts["reads"] += 1
        except BaseException:  # noqa: BLE001 - reported below
            errors.append(traceback.format_exc())
            stop.set()

    threads = [threading.Thread(target=writer, daemon=True)]
    threads += [threading.Thread(target=reader, args=(seed,), daemon=True) for seed in (1, 2, 3)]
    for t in threads:
        t.start()
    stop.wait(HAMMER_SECONDS)
    stop.set()
    for t in threads:
        t.join(30)
    assert not any(t.is_alive() for t in threads), "a thread is stuck"
    assert errors == [], errors
    assert counts["writes"] > 100 and counts["reads"] > 100 and counts["refused re-entries"] > 10, counts

    # The same adds and builds, made serially, give the same indexes.
    serial = replay(log)
    queries = np.random.default_rng(40).standard_normal((30, HAMMER_DIM)).astype(np.float32)
    allow = list(range(0, next_id[0], 3))
    for name, index in indexes.items():
        assert len(index) == len(serial[name])
        for k, allowlist in ((10, None), (25, allow)):
            assert_same(index.search_batch(queries, k, allowlist), serial[name].search_batch(queries, k, allowlist))


# ---- searches during long writes ----------------------------------------------------------

# (index arguments, dim, rows before, rows the long write adds): writes of many units.
LIVE = {
    "brute_force": ({}, 1000, 0, 12_000),  # chunks of 1,024 rows
    "ivf_flat": ({"index_type": "ivf_flat", "ivf_nlist": 64, "ivf_nprobe": 64}, 64, 40, 20_000),
    "hnsw": ({"index_type": "hnsw", "hnsw_m": 6, "hnsw_ef_construction": 24}, 32, 100, 3_000),
}


@pytest.mark.parametrize("index_type", INDEX_TYPES)
def test_searches_go_on_during_long_writes_and_see_whole_units(index_type):
    """A reader searches while a long write runs (an add; for IvfFlat the build that
    clusters again): it is let in long before the write ends, and each answer is that of
    the index at a unit boundary: a prefix of whole rows. A remove that returned is seen by
    every later search. The index ends as the same writes without readers leave it."""
    kwargs, dim, before, n = LIVE[index_type]
    rows = gaussian(before + n, 70, dim=dim)
    queries = rows[:: max(1, (before + n) // 16)][:16] + np.float32(0.01)
    ids = np.arange(before + n, dtype=np.uint64)

    def fresh():
        index = Korvane(dim, metric="dot", **kwargs)
        if before:
            index.add(ids[:before], rows[:before])
            index.build()
        return index

    def write(index):
        index.add(ids[before:], rows[before:], threads=2)
        if index_type == "ivf_flat":
            index.build(threads=1)

    index, twin = fresh(), fresh()
    everything = before + n
    old = [index.search(q, everything) for q in queries] if index_type == "ivf_flat" else None
    seen, stop, errors = [], threading.Event(), []
    removing, removed = threading.Event(), threading.Event()

    def reader():
        try:
            i = 0
            while not stop.is_set():
                after_remove = removed.is_set()
                start = time.perf_counter()
                try:
                    hits = index.search(queries[i % len(queries)], everything)
                except RuntimeError as e:  # the prefix of no rows
                    assert str(e) == "index is empty"
                    hits = []
                end = time.perf_counter()
                count = len(index)
                if i == 3:
                    int(ids[-1]) in index  # noqa: B015 - makes the id map during the write
                seen.append((i % len(queries), hits, start, end, after_remove, None if removing.is_set() else count))
                i += 1
        except BaseException:  # noqa: BLE001 - reported below
            errors.append(traceback.format_exc())

    thread = threading.Thread(target=reader, daemon=True)
    thread.start()
    while not seen and thread.is_alive():
        time.sleep(0.001)
    began = time.perf_counter()
    write(index)
    ended = time.perf_counter()
    removing.set()
    index.remove(ids[:5])
    removed.set()
    time.sleep(0.05)
    stop.set()
    thread.join(30)
    assert errors == [] and not thread.is_alive(), errors
    write(twin)
    # The scores each row has once written whole (a beam as wide as the graph finds all).
    ef = twin.ef_search
    if index_type == "hnsw":
        twin.set_ef_search(everything)
    answers = [twin.search(q, everything) for q in queries]
    if index_type == "hnsw":
        twin.set_ef_search(ef)
    final = [{h["id"]: h["score"] for h in a} for a in answers]
    twin.remove(ids[:5])
    assert state(index) == state(twin)  # readers change nothing
    # The id map a reader made during the write knows where every row went.
    np.testing.assert_array_equal(index.get(ids[5:300]), twin.get(ids[5:300]))

    during = [s for s in seen if began < s[2] and s[3] < ended]
    assert len(during) >= 2, (len(during), ended - began)
    for q, hits, _, end, after_remove, count in seen:
        got = [h["id"] for h in hits]
        if after_remove:
            assert not set(got) & set(range(5))
        if end > ended or count is None:  # (maybe after the remove)
            continue
        if index_type == "ivf_flat":
            # The lists as they stood, or as the build left them: nothing in between.
            assert hits == old[q] or hits == answers[q]
            continue
        # Whole rows only (a graph may leave a node out of every beam).
        assert all(h["score"] == final[q][h["id"]] for h in hits if h["id"] in final[q] or index_type != "hnsw")
        if index_type == "brute_force":
            # Every row of a prefix, in whole chunks.
            m = len(got)
            assert sorted(got) == list(range(m)) and (m % 1024 == 0 or m == everything) and m <= count
        else:
            assert max(got, default=-1) < count
