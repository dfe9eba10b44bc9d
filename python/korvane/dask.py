"""Shards of one collection on the workers of a Dask cluster, searched as one index.

A collection too large for one index or one process is split into partitions, one
korvane index (a .krvn file) per partition. ``build_shards`` builds and saves them in
parallel from a Dask array; ``ShardedIndex`` opens the files on the workers (each shard
on one worker, which loads it once and keeps it) and answers ``search_batch`` as one
index holding every vector would: each shard finds its own top k, and the client keeps
the k best by score.

Scores of different indexes can be compared when the indexes share ``dim``, ``metric``
and the code layout (``bit_width``, ``n4_dims``) and, for an L2 index that calls
``fit``, the sample it was fitted on: every index rotates with the same seed and scores a
vector the same way whichever index holds it. ``ShardedIndex`` refuses shards that
differ in any of these. With BruteForce shards that do not re-score (no kept vectors, or
``set_rescore(0)``) the merged answer is exactly that of one BruteForce index. Shards
that re-score each re-score their own ``ceil(k * oversampling)`` candidates, more in all
than one index would, so the merged answer can differ from one index's, never with a
worse re-scored top k. Hnsw and IvfFlat shards each find their own top k approximately,
so the merged top k is approximate too (every shard is asked for the full k).

The shard files must be readable by every worker under the paths given: one folder on a
single machine, storage that every worker reads on several.

Needs dask[distributed]: ``pip install "korvane[dask]"``.
"""
from __future__ import annotations

import math
import operator
import os
import threading
import uuid
from collections.abc import Sequence
from typing import Any, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

try:
    import dask.array as da
    from distributed import Client, get_worker
except ImportError:  # the error met is chained to this one
    raise ImportError('korvane.dask needs dask[distributed]: pip install "korvane[dask]"')

from korvane import Korvane

__all__ = ["Hits", "ShardedIndex", "build_shards"]

# What search_batch returns: ids and scores, one row per query.
Hits = Tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]
# hnsw_ef_search and ivf_nprobe: run-time settings that a .krvn file does not keep.
_Tuning = Tuple[Optional[int], Optional[int]]
_Layout = Tuple[int, str, int, int]

_PAD_ID = np.uint64(2**64 - 1)

# In each worker process: the shards it has loaded, by (ShardedIndex token, path). Each
# ShardedIndex has a token of its own, so one that is closed releases only its shards,
# and one opened after a file was rewritten never meets the old index.
_loaded: dict[tuple[str, str], Korvane] = {}
_loaded_lock = threading.Lock()


def _shard(token: str, path: str, mmap: bool, tuning: _Tuning) -> Korvane:
    key = (token, path)
    with _loaded_lock:
        index = _loaded.get(key)
    if index is not None:
        return index
    # Loaded outside the lock, so that other shards open meanwhile; should two tasks load
    # the same shard at once, the first one kept wins.
    index = Korvane.load(path, mmap=mmap)
    ef_search, nprobe = tuning
    if ef_search is not None:
        index.set_ef_search(ef_search)
    if nprobe is not None:
        index.set_nprobe(nprobe)
    with _loaded_lock:
        return _loaded.setdefault(key, index)


def _open_shard(token: str, path: str, mmap: bool, tuning: _Tuning) -> tuple[str, int, _Layout, bytes]:
    index = _shard(token, path, mmap, tuning)
    # The query transform covers the rotation, the scale and an L2 standardization: equal
    # transforms of one probe mean that the shards were fitted alike.
    probe = np.arange(1, index.dim + 1, dtype=np.float32)
    layout = (index.dim, index.metric, index.bit_width, index.n4_dims)
    return get_worker().address, len(index), layout, index.transform_query_np(probe).tobytes()


def _search_shard(token: str, path: str, mmap: bool, tuning: _Tuning, queries: Any, k: int, allowlist: Any,
                  threads: int) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32], str]:
    ids, scores = _shard(token, path, mmap, tuning).search_batch(queries, k, allowlist=allowlist, threads=threads)
    return ids, scores, get_worker().address


def _release(token: str) -> int:
    with _loaded_lock:
        keys = [key for key in _loaded if key[0] == token]
        for key in keys:
            del _loaded[key]
    return len(keys)


