// Module initialisation. The module is created once per process: a later initialisation
// in the same interpreter returns the first module, and one from another interpreter
// is refused, since the class and NumPy's API table are process-wide.
#define KORVANE_DEFINE_ARRAY_API
#include "numpy_api.h"

#include <cstdint>

#include "type.h"

namespace {

// m_size 0 rather than -1: the interpreter then calls PyInit_korvane again on a
// re-import, so the interpreter check below is never bypassed by a cached copy.
PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "korvane", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;
std::int64_t g_interpreter_id = -1;

PyObject* create_module() {
    using korvane::py::Ref;
    if (_import_array() < 0) return nullptr;
    Ref module(PyModule_Create(&g_module_def));
    if (!module) return nullptr;
    Ref type(korvane::py::create_korvane_type());
    if (!type) return nullptr;
    if (PyModule_AddObject(module.get(), "Korvane", type.get()) < 0) return nullptr;
    type.release();  // stolen by PyModule_AddObject on success
    if (PyModule_AddStringConstant(module.get(), "__version__", "1.0.0") < 0) return nullptr;
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_korvane(void) {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) return nullptr;
    if (g_module != nullptr) {
        if (interpreter != g_interpreter_id) {
            // The main interpreter is not a sub-interpreter: it only comes second here.
            if (PyInterpreterState_Get() == PyInterpreterState_Main()) {
                PyErr_Format(PyExc_ImportError,
                             "korvane is already loaded in another interpreter (interpreter %lld) of this "
                             "process and can be used from one interpreter only",
                             static_cast<long long>(g_interpreter_id));
            } else {
                PyErr_Format(PyExc_ImportError,
                             "korvane cannot be imported in a sub-interpreter: it is already loaded in "
                             "interpreter %lld",
                             static_cast<long long>(g_interpreter_id));
            }
            return nullptr;
        }
        Py_INCREF(g_module);
        return g_module;
    }
    PyObject* module = create_module();
    if (module == nullptr) return nullptr;
    // One reference stays here for the life of the process; the other goes to the caller.
    Py_INCREF(module);
    g_module = module;
    g_interpreter_id = interpreter;
    return module;
}
