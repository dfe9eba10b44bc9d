import os
import pathlib
import subprocess
import sys

import pytest

import korvane

from address_limit import SANITIZED


def pytest_configure(config):
    config.addinivalue_line("markers", "memory_limit: runs a child held to a memory limit: RLIMIT_AS normally, "
                            "no single allocation above the limit under the sanitizers (address_limit.py)")
    config.addinivalue_line("markers", "needs_real_oom: needs the whole child to run out of address space "
                            "under RLIMIT_AS, which the sanitizer's shadow memory rules out (not under sanitizers)")
    config.addinivalue_line("markers", "heavy: needs gigabytes of memory; make test leaves it to make test-heavy")
    config.addinivalue_line("markers", "resident_memory: measures resident memory, which the sanitizer's "
                            "quarantine of freed blocks keeps growing (not under sanitizers)")
    # Many tests add raw-scale rows on purpose; the tests of the warning record it themselves.
    config.addinivalue_line("filterwarnings", "ignore:the added vectors are far from unit scale:UserWarning")


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    reasons = {"needs_real_oom": "RLIMIT_AS cannot be used under AddressSanitizer, which reserves terabytes "
                                 "of address space for its shadow memory",
               "resident_memory": "resident memory checks do not hold under AddressSanitizer"}
    for item in items:
        for marker, reason in reasons.items():
            if marker in item.keywords:
                item.add_marker(pytest.mark.skip(reason=reason))
                break


@pytest.fixture
def run_python():
    """Runs a Python script in a new process that imports the same korvane package."""

    def run(script, *args, cwd=None):
        path = [str(pathlib.Path(korvane.__file__).parents[1]), os.environ.get("PYTHONPATH")]
        env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, path))}
        return subprocess.run([sys.executable, str(script), *map(str, args)], cwd=cwd, env=env, capture_output=True,
                              text=True, timeout=120)

    return run
