"""Every script in examples/ runs to completion; each checks its own results."""
import os
import pathlib
import subprocess
import sys

import pytest

import korvane

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
SCRIPTS = sorted(EXAMPLES.glob("*.py"))


def test_the_examples_are_all_here():
    assert {p.name for p in SCRIPTS} >= {
        "quickstart.py", "filtering.py", "save_load.py", "choose_layout.py", "gpu_scoring.py",
    }


@pytest.mark.parametrize("script", SCRIPTS, ids=[p.stem for p in SCRIPTS])
def test_example_runs(script, tmp_path):
    # The module the tests import, found the same way; run from an unrelated directory.
    path = os.pathsep.join(filter(None, [str(pathlib.Path(korvane.__file__).parent), os.environ.get("PYTHONPATH")]))
    env = {**os.environ, "PYTHONPATH": path}
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip()
    assert list(tmp_path.iterdir()) == []  # nothing left behind
