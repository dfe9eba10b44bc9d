// Fuzz target for the binding's argument conversions, through an embedded interpreter.
//
// The extension module is compiled into this program (with the core, the same coverage
// instrumentation and the same sanitizers) and registered as the built-in module
// `korvane` before the interpreter starts; NumPy and the rest of the standard library come
// from the virtual environment whose python this program was configured with. The
// interpreter's own allocator is off, so every Python object lives in a checked block.
//
// Each input is decoded by args_program.py into a short program of calls with odd
// arguments (see there). Every call of a Korvane method goes straight to its C function,
// not through the interpreter's call machinery (which would turn a NULL without an
// exception into a SystemError), and its result is checked:
//   - NULL without an exception set, or a result with an exception set;
//   - a SystemError (the interpreter's own verdict on a C function's result);
//   - a RuntimeError "internal error: ..." (a C++ exception that reached the binding's
//     guard: none is expected from argument conversion);
//   - a MemoryError: the inputs are a few hundred bytes and every size they name is small,
//     so memory that cannot be had comes from a value taken without a bound.
// Each of these prints the call and aborts; other Python exceptions are what odd
// arguments should get and are cleared. Crashes and sanitizer reports end the run too.
// For a call whose arguments hold NumPy arrays, the program also makes the same call with
// the arrays as lists and raises Finding when the results differ (args_program.py); that
// too is reported here.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

extern "C" PyObject* PyInit_korvane(void);

#ifndef KORVANE_ARGS_FUZZ_DIR
#error "KORVANE_ARGS_FUZZ_DIR (the folder of args_program.py) must be defined"
#endif
#ifndef KORVANE_ARGS_FUZZ_PYTHON
#error "KORVANE_ARGS_FUZZ_PYTHON (the virtual environment's python) must be defined"
#endif

// The interpreter keeps memory until exit, which leak detection would report for every
// input; a request that cannot be served must come back as NULL (then MemoryError), not
// end the run, so that the MemoryError check above sees it.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0:allocator_may_return_null=1:abort_on_error=1";
}
extern "C" const char* __ubsan_default_options() { return "print_stacktrace=1:halt_on_error=1"; }

namespace {

PyObject* g_program_class = nullptr;
PyObject* g_next_step = nullptr;
PyObject* g_failed = nullptr;   // args_program.FAILED: what next_step gets after a call raised
PyObject* g_finding = nullptr;  // args_program.Finding: a comparison that did not hold

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "args_fuzz: %s\n", what);
    if (PyErr_Occurred()) PyErr_Print();
    std::abort();
}

void init_python() {
    if (PyImport_AppendInittab("korvane", PyInit_korvane) < 0) fail("cannot register the korvane module");

    PyPreConfig pre;
    PyPreConfig_InitPythonConfig(&pre);
    // Every object in a block of its own, checked by AddressSanitizer.
    pre.allocator = PYMEM_ALLOCATOR_MALLOC;
    PyStatus status = Py_PreInitialize(&pre);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);

    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.parse_argv = 0;              // the arguments are libFuzzer's
    config.install_signal_handlers = 0;  // libFuzzer's handlers stay
    config.write_bytecode = 0;
    config.user_site_directory = 0;
    // The virtual environment's python as this program's name: the interpreter finds
    // pyvenv.cfg beside it, and with it the environment's site-packages (NumPy).
    const char* python = std::getenv("KORVANE_ARGS_FUZZ_PYTHON");
    if (python == nullptr || *python == '\0') python = KORVANE_ARGS_FUZZ_PYTHON;
    status = PyConfig_SetBytesString(&config, &config.program_name, python);
    if (!PyStatus_Exception(status)) status = PyConfig_SetBytesString(&config, &config.executable, python);
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);

    PyObject* sys_path = PySys_GetObject("path");  // borrowed
    PyObject* dir = PyUnicode_DecodeFSDefault(KORVANE_ARGS_FUZZ_DIR);
    if (sys_path == nullptr || dir == nullptr || PyList_Insert(sys_path, 0, dir) < 0) fail("cannot set sys.path");
    Py_DECREF(dir);

    // The module must be the instrumented one compiled in here, not an extension file
    // found on the path.
    PyObject* korvane = PyImport_ImportModule("korvane");
    if (korvane == nullptr) fail("cannot import korvane");
    PyObject* file = PyObject_GetAttrString(korvane, "__file__");
    if (file != nullptr) fail("korvane was imported from a file, not the module built into this program");
    PyErr_Clear();
    Py_DECREF(korvane);

    PyObject* program = PyImport_ImportModule("args_program");
    if (program == nullptr) fail("cannot import args_program");
    PyObject* done = PyObject_CallMethod(program, "setup", nullptr);
    if (done == nullptr) fail("args_program.setup() failed");
    Py_DECREF(done);
    g_next_step = PyUnicode_InternFromString("next_step");
    if (g_next_step == nullptr) fail("cannot make a name");
    g_program_class = PyObject_GetAttrString(program, "Program");
    g_failed = PyObject_GetAttrString(program, "FAILED");
    g_finding = PyObject_GetAttrString(program, "Finding");
    if (g_program_class == nullptr || g_failed == nullptr || g_finding == nullptr) {
        fail("args_program lacks Program, FAILED or Finding");
    }
    Py_DECREF(program);
}

