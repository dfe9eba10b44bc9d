import os
import pathlib
import subprocess
import sys

import pytest

import korvane


@pytest.fixture
def run_python():
    """Runs a Python script in a new process that imports the same korvane module."""

    def run(script, *args, cwd=None):
        path = [str(pathlib.Path(korvane.__file__).parent), os.environ.get("PYTHONPATH")]
        env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, path))}
        return subprocess.run([sys.executable, str(script), *map(str, args)], cwd=cwd, env=env, capture_output=True,
                              text=True, timeout=120)

    return run
