// How failures reach Python: the InternalFailure class, messages built from type names,
// and the guard that keeps C++ exceptions out of the interpreter.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <string_view>

#include "binding/messages.hpp"
#include "core/failure.hpp"

namespace brindlex::py {

// The class of internal failures (derived from BaseException), created on first use.
// Returns a borrowed reference, or null with an exception set.
PyObject* internal_failure_type();

// Makes `type` (a new reference it keeps) the class internal failures are raised with:
// brindlex._native raises the engine's own.
void use_internal_failure(PyObject* type);

// Raises InternalFailure with `message`; returns null for the caller to pass on.
PyObject* raise_internal_failure(std::string_view message);

// Raises `type` with a UTF-8 message; returns null.
PyObject* raise(PyObject* type, std::string_view message);

// "'T' object cannot be converted to 'EXPECTED'", T the qualified name of obj's type.
PyObject* raise_wrong_type(PyObject* obj, const char* expected);

// The qualified name of obj's type as UTF-8 (empty on failure, with no error left set).
std::string type_qualname(PyObject* obj);

// Makes sure a failed C API call leaves an exception set.
void ensure_error_set();

// Runs `body` (which returns a new reference or null with an error set) and turns any
// C++ exception into a Python one: std::bad_alloc into MemoryError (with the words of a
// CapExceeded), anything else into InternalFailure.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        PyObject* result = body();
        if (!result) ensure_error_set();
        return result;
    } catch (const CapExceeded& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise_internal_failure(e.what());
    } catch (...) {
        return raise_internal_failure(msg::kUnknownException);
    }
}

}  // namespace brindlex::py
