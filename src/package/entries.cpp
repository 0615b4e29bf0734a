// Building from Python entries: build() and lay_out(). Entries in their plain form are
// read here without running Python code; any other is handed to the package's slow path
// (brindlex._build._entry), which checks it the long way and words its error. Only the
// errors that span entries (a second id form) are worded here.
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/pyref.hpp"
#include "binding/text.hpp"
#include "core/lookup/video_texts.hpp"
#include "core/builder/layout.hpp"
#include "package/build.hpp"
#include "package/merging.hpp"
#include "package/shown.hpp"

namespace brindlex::py {
namespace {

constexpr const char* kUuidForm = "16-byte (UUID)";
constexpr const char* kIntForm = "4-byte (int32)";
constexpr const char* kTextForm = "text";
// The form of a text id in Pair and FirstVideo (the others are their keys' sizes).
constexpr uint8_t kText = 1;

const char* form_name(uint8_t size) { return size == 16 ? kUuidForm : size == kText ? kTextForm : kIntForm; }

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

// The form of the first video id and where it was: the videos of one index have one form.
struct FirstVideo {
    uint8_t size = 0;  // 0: none yet
    Py_ssize_t entry = 0;
    Ref term;
    Py_ssize_t video = 0;

    PyObject* form_text() const {
        return size == 0 ? Py_NewRef(Py_None) : PyUnicode_FromString(form_name(size));
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
    const std::string message = where(i, term, j) + ": a " + form_name(size) + " video id among " +
                                form_name(first.size) + " ones (the first was " +
                                where(first.entry, first.term.get(), first.video) + "); all video ids must have one form";
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
}

struct Pair {
    build::VideoKey key;
    uint32_t count;
    uint8_t form;  // the key's size, or kText (then `text` is the id)
    std::string_view text;
};

// A text id's UTF-8 when it is valid (lookup::valid_video_text); the str keeps it.
bool plain_text_id(PyObject* vid, std::string_view& out) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(vid, &n);
    if (!s) {
        PyErr_Clear();
        return false;
    }
    out = std::string_view(s, static_cast<size_t>(n));
    return lookup::valid_video_text(out);
}

// An entry in its plain form: a 3-tuple or 3-list of an exact str, an exact int in range
// and a list or tuple of 2-tuples (16- or 4-byte bytes, an int in range or, with
// `text_ids`, a valid exact str; int in range).
// False (with no error) for anything else.
// The term is returned as a strong reference: normalising it calls into Python, which may
// replace the items of a list entry (a collector callback or another thread) meanwhile.
bool plain_entry(PyObject* entry, bool text_ids, Ref& term, uint32_t& count, std::vector<Pair>& pairs,
                 std::vector<Ref>& held) {
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
    held.clear();
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
        } else if (text_ids && PyUnicode_CheckExact(vid) && plain_text_id(vid, p.text)) {
            p.form = kText;
            held.push_back(Ref::borrow(vid));  // normalising may run code that drops the entry's
        } else {
            return false;
        }
        if (p.form == 0) p.form = p.key.size;
        pairs.push_back(p);
    }
    // Nothing above runs Python code, so the items read stay the entry's until here.
    term = Ref::borrow(given);
    return true;
}