// Calls `func` the way the interpreter would, except that the C function of a method
// defined by the extension is called directly, so that what it returns is seen as it is.
PyObject* raw_call(PyObject* func, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* kw = (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) ? kwargs : nullptr;
    if (PyType_Check(func)) {
        // The constructor: the class has a tp_new and no __init__.
        auto* type = reinterpret_cast<PyTypeObject*>(func);
        if (type->tp_new != nullptr && std::strcmp(type->tp_name, "Korvane") == 0) {
            return type->tp_new(type, args, kw);
        }
    }
    if (PyCFunction_Check(func)) {
        const int flags = PyCFunction_GET_FLAGS(func);
        PyObject* self = PyCFunction_GET_SELF(func);
        PyCFunction meth = PyCFunction_GET_FUNCTION(func);
        const int kind = flags & (METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL);
        if (kind == (METH_VARARGS | METH_KEYWORDS)) {
            auto with_keywords = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(meth));
            return with_keywords(self, args, kw);
        }
        if (kind == METH_NOARGS && nargs == 0 && kw == nullptr) return meth(self, nullptr);
        if (kind == METH_O && nargs == 1 && kw == nullptr) return meth(self, PyTuple_GET_ITEM(args, 0));
    }
    // Anything else (len, repr, pickling, a call of the wrong shape): the interpreter's
    // own check of the result still applies, as a SystemError.
    return PyObject_Call(func, args, kwargs);
}

bool is_internal_runtime_error() {
    if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) return false;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    bool internal = false;
    if (value != nullptr) {
        PyObject* text = PyObject_Str(value);
        if (text != nullptr) {
            const char* s = PyUnicode_AsUTF8(text);
            internal = s != nullptr && std::strncmp(s, "internal error", 14) == 0;
            Py_DECREF(text);
        }
        PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
    return internal;
}

[[noreturn]] void finding(PyObject* program, const char* what) {
    // The exception first, then the call (describing it may run Python code).
    std::fprintf(stderr, "args_fuzz: FINDING: %s\n", what);
    if (PyErr_Occurred()) PyErr_Print();
    PyObject* text = PyObject_CallMethod(program, "describe", nullptr);
    const char* s = text != nullptr ? PyUnicode_AsUTF8(text) : nullptr;
    std::fprintf(stderr, "args_fuzz: the call: %s\n", s != nullptr ? s : "(cannot describe)");
    std::fflush(stderr);
    std::abort();
}

// Checks one call's outcome and clears what may be cleared; the result (a new reference,
// or NULL after an exception) is handed back for the program's next step.
PyObject* check(PyObject* program, PyObject* result) {
    PyObject* raised = PyErr_Occurred();
    if (result == nullptr && raised == nullptr) finding(program, "returned NULL without an exception set");
    if (result != nullptr && raised != nullptr) finding(program, "returned a result with an exception set");
    if (raised == nullptr) return result;
    if (PyErr_ExceptionMatches(PyExc_SystemError)) finding(program, "SystemError");
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) finding(program, "MemoryError");
    if (is_internal_runtime_error()) finding(program, "internal error of the binding");
    PyErr_Clear();
    return nullptr;
}

void run_program(const std::uint8_t* data, std::size_t size) {
    PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size));
    if (bytes == nullptr) fail("cannot make the input bytes");
    PyObject* program = PyObject_CallOneArg(g_program_class, bytes);
    Py_DECREF(bytes);
    if (program == nullptr) {
        // The templates are made once and every input starts from a copy: a failure
        // here is a fault of the harness or of __setstate__, not of an input's choices.
        finding(Py_None, "Program() failed");
    }
    PyObject* previous = Py_NewRef(Py_None);
    for (;;) {
        PyObject* step = PyObject_CallMethodOneArg(program, g_next_step, previous);
        Py_DECREF(previous);
        previous = nullptr;
        if (step == nullptr && PyErr_ExceptionMatches(g_finding)) {
            // The last call's result differs from that of the same call with its arrays
            // given as lists.
            finding(program, "a result that depends on the argument's layout");
        }
        if (step == nullptr) {
            // Building the arguments failed (a lying object's constructor, say): the
            // program ends here.
            if (const char* debug = std::getenv("KORVANE_ARGS_FUZZ_DEBUG"); debug != nullptr && *debug == '1') {
                PyErr_Print();
            }
            PyErr_Clear();
            break;
        }
        if (step == Py_None) {
            Py_DECREF(step);
            break;
        }
        PyObject *func, *args, *kwargs;
        if (!PyArg_ParseTuple(step, "OO!O!", &func, &PyTuple_Type, &args, &PyDict_Type, &kwargs)) {
            fail("next_step() returned something else than (callable, tuple, dict)");
        }
        PyObject* result = raw_call(func, args, kwargs);
        previous = check(program, result);
        Py_DECREF(step);
        if (previous == nullptr) previous = Py_NewRef(g_failed);
    }
    Py_XDECREF(previous);
    Py_DECREF(program);
    PyErr_Clear();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    init_python();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    run_program(data, size);
    return 0;
}
