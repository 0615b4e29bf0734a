// The checks of a store that `brindlex stats` and `verify` report (core/check), with the
// term lookups' own refusals counted as damage.
#pragma once

#include <Python.h>

namespace brindlex::py {

// check_snapshot(data, notes=None, /): (nodes, terms, videos, id mode, bytes used, damage, notes)
PyObject* check_snapshot(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// check_engine(engine, notes=None, /): (damage, notes)
PyObject* check_engine(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace brindlex::py
