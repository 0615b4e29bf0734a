// Binding of call arguments to parameters, for methods called with the fast calling
// convention. Every parameter may be given by position or by keyword.
#pragma once

#include <Python.h>

#include <span>
#include <string>

namespace brindlex::py {

// One parameter: its name and, when it may be left out, its default as Python text.
struct Param {
    const char* name;
    const char* default_text = nullptr;  // nullptr: required
};

// A method as Python sees it: the one place its parameter names are written.
struct Signature {
    const char* full_name;  // as shown in messages, e.g. "PrefixSearch.fuzzy_match()"
    const char* text_prefix;  // its text signature up to the parameters: "fuzzy_match(" or "to_bytes($self"
    std::span<const Param> params;

    // The leading parameters without a default.
    size_t required() const {
        size_t n = 0;
        while (n < params.size() && params[n].default_text == nullptr) ++n;
        return n;
    }
    const char* name(size_t i) const { return params[i].name; }
};

// The method's docstring: only its text signature, "fuzzy_match(term, max_dist=1,
// limit=None)\n--\n\n", so that __text_signature__ is set and __doc__ is None.
std::string text_signature(const Signature& sig);

// The entry of a METH_FASTCALL method in a method table, which stores every function as a
// PyCFunction: the cast the interpreter undoes before calling.
template <class F>
PyCFunction method_entry(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Fills out[i] with a borrowed reference to the argument of parameter i, or null when it
// was not given. Returns false with a TypeError set when the arguments do not fit.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out);

// For functions whose arguments are all positional: a TypeError unless the call has
// exactly `want` of them.
bool expect_args(const char* name, Py_ssize_t nargs, Py_ssize_t want);

// The same for a last argument that may be left out: `least` or `least + 1` of them.
bool expect_args_or_one_more(const char* name, Py_ssize_t nargs, Py_ssize_t least);

// Called after converting parameter `name` failed: a TypeError becomes a TypeError whose
// message starts with "argument 'NAME': ", keeping the original's cause. Other exception
// classes pass through unchanged.
void prefix_argument_error(const char* name);

}  // namespace brindlex::py
