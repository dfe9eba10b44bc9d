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


@pytest.fixture(scope="module", autouse=True)
def fixtures():
    args_program.setup()


@pytest.mark.parametrize("path", INPUTS, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_program_ends_with_results_or_ordinary_exceptions(path):
    args_program.run(path.read_bytes())
