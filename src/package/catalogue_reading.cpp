// Building from a catalogue file: read_catalogue(). Rows in their plain form are parsed
// and merged by the core (core/builder/catalogue) without a Python object per row; any
// other line goes to the package's slow reader (brindlex._rows.row_of), which reads it
// the long way and words its error. Only the errors that span rows (a repeated video, a
// second count, a second id kind) are worded here.
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/instance.hpp"
#include "binding/pyref.hpp"
#include "binding/text.hpp"
#include "core/builder/catalogue.hpp"
#include "package/build.hpp"
#include "package/merging.hpp"
#include "package/normalise.hpp"
#include "package/shown.hpp"

namespace brindlex::py {
namespace {

// A row the slow reader returned: (term, count, video id or None, video count or None).
bool slow_row_fields(PyObject* got, build::Row& row, Ref& keep) {
    PyObject *term, *count, *vid, *vcount;
    if (!PyArg_ParseTuple(got, "UOOO", &term, &count, &vid, &vcount)) return false;
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(term, &n);
    if (!s) return false;
    keep = Ref::borrow(got);  // the term and the id the row views
    row = build::Row{};
    row.term = std::string_view(s, static_cast<size_t>(n));
    if (!to_u32(count, row.count)) return false;
    if (vid == Py_None) return true;
    row.has_video = true;
    if (PyUnicode_Check(vid)) {  // a text id, checked by the slow reader
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(vid, &len);
        if (!text) return false;
        row.id_text = std::string_view(text, static_cast<size_t>(len));
        row.kind = build::IdKind::Text;
    } else if (PyBytes_Check(vid) && PyBytes_GET_SIZE(vid) == 16) {
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
        case build::IdKind::Text:
            return PyUnicode_FromString("text");
        case build::IdKind::None:
            break;
    }
    return Py_NewRef(Py_None);
}

}  // namespace

PyObject* read_catalogue(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 10 && !expect_args("read_catalogue", nargs, 9)) return nullptr;
        PyObject* stream = args[0];
        PyObject* fmt = args[1];
        PyObject* normal = args[4];
        PyObject* slow = args[5];
        PyObject* row_error = args[6];
        PyObject* progress = args[7];
        const int sum_counts = PyObject_IsTrue(args[8]);
        if (sum_counts < 0) return nullptr;
        const int text_ids = nargs == 10 ? PyObject_IsTrue(args[9]) : 0;
        if (text_ids < 0) return nullptr;
        const char* fmt_text = PyUnicode_Check(fmt) ? PyUnicode_AsUTF8(fmt) : nullptr;
        if (!fmt_text || (std::strcmp(fmt_text, "tsv") != 0 && std::strcmp(fmt_text, "jsonl") != 0)) {
            PyErr_Clear();
            return raise(PyExc_ValueError, "fmt must be 'tsv' or 'jsonl'");
        }
        const bool tsv = std::strcmp(fmt_text, "tsv") == 0;
        Mode mode{};
        uint64_t video_top_n = 0;
        if (!parse_mode(args[3], mode) || !top_n_of(args[2], video_top_n)) return nullptr;

        build::Catalogue cat(sum_counts != 0, text_ids != 0);
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
        Merger merger{mode, normal, {}, {}, {}};
        const uint64_t rows = cat.rows();
        const uint64_t videos = cat.video_count();
        uint32_t current = 0;
        bool ok = true;
        // Catalogue video numbers to the table's, which follow the order of the entries.
        std::vector<uint32_t> renumbered(cat.video_count(), UINT32_MAX);
        // Text ids are numbered again in that order too, so that the engine's int id of a
        // video is its video number, as Index.build gives them: the catalogue's text
        // number of each, in the table's order.
        const bool text_form = cat.kind() == build::IdKind::Text;
        std::vector<uint32_t> text_order;
        auto on_video = [&](uint32_t number, const build::VideoKey& video, uint32_t count) {
            uint32_t& to = renumbered[number];
            if (to == UINT32_MAX) {
                if (text_form) {
                    to = merger.table.video_number(build::VideoKey::int32(static_cast<uint32_t>(text_order.size())));
                    text_order.push_back(video.int_value());
                } else {
                    to = merger.table.video_number(video);
                }
            }
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
                    if (differs) {
                        // Spelt as the term itself once its whitespace is squeezed: no spelling.
                        std::string shown_text = mode == Mode::Fold ? shown_spelling(cat.term(t)) : std::string(cat.term(t));
                        if (shown_text != text) merger.spelled.push_back({current, std::move(shown_text), cat.count(t)});
                    }
                    return true;
                },
                on_video);
        }
        if (!ok) return nullptr;
        for (const uint32_t n : text_order) {
            bool added = false;
            merger.text_ids.intern(cat.text_ids()[n], added);
        }
        cat = build::Catalogue{};
        const uint64_t terms = merger.table.term_count();
        Ref built = Ref::steal(finish(merger, video_top_n));
        if (!built) return nullptr;
        PyObject* engine = PyTuple_GET_ITEM(built.get(), 0);
        const uint64_t nodes = reinterpret_cast<PrefixSearchObject*>(engine)->store.node_count();
        return Py_BuildValue("(OOOKKKKO)", engine, PyTuple_GET_ITEM(built.get(), 1), PyTuple_GET_ITEM(built.get(), 2),
                             static_cast<unsigned long long>(rows), static_cast<unsigned long long>(videos),
                             static_cast<unsigned long long>(terms), static_cast<unsigned long long>(nodes),
                             PyTuple_GET_ITEM(built.get(), 3));
    });
}

}  // namespace brindlex::py
