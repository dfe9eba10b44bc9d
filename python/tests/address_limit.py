"""Children that must do their work within a memory limit.

Normally the child caps its address space with RLIMIT_AS, so anything that would take more
than the limit in all fails there. Under AddressSanitizer (KORVANE_SANITIZED=1) that
cannot work: the sanitizer reserves terabytes of address space for its shadow memory at
start-up. There the child runs without the cap, and the sanitizer's max_allocation_size_mb
refuses instead any single allocation larger than the limit, which still catches a request
sized by a huge count. A refused `operator new` does not throw std::bad_alloc under the
sanitizer (allocator_may_return_null covers malloc only): it is reported as out of memory
and aborts the child, so the test fails with the report naming the allocation. Where many
small allocations could add up, the child can compare `heap_in_use()` with what the work
needs. Cases that need the whole process to run out of memory are marked `needs_real_oom`
and skipped under the sanitizers.
"""

import os
import textwrap

SANITIZED = os.environ.get("KORVANE_SANITIZED") == "1"


def child_env(limit, env):
    """`env` for a child held to `limit` bytes: under the sanitizers, with no single
    allocation larger than that."""
    env = dict(env)
    if SANITIZED:
        options = env.get("ASAN_OPTIONS", "")
        env["ASAN_OPTIONS"] = ":".join(filter(None, [options, f"max_allocation_size_mb={limit >> 20}"]))
    return env


def set_limit(limit):
    """Python source, run first in a child, that puts it under `limit` bytes of address
    space (nothing under the sanitizers, where `child_env` holds it instead) and defines
    `heap_in_use()`: the bytes of heap blocks in use, as the sanitizer counts them, or
    None when not sanitized."""
    if SANITIZED:
        return textwrap.dedent("""
            import ctypes
            def heap_in_use():
                count = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
                count.restype = ctypes.c_size_t
                return count()
        """)
    return textwrap.dedent(f"""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, ({limit}, {limit}))
        def heap_in_use():
            return None
    """)
