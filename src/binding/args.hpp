// Binding of call arguments to parameters, for methods called with the fast calling
// convention. Every parameter may be given by position or by keyword.
#pragma once

#include <Python.h>

#include <span>

namespace brindlex::py {

struct Signature {
    const char* full_name;  // as shown in messages, e.g. "PrefixSearch.fuzzy_match()"
    std::span<const char* const> params;
    size_t required;  // the first `required` parameters have no default
};

// Fills out[i] with a borrowed reference to the argument of parameter i, or null when it
// was not given. Returns false with a TypeError set when the arguments do not fit.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out);

// Called after converting parameter `name` failed: a TypeError becomes a TypeError whose
// message starts with "argument 'NAME': ", keeping the original's cause. Other exception
// classes pass through unchanged.
void prefix_argument_error(const char* name);

}  // namespace brindlex::py
