import importlib
import subprocess
import sys
import textwrap

import pytest

import korvane


def test_a_second_initialisation_returns_the_first_module():
    first = sys.modules.pop("korvane.korvane")  # the extension inside the package
    try:
        again = importlib.import_module("korvane.korvane")
        assert again is first and again.Korvane is korvane.Korvane
    finally:
        sys.modules["korvane.korvane"] = first
        vars(korvane).pop("korvane", None)  # bound by the import above


def test_a_sub_interpreter_is_refused():
    pytest.importorskip("_testcapi")
    script = textwrap.dedent("""
        import sys, _testcapi
        import korvane
        code = '''
        import sys
        try:
            import korvane
        except ImportError as e:
            sys.stdout.write("ImportError " + str(e) + "\\\\n")
        else:
            sys.stdout.write("imported\\\\n")
        '''
        _testcapi.run_in_subinterp(code)
        k = korvane.Korvane(4)
        k.add([1], [[1.0, 2.0, 3.0, 4.0]])
        sys.stdout.write("main " + repr(k) + "\\n")
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    lines = out.splitlines()
    assert lines[0].startswith("ImportError korvane cannot be imported in a sub-interpreter")
    assert lines[1] == "main Korvane(dim=4, n=1, bit_width=4, index_type=BruteForce)"


def test_the_main_interpreter_importing_second_is_told_where_the_module_lives():
    pytest.importorskip("_testcapi")
    script = textwrap.dedent("""
        import sys, _testcapi
        code = '''
        import sys
        try:
            import korvane
        except ImportError as e:
            sys.stdout.write("sub ImportError " + str(e) + "\\\\n")
        else:
            sys.stdout.write("sub imported\\\\n")
        '''
        _testcapi.run_in_subinterp(code)
        try:
            import korvane
        except ImportError as e:
            sys.stdout.write("main ImportError " + str(e) + "\\n")
        else:
            k = korvane.Korvane(4)
            k.add([1], [[1.0, 2.0, 3.0, 4.0]])
            sys.stdout.write("main " + repr(k) + "\\n")
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    lines = out.splitlines()
    if lines[0] == "sub imported":
        # The sub-interpreter holds the module: the main interpreter is told so, not that
        # it is a sub-interpreter.
        assert lines[1].startswith("main ImportError korvane is already loaded in another interpreter")
        assert "sub-interpreter" not in lines[1]
    else:
        # Python 3.13 runs the initialisation of such a module in the main interpreter
        # first: the module is then the main interpreter's, and the sub-interpreter is
        # refused.
        assert lines[0].startswith("sub ImportError korvane cannot be imported in a sub-interpreter")
        assert lines[1] == "main Korvane(dim=4, n=1, bit_width=4, index_type=BruteForce)"
