// Index files of version 2 (core/mapped): written from a Lookup, opened in place.
#pragma once

#include <Python.h>

namespace brindlex::py {

// write_index(lookup, text_mode, video_top_n, /): the file's bytes, or None when the
// store cannot be used in place (then a version 1 file is written instead)
PyObject* write_index(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// open_index(source, verify, map, suggestion, completion, /): (lookup, text_mode,
// video_top_n, mapped) of an open file descriptor or a bytes-like object
PyObject* open_index(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace brindlex::py
