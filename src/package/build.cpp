// The native builder's binding: entries (Python objects) or catalogue rows (bytes) are
// merged into a TermTable, laid out and built into a new PrefixSearch by the core
// (core/build), which runs the engine's own construction.
//
// Entries and rows in their plain form are read here without a Python object per row.
// Anything else is handed, one entry or line at a time, to the package's slow path
// (brindlex._build._entry, brindlex._rows.row_of), which checks it the long way and words
// its error, so that an entry or a line is judged alike whichever path met it. Only the
// errors that span rows or entries (a repeated video, a second count, a second id form)
// are worded here.
//
// Both return (engine, shown, fixes), read_catalogue with (rows, videos, terms, nodes) after:
//   shown    [(node, spelling)], by node: the spelling to show for each term that entries
//            spelt otherwise than the term itself (folded or composed), for the index's notes;
//   fixes    [(node, count)]: terms whose own count a saturated total hides.
#include "package/build.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/instance.hpp"
#include "binding/pyref.hpp"
#include "binding/text.hpp"
#include "core/build/catalogue.hpp"
#include "core/build/layout.hpp"
#include "core/build/spellings.hpp"
#include "core/build/term_table.hpp"

namespace brindlex::py {
namespace {

constexpr uint32_t kU32Max = 0xFFFF'FFFFu;
constexpr const char* kUuidForm = "16-byte (UUID)";
constexpr const char* kIntForm = "4-byte (int32)";

// ---------------------------------------------------------------------------------------
// Small conversions.

// An exact int in 0..4294967295, without raising; false for anything else.
bool plain_u32(PyObject* o, uint32_t& out) {
    if (!PyLong_CheckExact(o)) return false;
    auto* l = reinterpret_cast<PyLongObject*>(o);
    if (PyUnstable_Long_IsCompact(l)) {
        const Py_ssize_t v = PyUnstable_Long_CompactValue(l);
        if (v < 0 || static_cast<uint64_t>(v) > kU32Max) return false;
        out = static_cast<uint32_t>(v);
        return true;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (v > kU32Max) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

// repr() of the text, cut to 40 characters and "..." when longer: how messages show a term.
std::string shown(PyObject* text) {
    Ref cut;
    if (PyUnicode_GET_LENGTH(text) > 40) {
        Ref head = Ref::steal(PyUnicode_Substring(text, 0, 40));
        if (head) cut = Ref::steal(PyUnicode_FromFormat("%U...", head.get()));
    } else {
        cut = Ref::borrow(text);
    }
    Ref r = Ref::steal(cut ? PyObject_Repr(cut.get()) : nullptr);
    Py_ssize_t n = 0;
    const char* s = r ? PyUnicode_AsUTF8AndSize(r.get(), &n) : nullptr;
    if (!s) {
        PyErr_Clear();
        return "'?'";
    }
    return std::string(s, static_cast<size_t>(n));
}

std::string shown_utf8(std::string_view utf8) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
    if (!text) {
        PyErr_Clear();
        return "'?'";
    }
    return shown(text.get());
}

// A new engine owning `store`, made as the engine's own constructors make one.
PyObject* new_engine(TrieStore&& store) {
    PyObject* obj = PyType_GenericAlloc(engine_type(), 0);
    if (!obj) return nullptr;
    std::construct_at(&reinterpret_cast<PrefixSearchObject*>(obj)->store, std::move(store));
    return obj;
}

// ---------------------------------------------------------------------------------------
// Normalising terms and keeping the spellings.

enum class Mode { Exact, Nfc, Fold };

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
bool ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1C && c <= 0x1F); }

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

// Entries merged into a table, with the spellings of the terms normalisation changed.
struct Merger {
    Mode mode;
    PyObject* normal;
    build::TermTable table;
    std::vector<build::Spelling> spelled;
};

// The UTF-8 of a checked term; false with the entry's ValueError set when it is empty,
// holds U+0000 or a lone surrogate.
bool term_text(Py_ssize_t i, PyObject* term, std::string_view& out) {
    if (PyUnicode_GET_LENGTH(term) == 0) {
        PyErr_Format(PyExc_ValueError, "entry %zd: the term is empty; no query can find it", i);
        return false;
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(term, &n);
    const bool nul = s && std::memchr(s, 0, static_cast<size_t>(n)) != nullptr;
    if (s && !nul) {
        out = std::string_view(s, static_cast<size_t>(n));
        return true;
    }
    PyErr_Clear();
    const std::string message = "entry " + std::to_string(i) + ": term " + shown(term) +
                                (nul ? " contains U+0000, which cannot label an edge"
                                     : " holds a lone surrogate and is not valid text");
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
}

// ---------------------------------------------------------------------------------------
// Entries.

// The form of the first video id and where it was: the videos of one index have one form.
struct FirstVideo {
    uint8_t size = 0;  // 0: none yet
    Py_ssize_t entry = 0;
    Ref term;
    Py_ssize_t video = 0;

    PyObject* form_text() const {
        return size == 0 ? Py_NewRef(Py_None) : PyUnicode_FromString(size == 16 ? kUuidForm : kIntForm);
    }
};

std::string where(Py_ssize_t i, PyObject* term, Py_ssize_t j) {
    return "entry " + std::to_string(i) + " (" + shown(term) + "), video " + std::to_string(j);
}

// The error of an id whose form differs from the first one's.
bool check_form(FirstVideo& first, uint8_t size, Py_ssize_t i, PyObject* term, Py_ssize_t j) {
    if (first.size == 0) {
        first.size = size;
        first.entry = i;
        first.term = Ref::borrow(term);
        first.video = j;
        return true;
    }
    if (first.size == size) return true;
    const std::string message = where(i, term, j) + ": a " + (size == 16 ? kUuidForm : kIntForm) + " video id among " +
                                (first.size == 16 ? kUuidForm : kIntForm) + " ones (the first was " +
                                where(first.entry, first.term.get(), first.video) + "); all video ids must have one form";
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
}

struct Pair {
    build::VideoKey key;
    uint32_t count;
};

// An entry in its plain form: a 3-tuple or 3-list of an exact str, an exact int in range
// and a list or tuple of 2-tuples (16- or 4-byte bytes or an int in range, int in range).
// False (with no error) for anything else.
// The term is returned as a strong reference: normalising it calls into Python, which may
// replace the items of a list entry (a collector callback or another thread) meanwhile.
bool plain_entry(PyObject* entry, Ref& term, uint32_t& count, std::vector<Pair>& pairs) {
    PyObject* const* items = nullptr;
    if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 3) {
        items = &PyTuple_GET_ITEM(entry, 0);
    } else if (PyList_CheckExact(entry) && PyList_GET_SIZE(entry) == 3) {
        items = &PyList_GET_ITEM(entry, 0);
    } else {
        return false;
    }
    PyObject* given = items[0];
    PyObject* videos = items[2];
    if (!PyUnicode_CheckExact(given) || !plain_u32(items[1], count)) return false;
    PyObject* const* vs = nullptr;
    Py_ssize_t nv = 0;
    if (PyList_CheckExact(videos)) {
        vs = &PyList_GET_ITEM(videos, 0);
        nv = PyList_GET_SIZE(videos);
    } else if (PyTuple_CheckExact(videos)) {
        vs = &PyTuple_GET_ITEM(videos, 0);
        nv = PyTuple_GET_SIZE(videos);
    } else {
        return false;
    }
    pairs.clear();
    for (Py_ssize_t j = 0; j < nv; ++j) {
        PyObject* pair = vs[j];
        if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) return false;
        PyObject* vid = PyTuple_GET_ITEM(pair, 0);
        Pair p{};
        if (!plain_u32(PyTuple_GET_ITEM(pair, 1), p.count)) return false;
        uint32_t number = 0;
        if (PyBytes_CheckExact(vid) && PyBytes_GET_SIZE(vid) == 16) {
            p.key = build::VideoKey::uuid(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(vid)));
        } else if (PyBytes_CheckExact(vid) && PyBytes_GET_SIZE(vid) == 4) {
            const auto* b = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(vid));
            p.key = build::VideoKey::int32(uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24);
        } else if (plain_u32(vid, number)) {
            p.key = build::VideoKey::int32(number);
        } else {
            return false;
        }
        pairs.push_back(p);
    }
    // Nothing above runs Python code, so the items read stay the entry's until here.
    term = Ref::borrow(given);
    return true;
}

