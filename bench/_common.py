"""Helpers shared by the benchmark scripts: data, exact ground truth, timing, tables."""
import os
import shutil
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKOUT = os.path.dirname(HERE)


def _upwards(start):
    """start and every folder above it, nearest first."""
    folder = os.path.abspath(start)
    while True:
        yield folder
        parent = os.path.dirname(folder)
        if parent == folder:
            return
        folder = parent


def find_data():
    """Where the real data sets are: (folder, how it was found), or (None, where it looked).

    The folder is the one holding load.py: $KORVANE_DATA when set (it is then the only
    place looked at); otherwise the first shared/data holding load.py beside the
    checkout or beside any folder above it (../shared/data, ../../shared/data, ...), then
    the same from the working directory (./shared/data, ../shared/data, ...)."""
    chosen = os.environ.get("KORVANE_DATA")
    if chosen:
        folder = os.path.abspath(os.path.expanduser(chosen))
        if os.path.isfile(os.path.join(folder, "load.py")):
            return folder, "named by `KORVANE_DATA`"
        return None, f"`KORVANE_DATA={chosen}` holds no load.py"
    for start, where in ((os.path.dirname(CHECKOUT), "the checkout"), (os.getcwd(), "the working directory")):
        for folder in _upwards(start):
            candidate = os.path.join(folder, "shared", "data")
            if os.path.isfile(os.path.join(candidate, "load.py")):
                return candidate, f"`{os.path.relpath(candidate, start if where != 'the checkout' else CHECKOUT)}` " \
                                  f"from {where}, found by the default search (`KORVANE_DATA` not set)"
    return None, (f"`KORVANE_DATA` is not set, and no shared/data/load.py lies beside the checkout, the "
                  f"working directory or any folder above them")


DATA_FOLDER, DATA_FOUND = find_data()
# The scripts test this path; where nothing was found it names the folder that was not there.
SHARED_DATA = DATA_FOLDER or os.environ.get("KORVANE_DATA") or os.path.join(CHECKOUT, "..", "shared", "data")


def clustered(n, dim, n_queries, n_clusters=1000, spread=0.35, seed=0):
    """A Gaussian mixture: unit-norm cluster centres plus isotropic noise; queries come
    from the same mixture but are not in the base set."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((n_clusters, dim)).astype(np.float32)
    centres /= np.linalg.norm(centres, axis=1, keepdims=True)
    sigma = spread / np.sqrt(dim)

    def draw(m):
        which = rng.integers(0, n_clusters, m)
        x = centres[which] + sigma * rng.standard_normal((m, dim)).astype(np.float32)
        return np.ascontiguousarray(x, dtype=np.float32)

    return draw(n), draw(n_queries)


def normalise(x):
    return np.ascontiguousarray(x / np.maximum(np.linalg.norm(x, axis=1, keepdims=True), 1e-30), dtype=np.float32)


def exact_topk(base, queries, k, metric):
    """Exact float32 top-k ids by inner product ("ip") or smallest L2 ("l2")."""
    out = np.empty((len(queries), k), dtype=np.int64)
    base_sq = (base.astype(np.float64) ** 2).sum(1) if metric == "l2" else None
    for start in range(0, len(queries), 50):
        q = queries[start:start + 50]
        s = q @ base.T
        if metric == "l2":
            s = 2.0 * s - base_sq[None, :]
        part = np.argpartition(-s, k, axis=1)[:, :k]
        order = np.argsort(-np.take_along_axis(s, part, 1), axis=1, kind="stable")
        out[start:start + 50] = np.take_along_axis(part, order, 1)
    return out


def recall(found, truth, k=10):
    hits = 0
    for f, t in zip(found, truth):
        hits += len(set(int(x) for x in f[:k]) & set(int(x) for x in t[:k]))
    return hits / (k * len(truth))


def timed(fn, *args, **kw):
    t0 = time.perf_counter()
    out = fn(*args, **kw)
    return out, time.perf_counter() - t0


def print_table(title, header, rows):
    print(f"\n{title}")
    widths = [max(len(str(h)), *(len(str(r[i])) for r in rows)) for i, h in enumerate(header)]
    print("  ".join(str(h).rjust(w) for h, w in zip(header, widths)))
    for r in rows:
        print("  ".join(str(c).rjust(w) for c, w in zip(r, widths)))
    sys.stdout.flush()


def try_faiss():
    try:
        import faiss  # noqa: F401
    except ImportError:
        return None
    faiss.omp_set_num_threads(1)
    return faiss


def ensure_fashion_mnist():
    """The full Fashion-MNIST comes from Debian's dataset-fashion-mnist package."""
    root = "/usr/share/datasets/fashion-mnist"
    if os.path.isdir(root) and os.listdir(root):
        return root
    if shutil.which("apt-get") is None:
        return None
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(sudo + ["apt-get", "update", "-qq"], check=False, env=env)
    subprocess.run(sudo + ["apt-get", "install", "-y", "-qq", "dataset-fashion-mnist"], check=False, env=env)
    return root if os.path.isdir(root) and os.listdir(root) else None


def load_shared():
    if DATA_FOLDER is None:
        raise ImportError(f"no data folder: {DATA_FOUND}")
    sys.path.insert(0, DATA_FOLDER)
    import load  # noqa: E402

    return load
