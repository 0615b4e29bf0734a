// Conversion of Python argument values into native values. Each function returns false
// with a Python exception set when the value is refused; messages are those a caller
// sees after the "argument 'NAME': " prefix.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "binding/pyref.hpp"

namespace brindlex::py {

// An int, or any object with __index__, in 0..2^64-1.
bool to_u64(PyObject* o, uint64_t& out);
// The same, in 0..2^32-1.
bool to_u32(PyObject* o, uint32_t& out);
// A str whose UTF-8 form is returned in place (valid while `o` lives).
bool to_term(PyObject* o, std::string_view& out);
// True, False or a numpy boolean.
bool to_bool(PyObject* o, bool& out);
// Anything float() accepts through the float conversion slot.
bool to_double(PyObject* o, double& out);
// A str's first character (0 for the empty string); refuses strings with lone
// surrogates, as the UTF-8 conversion would.
bool to_label(PyObject* o, uint32_t& out);
// An integer in 0..255, read as a C long.
bool to_byte(PyObject* o, uint8_t& out);

// Refuses a str and anything that is not a sequence.
bool check_sequence(PyObject* o);

// Room worth reserving for the elements of a checked sequence: its reported length,
// bounded for objects other than lists and tuples, whose __len__ may be anything.
size_t reserve_hint(PyObject* seq);

// Calls f(item) for each element of a checked sequence, in iteration order; stops at
// the first f that returns false. Lists are read live by index, like their iterator,
// and each item is held while f runs, so f may run Python code that changes the list.
template <class F>
bool for_each_item(PyObject* seq, F&& f) {
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(seq, i));
            if (!f(item.get())) return false;
        }
        return true;
    }
    if (PyTuple_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i) {
            if (!f(PyTuple_GET_ITEM(seq, i))) return false;
        }
        return true;
    }
    Ref iter = Ref::steal(PyObject_GetIter(seq));
    if (!iter) return false;
    while (true) {
        Ref item = Ref::steal(PyIter_Next(iter.get()));
        if (!item) return !PyErr_Occurred();
        if (!f(item.get())) return false;
    }
}

// A sequence (not a str) of integers in 0..2^32-1.
bool to_u32_vector(PyObject* o, std::vector<uint32_t>& out);

}  // namespace brindlex::py
