"""The results page: runs the comparisons a user looks at first and writes Markdown tables and
PNG plots under docs/results/ (what `make bench` runs), with every measurement in raw.json
beside them.

1. Recall@10 against queries/s, per index type, beside the peers that are importable: korvane
   BruteForce, IvfFlat over nprobe and Hnsw over ef_search (on its 4-bit codes, and re-scored
   from float16 kept vectors); faiss-cpu IndexFlat, IndexScalarQuantizer (4 and 8 bit),
   IndexPQFastScan (one 4-bit sub-quantizer per dimension), IndexIVFScalarQuantizer (4-bit,
   the same nlist), IndexHNSWFlat and IndexHNSWSQ (4-bit); hnswlib (float32) and usearch
   (float32 and float16). Every search is one call with the whole query matrix, timed on one
   thread and on every core; the build runs on every core. Bytes per vector are the size of
   the saved index over n (codes or vectors, ids, norms and graph links).
2. The effect of `fit` (l2, with and without) on BruteForce 4-bit and 2-bit.
3. Re-scoring: BruteForce and Hnsw with no kept vectors and with int8, float16 or float32
   kept vectors at oversampling 0 (off), 1, 2, 4 and 8.

Data: the real sets (Fashion-MNIST 60,000 x 784 when Debian's dataset-fashion-mnist is
installed, else its 10,000-row part; SIFT; GloVe-25; MNIST) with their own exact ground
truth, from the folder holding their load.py: $KORVANE_DATA, or else the first
shared/data beside the checkout or a folder above it, then beside the working directory or
a folder above it. A set that cannot be loaded is replaced by a Gaussian mixture of the same
shape and metric with exact float32 ground truth; the output and every page then say so at
the top.

    make bench                                   # full run, docs/results/ (16 to 21 minutes)
    make bench-quick                             # small, docs/results/quick/ (a minute or two)
    KORVANE_DATA=/path/to/data make bench-quick  # the data sets from that folder
    PYTHONPATH=build/python python bench/results.py --replot   # pages and plots again from raw.json
"""
import argparse
import datetime
import importlib
import importlib.metadata
import json
import math
import os
import platform
import sys
import tempfile
import textwrap
import time

import numpy as np

import korvane
from _common import DATA_FOLDER, DATA_FOUND, clustered, exact_topk, load_shared, normalise, recall, timed
from bench_bruteforce import run_ours as bruteforce_run
from bench_hnsw import equal_recall
from bench_ivf import search_loop
from bench_rescore import build_ours as rescore_build, kept_row_bytes

K = 10
M = 16
EF_CONSTRUCTION = 200
PQ_TRAIN_ROWS = 5_000  # k-means for d sub-quantizers is the slowest build here
HERE = os.path.dirname(os.path.abspath(__file__))
START_LOAD = os.getloadavg()  # of the run, not of the page
CORES = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


# --- environment -------------------------------------------------------------------

def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def version(name):
    try:
        return importlib.metadata.version(name)
    except importlib.metadata.PackageNotFoundError:
        return None


def try_import(name):
    try:
        return __import__(name)
    except ImportError:
        return None


def environment(command, started):
    """What the pages' headers say about the run, kept in raw.json."""
    libs = ", ".join(f"{n} {version(p) or (korvane.__version__ if n == 'korvane' else '')}"
                     for n, p in (("korvane", "korvane"), ("numpy", "numpy"), ("faiss-cpu", "faiss-cpu"),
                                  ("hnswlib", "hnswlib"), ("usearch", "usearch")) if version(p) or n == "korvane")
    return dict(command=command, cpu=cpu_model(), cores=CORES, arch=platform.machine(), kernel=platform.release(),
                load_start=list(START_LOAD), date=f"{started:%Y-%m-%d %H:%M} UTC", libraries=libs,
                python=platform.python_version())


class Page:
    """One Markdown file: a title, the stand-in warning where there is one, a header saying
    machine, date and command, then sections."""

    def __init__(self, folder, name, title, raw):
        self.path = os.path.join(folder, name)
        self.parts = [f"# {title}\n"]
        warning = stand_in_warning(raw["data"], markdown=True)
        if warning:
            self.parts.append(warning)
        self.parts += [machine_lines(raw), ""]

    def add(self, text):
        self.parts.append(text)

    def write(self):
        with open(self.path, "w") as f:
            f.write("\n".join(self.parts).rstrip() + "\n")


