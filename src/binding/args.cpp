#include "binding/args.hpp"

#include <string>

#include "binding/pyref.hpp"

namespace brindlex::py {

namespace {

const char* was_were(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(std::span<const char* const> names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) out += " and ";
            else if (i + 1 == names.size()) out += ", and ";
            else out += ", ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out) {
    const auto nparams = static_cast<Py_ssize_t>(sig.params.size());
    for (Py_ssize_t i = 0; i < nparams; ++i) out[i] = nullptr;

    if (nargs > nparams) {
        if (static_cast<Py_ssize_t>(sig.required) < nparams) {
            PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zd positional arguments but %zd %s given",
                         sig.full_name, sig.required, nparams, nargs, was_were(nargs));
        } else {
            PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", sig.full_name,
                         nparams, nargs, was_were(nargs));
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < nparams; ++i) {
            if (PyUnicode_EqualToUTF8(key, sig.params[static_cast<size_t>(i)])) {
                slot = i;
                break;
            }
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.full_name, key);
            return false;
        }
        if (out[slot]) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name,
                         sig.params[static_cast<size_t>(slot)]);
            return false;
        }
        out[slot] = args[nargs + k];
    }

    const char* missing[8];
    size_t nmissing = 0;
    for (size_t i = 0; i < sig.required && i < 8; ++i) {
        if (!out[i]) missing[nmissing++] = sig.params[i];
    }
    if (nmissing > 0) {
        const std::string list = quoted_list(std::span<const char* const>(missing, nmissing));
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.full_name, nmissing,
                     nmissing == 1 ? "argument" : "arguments", list.c_str());
        return false;
    }
    return true;
}

void prefix_argument_error(const char* name) {
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) return;
    if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(raised);
        return;
    }
    Ref original = Ref::steal(raised);
    Ref text = Ref::steal(PyObject_Str(original.get()));
    if (!text) return;
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    PyErr_SetRaisedException(replacement.release());
}

}  // namespace brindlex::py
