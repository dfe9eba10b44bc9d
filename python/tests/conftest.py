import os
import pathlib
import subprocess
import sys

import pytest

import korvane

# Under AddressSanitizer the process reserves terabytes of address space for its shadow
# memory, so a test that proves bounded memory with RLIMIT_AS cannot run there.
SANITIZED = os.environ.get("KORVANE_SANITIZED") == "1"


def pytest_configure(config):
    config.addinivalue_line("markers", "memory_limit: runs a child under RLIMIT_AS (not under sanitizers)")
    config.addinivalue_line("markers", "resident_memory: measures resident memory, which the sanitizer's "
                            "quarantine of freed blocks keeps growing (not under sanitizers)")


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    skip = pytest.mark.skip(reason="RLIMIT_AS and resident memory checks do not hold under AddressSanitizer")
    for item in items:
        if "memory_limit" in item.keywords or "resident_memory" in item.keywords:
            item.add_marker(skip)


@pytest.fixture
def run_python():
    """Runs a Python script in a new process that imports the same korvane module."""

    def run(script, *args, cwd=None):
        path = [str(pathlib.Path(korvane.__file__).parent), os.environ.get("PYTHONPATH")]
        env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, path))}
        return subprocess.run([sys.executable, str(script), *map(str, args)], cwd=cwd, env=env, capture_output=True,
                              text=True, timeout=120)

    return run