// The slow path's answer: (term, count, [(id, count)], spelling or None, spelled count).
bool slow_entry(PyObject* slow, Py_ssize_t i, PyObject* entry, PyObject* normal, const FirstVideo& first,
                Ref& term, uint32_t& count, std::vector<Pair>& pairs, Ref& spelling, uint64_t& spelled_count) {
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    Ref form = Ref::steal(first.form_text());
    Ref from = Ref::steal(first.size == 0 ? Py_NewRef(Py_None)
                                          : Py_BuildValue("(nOn)", first.entry, first.term.get(), first.video));
    if (!index || !form || !from) return false;
    PyObject* args[] = {index.get(), entry, normal, form.get(), from.get()};
    Ref got = Ref::steal(PyObject_Vectorcall(slow, args, 5, nullptr));
    if (!got) return false;
    PyObject *t, *c, *vs, *sp, *sc;
    if (!PyArg_ParseTuple(got.get(), "UOO!OO", &t, &c, &PyList_Type, &vs, &sp, &sc)) return false;
    term = Ref::borrow(t);
    spelling = sp == Py_None ? Ref() : Ref::borrow(sp);
    if (!to_u32(c, count) || !to_u64(sc, spelled_count)) return false;
    pairs.clear();
    // The list and its pairs are held: converting a count may run Python code.
    Ref videos = Ref::borrow(vs);
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(vs); ++j) {
        Ref pair = Ref::borrow(PyList_GET_ITEM(vs, j));
        PyObject *vid, *vc;
        if (!PyArg_ParseTuple(pair.get(), "OO", &vid, &vc)) return false;
        Ref keep_vid = Ref::borrow(vid);
        Ref keep_vc = Ref::borrow(vc);
        Pair p{};
        if (!to_u32(vc, p.count)) return false;
        if (PyBytes_Check(vid) && PyBytes_GET_SIZE(vid) == 16) {
            p.key = build::VideoKey::uuid(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(vid)));
        } else {
            uint32_t number = 0;
            if (!to_u32(vid, number)) return false;
            p.key = build::VideoKey::int32(number);
        }
        pairs.push_back(p);
    }
    return true;
}

