// from_internal_data_v2: converts the six Python arguments and builds a store from them,
// failing with the first problem in the order the arguments and checks come.
#pragma once

#include <Python.h>

#include <optional>

#include "core/store/store.hpp"

namespace brindlex::py {

// args are the six bound arguments, in parameter order. Returns the finished store, or
// nothing with a Python exception set.
std::optional<TrieStore> store_from_internal_data(PyObject* const* args);

}  // namespace brindlex::py
