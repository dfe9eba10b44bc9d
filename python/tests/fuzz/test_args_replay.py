"""Replays the argument-conversion fuzz target's seeds and minimised findings through the
interpreter: every program must end with results or ordinary exceptions, never a
SystemError (a NULL without an exception, or a result with one), a MemoryError, an
internal error of the binding or a result that depends on how an argument is laid out.
Memory errors show only under the sanitizers (make test-sanitize). The libFuzzer target
itself needs clang: make fuzz-args."""

import pathlib

import pytest

import args_program

HERE = pathlib.Path(__file__).parent
INPUTS = sorted(p for folder in ("corpus", "regressions") if (HERE / folder).is_dir()
                for p in (HERE / folder).iterdir() if p.is_file())

# Findings not fixed yet: replaying them would end the sanitizer run. Each is taken off
# this list with its fix.
_WITHOUT_NORMS = ("a BruteForce index loaded without norms (a version-1 file, or one cut inside its norms) "
                  "reads past its norms in a search after an add")
OPEN = {
    "brute_force_without_norms_add_search": _WITHOUT_NORMS,
    "brute_force_without_norms_add_flat_search_batch": _WITHOUT_NORMS,
}


@pytest.fixture(scope="module", autouse=True)
def fixtures():
    args_program.setup()


@pytest.mark.parametrize("path", INPUTS, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_program_ends_with_results_or_ordinary_exceptions(path):
    if path.parent.name == "regressions" and path.name in OPEN:
        pytest.skip(f"open finding: {OPEN[path.name]}")
    args_program.run(path.read_bytes())