def _merge(results: Sequence[Hits], k: int) -> Hits:
    """The k best hits of each query across the shards' results, best first, equal
    scores ordered by id, padded as search_batch pads. Each shard's rows are min(k, its
    size) wide, so the merged ones are min(k, all sizes), as one index's would be."""
    ids = np.concatenate([r[0] for r in results], axis=1)
    scores = np.concatenate([r[1] for r in results], axis=1)
    # Padding goes behind every hit. A real hit with the padding's id and score -inf
    # would go with it, where it belongs anyway: last among equal scores, by id.
    padding = (ids == _PAD_ID) & (scores == -np.inf)
    order = np.lexsort((ids, -scores, padding), axis=1)[:, :k]
    return np.take_along_axis(ids, order, axis=1), np.take_along_axis(scores, order, axis=1)


class ShardedIndex:
    """Several .krvn files, each loaded and kept by one Dask worker, searched as one index.

    Parameters
    ----------
    client : distributed.Client
        A synchronous client of the cluster whose workers hold the shards.
    paths : sequence of str or os.PathLike
        The shard files, as the workers see them. Every shard must have the same
        ``dim``, ``metric``, ``bit_width`` and ``n4_dims`` and, for L2, the same ``fit``;
        otherwise a ValueError is raised.
    mmap : bool, default True
        Passed to ``Korvane.load(path, mmap=...)`` on the workers.
    ef_search, nprobe : int, optional
        Set on every shard after it is loaded (``set_ef_search``, ``set_nprobe``); a
        file does not keep them.

    The shards are loaded when the index is opened, so a missing or damaged file is
    reported here. Each shard is assigned to one worker, which keeps the loaded index in
    its process until ``close`` (or the end of the worker): searches run where the
    shards are. Should that worker leave the cluster, another one loads the shard when
    it is next searched, and keeps it from then on. The shards are the files as they
    were when loaded; open a new ShardedIndex to see files written since. A mapped file
    must be replaced (as ``save`` does), never changed in place.

    Dropping a ShardedIndex without closing it leaves its shards loaded until the
    workers end; it is also a context manager that closes it on exit.
    """

    def __init__(self, client: Client, paths: Sequence[Union[str, os.PathLike[str]]], *, mmap: bool = True,
                 ef_search: Optional[int] = None, nprobe: Optional[int] = None) -> None:
        self._paths = tuple(os.fspath(p) for p in paths)
        if not self._paths:
            raise ValueError("a ShardedIndex needs at least one shard")
        if len(set(self._paths)) != len(self._paths):
            raise ValueError("a shard path is given more than once")
        self._client = client
        self._token = uuid.uuid4().hex
        self._mmap = bool(mmap)
        self._tuning: _Tuning = (ef_search, nprobe)
        self._closed = False
        # Round robin over today's workers; each search then follows the worker that
        # last ran the shard.
        workers = sorted(client.scheduler_info()["workers"])
        preferred = [workers[i % len(workers)] if workers else None for i in range(len(self._paths))]
        try:
            opened: list[tuple[str, int, _Layout, bytes]] = client.gather([
                client.submit(_open_shard, self._token, path, self._mmap, self._tuning,
                              workers=None if worker is None else [worker], allow_other_workers=True, pure=False)
                for path, worker in zip(self._paths, preferred)])  # type: ignore[no-untyped-call]
            self._workers = [o[0] for o in opened]
            self._sizes = tuple(o[1] for o in opened)
            layout, transform = opened[0][2], opened[0][3]
            for path, o in zip(self._paths, opened):
                if o[2] != layout:
                    raise ValueError(f"shards must share dim, metric and code layout: {path} has (dim, metric, "
                                     f"bit_width, n4_dims) {o[2]}, {self._paths[0]} has {layout}")
                if o[3] != transform:
                    raise ValueError(f"shards must be fitted alike: {path} and {self._paths[0]} transform queries "
                                     "differently (fit on different samples, or one not fitted)")
        except BaseException:
            self._release()
            raise
        self._dim, self._metric = layout[0], layout[1]

    @property
    def paths(self) -> tuple[str, ...]:
        """The shard files, in the order given."""
        return self._paths

    @property
    def dim(self) -> int:
        """Vector dimension, shared by every shard."""
        return self._dim

    @property
    def metric(self) -> str:
        """Distance metric, shared by every shard: 'cosine', 'dot', or 'l2'."""
        return self._metric

    @property
    def closed(self) -> bool:
        """True once ``close`` has been called."""
        return self._closed

    def __len__(self) -> int:
        """Number of vectors across the shards."""
        return sum(self._sizes)

    def __repr__(self) -> str:
        state = ", closed" if self._closed else ""
        return (f"ShardedIndex(shards={len(self._paths)}, n={len(self)}, dim={self._dim}, "
                f"metric={self._metric!r}{state})")

    def search_batch(self, queries: Any, k: int, allowlist: Any = None, *, threads: int = 1) -> Hits:
        """Search many queries at once across every shard.

        Parameters
        ----------
        queries : array_like
            Queries of length ``dim``, as ``Korvane.search_batch`` takes them. They are
            sent to the cluster once per call, not once per shard.
        k : int
            Number of hits wanted per query; every shard is asked for ``k``.
        allowlist : sequence of int, optional
            As for ``Korvane.search``: ids not in it are never returned.
        threads : int, default 1
            The ``threads`` of each shard's ``search_batch``. Dask already runs a task
            per worker thread; 0 uses every core for each shard, which suits a worker
            alone on its machine.

        Returns
        -------
        (ids, scores) : tuple of numpy.ndarray
            As ``Korvane.search_batch`` returns them for one index holding every vector:
            uint64 and float32 arrays of shape ``(len(queries), min(k, len(self)))``,
            best first, equal scores ordered by id, padded with id ``2**64 - 1`` and
            score ``-inf`` where a query has fewer hits.
        """
        if self._closed:
            raise ValueError("search on a closed ShardedIndex")
        k = operator.index(k)
        shards = [i for i, n in enumerate(self._sizes) if n]
        if not shards:
            raise RuntimeError("index is empty")
        client = self._client
        # In a list, so that a list of rows goes as one piece; hash=False gives a new key
        # each call, never that of data an earlier call's futures are releasing.
        [shared_queries] = client.scatter([queries], hash=False)  # type: ignore[no-untyped-call]
        shared_allowlist = None
        if allowlist is not None:
            [shared_allowlist] = client.scatter([allowlist], hash=False)  # type: ignore[no-untyped-call]
        futures = [client.submit(_search_shard, self._token, self._paths[i], self._mmap, self._tuning,
                                 shared_queries, k, shared_allowlist, threads,
                                 workers=[self._workers[i]], allow_other_workers=True, pure=False)
                   for i in shards]
        results = client.gather(futures)  # type: ignore[no-untyped-call]
        for i, result in zip(shards, results):
            self._workers[i] = result[2]
        return _merge([(r[0], r[1]) for r in results], k)

    def close(self) -> None:
        """Drop the loaded shards from every worker's memory. Searching afterwards
        raises ValueError; closing again does nothing."""
        if not self._closed:
            self._closed = True
            self._release()

    def _release(self) -> None:
        # A closed client reaches no worker; the shards then go with the worker processes.
        if self._client.status == "running":
            self._client.run(_release, self._token)

    def __enter__(self) -> ShardedIndex:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _build_shard(ids: Any, vectors: Any, path: str, *, dim: int, options: dict[str, Any], fit_sample: Any,
                 keep_vectors: Optional[str], threads: int) -> Optional[str]:
    if len(ids) == 0:
        # No shard: an empty IvfFlat index can be neither built nor saved, and an empty
        # shard of any type adds nothing to an answer. A file of this name from an
        # earlier run would be taken for one.
        if os.path.exists(path):
            os.remove(path)
        return None
    index = Korvane(dim, **options)
    if fit_sample is not None:
        index.fit(fit_sample)
    if keep_vectors is not None:
        index.keep_vectors(keep_vectors)  # type: ignore[arg-type]  # the engine names the dtypes it takes
    index.add(ids, vectors, threads=threads)
    index.build(threads=threads)
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    index.save(path)
    return path


