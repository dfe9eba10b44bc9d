// Docstrings of the Korvane class. Each begins with its text signature, from which the
// interpreter derives __text_signature__.
#pragma once

namespace korvane::py::docs {

inline constexpr const char* CLASS =
    "Korvane(dim, metric=\"cosine\", bit_width=4, index_type=\"brute_force\", mixed_ratio=None, "
    "n4_dims=None, ivf_nlist=256, ivf_nprobe=8, hnsw_m=32, hnsw_ef_construction=200, hnsw_ef_search=0)\n"
    "--\n\n"
    "Korvane — ultra-low resource embedded vector search engine.\n\n"
    "Vectors are rotated by a seeded randomized Hadamard transform and stored as 4-bit,\n"
    "2-bit or mixed scalar codes; queries stay in floating point.\n\n"
    "Parameters\n"
    "----------\n"
    "dim : int\n"
    "    Dimension of the vectors to index.\n"
    "metric : str, default \"cosine\"\n"
    "    Distance metric: \"cosine\", \"dot\" (or \"dot_product\") or \"l2\" (or \"euclidean\").\n"
    "    Case is ignored.\n"
    "bit_width : int, default 4\n"
    "    Quantization bit width, 4 or 2. Decides the default of ``n4_dims``.\n"
    "index_type : str, default \"brute_force\"\n"
    "    Index algorithm: \"brute_force\", \"ivf_flat\" or \"hnsw\". Case is ignored and\n"
    "    \"-\" counts as \"_\".\n"
    "mixed_ratio : float, optional\n"
    "    Share of the padded dimensions quantized at 4 bits, the rest at 2 bits. Clamped\n"
    "    to [0, 1]; the count is rounded down to a multiple of 4.\n"
    "n4_dims : int, optional\n"
    "    Number of leading padded dimensions quantized at 4 bits, capped at ``padded_dim``\n"
    "    and rounded down to a multiple of 4. Takes precedence over ``mixed_ratio``.\n"
    "ivf_nlist : int, default 256\n"
    "    Number of IVF cells (IvfFlat only).\n"
    "ivf_nprobe : int, default 8\n"
    "    Number of cells scanned per query (IvfFlat only).\n"
    "hnsw_m : int, default 32\n"
    "    Graph degree M (Hnsw only); see ``recommended_m``.\n"
    "hnsw_ef_construction : int, default 200\n"
    "    Candidate list size while inserting (Hnsw only).\n"
    "hnsw_ef_search : int, default 0\n"
    "    Candidate list size while searching; 0 means 2 * M (Hnsw only).\n";

inline constexpr const char* ADD =
    "add($self, ids, vectors, *, threads=1, progress=None)\n--\n\n"
    "Add vectors to the index.\n\n"
    "Parameters\n----------\n"
    "ids : sequence of int\n"
    "    One unsigned 64-bit id per vector; ids are not checked for uniqueness.\n"
    "vectors : array_like\n"
    "    Rows of length ``dim``: a 2-D float32 array (read in place when C-contiguous)\n"
    "    or a sequence of sequences of numbers.\n"
    "threads : int, default 1\n"
    "    Worker threads: 0 uses every available core. BruteForce and IvfFlat store the\n"
    "    same bytes for any count; an Hnsw graph built on more than one thread is the same\n"
    "    for every count above one (given the same adds), and differs from the one-thread\n"
    "    graph. 0 on a machine with one core builds the one-thread graph.\n"
    "progress : callable or bool, optional\n"
    "    ``progress(done, total)`` is called with the rows added so far, about every\n"
    "    0.1 s and once at the end; ``True`` draws a progress bar on ``sys.stderr``.\n\n"
    "An add longer than a moment releases the interpreter lock while it works (other\n"
    "threads keep running; a call that uses this index waits). Ctrl-C, or an exception\n"
    "raised by ``progress``, stops it at the next clean point and is raised; the rows\n"
    "added before the stop stay added. A NumPy array of numbers is read, a row at a\n"
    "time, while the add runs: do not write to it from another thread meanwhile.\n"
    "Vectors far from unit scale (most rotated coordinates in the outermost codes)\n"
    "warn once per index with a ``UserWarning``: call ``fit`` first (l2), or normalise\n"
    "them (dot).\n";

inline constexpr const char* REMOVE =
    "remove($self, ids, *, threads=1, progress=None)\n--\n\n"
    "Remove every vector whose id is among ``ids``.\n\n"
    "Ids are not unique: all vectors added under an id go. Unknown ids are ignored.\n"
    "The vectors left keep their order, so BruteForce and IvfFlat answer as an index\n"
    "holding only them would. A BruteForce index skips removed rows until they pass a\n"
    "sixteenth of it, then drops them in one pass. An Hnsw graph marks removed nodes,\n"
    "searches through them without returning them, and re-links their neighbours around\n"
    "them once they pass a fifth of the graph and at every ``build()``.\n\n"
    "Parameters\n----------\n"
    "ids : sequence of int\n"
    "    The ids whose vectors go.\n"
    "threads : int, default 1\n"
    "    Worker threads for re-linking a graph: 0 uses every available core. The graph\n"
    "    is the same for any count.\n"
    "progress : callable or bool, optional\n"
    "    ``progress(done, total)`` is called with the neighbour lists re-linked so far\n"
    "    (the total: every list that names a removed node), about every 0.1 s and once\n"
    "    at the end; ``True`` draws a progress bar on ``sys.stderr``.\n\n"
    "A remove that re-links releases the interpreter lock while it works. Ctrl-C, or an\n"
    "exception raised by ``progress``, stops the re-linking between two groups of lists\n"
    "and is raised; every vector of ``ids`` is removed all the same (``len`` before and\n"
    "after tells how many; ``in`` and ``get`` no longer find them). The graph stays\n"
    "whole, searched through the nodes still marked, and the next ``remove`` (of any\n"
    "ids, even none) or ``build()`` finishes the re-linking.\n\n"
    "The first ``remove``, ``update``, ``get`` or ``in`` builds a map from ids to vectors\n"
    "(about 20 to 45 bytes per vector), kept up to date from then on.\n\n"
    "Returns\n-------\n"
    "int\n"
    "    How many vectors were removed.\n";

inline constexpr const char* UPDATE =
    "update($self, ids, vectors, *, threads=1, progress=None)\n--\n\n"
    "Replace the vectors of ``ids``: ``remove(ids)``, then ``add(ids, vectors)``.\n\n"
    "An id not in the index is simply added. The arguments are those of ``add``;\n"
    "``progress`` counts the lists a graph re-links (as ``remove`` does) and then the\n"
    "vectors added. A vector of the wrong length or a value the kept vectors cannot\n"
    "hold fails before anything is removed. A stopped update has removed every vector\n"
    "of ``ids`` and keeps the new vectors added before the stop: those of a leading\n"
    "part of ``ids``, none if it stopped while re-linking. In a built IvfFlat index the\n"
    "new vectors wait, like added ones, for the next ``build()`` before searches and\n"
    "``len`` see them.\n";

inline constexpr const char* GET =
    "get($self, ids)\n--\n\n"
    "The vectors stored under ``ids``, as a float32 array of shape (len(ids), dim).\n\n"
    "With ``keep_vectors(\"input\")`` these are the vectors as added. Otherwise they are\n"
    "the kept vectors, or without them the decoded codes, with the rotation and the\n"
    "scaling undone (and ``fit``'s standardization under l2): within the rounding of the\n"
    "kept type; decoded codes are close only for vectors at the scale the codes are made\n"
    "for (cosine, l2 after ``fit``), and far off where most codes saturate (dot or l2\n"
    "without ``fit`` on large vectors). Cosine vectors come back with unit length. For an\n"
    "id held by several vectors, the last added (in an IvfFlat index built or loaded since\n"
    "they were added, the one in the highest-numbered list).\n\n"
    "Raises\n------\n"
    "KeyError\n"
    "    For the first id the index does not hold.\n";

inline constexpr const char* SEARCH =
    "search($self, query, k, allowlist=None)\n--\n\n"
    "Search for the K nearest neighbors.\n\n"
    "Parameters\n----------\n"
    "query : array_like\n"
    "    One vector of length ``dim``.\n"
    "k : int\n"
    "    Number of hits wanted.\n"
    "allowlist : sequence of int, optional\n"
    "    Only these ids may be returned; an empty allowlist allows nothing.\n\n"
    "Returns\n-------\n"
    "list of dict\n"
    "    Hits with the keys \"id\" and \"score\", highest score (closest) first.\n";

inline constexpr const char* FIT =
    "fit($self, vectors)\n--\n\n"
    "Compute per-dimension standardization parameters for L2 metric.\n\n"
    "Must be called before the first ``add``; does nothing for the cosine and dot\n"
    "metrics.\n\n"
    "Parameters\n----------\n"
    "vectors : array_like\n"
    "    Sample rows of length ``dim``.\n";

inline constexpr const char* BUILD =
    "build($self, *, threads=0, progress=None)\n--\n\n"
    "Build the search index.\n\n"
    "Clusters the pending vectors of an IvfFlat index; re-links an Hnsw graph around\n"
    "its removed nodes and drops them (as ``remove`` does past a fifth); does nothing\n"
    "for BruteForce.\n\n"
    "Parameters\n----------\n"
    "threads : int, default 0\n"
    "    Worker threads for k-means or re-linking: 0 uses every available core. The lists\n"
    "    and the graph are the same for any count.\n"
    "progress : callable or bool, optional\n"
    "    ``progress(done, total)`` is called about every 0.1 s and once at the end, counting\n"
    "    vectors assigned to a centroid, or lists re-linked; ``True`` draws a progress bar\n"
    "    on ``sys.stderr``.\n\n"
    "The interpreter lock is released while k-means or re-linking runs. Ctrl-C, or an\n"
    "exception raised by ``progress``, stops the build and is raised; an IvfFlat index is\n"
    "then as it was, a graph whole with the lists re-linked so far (as after a stopped\n"
    "``remove``).\n";

inline constexpr const char* SET_EF_SEARCH =
    "set_ef_search($self, ef)\n--\n\n"
    "Update HNSW ef_search at runtime without rebuilding the index.\n\n"
    "Has no effect on other index types.\n";

inline constexpr const char* SET_NPROBE =
    "set_nprobe($self, nprobe)\n--\n\n"
    "Update IvfFlat nprobe at runtime. Higher = better recall, lower QPS.\n\n"
    "Has no effect before the first ``build`` or on other index types.\n";

inline constexpr const char* SAVE =
    "save($self, path, checksum=False)\n--\n\n"
    "Save the index to a .krvn file.\n\n"
    "The file is written beside ``path`` and renamed over it once complete, so a failed\n"
    "save leaves an existing file as it was. Pending IvfFlat rows (added after the last\n"
    "``build``) are saved and come back pending; run-time ``set_nprobe``/``set_ef_search``\n"
    "values are not saved. With ``checksum=True`` the file ends with a CRC-32C of its\n"
    "bytes, and ``load`` refuses it if any byte changed (OSError \"invalid .krvn file:\n"
    "checksum mismatch\"); use it for files that travel or live long.\n";

inline constexpr const char* LOAD =
    "load($cls, path, mmap=False)\n--\n\n"
    "Load an index from a .krvn file (memory-mapped).\n\n"
    "Reads files of every version written so far; the returned index holds nothing of\n"
    "the file.\n\n"
    "With ``mmap=True`` the index keeps a read-only mapping of the file instead and reads\n"
    "its kept vectors (``keep_vectors``) in place: only the rows a search re-scores are\n"
    "read, and processes that load the same file share those pages through the page\n"
    "cache. Codes, ids and graph or lists are copied into memory as by a plain load, and\n"
    "the answers are the same. The mapping lives as long as the index; copies and\n"
    "pickles of it hold their own memory. The index still\n"
    "takes ``add`` and ``build``; what they change lives in memory and the file is never\n"
    "written. ``save`` may replace the same path (it writes a new file and renames it over\n"
    "the old one, which the mapping keeps). Replace mapped files only that way: a file\n"
    "changed in place by another program is read as changed by later searches, and one\n"
    "cut short makes them (and ``save``, pickling and an IvfFlat ``build``) raise\n"
    "OSError; a cut at the very moment the file is read can still stop the process with\n"
    "SIGBUS. A mapped index keeps its file open.\n";

inline constexpr const char* RECOMMENDED_M =
    "recommended_m(n)\n--\n\n"
    "Recommended HNSW M value for a given corpus size.\n\n"
    "32 below one million vectors, 64 from one million on.\n";

inline constexpr const char* IS_EMPTY =
    "is_empty($self)\n--\n\n"
    "True if the index contains no vectors.\n";

inline constexpr const char* IS_MIXED =
    "is_mixed($self)\n--\n\n"
    "True when index uses mixed 4-bit/2-bit quantization.\n";

inline constexpr const char* TRANSFORM_QUERY_NP =
    "transform_query_np($self, query)\n--\n\n"
    "Apply the full query pipeline (standardization → RHDH → scale).\n\n"
    "Returns a float32 array of shape ``[padded_dim]``: the floats that stored vectors are\n"
    "quantized from and that queries are scored with.\n";

inline constexpr const char* PACKED_DATA =
    "packed_data($self)\n--\n\n"
    "Raw packed vector data as a uint8 numpy array of shape ``[n, packed_bytes_per_vec]``.\n\n"
    "Each row is a 4-bit block of ``pb4_per_vec`` bytes (two codes per byte, low nibble\n"
    "first) followed by a 2-bit block (four codes per byte, lowest bits first). BruteForce\n"
    "indexes only.\n";

inline constexpr const char* VECTOR_NORMS =
    "vector_norms($self)\n--\n\n"
    "Per-vector quantized norms as a float32 numpy array of shape ``[n]``.\n\n"
    "BruteForce indexes only.\n";

inline constexpr const char* VECTOR_IDS =
    "vector_ids($self)\n--\n\n"
    "Vector IDs as a uint64 numpy array of shape ``[n]``.\n\n"
    "BruteForce indexes only.\n";

inline constexpr const char* CENTROIDS_4BIT =
    "centroids_4bit()\n--\n\n"
    "4-bit Lloyd-Max centroid table as float32 numpy array of shape ``[16]``.\n";

inline constexpr const char* CENTROIDS_2BIT =
    "centroids_2bit()\n--\n\n"
    "2-bit Lloyd-Max centroid table as float32 numpy array of shape ``[4]``.\n";

inline constexpr const char* PROFILE_VARIANCE =
    "profile_variance($self, sample_vecs)\n--\n\n"
    "Profile per-dimension variance of RHDH-rotated embeddings.\n\n"
    "Returns one variance per padded dimension; values near 1.0 mean the rotation has\n"
    "equalized the coordinates as the quantization tables assume.\n";

inline constexpr const char* OPTIMAL_N4_DIMS =
    "optimal_n4_dims($self, sample_vecs, avg_bits)\n--\n\n"
    "Compute the optimal n4_dims for a given average bit budget.\n\n"
    "``avg_bits`` is clamped to [2, 4]; the result is a multiple of 4 to pass as the\n"
    "``n4_dims`` constructor argument.\n";

inline constexpr const char* SEARCH_BATCH =
    "search_batch($self, queries, k, allowlist=None, threads=0)\n--\n\n"
    "Search many queries at once, across threads.\n\n"
    "Parameters\n----------\n"
    "queries : array_like\n"
    "    Queries of length ``dim``: a 2-D float32 array or a sequence of rows.\n"
    "k : int\n"
    "    Number of hits wanted per query.\n"
    "allowlist : sequence of int, optional\n"
    "    As for ``search``.\n"
    "threads : int, default 0\n"
    "    Worker threads: 0 uses every available core, 1 the calling thread only.\n\n"
    "Returns\n-------\n"
    "(ids, scores) : tuple of numpy.ndarray\n"
    "    uint64 and float32 arrays of shape ``(len(queries), min(k, n_vectors))``; row i holds\n"
    "    what ``search(queries[i], k, allowlist)`` returns, in the same order, padded with\n"
    "    id ``2**64 - 1`` and score ``-inf`` where a query has fewer hits.\n\n"
    "The interpreter lock is released while the queries run; other threads keep running,\n"
    "and a call that changes the index waits until the batch is done.\n";

inline constexpr const char* KEEP_VECTORS =
    "keep_vectors($self, dtype=\"float16\")\n--\n\n"
    "Keep, beside its codes, the vector each added row's codes approximate, to re-score.\n\n"
    "Call it on an empty index. From then on every added vector also keeps its rotated and\n"
    "scaled form (``padded_dim`` values) as ``\"float32\"`` (4 bytes a value),\n"
    "``\"float16\"`` (2 bytes, one scale per vector) or ``\"int8\"`` (1 byte, one scale per\n"
    "vector), and searches re-score their candidates from it (``set_rescore``; oversampling 4\n"
    "by default).\n\n"
    "``\"input\"`` keeps each vector as it was given instead: ``dim`` values in the type it\n"
    "arrived in, uint8, int8 or float16 for a NumPy array of that dtype and float32 for any\n"
    "other input (1, 1, 2 or 4 bytes a value). The first add that stores vectors fixes the\n"
    "type; later adds of another type are converted to it, float16 rounding to the nearest\n"
    "half. A value the type cannot hold (for uint8 and int8 anything but an integer in range,\n"
    "NaN included; for float16 a finite value beyond its range) raises ValueError and the add\n"
    "stores nothing. Candidates are re-scored in the input space with the scores their\n"
    "transformed vectors would give, up to float rounding.\n";

inline constexpr const char* SET_RESCORE =
    "set_rescore($self, oversampling)\n--\n\n"
    "Re-score ``ceil(k * oversampling)`` candidates from their kept vectors; 0 turns it off.\n\n"
    "``oversampling`` is 0 or at least 1 (1 only re-orders the top k). Needs kept vectors.\n";

inline constexpr const char* REDUCE =
    "__reduce__($self)\n--\n\n"
    "Pickle support: the index as the bytes of its sealed .krvn file, with the run-time\n"
    "``nprobe`` and ``ef_search`` (None where the index has none), which a saved file does not\n"
    "keep: the sealed bytes hold them too, and a copy checks that both agree. Every row travels,\n"
    "an IvfFlat index's pending rows included.\n";

inline constexpr const char* SETSTATE =
    "__setstate__($self, state, /)\n--\n\n"
    "Pickle support: replace this index with the one held in ``state`` (the bytes of a\n"
    ".krvn file, alone or with the run-time ``nprobe`` and ``ef_search``), with every check\n"
    "of ``load``.\n";

}  // namespace korvane::py::docs
