"""Every script in examples/ runs to completion; each checks its own results."""
import pathlib

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
SCRIPTS = sorted(EXAMPLES.glob("*.py"))


def test_the_examples_are_all_here():
    assert {p.name for p in SCRIPTS} >= {
        "quickstart.py", "filtering.py", "save_load.py", "choose_layout.py", "gpu_scoring.py",
    }


@pytest.mark.parametrize("script", SCRIPTS, ids=[p.stem for p in SCRIPTS])
def test_example_runs(script, tmp_path, run_python):
    done = run_python(script, cwd=tmp_path)  # from an unrelated directory
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip()
    assert list(tmp_path.iterdir()) == []  # nothing left behind
