"""Every script in examples/ runs to completion; each checks its own results."""
import importlib.util
import pathlib

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
SCRIPTS = sorted(EXAMPLES.glob("*.py"))
# Scripts that need more than korvane and NumPy: the module each one imports. `make test`
# installs them; elsewhere the script is skipped when the module is missing.
NEEDS = {"sharded_dask": "distributed"}
# What a script prints only after its own checks have passed.
PRINTS = {
    "sharded_dask": "sharded and single-index results agree: 100 queries, top 10, same ids and scores",
}


def test_the_examples_are_all_here():
    assert {p.name for p in SCRIPTS} >= {
        "quickstart.py", "filtering.py", "save_load.py", "choose_layout.py", "gpu_scoring.py", "sharded_dask.py",
    }


def _param(script):
    needs = NEEDS.get(script.stem)
    missing = needs is not None and importlib.util.find_spec(needs) is None
    return pytest.param(script, id=script.stem,
                        marks=pytest.mark.skipif(missing, reason=f"{script.name} needs {needs}, not installed"))


@pytest.mark.parametrize("script", [_param(s) for s in SCRIPTS])
def test_example_runs(script, tmp_path, run_python, monkeypatch):
    work = tmp_path / "cwd"
    temp = tmp_path / "tmp"
    work.mkdir()
    temp.mkdir()
    monkeypatch.setenv("TMPDIR", str(temp))  # where tempfile, multiprocessing and Dask put their files
    done = run_python(script, cwd=work)  # from an unrelated directory
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip()
    assert PRINTS.get(script.stem, "") in done.stdout
    assert list(work.iterdir()) == []  # nothing left behind
    assert list(temp.iterdir()) == []
