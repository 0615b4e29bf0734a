#include "package/shown.hpp"

#include "binding/pyref.hpp"

namespace brindlex::py {

std::string shown(PyObject* text) {
    Ref cut;
    if (PyUnicode_GET_LENGTH(text) > 40) {
        Ref head = Ref::steal(PyUnicode_Substring(text, 0, 40));
        if (head) cut = Ref::steal(PyUnicode_FromFormat("%U...", head.get()));
    } else {
        cut = Ref::borrow(text);
    }
    Ref r = Ref::steal(cut ? PyObject_Repr(cut.get()) : nullptr);
    Py_ssize_t n = 0;
    const char* s = r ? PyUnicode_AsUTF8AndSize(r.get(), &n) : nullptr;
    if (!s) {
        PyErr_Clear();
        return "'?'";
    }
    return std::string(s, static_cast<size_t>(n));
}

std::string shown_utf8(std::string_view utf8) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
    if (!text) {
        PyErr_Clear();
        return "'?'";
    }
    return shown(text.get());
}

}  // namespace brindlex::py