def machine_lines(raw):
    env, data = raw["env"], raw["data"]
    load = ", ".join(f"{x:.1f}" for x in env["load_start"])
    lines = [f"- Machine: {env['cpu']}, {env['cores']} cores ({env['arch']}, Linux {env['kernel']}), shared with "
             f"other work while this ran (load average at the start: {load})",
             f"- Date: {env['date']}",
             f"- Command: {env['command']}",
             f"- Data: " + (f"the folder {data['found']}" if data["folder"] else
                            f"no data folder ({data['found']}); set `KORVANE_DATA`"),
             f"- Libraries: {env['libraries']}",
             f"- Python {env['python']}"]
    if raw.get("replotted"):
        lines.append(f"- Pages and plots redrawn from [raw.json](raw.json) on {raw['replotted']}")
    return "\n".join(lines)


def md_table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(out) + "\n"


# --- data ----------------------------------------------------------------------------

class DataSet:
    def __init__(self, name, base, queries, truth, metric, note):
        self.name, self.metric, self.note = name, metric, note
        self.base = np.ascontiguousarray(base, dtype=np.float32)
        self.queries = np.ascontiguousarray(queries, dtype=np.float32)
        self.truth = np.asarray(truth)[:, :K]

    @property
    def title(self):
        n, d = self.base.shape
        return f"{self.name}, {n:,} × {d}, {self.metric}, {len(self.queries):,} queries"


SHAPES = {"fashion-mnist-full": ("Fashion-MNIST", 60_000, 784, "l2"),
          "fashion-mnist-10k": ("Fashion-MNIST", 10_000, 784, "l2"),
          "sift-ngt5k": ("SIFT", 4_900, 128, "l2"), "glove25": ("GloVe-25", 10_925, 25, "cosine"),
          "mnist-test10k": ("MNIST", 9_000, 784, "l2")}
FASHION_ROOT = "/usr/share/datasets/fashion-mnist"
_loaded = {}  # key -> (base, queries, truth, metric, note) or the reason it could not be loaded


def load_real(key):
    """The set from the data folder, once per run: (base, queries, truth, metric, note), or a
    string saying why it cannot be had. The full Fashion-MNIST falls back to its
    10,000-row part from the data folder when Debian's images are missing."""
    if key in _loaded:
        return _loaded[key]
    try:
        load = load_shared()
        if key == "fashion-mnist-full":
            if not os.path.isdir(FASHION_ROOT):
                part = load_real("fashion-mnist-10k")
                if isinstance(part, str):
                    raise FileNotFoundError(f"{FASHION_ROOT} missing, and {part}")
                *arrays, _ = part
                _loaded[key] = (*arrays, "`fashion-mnist-10k` from the data folder, its own exact ground truth, in "
                                         "place of the full set (Debian's dataset-fashion-mnist is not installed: "
                                         "`make bench-deps` installs it)")
                return _loaded[key]
            base, queries, truth, _, metric = load.fashion_mnist_full(FASHION_ROOT)
        else:
            base, queries, truth, _, metric = load.load(key)
        _loaded[key] = (base, queries, truth, metric, f"`{key}` from the data folder, its own exact ground truth")
    except (ImportError, OSError) as e:
        _loaded[key] = f"{key} not loadable ({e})"
    return _loaded[key]


def load_set(key, max_queries, data):
    """(DataSet) from the data folder, or a Gaussian mixture of the same shape where it is
    missing; a stand-in is recorded in `data` (which raw.json keeps)."""
    label, n, dim, metric = SHAPES[key]
    real = load_real(key)
    if isinstance(real, str):
        base, queries = clustered(n, dim, max_queries, seed=dim)
        if metric == "cosine":
            base, queries = normalise(base), normalise(queries)
        truth = exact_topk(base, queries, K, "ip" if metric == "cosine" else "l2")
        if key not in [s["key"] for s in data["stand_ins"]]:
            data["stand_ins"].append(dict(key=key, why=real))
        return DataSet(f"Gaussian mixture in place of {label}", base, queries, truth, metric,
                       f"**not the real data**: {real}; a Gaussian mixture (1,000 clusters) of the same shape, "
                       f"exact float32 ground truth")
    base, queries, truth, metric, note = real
    return DataSet(label, base, queries[:max_queries], truth[:max_queries], metric, note)


def stand_in_warning(data, markdown):
    """The loud notice for sets replaced by Gaussian mixtures ("" when there are none)."""
    if not data["stand_ins"]:
        return ""
    keys = ", ".join(s["key"] for s in data["stand_ins"])
    # Without a data folder every set misses for the same reason: say it once.
    why = data["found"] if not data["folder"] else "; ".join(s["why"] for s in data["stand_ins"])
    run = "make bench-quick" if data.get("quick") else "make bench"
    if markdown:
        return (f"> **Warning: not the real data.** {keys} could not be loaded ({why}), so Gaussian mixtures of "
                f"the same shape stand in for them below: their recall and speed say nothing about real data. "
                f"Set `KORVANE_DATA` to the folder holding the data sets' `load.py` "
                f"(`KORVANE_DATA=/path/to/data {run}`).\n")
    bar = "!" * 78
    why = textwrap.wrap("why: " + why.replace("`", ""), 75, initial_indent="!! ", subsequent_indent="!!      ")
    return "\n".join([bar, "!! NOT THE REAL DATA: Gaussian stand-ins replace " + keys, *why,
                      "!! Their recall and speed say nothing about real data. Set KORVANE_DATA to the",
                      "!! folder holding the data sets' load.py, e.g.",
                      f"!!     KORVANE_DATA=/path/to/shared/data {run}",
                      "!! The pages written by this run carry the same warning.", bar, ""])


