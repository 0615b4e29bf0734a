// Building an engine natively: from Python entries, and from a catalogue file.
#pragma once

#include <Python.h>

namespace brindlex::py {

// _brindlex.PrefixSearch, set when the module is executed (module.cpp).
PyTypeObject* engine_type();

// build(entries, video_top_n, mode, normal, slow_entry, /)
PyObject* build_entries(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// lay_out(entries, slow_entry, /): the five arrays of from_internal_data_v2
PyObject* lay_out_entries(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// read_catalogue(stream, fmt, video_top_n, mode, normal, slow_row, row_error, progress, /)
PyObject* read_catalogue(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace brindlex::py
