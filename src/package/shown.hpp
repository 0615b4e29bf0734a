// How the builder's messages show a term: repr() of it, cut to 40 characters.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

namespace brindlex::py {

// repr() of the text, cut to 40 characters and "..." when longer: how messages show a term.
std::string shown(PyObject* text);

// The same of UTF-8 text (invalid bytes shown as U+FFFD).
std::string shown_utf8(std::string_view utf8);

}  // namespace brindlex::py