# --- the indexes -----------------------------------------------------------------------

class Entry:
    """One index of one library: build seconds, saved bytes per vector, and a search function
    search(queries, threads, param) -> ids (q x k) swept over `params`."""

    def __init__(self, label, params, param_name, family):
        self.label, self.params, self.param_name, self.family = label, params, param_name, family
        self.build_s = None
        self.bytes_per_vec = None
        self.search = None
        self.sweep = {}  # threads -> [(param, q/s, recall)]


def file_bytes(save):
    with tempfile.TemporaryDirectory(prefix="korvane-results-") as folder:
        path = os.path.join(folder, "index")
        save(path)
        return sum(os.path.getsize(os.path.join(folder, f)) for f in os.listdir(folder))


def korvane_entries(ds, args):
    n, dim = ds.base.shape
    metric = ds.metric
    fit = metric == "l2"
    ids = np.arange(n, dtype=np.uint64)
    nlist = max(1, round(4 * math.sqrt(n)))
    out = []

    def make(label, params, param_name, family, build, set_param, rescore=None):
        e = Entry(label, params, param_name, family)
        t0 = time.perf_counter()
        index = build()
        e.build_s = time.perf_counter() - t0
        e.bytes_per_vec = file_bytes(index.save) / n
        if rescore is not None:
            e.bytes_per_vec -= kept_row_bytes("float16", index.padded_dim)

        def search(q, threads, param, index=index):
            if set_param is not None:
                set_param(index, param)
            if rescore is not None:
                index.set_rescore(rescore)
            return index.search_batch(q, K, threads=threads)[0]

        e.search = search
        out.append(e)
        return index

    def plain(index_type, **kw):
        def build():
            index = korvane.Korvane(dim, metric=metric, bit_width=4, index_type=index_type, **kw)
            if fit:
                index.fit(ds.base)
            index.add(ids, ds.base, threads=0)
            index.build(threads=0)
            return index
        return build

    make("korvane BruteForce 4-bit", [None], "", "brute force", plain("brute_force"), None)
    make(f"korvane IvfFlat 4-bit, nlist {nlist}", args.nprobes, "nprobe", "IVF",
         plain("ivf_flat", ivf_nlist=nlist), lambda i, p: i.set_nprobe(p))

    def hnsw_kept():
        index = korvane.Korvane(dim, metric=metric, bit_width=4, index_type="hnsw", hnsw_m=M,
                                hnsw_ef_construction=EF_CONSTRUCTION)
        if fit:
            index.fit(ds.base)
        index.keep_vectors("float16")
        index.add(ids, ds.base, threads=0)
        index.build(threads=0)
        return index

    # One graph serves both rows: with re-scoring off a search reads the codes alone, and
    # the kept rows' bytes are taken out of that row's size.
    index = make(f"korvane Hnsw 4-bit, M {M}", args.efs, "ef", "HNSW", hnsw_kept, lambda i, p: i.set_ef_search(p),
                 rescore=0)
    e = Entry(f"korvane Hnsw 4-bit + float16 re-scored (oversampling {args.oversampling:g}), M {M}", args.efs, "ef",
              "HNSW")
    e.build_s = out[-1].build_s
    e.bytes_per_vec = out[-1].bytes_per_vec + kept_row_bytes("float16", index.padded_dim)

    def rescored(q, threads, param, index=index):
        index.set_ef_search(param)
        index.set_rescore(args.oversampling)
        return index.search_batch(q, K, threads=threads)[0]

    e.search = rescored
    out.append(e)
    return out


