#include "package/normalise.hpp"

#include <cstring>

#include "binding/text.hpp"

namespace brindlex::py {

bool parse_mode(PyObject* o, Mode& mode) {
    const char* s = PyUnicode_Check(o) ? PyUnicode_AsUTF8(o) : nullptr;
    if (s && std::strcmp(s, "exact") == 0) return mode = Mode::Exact, true;
    if (s && std::strcmp(s, "nfc") == 0) return mode = Mode::Nfc, true;
    if (s && std::strcmp(s, "fold") == 0) return mode = Mode::Fold, true;
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "mode must be 'exact', 'nfc' or 'fold'");
    return false;
}

// Whitespace as str.isspace() sees it in ASCII: what fold() drops at the ends and
// squeezes to one space inside.
namespace {

bool ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1C && c <= 0x1F); }

// The length of the whitespace character at text[i] (valid UTF-8), 0 when there is none:
// ASCII's, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
size_t space_at(std::string_view text, size_t i) {
    const auto b = [&](size_t k) { return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u; };
    if (ascii_space(static_cast<unsigned char>(b(0)))) return 1;
    if (b(0) == 0xC2 && (b(1) == 0x85 || b(1) == 0xA0)) return 2;
    if (b(0) == 0xE1 && b(1) == 0x9A && b(2) == 0x80) return 3;
    if (b(0) == 0xE2 && b(1) == 0x80 && ((b(2) >= 0x80 && b(2) <= 0x8A) || b(2) == 0xA8 || b(2) == 0xA9 || b(2) == 0xAF))
        return 3;
    if (b(0) == 0xE2 && b(1) == 0x81 && b(2) == 0x9F) return 3;
    if (b(0) == 0xE3 && b(1) == 0x80 && b(2) == 0x80) return 3;
    return 0;
}

}  // namespace

std::string shown_spelling(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool gap = false;
    for (size_t i = 0; i < text.size();) {
        if (const size_t n = space_at(text, i)) {
            gap = !out.empty();
            i += n;
            continue;
        }
        if (gap) out.push_back(' ');
        gap = false;
        out.push_back(text[i++]);
    }
    return out;
}

// ASCII `text` folded into `out` (lower case, whitespace trimmed and squeezed), as
// _fold.fold folds it; false, leaving `out` alone, when folding changes nothing.
bool fold_ascii(std::string_view text, std::string& out) {
    bool same = text.empty() || (!ascii_space(static_cast<unsigned char>(text.front())) &&
                                 !ascii_space(static_cast<unsigned char>(text.back())));
    for (size_t i = 0; same && i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool upper = c >= 'A' && c <= 'Z';
        const bool next_space = i + 1 < text.size() && ascii_space(static_cast<unsigned char>(text[i + 1]));
        same = !upper && !(ascii_space(c) && (c != ' ' || next_space));
    }
    if (same) return false;
    out.clear();
    bool gap = false;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (ascii_space(c)) {
            gap = !out.empty();
            continue;
        }
        if (gap) out.push_back(' ');
        gap = false;
        out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : ch);
    }
    return true;
}

// The normalised form of `term` (a str) as a new reference in `key`, `changed` when it
// differs: ASCII natively, other text through `normal` (unicodedata lives in Python).
// False with an error set when normal() fails.
bool normalise(Mode mode, PyObject* normal, PyObject* term, Ref& key, bool& changed) {
    changed = false;
    if (mode == Mode::Exact || (mode == Mode::Nfc && PyUnicode_IS_ASCII(term))) {
        key = Ref::borrow(term);
        return true;
    }
    if (PyUnicode_IS_ASCII(term)) {
        const auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(term));
        const std::string_view text(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(term)), n);
        std::string folded;
        if (!fold_ascii(text, folded)) {
            key = Ref::borrow(term);
            return true;
        }
        key = Ref::steal(PyUnicode_FromStringAndSize(folded.data(), static_cast<Py_ssize_t>(folded.size())));
        if (!key) return false;
        changed = true;
        return true;
    }
    key = Ref::steal(PyObject_CallOneArg(normal, term));
    if (!key) return false;
    if (!PyUnicode_Check(key.get())) {
        PyErr_SetString(PyExc_TypeError, "the normaliser must return a str");
        return false;
    }
    const int same = PyUnicode_Compare(key.get(), term);
    if (same == -1 && PyErr_Occurred()) return false;
    changed = same != 0;
    return true;
}

// The normalised UTF-8 of a catalogue term in `key` when it differs (`changed`):
// ASCII natively, other text through `normal`; `empty` when nothing is left of it.
bool normalise_text(Mode mode, PyObject* normal, std::string_view term, std::string& key, bool& changed, bool& empty) {
    changed = false;
    empty = false;
    bool ascii = true;
    for (char c : term) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (mode == Mode::Exact || (ascii && mode == Mode::Nfc)) return true;
    if (ascii) {
        changed = fold_ascii(term, key);
        empty = changed && key.empty();
        return true;
    }
    Ref text = Ref::steal(new_text(term));
    Ref normalised;
    if (!text || !normalise(mode, normal, text.get(), normalised, changed)) return false;
    if (!changed) return true;
    if (PyUnicode_GET_LENGTH(normalised.get()) == 0) {
        empty = true;
        return true;
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(normalised.get(), &n);
    if (!s) return false;
    key.assign(s, static_cast<size_t>(n));
    return true;
}

}  // namespace brindlex::py
