#include "binding/errors.hpp"

#include "binding/messages.hpp"
#include "binding/pyref.hpp"

namespace brindlex::py {

namespace {
// Created once per process; the module refuses subinterpreters, so one interpreter owns it.
PyObject* g_internal_failure = nullptr;
}  // namespace

PyObject* internal_failure_type() {
    if (!g_internal_failure) {
        g_internal_failure = PyErr_NewExceptionWithDoc(
            "_brindlex.InternalFailure",
            "A check inside _brindlex failed: the store breaks its own invariants (for example a snapshot "
            "that decodes but does not describe a trie).",
            PyExc_BaseException, nullptr);
    }
    return g_internal_failure;
}

void use_internal_failure(PyObject* type) {
    Py_XSETREF(g_internal_failure, type);
}

PyObject* raise(PyObject* type, std::string_view message) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

PyObject* raise_internal_failure(std::string_view message) {
    PyObject* type = internal_failure_type();
    if (!type) return nullptr;
    return raise(type, message);
}

std::string type_qualname(PyObject* obj) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    Py_ssize_t size = 0;
    const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return std::string(Py_TYPE(obj)->tp_name);
    }
    return std::string(utf8, static_cast<size_t>(size));
}

PyObject* raise_wrong_type(PyObject* obj, const char* expected) {
    return raise(PyExc_TypeError, msg::kCannotConvertHead + type_qualname(obj) + msg::kCannotConvertMiddle + expected +
                                      msg::kCannotConvertTail);
}

void ensure_error_set() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, msg::kNoExceptionSet);
}

}  // namespace brindlex::py