def faiss_entries(faiss, ds, args):
    n, dim = ds.base.shape
    cosine = ds.metric == "cosine"
    base = normalise(ds.base) if cosine else ds.base
    fm = faiss.METRIC_INNER_PRODUCT if cosine else faiss.METRIC_L2
    nlist = max(1, round(4 * math.sqrt(n)))
    out = []

    def make(label, params, param_name, family, build, set_param):
        e = Entry(label, params, param_name, family)
        faiss.omp_set_num_threads(CORES)
        try:
            index, e.build_s = timed(build)
        except RuntimeError as err:  # a shape this index does not take
            print(f"  ({label} skipped: {str(err).splitlines()[0][:120]})", flush=True)
            return
        e.bytes_per_vec = faiss.serialize_index(index).nbytes / n

        def search(q, threads, param, index=index):
            faiss.omp_set_num_threads(threads)
            if set_param is not None:
                set_param(index, param)
            return index.search(normalise(q) if cosine else q, K)[1]

        e.search = search
        out.append(e)

    def trained(index, train_rows=None):
        def build():
            index.train(base if train_rows is None or train_rows >= n else base[:train_rows])
            index.add(base)
            return index
        return build

    flat = faiss.IndexFlatIP(dim) if cosine else faiss.IndexFlatL2(dim)
    make("faiss IndexFlat (float32, exact)", [None], "", "brute force", trained(flat), None)
    for bits, qt in ((8, faiss.ScalarQuantizer.QT_8bit), (4, faiss.ScalarQuantizer.QT_4bit)):
        make(f"faiss IndexScalarQuantizer {bits}-bit", [None], "", "brute force",
             trained(faiss.IndexScalarQuantizer(dim, qt, fm)), None)
    if dim % 2 == 0:
        make(f"faiss IndexPQFastScan PQ{dim}x4fs (trained on {min(n, PQ_TRAIN_ROWS):,} rows)", [None], "",
             "brute force", trained(faiss.IndexPQFastScan(dim, dim, 4, fm), PQ_TRAIN_ROWS), None)
    quantizer = faiss.IndexFlatIP(dim) if cosine else faiss.IndexFlatL2(dim)
    ivf = faiss.IndexIVFScalarQuantizer(quantizer, dim, nlist, faiss.ScalarQuantizer.QT_4bit, fm)
    make(f"faiss IndexIVFScalarQuantizer 4-bit, nlist {nlist}", args.nprobes, "nprobe", "IVF", trained(ivf),
         lambda i, p: setattr(i, "nprobe", p))

    def hnsw(index):
        index.hnsw.efConstruction = EF_CONSTRUCTION
        return trained(index)

    def set_ef(i, p):
        i.hnsw.efSearch = p

    make(f"faiss IndexHNSWFlat (float32), M {M}", args.efs, "ef", "HNSW", hnsw(faiss.IndexHNSWFlat(dim, M, fm)), set_ef)
    make(f"faiss IndexHNSWSQ 4-bit, M {M}", args.efs, "ef", "HNSW",
         hnsw(faiss.IndexHNSWSQ(dim, faiss.ScalarQuantizer.QT_4bit, M, fm)), set_ef)
    return out


def hnswlib_entries(hnswlib, ds, args):
    n, dim = ds.base.shape
    e = Entry(f"hnswlib (float32), M {M}", args.efs, "ef", "HNSW")
    index = hnswlib.Index(space="cosine" if ds.metric == "cosine" else "l2", dim=dim)

    def build():
        index.init_index(max_elements=n, M=M, ef_construction=EF_CONSTRUCTION, random_seed=100)
        index.add_items(ds.base, np.arange(n), num_threads=CORES)

    _, e.build_s = timed(build)
    e.bytes_per_vec = file_bytes(index.save_index) / n

    def search(q, threads, param):
        index.set_ef(param)
        return index.knn_query(q, K, num_threads=threads)[0]

    e.search = search
    return [e]


def usearch_entries(usearch_index, ds, args):
    n, dim = ds.base.shape
    out = []
    for dtype in ("f32", "f16"):
        e = Entry(f"usearch ({'float32' if dtype == 'f32' else 'float16'}), M {M}", args.efs, "ef", "HNSW")
        index = usearch_index.Index(ndim=dim, metric="cos" if ds.metric == "cosine" else "l2sq", dtype=dtype,
                                    connectivity=M, expansion_add=EF_CONSTRUCTION)
        _, e.build_s = timed(index.add, np.arange(n), ds.base, threads=CORES)
        e.bytes_per_vec = file_bytes(index.save) / n

        def search(q, threads, param, index=index):
            index.expansion_search = param
            return index.search(q, K, threads=threads).keys

        e.search = search
        out.append(e)
    return out


def measure(entry, ds, threads, args):
    sweep = []
    for param in entry.params:
        per_batch, found = search_loop(lambda q: entry.search(q, threads, param), [ds.queries], args.repeats,
                                       args.min_seconds)
        sweep.append((param, per_batch * len(ds.queries), recall(found[0], ds.truth, K)))
    entry.sweep[threads] = sweep


def entry_raw(e):
    """An Entry as raw.json keeps it; sweeps by thread count (a string key), each point
    [parameter, q/s, recall@10]."""
    return dict(label=e.label, params=list(e.params), param_name=e.param_name, family=e.family, build_s=e.build_s,
                bytes_per_vec=e.bytes_per_vec, sweep={str(t): [list(p) for p in pts] for t, pts in e.sweep.items()})