// (engine, shown, fixes) of a finished table: shown is [(node, spelling)] by node.
PyObject* finish(Merger& merger, uint64_t video_top_n) {
    auto shown = build::shown_spellings(std::move(merger.spelled), merger.table);
    auto built = build::build_store_of(std::move(merger.table), video_top_n);
    if (!built) return raise(PyExc_ValueError, built.error());
    for (auto& [term, text] : shown) term = built->term_nodes[term];
    std::sort(shown.begin(), shown.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    Ref shown_list = Ref::steal(list_of(shown, [](const std::pair<uint32_t, std::string>& s) {
        return new_tuple({PyLong_FromUnsignedLong(s.first), new_text(s.second)});
    }));
    if (!shown_list) return nullptr;
    Ref fixes = Ref::steal(list_of(built->count_fixes, [](const lookup::CountFix& f) {
        return new_tuple({PyLong_FromUnsignedLong(f.node), PyLong_FromUnsignedLong(f.count)});
    }));
    if (!fixes) return nullptr;
    Ref engine = Ref::steal(new_engine(std::move(built->store)));
    if (!engine) return nullptr;
    return PyTuple_Pack(3, engine.get(), shown_list.get(), fixes.get());
}

bool expect_args(const char* name, Py_ssize_t nargs, Py_ssize_t want) {
    if (nargs == want) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", name, want, nargs);
    return false;
}

bool top_n_of(PyObject* o, uint64_t& out) {
    if (to_u64(o, out)) return true;
    prefix_argument_error("video_top_n");
    return false;
}

}  // namespace

