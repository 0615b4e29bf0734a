#include "binding/args.hpp"

#include <string>
#include <vector>

#include "binding/messages.hpp"
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

bool expect_args(const char* name, Py_ssize_t nargs, Py_ssize_t want) {
    if (nargs == want) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", name, want, nargs);
    return false;
}

bool expect_args_or_one_more(const char* name, Py_ssize_t nargs, Py_ssize_t least) {
    if (nargs == least || nargs == least + 1) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd or %zd arguments (%zd given)", name, least, least + 1, nargs);
    return false;
}

std::string text_signature(const Signature& sig) {
    std::string out = sig.text_prefix;
    bool first = std::string_view(sig.text_prefix).ends_with("(");
    for (const Param& p : sig.params) {
        if (!first) out += ", ";
        first = false;
        out += p.name;
        if (p.default_text) {
            out += "=";
            out += p.default_text;
        }
    }
    out += ")\n--\n\n";
    return out;
}

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out) {
    const auto nparams = static_cast<Py_ssize_t>(sig.params.size());
    const size_t required = sig.required();
    for (Py_ssize_t i = 0; i < nparams; ++i) out[i] = nullptr;

    if (nargs > nparams) {
        if (static_cast<Py_ssize_t>(required) < nparams) {
            PyErr_Format(PyExc_TypeError, msg::kTooManyPositionalRange, sig.full_name, required, nparams, nargs,
                         was_were(nargs));
        } else {
            PyErr_Format(PyExc_TypeError, msg::kTooManyPositional, sig.full_name, nparams, nargs, was_were(nargs));
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < nparams; ++i) {
            if (PyUnicode_EqualToUTF8(key, sig.name(static_cast<size_t>(i)))) {
                slot = i;
                break;
            }
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, msg::kUnexpectedKeyword, sig.full_name, key);
            return false;
        }
        if (out[slot]) {
            PyErr_Format(PyExc_TypeError, msg::kMultipleValues, sig.full_name, sig.name(static_cast<size_t>(slot)));
            return false;
        }
        out[slot] = args[nargs + k];
    }

    std::vector<const char*> missing;
    for (size_t i = 0; i < required; ++i) {
        if (!out[i]) missing.push_back(sig.name(i));
    }
    if (!missing.empty()) {
        const std::string list = quoted_list(missing);
        PyErr_Format(PyExc_TypeError, msg::kMissing, sig.full_name, missing.size(),
                     missing.size() == 1 ? "argument" : "arguments", list.c_str());
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
    Ref message = Ref::steal(PyUnicode_FromFormat(msg::kArgumentPrefix, name, text.get()));
    if (!message) return;
    Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    PyErr_SetRaisedException(replacement.release());
}

}  // namespace brindlex::py
