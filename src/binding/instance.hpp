// The layout of a PrefixSearch instance: a Python object header and the one store it
// owns. Shared with the package's own native module (src/package), which reads the
// store of an instance it is given instead of keeping a copy; both modules are built
// from this one definition, and that module checks the size before it trusts it.
#pragma once

#include <Python.h>

#include "core/store/store.hpp"

namespace brindlex::py {

struct PrefixSearchObject {
    PyObject_HEAD
    TrieStore store;
};

}  // namespace brindlex::py