namespace {

// Reads every entry into the merger; false with an error set at the first bad one.
bool read_entries(PyObject* entries, PyObject* normal, PyObject* slow, Merger& merger) {
    Ref it = Ref::steal(PyObject_GetIter(entries));
    if (!it) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "entries must be an iterable, not %s", Py_TYPE(entries)->tp_name);
        return false;
    }
    FirstVideo first;
    std::vector<Pair> pairs;
    for (Py_ssize_t i = 0;; ++i) {
        Ref entry = Ref::steal(PyIter_Next(it.get()));
        if (!entry) return !PyErr_Occurred();
        Ref given;
        uint32_t count = 0;
        Ref term;
        Ref spelling;
        uint64_t spelled_count = 0;
        if (plain_entry(entry.get(), given, count, pairs)) {
            bool changed = false;
            if (!normalise(merger.mode, merger.normal, given.get(), term, changed)) return false;
            if (changed) {
                if (PyUnicode_GET_LENGTH(term.get()) == 0) {
                    const std::string m = "entry " + std::to_string(i) + ": the term " + shown(given.get()) +
                                          " is empty once normalised; no query can find it";
                    raise(PyExc_ValueError, m);
                    return false;
                }
                spelling = std::move(given);
                spelled_count = count;
            }
        } else if (!slow_entry(slow, i, entry.get(), normal, first, term, count, pairs, spelling, spelled_count)) {
            return false;
        }
        std::string_view text;
        if (!term_text(i, term.get(), text)) return false;
        for (size_t j = 0; j < pairs.size(); ++j) {
            if (!check_form(first, pairs[j].key.size, i, term.get(), static_cast<Py_ssize_t>(j))) return false;
        }
        const uint32_t t = merger.table.add_term(text, count);
        for (const Pair& p : pairs) merger.table.add_video(t, merger.table.video_number(p.key), p.count);
        if (spelling) {
            Py_ssize_t n = 0;
            const char* u = PyUnicode_AsUTF8AndSize(spelling.get(), &n);
            if (!u) return false;
            merger.spelled.push_back({t, std::string(u, static_cast<size_t>(n)), spelled_count});
        }
    }
}

// The laid-out arrays as from_internal_data_v2 takes them (payload video lists as given,
// before aggregation).
PyObject* flat_arrays(const StoreParts& parts) {
    auto numbers = [](const std::vector<uint32_t>& v) {
        return list_of(v, [](uint32_t x) { return PyLong_FromUnsignedLong(x); });
    };
    Ref shifts = Ref::steal(numbers(parts.node_shifts));
    Ref labels = Ref::steal(shifts ? list_of(parts.child_labels, [](uint32_t cp) {
        return cp == 0 ? PyUnicode_New(0, 0) : PyUnicode_FromOrdinal(static_cast<int>(cp));
    }) : nullptr);
    Ref kids = Ref::steal(labels ? numbers(parts.child_transitions) : nullptr);
    if (!kids) return nullptr;
    const PayloadTable& table = parts.payloads;
    Ref payloads = Ref::steal(PyList_New(static_cast<Py_ssize_t>(table.size())));
    if (!payloads) return nullptr;
    for (size_t v = 0; v < table.size(); ++v) {
        PyObject* item = nullptr;
        if (!table.present(v)) {
            item = Py_NewRef(Py_None);
        } else {
            const PayloadView p = table.view(v);
            std::vector<uint32_t> ids(p.video_ids.begin(), p.video_ids.end());
            std::vector<uint32_t> counts(p.video_counts.begin(), p.video_counts.end());
            item = new_tuple({PyLong_FromUnsignedLong(p.count), numbers(ids), numbers(counts)});
        }
        if (!item) return nullptr;
        PyList_SET_ITEM(payloads.get(), static_cast<Py_ssize_t>(v), item);
    }
    const VideoIdList& videos = parts.videos;
    Ref index = Ref::steal(videos.mode == IdMode::Uuid
                               ? list_of(videos.uuids, [](const VideoUuid& u) {
                                     return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(u.data()), 16);
                                 })
                               : list_of(videos.int_ids, [](uint32_t id) {
                                     const char b[4] = {static_cast<char>(id), static_cast<char>(id >> 8),
                                                        static_cast<char>(id >> 16), static_cast<char>(id >> 24)};
                                     return PyBytes_FromStringAndSize(b, 4);
                                 }));
    if (!index) return nullptr;
    return PyTuple_Pack(5, shifts.get(), labels.get(), payloads.get(), kids.get(), index.get());
}

}  // namespace

PyObject* build_entries(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!expect_args("build", nargs, 5)) return nullptr;
        Mode mode{};
        if (!parse_mode(args[2], mode)) return nullptr;
        Merger merger{mode, args[3], {}, {}};
        if (!read_entries(args[0], args[3], args[4], merger)) return nullptr;
        uint64_t video_top_n = 0;
        if (!top_n_of(args[1], video_top_n)) return nullptr;
        return finish(merger, video_top_n);
    });
}

