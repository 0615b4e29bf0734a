#include "package/arguments.hpp"

#include "binding/args.hpp"
#include "binding/errors.hpp"

namespace brindlex::py {

bool argument(bool ok, const char* name) {
    if (!ok) prefix_argument_error(name);
    return ok;
}

bool to_scalars(PyObject* o, std::vector<uint32_t>& out) {
    if (!PyUnicode_Check(o)) return raise_wrong_type(o, "str"), false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(o);
    const int kind = PyUnicode_KIND(o);
    const void* data = PyUnicode_DATA(o);
    out.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) {
            PyErr_SetString(PyExc_ValueError, "the text holds a lone surrogate");
            return false;
        }
        out[static_cast<size_t>(i)] = c;
    }
    return true;
}

bool to_switch(PyObject* o, bool& out) {
    if (!PyBool_Check(o)) return raise_wrong_type(o, "bool"), false;
    out = o == Py_True;
    return true;
}

}  // namespace brindlex::py