// The slow path's answer: (term, count, [(id, count)], spelling or None, spelled count).
bool slow_entry(PyObject* slow, Py_ssize_t i, PyObject* entry, PyObject* normal, const FirstVideo& first,
                Ref& term, uint32_t& count, std::vector<Pair>& pairs, Ref& spelling, uint64_t& spelled_count,
                Ref& answer) {
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    Ref form = Ref::steal(first.form_text());
    Ref from = Ref::steal(first.size == 0 ? Py_NewRef(Py_None)
                                          : Py_BuildValue("(nOn)", first.entry, first.term.get(), first.video));
    if (!index || !form || !from) return false;
    PyObject* args[] = {index.get(), entry, normal, form.get(), from.get()};
    answer = Ref::steal(PyObject_Vectorcall(slow, args, 5, nullptr));
    if (!answer) return false;
    PyObject* got = answer.get();
    PyObject *t, *c, *vs, *sp, *sc;
    if (!PyArg_ParseTuple(got, "UOO!OO", &t, &c, &PyList_Type, &vs, &sp, &sc)) return false;
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
        if (PyUnicode_Check(vid)) {
            // Checked by the slow path; the list returned holds the str (the entry may not).
            if (!plain_text_id(vid, p.text)) return raise(PyExc_ValueError, "the slow path gave an invalid text id"), false;
            p.form = kText;
        } else if (PyBytes_Check(vid) && PyBytes_GET_SIZE(vid) == 16) {
            p.key = build::VideoKey::uuid(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(vid)));
        } else {
            uint32_t number = 0;
            if (!to_u32(vid, number)) return false;
            p.key = build::VideoKey::int32(number);
        }
        if (p.form == 0) p.form = p.key.size;
        pairs.push_back(p);
    }
    return true;
}

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
    std::vector<Ref> held;
    for (Py_ssize_t i = 0;; ++i) {
        Ref entry = Ref::steal(PyIter_Next(it.get()));
        if (!entry) return !PyErr_Occurred();
        Ref given;
        uint32_t count = 0;
        Ref term;
        Ref spelling;
        uint64_t spelled_count = 0;
        Ref answer;  // the slow path's, which holds the text ids `pairs` view
        if (plain_entry(entry.get(), merger.text_ids_allowed, given, count, pairs, held)) {
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
        } else if (!slow_entry(slow, i, entry.get(), normal, first, term, count, pairs, spelling, spelled_count,
                               answer)) {
            return false;
        }
        std::string_view text;
        if (!term_text(i, term.get(), text)) return false;
        for (size_t j = 0; j < pairs.size(); ++j) {
            if (!check_form(first, pairs[j].form, i, term.get(), static_cast<Py_ssize_t>(j))) return false;
        }
        const uint32_t t = merger.table.add_term(text, count);
        for (Pair& p : pairs) {
            if (p.form == kText) {
                // Numbered in the order first seen; the engine's int id n is text n.
                bool added = false;
                p.key = build::VideoKey::int32(merger.text_ids.intern(p.text, added));
            }
            merger.table.add_video(t, merger.table.video_number(p.key), p.count);
        }
        if (spelling) {
            Py_ssize_t n = 0;
            const char* u = PyUnicode_AsUTF8AndSize(spelling.get(), &n);
            if (!u) return false;
            std::string shown_text(u, static_cast<size_t>(n));
            if (merger.mode == Mode::Fold) shown_text = shown_spelling(shown_text);
            // Spelt as the term itself once its whitespace is squeezed: no spelling to keep.
            if (shown_text != text) merger.spelled.push_back({t, std::move(shown_text), spelled_count});
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
        if (nargs != 6 && !expect_args("build", nargs, 5)) return nullptr;
        Mode mode{};
        if (!parse_mode(args[2], mode)) return nullptr;
        Merger merger{mode, args[3], {}, {}, {}};
        if (nargs == 6) {
            const int text_ids = PyObject_IsTrue(args[5]);
            if (text_ids < 0) return nullptr;
            merger.text_ids_allowed = text_ids != 0;
        }
        if (!read_entries(args[0], args[3], args[4], merger)) return nullptr;
        uint64_t video_top_n = 0;
        if (!top_n_of(args[1], video_top_n)) return nullptr;
        return finish(merger, video_top_n);
    });
}

PyObject* lay_out_entries(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!expect_args("lay_out", nargs, 2)) return nullptr;
        Merger merger{Mode::Exact, Py_None, {}, {}, {}};
        if (!read_entries(args[0], Py_None, args[1], merger)) return nullptr;
        auto laid = build::lay_out(merger.table);
        if (!laid) return raise(PyExc_ValueError, laid.error());
        return flat_arrays(laid->parts);
    });
}

}  // namespace brindlex::py