PyObject* lay_out_entries(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!expect_args("lay_out", nargs, 2)) return nullptr;
        Merger merger{Mode::Exact, Py_None, {}, {}};
        if (!read_entries(args[0], Py_None, args[1], merger)) return nullptr;
        auto laid = build::lay_out(merger.table);
        if (!laid) return raise(PyExc_ValueError, laid.error());
        return flat_arrays(laid->parts);
    });
}

// ---------------------------------------------------------------------------------------
// Catalogues.

namespace {

// A row the slow reader returned: (term, count, video id or None, video count or None).
bool slow_row_fields(PyObject* got, build::Row& row, Ref& keep) {
    PyObject *term, *count, *vid, *vcount;
    if (!PyArg_ParseTuple(got, "UOOO", &term, &count, &vid, &vcount)) return false;
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(term, &n);
    if (!s) return false;
    keep = Ref::borrow(term);
    row = build::Row{};
    row.term = std::string_view(s, static_cast<size_t>(n));
    if (!to_u32(count, row.count)) return false;
    if (vid == Py_None) return true;
    row.has_video = true;
    if (PyBytes_Check(vid) && PyBytes_GET_SIZE(vid) == 16) {
        row.video = build::VideoKey::uuid(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(vid)));
        row.kind = build::IdKind::Uuid;
    } else {
        uint32_t number = 0;
        if (!to_u32(vid, number)) return false;
        row.video = build::VideoKey::int32(number);
        row.kind = build::IdKind::Integer;
    }
    return to_u32(vcount, row.video_count);
}

