// Python objects for the results: texts made without a UTF-8 decoder where the bytes are
// ASCII (most terms, every video id), tuples filled directly, and lists of either.
#pragma once

#include <Python.h>

#include <cstring>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "binding/pyref.hpp"
#include "core/text/utf8.hpp"

namespace brindlex::py {

// A new str from valid UTF-8.
inline PyObject* new_text(std::string_view bytes) {
    const auto n = static_cast<Py_ssize_t>(bytes.size());
    if (utf8::ascii(bytes)) {
        PyObject* text = PyUnicode_New(n, 127);
        if (text && n) std::memcpy(PyUnicode_1BYTE_DATA(text), bytes.data(), static_cast<size_t>(n));
        return text;
    }
    return PyUnicode_DecodeUTF8(bytes.data(), n, "strict");
}

// A new tuple of `items`, new references it takes over; null (all released) when any is
// null or the tuple cannot be made. With `type`, an instance of that tuple subclass (a
// named tuple class: no fields of its own), made as tuple.__new__ makes one, without a
// temporary tuple.
inline PyObject* new_tuple(std::initializer_list<PyObject*> items, PyTypeObject* type = nullptr) {
    PyObject* tuple = nullptr;
    bool complete = true;
    for (PyObject* item : items) complete = complete && item;
    const auto size = static_cast<Py_ssize_t>(items.size());
    if (complete) tuple = type ? type->tp_alloc(type, size) : PyTuple_New(size);
    if (!tuple) {
        for (PyObject* item : items) Py_XDECREF(item);
        return nullptr;
    }
#if PY_VERSION_HEX >= 0x030E0000
    if (type) reinterpret_cast<PyTupleObject*>(tuple)->ob_hash = -1;  // the cached hash starts unknown
#endif
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(tuple, i++, item);
    return tuple;
}

// A new list with one item per element, made by make(element) (a new reference, or null
// with an exception set).
template <class T, class Make>
PyObject* list_of(const std::vector<T>& elements, Make make) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(elements.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < elements.size(); ++i) {
        PyObject* item = make(elements[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace brindlex::py