# --- comparisons (from raw.json's records) ----------------------------------------------

def at_recall(entry, threads, level):
    sweep = entry["sweep"][str(threads)]
    hit = equal_recall(dict(sweep=sweep), dict(sweep=sweep), level)[1]
    return hit  # (param, q/s) or None


def fmt_param(entry, param):
    return "" if param is None else f"{entry['param_name']} {param}"


def best_recall(entry, threads):
    return max(r for _, _, r in entry["sweep"][str(threads)])


def summary_rows(entries, levels, cores):
    rows = []
    for e in entries:
        cells = [e["label"], f"{e['bytes_per_vec']:,.0f}", f"{e['build_s']:.1f}"]
        for threads in (1, cores):
            cells.append(f"{best_recall(e, threads):.3f}")
            for level in levels:
                hit = at_recall(e, threads, level)
                cells.append("-" if hit is None else f"{hit[1]:,.0f}" + (f" ({fmt_param(e, hit[0])})" if hit[0] else ""))
        rows.append(cells)
    return rows


def summary_header(levels, cores):
    header = ["index", "bytes/vector", f"build s ({cores} threads)"]
    for threads in (1, cores):
        t = "1 thread" if threads == 1 else f"{threads} threads"
        header.append(f"best recall@10, {t}")
        header += [f"q/s at recall@10 ≥ {lv}, {t}" for lv in levels]
    return header


def sweep_rows(entries, cores):
    rows = []
    for e in entries:
        for (param, q1, r), (_, qn, _) in zip(e["sweep"]["1"], e["sweep"][str(cores)]):
            rows.append((e["label"], fmt_param(e, param) or "-", f"{r:.4f}", f"{q1:,.0f}", f"{qn:,.0f}"))
    return rows


STYLE = {"korvane": "-", "faiss": "--", "hnswlib": "-.", "usearch": ":"}
# The plots' recall axis: 1 - recall on a log scale, so that 0.9, 0.99 and 0.999 lie equally
# far apart, from X_FROM up to a recall of 1.0 (drawn half a step of the finest recall the
# queries can show beyond it). Curves that only reach below X_FROM are named in the legend.
X_FROM = 0.5
X_TICKS = (0.5, 0.8, 0.9, 0.95, 0.98, 0.99, 0.995, 0.998, 0.999, 1.0)


def recall_scale(n_queries):
    floor = 0.5 / (K * n_queries)

    def forward(r):
        return -np.log10(np.maximum(1.0 + floor - np.asarray(r, dtype=float), 1e-12))

    def inverse(x):
        return 1.0 + floor - np.power(10.0, -np.asarray(x, dtype=float))

    ticks = [t for t in X_TICKS if t == 1.0 or 1.0 - t >= 4 * floor]
    return forward, inverse, ticks


def plot(cset, threads, path, plt, env):
    entries, cores = cset["entries"], env["cores"]
    fig, ax = plt.subplots(figsize=(13, 6.5))
    colours = plt.get_cmap("tab20").colors
    forward, inverse, ticks = recall_scale(cset["queries"])
    for i, e in enumerate(entries):
        sweep = e["sweep"][str(threads)]
        xs = [r for _, _, r in sweep]
        ys = [q for _, q, _ in sweep]
        label = e["label"]
        if len(e["params"]) > 1:
            label += f" ({e['param_name']} {e['params'][0]}–{e['params'][-1]})"
        if max(xs) < X_FROM:
            label += f" — recall {max(xs):.2f}, left of the plot"
        lib = label.split()[0]
        ax.plot(xs, ys, STYLE.get(lib, "-"), color=colours[(2 * i) % 20 if i < 10 else (2 * i + 1) % 20],
                marker="o" if lib == "korvane" else "s", markersize=5 if len(xs) == 1 else 4,
                linewidth=2.2 if lib == "korvane" else 1.2, label=label)
    ax.set_xscale("function", functions=(forward, inverse))
    ax.set_xlim(inverse(forward(X_FROM) - 0.03), inverse(forward(1.0) + 0.15))  # a margin on both sides
    ax.set_xticks(ticks)
    ax.set_xticklabels([f"{t:g}" for t in ticks])
    ax.minorticks_off()
    ax.set_yscale("log")
    ax.set_xlabel("recall@10, stretched towards 1.0 (log scale of 1 − recall: 0.9, 0.99, 0.999 equally apart)")
    ax.set_ylabel("queries per second (log scale; higher is better)")
    t = "1 thread" if threads == 1 else f"{threads} threads (every core)"
    ax.set_title(f"{cset['title']}, k=10\n{t}, one batched search call, {env['cpu']}", fontsize=10)
    ax.grid(True, which="major", alpha=0.3)
    ax.legend(fontsize=7.5, loc="upper left", bbox_to_anchor=(1.01, 1.0), title="library, index, parameters",
              title_fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110, bbox_inches="tight")  # the legend stands outside the axes
    plt.close(fig)


