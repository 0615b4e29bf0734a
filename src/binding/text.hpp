// Python objects for the results: texts made without a UTF-8 decoder where the bytes are
// ASCII (most terms, every video id), and tuples filled directly.
#pragma once

#include <Python.h>

#include <cstring>
#include <initializer_list>
#include <string_view>

namespace brindlex::py {

// A new str from valid UTF-8.
inline PyObject* new_text(std::string_view utf8) {
    const auto n = static_cast<Py_ssize_t>(utf8.size());
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    unsigned char any = 0;
    for (Py_ssize_t i = 0; i < n; ++i) any |= p[i];
    if (any < 0x80) {
        PyObject* text = PyUnicode_New(n, 127);
        if (text && n) std::memcpy(PyUnicode_1BYTE_DATA(text), p, static_cast<size_t>(n));
        return text;
    }
    return PyUnicode_DecodeUTF8(utf8.data(), n, "strict");
}

// A new tuple of `items`, new references it takes over; null (all released) when any is
// null or the tuple cannot be made.
inline PyObject* new_tuple(std::initializer_list<PyObject*> items) {
    PyObject* tuple = nullptr;
    bool complete = true;
    for (PyObject* item : items) complete = complete && item;
    if (complete) tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (!tuple) {
        for (PyObject* item : items) Py_XDECREF(item);
        return nullptr;
    }
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(tuple, i++, item);
    return tuple;
}

}  // namespace brindlex::py