def build_shards(client: Client, ids: Union[da.Array, npt.ArrayLike], vectors: da.Array,
                 directory: Union[str, os.PathLike[str]], *, fit_sample: Any = None, keep_vectors: Optional[str] = None,
                 threads: int = 1, mmap: bool = True, **options: Any) -> ShardedIndex:
    """Build one index per partition of a Dask array, in parallel, and open them as one.

    Parameters
    ----------
    client : distributed.Client
        The client of the cluster that builds (and then holds) the shards.
    ids : dask.array.Array or array_like
        The unsigned 64-bit id of every row of ``vectors``: a 1-D Dask array (re-chunked
        to the partitions of ``vectors`` if it is chunked otherwise) or a 1-D NumPy array.
    vectors : dask.array.Array
        The vectors, shape ``(n, dim)``. Each partition of rows (block of ``vectors.chunks[0]``)
        becomes one shard; the columns of a row always stay together. Partition sizes
        must be known (``vectors.compute_chunk_sizes()``).
    directory : str or os.PathLike
        Where the workers write the shards, ``shard-00000.krvn``, ``shard-00001.krvn``, ...
        (numbered by partition, one per partition that holds rows; a file named for an
        empty partition is removed), replacing files of those names. The workers create it when missing; it must be the same folder for all.
    fit_sample : array_like, optional
        For ``metric="l2"``: the sample every shard is ``fit`` on, one and the same for
        all, since the standardization changes the scores. Without it no shard is fitted.
    keep_vectors : str, optional
        The dtype of kept vectors (``Korvane.keep_vectors``); by default none are kept.
    threads : int, default 1
        The ``threads`` of each shard's ``add`` and ``build``.
    mmap : bool, default True
        How the returned ShardedIndex loads the shards.
    **options
        ``Korvane`` arguments besides ``dim`` (taken from ``vectors``): ``metric``,
        ``bit_width``, ``index_type``, ``mixed_ratio``, ``n4_dims``, ``ivf_nlist``,
        ``hnsw_m``, ... The same for every shard, so that all share their layout. A
        given ``hnsw_ef_search`` or ``ivf_nprobe`` is also set on the loaded shards.

    Returns
    -------
    ShardedIndex
        Over the files written, in partition order (``.paths``).

    Each partition is added where Dask computes it; the client only sends ``ids`` when
    it is a NumPy array, and ``fit_sample``.
    """
    if not isinstance(vectors, da.Array) or vectors.ndim != 2:
        raise TypeError("vectors must be a 2-D dask.array.Array")
    vectors = vectors.rechunk({1: -1})  # type: ignore[no-untyped-call]
    rows = vectors.chunks[0]
    if any(math.isnan(r) for r in rows):
        raise ValueError("vectors has partitions of unknown size: call vectors.compute_chunk_sizes() first")
    n, dim = sum(rows), int(vectors.shape[1])
    if isinstance(ids, da.Array):
        if ids.shape != (n,):
            raise ValueError(f"ids must be a 1-D array of {n} ids, one per vector, not of shape {ids.shape}")
        id_parts = client.compute(list(ids.rechunk((rows,)).to_delayed()))  # type: ignore[no-untyped-call]
    else:
        ids = np.asarray(ids)
        if ids.shape != (n,):
            raise ValueError(f"ids must be a 1-D array of {n} ids, one per vector, not of shape {ids.shape}")
        bounds = np.cumsum((0, *rows))
        id_parts = client.scatter([ids[a:b] for a, b in zip(bounds[:-1], bounds[1:])],  # type: ignore[no-untyped-call]
                                  hash=False)
    vector_parts = client.compute(list(vectors.to_delayed().ravel()))  # type: ignore[no-untyped-call]
    sample = None
    if fit_sample is not None:
        [sample] = client.scatter([fit_sample], hash=False)  # type: ignore[no-untyped-call]
    folder = os.fspath(directory)
    paths = [os.path.join(folder, f"shard-{i:05d}.krvn") for i in range(len(rows))]
    written: list[Optional[str]] = client.gather(client.map(  # type: ignore[no-untyped-call]
        _build_shard, id_parts, vector_parts, paths, dim=dim, options=options, fit_sample=sample,
        keep_vectors=keep_vectors, threads=threads, pure=False))
    built = [path for path in written if path is not None]
    return ShardedIndex(client, built, mmap=mmap, ef_search=options.get("hnsw_ef_search"),
                        nprobe=options.get("ivf_nprobe"))