def slug(text):
    return "".join(c if c.isalnum() else "-" for c in text.lower()).strip("-")


def comparison_page(raw, out, plt):
    p, cores = raw["params"], raw["env"]["cores"]
    page = Page(out, "comparisons.md", "Recall@10 against queries/s beside faiss-cpu, hnswlib and usearch", raw)
    skipped = f"Not importable, so left out: {', '.join(raw['missing_peers'])}.\n" if raw["missing_peers"] else ""
    page.add(f"""
Parameters: k = 10; HNSW graphs M {M}, ef_construction {EF_CONSTRUCTION} for every library, ef_search
{", ".join(map(str, p["efs"]))}; IVF nlist = round(4 √n), nprobe {", ".join(map(str, p["nprobes"]))}; korvane 4-bit
codes, `fit` on the base for l2 sets; faiss gets unit vectors and inner product for cosine sets. Every search is
one call with all queries (korvane `search_batch`, faiss `search`, hnswlib `knn_query`, usearch `search`), on one
thread and on {cores} threads; q/s is the fastest of {p["repeats"]} timed runs (each repeated to last
≥ {p["min_seconds"]} s). Builds run on {cores} threads. Bytes/vector = size of the saved index / n (codes or
vectors, norms, ids, graph links). "q/s at recall ≥ x" is at the smallest ef / nprobe of the sweep reaching x.
The machine was shared with other work (compilers; load average above the core count), so q/s are noisy: two
runs of the same small-set point differed up to 2×, and the {cores}-thread figures are often no faster than one
thread because the other core was busy. Recall does not depend on the load.

The plots' recall axis is stretched towards 1.0 (1 − recall on a log scale), where the curves separate; it starts
at {X_FROM}, and an index whose best recall lies below that is named in the legend only.
{skipped}""")
    for cset in raw["comparisons"]:
        s = slug(cset["name"])
        page.add(f"## {cset['title']}\n\nData: {cset['note']}.\n")
        page.add(md_table(summary_header(p["levels"], cores), summary_rows(cset["entries"], p["levels"], cores)))
        for threads in (1, cores):
            png = f"{s}-{threads}t.png"
            plot(cset, threads, os.path.join(out, png), plt, raw["env"])
            page.add(f"![{cset['name']}, {threads} thread(s)]({png})\n")
        page.add("<details><summary>every point of the sweep</summary>\n\n" +
                 md_table(("index", "parameter", "recall@10", "q/s 1 thread", f"q/s {cores} threads"),
                          sweep_rows(cset["entries"], cores)) + "\n</details>\n")
    page.write()


# --- fit and re-scoring ----------------------------------------------------------------

def fit_measure(args, data):
    rows = []
    for key in args.fit_sets:
        ds = load_set(key, args.fit_queries, data)
        print(f"\nfit: {ds.title}", flush=True)
        for name, kw in (("4-bit", dict(bit_width=4)), ("2-bit", dict(bit_width=2))):
            cells = [ds.title, name]
            for sample in (None, ds.base):
                qps, rec, add_s, bpv = bruteforce_run(ds.base, ds.queries, ds.truth, "l2", kw, sample)
                cells += [f"{rec:.3f}", f"{qps:,.0f}"]
            cells.append(bpv)
            rows.append(cells)
            print("  " + " | ".join(map(str, cells)), flush=True)
    return rows


def fit_page(raw, out):
    page = Page(out, "fit.md", "The effect of `fit` on l2 data (BruteForce)", raw)
    page.add("Metric l2, data in 0–255; `fit` on the whole base set. One `search` call per query on one thread "
             "(bench_bruteforce.run_ours); q/s from a single loop over the queries, so noisy on the small sets "
             "(comparisons.md times them properly). Bytes/vector = codes + norm + id.\n")
    page.add(md_table(("data", "codes", "recall@10 without fit", "q/s without fit", "recall@10 with fit",
                       "q/s with fit", "bytes/vector"), raw["fit"]))
    page.write()


