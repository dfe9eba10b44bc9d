"""Writes the seed corpus of the argument-conversion fuzz target into corpus/.

Every byte string is a program to args_program.py; these seeds start each method once
from two template indexes with plain arguments (a tail of zero bytes takes the plainest
choices) and once with a tail of pseudo-random bytes, plus a few programs of several steps
that reach the states a single call cannot: kept vectors with re-scoring, a constructed
index that is filled and built, a save that is loaded again. The bytes do not depend on
the module, but the steps of a longer program are laid out by running it, so the module
must be importable: PYTHONPATH=build/python .venv/bin/python python/tests/fuzz/make_corpus.py
"""

import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from args_program import Program  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
N_TEMPLATES = 8  # as made by args_program._templates()


def method(name):
    return Program.METHODS.index(name)


def lay_out(template, steps):
    prog = bytes([template, len(steps) - 1, 0])
    for count in range(1, len(steps) + 1):
        data = prog + bytes([method(steps[count - 1])]) + bytes(256)
        p = Program(data)
        result = None
        for _ in range(count):
            func, args, kwargs = p.next_step(result)
            try:
                result = func(*args, **kwargs)
            except Exception:
                result = None
        prog = data[: p.r.pos]
    return prog + b"\xff"  # not zero, so that the program goes on to its last step


def main():
    out = os.path.join(HERE, "corpus")
    os.makedirs(out, exist_ok=True)
    for f in os.listdir(out):
        os.unlink(os.path.join(out, f))
    rng = random.Random(20240611)
    seeds = {}
    names = sorted(set(Program.METHODS))
    for i, name in enumerate(names):
        m = method(name)
        # template, steps (1), warnings off, then the method and its arguments.
        seeds[f"{name}_plain"] = bytes([i % N_TEMPLATES, 0, 0, m]) + bytes(48)
        tail = bytes(rng.randrange(256) for _ in range(160))
        seeds[f"{name}_mixed"] = bytes([(i + 3) % N_TEMPLATES, 0, rng.randrange(4), m]) + tail
    # Several steps: each step's method byte follows the bytes that the previous step's
    # arguments took, which depends on the step; the program is run to find where.
    programs = {
        "kept_rescore_search": (7, ["set_rescore", "search", "search_batch"]),
        "construct_add_build_search": (0, ["Korvane", "add", "build", "search"]),
        "save_load_search": (4, ["save", "load", "search"]),
        "pickle_add_search_batch": (3, ["pickle", "add", "search_batch"]),
    }
    for name, (template, steps) in programs.items():
        seeds[name] = lay_out(template, steps)
    for name, data in sorted(seeds.items()):
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    print(f"{len(seeds)} seeds in {out}")


if __name__ == "__main__":
    main()
