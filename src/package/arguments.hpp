// The conversions of the package module's own arguments: positional only, converted with
// the engine's own converters, named in their errors as the engine names its own.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "core/walk/walk.hpp"

namespace brindlex::py {

// Names the argument in a TypeError, as the engine does.
bool argument(bool ok, const char* name);

// The scalar values of a str, read in place; a ValueError for a lone surrogate.
bool to_scalars(PyObject* o, std::vector<uint32_t>& out);

// A bool, strictly: 0 and 1 are not switches.
bool to_switch(PyObject* o, bool& out);

inline EditRule rule_of(bool transpositions) {
    return transpositions ? EditRule::Transpositions : EditRule::Levenshtein;
}

}  // namespace brindlex::py