def rescore_measure(args, data):
    hnsw = dict(m=M, ef_construction=EF_CONSTRUCTION, ef_search=args.rescore_ef)
    out = []
    for key in args.rescore_sets:
        ds = load_set(key, args.rescore_queries, data)
        print(f"\nre-scoring: {ds.title}", flush=True)
        rows = []
        for index_type in ("brute_force", "hnsw"):
            for dtype in (None, "int8", "float16", "float32"):
                index, build_s = rescore_build(ds.base, ds.metric, ds.metric == "l2", index_type, dtype, hnsw)
                per_vec = index.packed_bytes_per_vec + 12 + kept_row_bytes(dtype, index.padded_dim)
                for over in ((0, 1, 2, 4, 8) if dtype else (0,)):
                    if dtype:
                        index.set_rescore(over)
                    per_batch, found = search_loop(lambda q: index.search_batch(q, K, threads=1)[0], [ds.queries],
                                                   args.repeats, args.min_seconds)
                    rows.append(("BruteForce" if index_type == "brute_force" else "Hnsw", dtype or "none",
                                 over or "off", f"{recall(found[0], ds.truth, K):.4f}",
                                 f"{per_batch * len(ds.queries):,.0f}", per_vec, f"{build_s:.1f}"))
                    print("  " + " | ".join(map(str, rows[-1])), flush=True)
        out.append(dict(title=ds.title, note=ds.note, metric=ds.metric, rows=rows))
    return out


def rescore_page(raw, out):
    p = raw["params"]
    page = Page(out, "rescore.md", "Re-scoring from kept vectors (keep_vectors + set_rescore)", raw)
    page.add(f"4-bit codes; Hnsw M {M}, ef_construction {EF_CONSTRUCTION}, ef_search {p['rescore_ef']}. "
             f"Oversampling r re-scores the best ⌈10 r⌉ candidates from the kept rows (0: off). One `search_batch` "
             f"call with all queries on one thread, fastest of {p['repeats']} timed runs. Bytes/vector = codes + "
             f"norm + id + kept row (graph links not counted).\n")
    for rs in raw["rescore"]:
        page.add(f"## {rs['title']}\n\nData: {rs['note']}" + ("; `fit` on the base" if rs["metric"] == "l2" else "")
                 + ".\n")
        page.add(md_table(("index", "kept", "oversampling", "recall@10", "q/s (1 thread)", "bytes/vector",
                           "add + build s (1 thread)"), rs["rows"]))
    page.write()


def index_page(raw, out):
    """README.md of the results folder: the headline figures and links to every page."""
    p, cores = raw["params"], raw["env"]["cores"]
    page = Page(out, "README.md", "Benchmark results", raw)
    page.add(f"- Wall time of the whole run: {raw['wall_s'] / 60:.1f} min; load average at the end: "
             + ", ".join(f"{x:.1f}" for x in raw["load_end"]) + "\n")
    page.add("Pages: [recall@10 against queries/s beside the peers](comparisons.md) (tables and plots per data set, "
             "one thread and every core), [the effect of `fit`](fit.md), [re-scoring](rescore.md). Every "
             "measurement is in [raw.json](raw.json); `bench/results.py --replot` draws the pages and plots again "
             "from it.\n")
    for cset in raw["comparisons"]:
        page.add(f"## {cset['title']}\n")
        rows = []
        for e in cset["entries"]:
            cells = [e["label"], f"{e['bytes_per_vec']:,.0f}"]
            for level in p["levels"]:
                hit = at_recall(e, 1, level)
                cells.append("-" if hit is None else f"{hit[1]:,.0f}")
            cells.append(f"{best_recall(e, 1):.3f}")
            rows.append(cells)
        page.add(md_table(["index", "bytes/vector"] + [f"q/s at recall@10 ≥ {lv} (1 thread)" for lv in p["levels"]]
                          + ["best recall@10"], rows))
        s = slug(cset["name"])
        page.add(f"Plots: [1 thread]({s}-1t.png), [{cores} threads]({s}-{cores}t.png)\n")
    page.write()


def write_pages(raw, out):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    comparison_page(raw, out, plt)
    fit_page(raw, out)
    rescore_page(raw, out)
    index_page(raw, out)
    with open(os.path.join(out, "raw.json"), "w") as f:
        json.dump(raw, f, indent=1, ensure_ascii=False, default=lambda x: x.item())
        f.write("\n")


# --- the driver --------------------------------------------------------------------------