// Raises row_error(line, message) for a row error.
void raise_row_error(PyObject* row_error, const build::RowError& error) {
    const std::string message = build::render(error, shown_utf8);
    Ref exc = Ref::steal(PyObject_CallFunction(row_error, "Ks", static_cast<unsigned long long>(error.line), message.c_str()));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

PyObject* kind_name(build::IdKind kind) {
    switch (kind) {
        case build::IdKind::Uuid:
            return PyUnicode_FromString("UUID");
        case build::IdKind::Integer:
            return PyUnicode_FromString("integer");
        case build::IdKind::None:
            break;
    }
    return Py_NewRef(Py_None);
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

}  // namespace

PyObject* read_catalogue(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!expect_args("read_catalogue", nargs, 9)) return nullptr;
        PyObject* stream = args[0];
        PyObject* fmt = args[1];
        PyObject* normal = args[4];
        PyObject* slow = args[5];
        PyObject* row_error = args[6];
        PyObject* progress = args[7];
        const int sum_counts = PyObject_IsTrue(args[8]);
        if (sum_counts < 0) return nullptr;
        const char* fmt_text = PyUnicode_Check(fmt) ? PyUnicode_AsUTF8(fmt) : nullptr;
        if (!fmt_text || (std::strcmp(fmt_text, "tsv") != 0 && std::strcmp(fmt_text, "jsonl") != 0)) {
            PyErr_Clear();
            return raise(PyExc_ValueError, "fmt must be 'tsv' or 'jsonl'");
        }
        const bool tsv = std::strcmp(fmt_text, "tsv") == 0;
        Mode mode{};
        uint64_t video_top_n = 0;
        if (!parse_mode(args[3], mode) || !top_n_of(args[2], video_top_n)) return nullptr;

        build::Catalogue cat(sum_counts != 0);
        build::LineSplitter lines;
        uint64_t line = 0;
        bool header_done = !tsv;
        build::Columns at{0, 1, 2, 3};
        Ref columns = Ref::steal(Py_NewRef(Py_None));
        build::Row row;
        std::string scratch;
        bool failed = false;

        // Raises the row error of a term that normalises to nothing.
        auto raise_empty = [&](uint32_t t) {
            Ref text = Ref::steal(new_text(cat.term(t)));
            const std::string m = "the term " + (text ? shown(text.get()) : std::string("'?'")) +
                                  " is empty once normalised; no query can find it";
            Ref exc = Ref::steal(PyObject_CallFunction(row_error, "Ks", static_cast<unsigned long long>(cat.term_line(t)),
                                                       m.c_str()));
            if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
        };
        // The first term, first named before line `limit`, that normalises to nothing
        // (UINT32_MAX: none); false with an error set when the normaliser fails.
        std::string key;
        auto empty_before = [&](uint64_t limit, uint32_t& found) {
            found = UINT32_MAX;
            for (uint32_t t = 0; t < cat.term_count() && cat.term_line(t) < limit; ++t) {
                bool differs = false;
                bool empty = false;
                if (!normalise_text(mode, normal, cat.term(t), key, differs, empty)) return false;
                if (empty) return found = t, true;
            }
            return true;
        };
        // A row error at this line (set, or `here`), unless a row before it repeated a
        // video or named a term that normalises to nothing: the first in file order wins.
        auto row_failure = [&](const build::RowError* here) {
            Ref pending = Ref::steal(PyErr_GetRaisedException());
            const auto repeat = cat.first_repeat();
            const uint64_t limit = repeat ? repeat->line : line;
            uint32_t empty = UINT32_MAX;
            if (!empty_before(limit, empty)) return false;
            if (empty != UINT32_MAX) {
                raise_empty(empty);
            } else if (repeat) {
                raise_row_error(row_error, *repeat);
            } else if (here) {
                raise_row_error(row_error, *here);
            } else {
                PyErr_SetRaisedException(pending.release());
            }
            return false;
        };

        // The slow reader's answer for one line (raw: bytes, or None for an empty file).
        auto ask_slow = [&](PyObject* raw) -> Ref {
            Ref number = Ref::steal(PyLong_FromUnsignedLongLong(line));
            Ref kind = Ref::steal(kind_name(cat.kind()));
            Ref kind_line = Ref::steal(PyLong_FromUnsignedLongLong(cat.kind_line()));
            if (!number || !kind || !kind_line) return Ref();
            PyObject* call[] = {fmt, number.get(), raw, columns.get(), kind.get(), kind_line.get()};
            return Ref::steal(PyObject_Vectorcall(slow, call, 6, nullptr));
        };

        auto on_line = [&](std::string_view raw) -> bool {
            ++line;
            const std::string_view text = build::line_text(raw, line);
            build::LineKind kind = build::LineKind::Other;
            if (header_done) kind = tsv ? build::parse_tsv(text, at, row) : build::parse_jsonl(text, row, scratch);
            if (kind == build::LineKind::Blank) return true;
            Ref keep;
            if (kind == build::LineKind::Other) {
                Ref bytes = Ref::steal(PyBytes_FromStringAndSize(raw.data(), static_cast<Py_ssize_t>(raw.size())));
                Ref got = bytes ? ask_slow(bytes.get()) : Ref();
                if (!got) {
                    failed = true;
                    return PyErr_ExceptionMatches(row_error) ? row_failure(nullptr) : false;
                }
                if (got.get() == Py_None) return true;
                if (!header_done) {
                    // Positions 0..3, or -1 for both video columns of the form without them.
                    for (size_t k = 0; k < 4; ++k) {
                        PyObject* item = PyTuple_Check(got.get()) && PyTuple_GET_SIZE(got.get()) == 4
                                             ? PyTuple_GET_ITEM(got.get(), static_cast<Py_ssize_t>(k))
                                             : nullptr;
                        const long v = item ? PyLong_AsLong(item) : -2;
                        const bool absent = v == -1 && k >= 2 && !PyErr_Occurred();
                        if (!absent && (v < 0 || v > 3)) {
                            if (!PyErr_Occurred()) raise(PyExc_ValueError, "the header reader gave no column order");
                            return failed = true, false;
                        }
                        at[k] = absent ? build::kNoColumn : static_cast<uint8_t>(v);
                    }
                    if ((at[2] == build::kNoColumn) != (at[3] == build::kNoColumn)) {
                        raise(PyExc_ValueError, "the header reader gave no column order");
                        return failed = true, false;
                    }
                    columns = std::move(got);
                    header_done = true;
                    return true;
                }
                if (!slow_row_fields(got.get(), row, keep)) return failed = true, false;
            }
            if (auto error = cat.add(line, row)) {
                failed = true;
                return row_failure(&*error);
            }
            return true;
        };

        uint64_t done = 0;
        for (;;) {
            Ref chunk = Ref::steal(PyObject_CallMethod(stream, "read", "n", static_cast<Py_ssize_t>(1) << 20));
            if (!chunk) return nullptr;
            if (!PyBytes_Check(chunk.get())) return raise_wrong_type(chunk.get(), "bytes");
            const auto size = static_cast<size_t>(PyBytes_GET_SIZE(chunk.get()));
            if (size == 0) break;
            if (!lines.feed({PyBytes_AS_STRING(chunk.get()), size}, on_line)) return nullptr;
            done += size;
            if (progress != Py_None) {
                Ref shown_done = Ref::steal(PyLong_FromUnsignedLongLong(done));
                if (!shown_done) return nullptr;
                Ref ignored = Ref::steal(PyObject_CallOneArg(progress, shown_done.get()));
                if (!ignored) return nullptr;
            }
        }
        if (!lines.finish(on_line)) return nullptr;
        if (failed) return nullptr;
        const auto repeat = cat.first_repeat();
        if (!header_done) {
            Ref got = ask_slow(Py_None);  // an empty file: the slow reader says so
            if (!got) return nullptr;
            return raise(PyExc_ValueError, "the file is empty");
        }

        // The terms in the order first read, each with its videos as listed, normalised
        // and merged as entries are. First the terms normalisation changes: when there
        // are none (a catalogue already in its normal form), the table takes the
        // catalogue's terms as they are instead of looking each up again.
        // A term that normalises to nothing is an error at its first line, reported
        // unless a repeated video comes before it.
        std::vector<std::pair<uint32_t, std::string>> changed;
        for (uint32_t t = 0; t < cat.term_count(); ++t) {
            if (repeat && cat.term_line(t) > repeat->line) break;
            bool differs = false;
            bool empty = false;
            if (!normalise_text(mode, normal, cat.term(t), key, differs, empty)) return nullptr;
            if (empty) return raise_empty(t), nullptr;
            if (differs) changed.emplace_back(t, key);
        }
        if (repeat) return raise_row_error(row_error, *repeat), nullptr;
        Merger merger{mode, normal, {}, {}};
        const uint64_t rows = cat.rows();
        const uint64_t videos = cat.video_count();
        uint32_t current = 0;
        bool ok = true;
        // Catalogue video numbers to the table's, which follow the order of the entries.
        std::vector<uint32_t> renumbered(cat.video_count(), UINT32_MAX);
        auto on_video = [&](uint32_t number, const build::VideoKey& video, uint32_t count) {
            uint32_t& to = renumbered[number];
            if (to == UINT32_MAX) to = merger.table.video_number(video);
            merger.table.add_video(current, to, count);
        };
        if (changed.empty()) {
            build::TextInterner terms;
            std::vector<uint32_t> counts;
            cat.take_terms(terms, counts);
            merger.table.adopt(std::move(terms), std::move(counts));
            cat.entries([&](uint32_t t) { return current = t, true; }, on_video);
        } else {
            size_t next = 0;
            cat.entries(
                [&](uint32_t t) {
                    const bool differs = next < changed.size() && changed[next].first == t;
                    const std::string_view text = differs ? std::string_view(changed[next++].second) : cat.term(t);
                    current = merger.table.add_term(text, cat.count(t));
                    if (differs) merger.spelled.push_back({current, std::string(cat.term(t)), cat.count(t)});
                    return true;
                },
                on_video);
        }
        if (!ok) return nullptr;
        cat = build::Catalogue{};
        const uint64_t terms = merger.table.term_count();
        Ref built = Ref::steal(finish(merger, video_top_n));
        if (!built) return nullptr;
        PyObject* engine = PyTuple_GET_ITEM(built.get(), 0);
        const uint64_t nodes = reinterpret_cast<PrefixSearchObject*>(engine)->store.node_count();
        return Py_BuildValue("(OOOKKKK)", engine, PyTuple_GET_ITEM(built.get(), 1), PyTuple_GET_ITEM(built.get(), 2),
                             static_cast<unsigned long long>(rows), static_cast<unsigned long long>(videos),
                             static_cast<unsigned long long>(terms), static_cast<unsigned long long>(nodes));
    });
}

}  // namespace brindlex::py
