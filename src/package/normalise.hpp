// Terms and catalogue text normalised as the index's text mode compares them: ASCII
// natively, other text through the package's normaliser (brindlex._fold; unicodedata
// lives in Python). Both must agree: the native and Python builds are compared by tests.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "binding/pyref.hpp"

namespace brindlex::py {

enum class Mode { Exact, Nfc, Fold };

// The mode named by a str; false with a ValueError set for anything else.
bool parse_mode(PyObject* o, Mode& mode);

// ASCII `text` folded into `out` (lower case, whitespace trimmed and squeezed), as
// _fold.fold folds it; false, leaving `out` alone, when folding changes nothing.
bool fold_ascii(std::string_view text, std::string& out);

// The normalised form of `term` (a str) as a new reference in `key`, `changed` when it
// differs. False with an error set when normal() fails.
bool normalise(Mode mode, PyObject* normal, PyObject* term, Ref& key, bool& changed);

// The spelling a folding index shows for `text` (UTF-8) as given: its whitespace (as
// str.isspace() sees it) trimmed and squeezed to one space, as fold() leaves the key's.
std::string shown_spelling(std::string_view text);

// The normalised UTF-8 of a catalogue term in `key` when it differs (`changed`);
// `empty` when nothing is left of it.
bool normalise_text(Mode mode, PyObject* normal, std::string_view term, std::string& key, bool& changed, bool& empty);

}  // namespace brindlex::py