def command_line(args):
    """The command the pages name: the make target where the arguments are its own."""
    given = sys.argv[1:]
    if given == []:
        return "`make bench`"
    if given == ["--quick"]:
        return "`make bench-quick`"
    return f"`bench/results.py {' '.join(given)}` (with the module `make build` makes on PYTHONPATH)"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small sets and few points (a minute or two)")
    ap.add_argument("--out", default=None, help="folder for the .md, .png and raw.json files (default docs/results, "
                                                "docs/results/quick with --quick)")
    ap.add_argument("--replot", action="store_true", help="measure nothing: write the pages and plots again from the "
                                                          "raw.json in the output folder")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--min-seconds", type=float, default=0.2)
    args = ap.parse_args()
    started = datetime.datetime.now(datetime.timezone.utc)
    out = args.out or os.path.join(HERE, "..", "docs", "results", "quick" if args.quick else "")
    out = os.path.normpath(out)
    os.makedirs(out, exist_ok=True)

    if args.replot:
        with open(os.path.join(out, "raw.json")) as f:
            raw = json.load(f)
        raw["replotted"] = f"{started:%Y-%m-%d %H:%M} UTC"
        warning = stand_in_warning(raw["data"], markdown=False)
        if warning:
            print(warning, flush=True)
        write_pages(raw, out)
        print(f"pages and plots redrawn from {os.path.join(out, 'raw.json')}")
        return

    args.oversampling = 4
    if args.quick:
        args.efs, args.nprobes = (10, 32, 128), (1, 4, 16)
        args.main_sets = [("sift-ngt5k", 100), ("glove25", 300)]
        args.fit_sets, args.fit_queries = ("sift-ngt5k",), 100
        args.rescore_sets, args.rescore_queries, args.rescore_ef = ("sift-ngt5k",), 100, 64
        args.repeats, args.min_seconds = 2, 0.1
    else:
        args.efs, args.nprobes = (10, 16, 32, 64, 128, 256), (1, 2, 4, 8, 16, 32, 64)
        args.main_sets = [("fashion-mnist-full", 500), ("sift-ngt5k", 100), ("glove25", 1000)]
        args.fit_sets, args.fit_queries = ("fashion-mnist-full", "mnist-test10k", "sift-ngt5k"), 200
        args.rescore_sets, args.rescore_queries, args.rescore_ef = ("sift-ngt5k", "glove25", "fashion-mnist-10k"), \
            1000, 64

    # Every set is loaded before anything is measured, so that a stand-in is announced first.
    data = dict(folder=DATA_FOLDER is not None, found=DATA_FOUND, stand_ins=[], quick=args.quick)
    keys = dict.fromkeys([k for k, _ in args.main_sets] + list(args.fit_sets) + list(args.rescore_sets))
    for key in keys:
        real = load_real(key)
        if isinstance(real, str):
            data["stand_ins"].append(dict(key=key, why=real))
    warning = stand_in_warning(data, markdown=False)
    print(warning if warning else f"data folder: {DATA_FOLDER}, {DATA_FOUND}".replace("`", ""), flush=True)
    for key in keys:
        if not isinstance(_loaded[key], str) and "in place of" in _loaded[key][-1]:
            print(f"note: {key}: {_loaded[key][-1]}", flush=True)

    faiss, hnswlib = try_import("faiss"), try_import("hnswlib")
    usearch = try_import("usearch") and importlib.import_module("usearch.index")
    peers, missing = [], []
    for mod, name, fn in ((faiss, "faiss-cpu", faiss_entries), (hnswlib, "hnswlib", hnswlib_entries),
                          (usearch, "usearch", usearch_entries)):
        if mod is None:
            missing.append(name)
        else:
            peers.append(lambda ds, a, mod=mod, fn=fn: fn(mod, ds, a))

    raw = dict(format=1, quick=args.quick, env=environment(command_line(args), started), data=data,
               params=dict(efs=list(args.efs), nprobes=list(args.nprobes), repeats=args.repeats,
                           min_seconds=args.min_seconds, levels=[0.9, 0.95], oversampling=args.oversampling,
                           rescore_ef=args.rescore_ef),
               missing_peers=missing, comparisons=[], fit=[], rescore=[])
    t0 = time.perf_counter()
    for key, nq in args.main_sets:
        ds = load_set(key, nq, data)
        entries = []
        print(f"\n{ds.title}", flush=True)
        for make in [lambda d, a: korvane_entries(d, a)] + peers:
            t1 = time.perf_counter()
            made = make(ds, args)
            for e in made:
                for threads in (1, CORES):
                    measure(e, ds, threads, args)
                print(f"  {e.label}: build {e.build_s:.1f} s, {e.bytes_per_vec:,.0f} B/vec, best recall "
                      f"{max(r for _, _, r in e.sweep[1]):.3f}", flush=True)
            entries += made
            print(f"  ({time.perf_counter() - t1:.0f} s)", flush=True)
        raw["comparisons"].append(dict(name=ds.name, title=ds.title, note=ds.note, queries=len(ds.queries),
                                       entries=[entry_raw(e) for e in entries]))
    raw["fit"] = fit_measure(args, data)
    raw["rescore"] = rescore_measure(args, data)
    raw["wall_s"] = time.perf_counter() - t0
    raw["load_end"] = list(os.getloadavg())
    write_pages(raw, out)
    print(f"\nwall time {raw['wall_s']:.0f} s; written to {os.path.abspath(out)}")
    if warning:
        print("\n" + warning, flush=True)


if __name__ == "__main__":
    main()
