// Running a walk of the store without the interpreter lock, so that queries from other
// threads run on other cores meanwhile. The store and the tables a walk reads never
// change once made, and the object that owns them is kept alive by the call; the body
// must touch no Python object and no C API (it fills C++ values only). What it throws
// is thrown again once the lock is held, for `guarded` to turn into a Python exception.
#pragma once

#include <Python.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace brindlex::py {

template <class Body>
auto without_lock(Body&& body) -> std::invoke_result_t<Body&> {
    using Result = std::invoke_result_t<Body&>;
    std::optional<Result> result;
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        result.emplace(body());
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

}  // namespace brindlex::py
