// The module kavo: its objects in order of registration, the format constants, the import entry.
#include "binding.h"

using namespace kavo_binding;

// pybind11's import entry is built under another name and without export, so that the entry the
// interpreter calls can refuse a sub-interpreter first (see PyInit_kavo below).
#pragma push_macro("PYBIND11_EXPORT")
#undef PYBIND11_EXPORT
#define PYBIND11_EXPORT
#define PyInit_kavo kavo_pybind11_entry

PYBIND11_MODULE(kavo, m) {
    bind_compressobj(m);
    m.attr("KAVO_FMT_GZIP") = py::int_(int(KAVO_FMT_GZIP));
    m.attr("KAVO_FMT_ZLIB") = py::int_(int(KAVO_FMT_ZLIB));
    m.attr("KAVO_FMT_DEFLATE") = py::int_(int(KAVO_FMT_DEFLATE));
    bind_compress(m);
    bind_writer(m);
    bind_zlib(m);
}

#undef PyInit_kavo
#pragma pop_macro("PYBIND11_EXPORT")

// pybind11 keeps one registry of types per process before CPython 3.12 and reaches it through
// PyGILState_Ensure, which in a sub-interpreter waits for the lock its own thread holds: the
// import would hang for ever. So a sub-interpreter gets an ImportError at once. From 3.12 on
// pybind11 keeps a registry per interpreter: a sub-interpreter that shares the main one's lock
// loads and uses the module, and one with its own lock is refused by the interpreter itself, since
// the module does not declare support for that.
extern "C" PYBIND11_EXPORT PyObject *PyInit_kavo() {
#ifndef Py_mod_multiple_interpreters
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "kavo cannot be loaded in a sub-interpreter, only in the main interpreter");
        return nullptr;
    }
#endif
    return kavo_pybind11_entry();
}
