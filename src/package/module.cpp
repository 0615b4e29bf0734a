// brindlex._native: what the brindlex package needs beyond the five methods of
// _brindlex, read from the store of a PrefixSearch it is given (never a copy of it).
//
//   crc32c(data, value=0, /)            the CRC-32C of a bytes-like object
//   prepare(engine, /)                  makes now what the engine's queries would make on
//                                       first use (the reversed-term index)
//   check_snapshot(data, notes=None, /) decodes a snapshot and checks it (core/check):
//                                       (nodes, terms, videos, id mode, bytes used,
//                                       damage, notes); damage includes whatever makes
//                                       Lookup refuse the store with these notes
//   check_engine(engine, notes=None, /) the same check of an engine's store: (damage, notes)
//   build(entries, video_top_n, mode, normal, slow_entry, /)
//                                       a new engine of (term, count, videos) entries
//                                       (package/build.hpp)
//   lay_out(entries, slow_entry, /)     the five arrays of from_internal_data_v2 for them
//   read_catalogue(stream, fmt, video_top_n, mode, normal, slow_row, row_error, progress, sum_counts, /)
//                                       a new engine of a catalogue's rows
//   Lookup(engine, notes, suggestion, completion, /)
//       .suggest(text, limit, max_dist, transpositions)
//                                       best-first terms near text, as `suggestion` tuples
//       .complete(prefix, limit, max_dist, transpositions)
//                                       best-first terms that begin near prefix, as
//                                       `completion` tuples
//       .count(text) / .contains(text)  a term's own count / whether it is a term
//       .spelling(term)                 how the catalogue wrote a term of the trie
//       len(lookup)                     the number of terms
//       .terms(prefix, items)           an iterator over the terms under prefix in code-point
//                                       order of the compared text: shown terms, or
//                                       (term, count) tuples with items
//       .words                          whether suggest and complete match word starts too
//   add_words(lookup, separators, /)    makes a Lookup's word starts (package/words.cpp)
//   write_index(lookup, text_mode, video_top_n, /)
//                                       a version 2 index file of a Lookup's engine and
//                                       tables, or None (package/index_file.cpp)
//   open_index(source, verify, map, suggestion, completion, /)
//                                       (lookup, text_mode, video_top_n, mapped) of a
//                                       version 2 file, used in place
//
// Texts come already folded by the caller; terms go back in the catalogue's spelling.
// `suggestion` and `completion` are named tuple classes, filled in place like tuples
// (binding/text.hpp, new_tuple).
#include <Python.h>

#include <array>
#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/instance.hpp"
#include "binding/pyref.hpp"
#include "binding/text.hpp"
#include "package/build.hpp"
#include "package/index_file.hpp"
#include "package/lookup.hpp"
#include "core/check/check.hpp"
#include "core/checksum/crc32c.hpp"
#include "core/lookup/listing.hpp"
#include "core/lookup/lookup.hpp"
#include "core/lookup/spellings.hpp"
#include "core/lookup/term_index.hpp"
#include "core/lookup/words.hpp"
#include "core/snapshot/decode_error.hpp"
#include "core/snapshot/snapshot.hpp"
#include "core/facts/facts.hpp"

namespace brindlex::py {
namespace {

PyTypeObject* g_prefix_search = nullptr;  // _brindlex.PrefixSearch, held for the process
PyTypeObject* g_lookup = nullptr;         // Lookup, held for the process

// ---------------------------------------------------------------------------------------
// Arguments: positional only, converted with the engine's own converters.

bool expect_args(const char* name, Py_ssize_t nargs, Py_ssize_t want) {
    if (nargs == want) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", name, want, nargs);
    return false;
}

// Names the argument in a TypeError, as the engine does.
bool argument(bool ok, const char* name) {
    if (!ok) prefix_argument_error(name);
    return ok;
}

// The scalar values of a str, read in place.
bool to_scalars(PyObject* o, std::vector<uint32_t>& out) {
    if (!PyUnicode_Check(o)) return raise_wrong_type(o, "str"), false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(o);
    const int kind = PyUnicode_KIND(o);
    const void* data = PyUnicode_DATA(o);
    out.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) {
            PyErr_SetString(PyExc_ValueError, "the text holds a lone surrogate");
            return false;
        }
        out[static_cast<size_t>(i)] = c;
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Lookup: an engine, its TermIndex and its notes.

struct LookupObject {
    PyObject_HEAD
    PyObject* engine;
    PyObject* suggestion;
    PyObject* completion;
    lookup::TermIndex index;
    lookup::Spellings spellings;
    lookup::Words words;  // empty unless the index matches word starts
};

LookupObject* as_lookup(PyObject* self) { return reinterpret_cast<LookupObject*>(self); }
const TrieStore& store_of(const LookupObject* self) {
    return reinterpret_cast<const PrefixSearchObject*>(self->engine)->store;
}

// A named tuple class: a tuple subclass that adds no fields of its own.
bool is_plain_tuple_class(PyObject* o) {
    if (!PyType_Check(o)) return false;
    auto* t = reinterpret_cast<PyTypeObject*>(o);
    return PyType_IsSubtype(t, &PyTuple_Type) && t->tp_basicsize == PyTuple_Type.tp_basicsize &&
           t->tp_itemsize == PyTuple_Type.tp_itemsize;
}

PyObject* make_lookup(PyTypeObject* type, PyObject* engine, PyObject* suggestion, PyObject* completion,
                      lookup::TermIndex index, lookup::Spellings spellings, lookup::Words words = {}) {
    // Made now rather than by the first query that needs it, so that processes forked
    // afterwards share its pages and no query pays for it (read from the file when the
    // store is).
    (void)facts::reversed_of(reinterpret_cast<PrefixSearchObject*>(engine)->store);
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    LookupObject* obj = as_lookup(self);
    obj->engine = Py_NewRef(engine);
    obj->suggestion = Py_NewRef(suggestion);
    obj->completion = Py_NewRef(completion);
    std::construct_at(&obj->index, std::move(index));
    std::construct_at(&obj->spellings, std::move(spellings));
    std::construct_at(&obj->words, std::move(words));
    return self;
}

PyObject* lookup_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject *engine, *notes, *suggestion, *completion;
        if (kwargs && PyDict_GET_SIZE(kwargs) != 0) return raise(PyExc_TypeError, "Lookup() takes no keyword arguments");
        if (!PyArg_ParseTuple(args, "O!SOO:Lookup", g_prefix_search, &engine, &notes, &suggestion, &completion)) {
            return nullptr;
        }
        if (!is_plain_tuple_class(suggestion) || !is_plain_tuple_class(completion)) {
            return raise(PyExc_TypeError, "Lookup(): the result classes must be named tuple classes");
        }
        const TrieStore& store = reinterpret_cast<PrefixSearchObject*>(engine)->store;
        const auto* data = reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(notes));
        auto decoded = lookup::Notes::decode({data, static_cast<size_t>(PyBytes_GET_SIZE(notes))}, store);
        if (!decoded) return raise(PyExc_ValueError, decoded.error().message);
        auto index = lookup::TermIndex::make(store, std::move(decoded->fixes));
        if (!index) return raise(PyExc_ValueError, index.error().message);
        return make_lookup(type, engine, suggestion, completion, std::move(*index), std::move(decoded->spellings));
    });
}

void lookup_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    LookupObject* obj = as_lookup(self);
    std::destroy_at(&obj->words);
    std::destroy_at(&obj->spellings);
    std::destroy_at(&obj->index);
    Py_XDECREF(obj->engine);
    Py_XDECREF(obj->suggestion);
    Py_XDECREF(obj->completion);
    type->tp_free(self);
    Py_DECREF(type);
}

// The text shown for a term: the catalogue's spelling where it differs from the trie's.
PyObject* shown_term(const LookupObject* self, const lookup::TermHit& hit) {
    const std::string_view text = self->spellings.of(hit.node).value_or(hit.term);
    return new_text(text);
}

// A bool, strictly: 0 and 1 are not switches.
bool to_switch(PyObject* o, bool& out) {
    if (!PyBool_Check(o)) return raise_wrong_type(o, "bool"), false;
    out = o == Py_True;
    return true;
}

EditRule rule_of(bool transpositions) { return transpositions ? EditRule::Transpositions : EditRule::Levenshtein; }

PyObject* lookup_suggest(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        std::string_view text;
        uint64_t limit = 0;
        uint32_t max_dist = 0;
        bool transpositions = false;
        if (!expect_args("suggest", nargs, 4) || !argument(to_term(args[0], text), "text") ||
            !argument(to_u64(args[1], limit), "limit") || !argument(to_u32(args[2], max_dist), "max_dist") ||
            !argument(to_switch(args[3], transpositions), "transpositions")) {
            return nullptr;
        }
        const LookupObject* obj = as_lookup(self);
        auto hits = obj->words.empty()
                        ? lookup::suggest(store_of(obj), obj->index, text, max_dist, limit, rule_of(transpositions))
                        : lookup::words_suggest(store_of(obj), obj->index, obj->words, text, max_dist, limit,
                                                rule_of(transpositions));
        if (!hits) return raise_internal_failure(hits.error().message);
        auto* named = reinterpret_cast<PyTypeObject*>(obj->suggestion);
        return list_of(*hits, [&](const lookup::TermHit& h) -> PyObject* {
            return new_tuple({shown_term(obj, h), PyLong_FromUnsignedLong(h.distance), PyLong_FromUnsignedLong(h.count)},
                             named);
        });
    });
}

PyObject* lookup_complete(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        std::vector<uint32_t> prefix;
        uint64_t limit = 0;
        uint32_t max_dist = 0;
        bool transpositions = false;
        if (!expect_args("complete", nargs, 4) || !argument(to_scalars(args[0], prefix), "prefix") ||
            !argument(to_u64(args[1], limit), "limit") || !argument(to_u32(args[2], max_dist), "max_dist") ||
            !argument(to_switch(args[3], transpositions), "transpositions")) {
            return nullptr;
        }
        const LookupObject* obj = as_lookup(self);
        auto hits = obj->words.empty()
                        ? lookup::fuzzy_complete(store_of(obj), obj->index, prefix, max_dist, limit,
                                                 rule_of(transpositions))
                        : lookup::words_complete(store_of(obj), obj->index, obj->words, prefix, max_dist, limit,
                                                 rule_of(transpositions));
        if (!hits) return raise_internal_failure(hits.error().message);
        auto* named = reinterpret_cast<PyTypeObject*>(obj->completion);
        return list_of(*hits, [&](const lookup::TermHit& h) -> PyObject* {
            return new_tuple({shown_term(obj, h), PyLong_FromUnsignedLong(h.distance), PyLong_FromUnsignedLong(h.count)},
                             named);
        });
    });
}

// The node of a term given as a str, or kNoNode (with no error) when it is no term.
std::optional<uint32_t> node_of(const LookupObject* obj, PyObject* text) {
    std::array<uint32_t, 64> small;
    std::vector<uint32_t> large;
    std::span<const uint32_t> scalars;
    if (PyUnicode_Check(text) && PyUnicode_GET_LENGTH(text) <= static_cast<Py_ssize_t>(small.size()) &&
        PyUnicode_IS_ASCII(text)) {
        const auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
        const auto* bytes = reinterpret_cast<const unsigned char*>(PyUnicode_DATA(text));
        for (size_t i = 0; i < n; ++i) small[i] = bytes[i];
        scalars = std::span<const uint32_t>(small.data(), n);
    } else {
        if (!argument(to_scalars(text, large), "text")) return std::nullopt;
        scalars = large;
    }
    return obj->index.find(store_of(obj), scalars);
}

PyObject* lookup_count(PyObject* self, PyObject* text) {
    return guarded([&]() -> PyObject* {
        const LookupObject* obj = as_lookup(self);
        const auto node = node_of(obj, text);
        if (!node) return nullptr;
        const uint32_t count = *node == lookup::kNoNode ? 0 : obj->index.own_count(store_of(obj), *node);
        return PyLong_FromUnsignedLong(count);
    });
}

PyObject* lookup_contains(PyObject* self, PyObject* text) {
    return guarded([&]() -> PyObject* {
        const auto node = node_of(as_lookup(self), text);
        if (!node) return nullptr;
        return PyBool_FromLong(*node != lookup::kNoNode);
    });
}

PyObject* lookup_spelling(PyObject* self, PyObject* term) {
    return guarded([&]() -> PyObject* {
        const LookupObject* obj = as_lookup(self);
        const auto node = node_of(obj, term);
        if (!node) return nullptr;
        if (*node != lookup::kNoNode) {
            if (const auto shown = obj->spellings.of(*node)) {
                return new_text(*shown);
            }
        }
        return Py_NewRef(term);
    });
}

Py_ssize_t lookup_len(PyObject* self) {
    return static_cast<Py_ssize_t>(as_lookup(self)->index.term_count());
}

PyObject* lookup_get_engine(PyObject* self, void*) { return Py_NewRef(as_lookup(self)->engine); }

PyObject* lookup_get_saturated(PyObject* self, void*) { return PyBool_FromLong(as_lookup(self)->index.saturated()); }

PyObject* lookup_get_nodes(PyObject* self, void*) { return PyLong_FromSize_t(store_of(as_lookup(self)).node_count()); }

PyObject* lookup_get_memory(PyObject* self, void*) {
    const LookupObject* obj = as_lookup(self);
    return PyLong_FromSize_t(sizeof(LookupObject) + obj->index.memory_bytes() + obj->spellings.memory_bytes() +
                             obj->words.memory_bytes());
}

// ---------------------------------------------------------------------------------------
// Listing: an iterator over the terms under a prefix, filled a chunk at a time by the
// core's walk (core/lookup/listing), so that no list of every term is ever made. It holds
// its Lookup, and with it the engine and spellings the walk reads.

PyTypeObject* g_listing = nullptr;  // brindlex._native.Listing, held for the process

constexpr size_t kListingChunk = 256;

struct ListingObject {
    PyObject_HEAD
    PyObject* lookup;
    lookup::Listing listing;
    lookup::ListedTerms chunk;
    size_t next;  // the next term of `chunk` to hand out
    bool items;
};

ListingObject* as_listing(PyObject* self) { return reinterpret_cast<ListingObject*>(self); }

void listing_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    ListingObject* obj = as_listing(self);
    std::destroy_at(&obj->chunk);
    std::destroy_at(&obj->listing);
    Py_XDECREF(obj->lookup);
    type->tp_free(self);
    Py_DECREF(type);
}

// Fills the chunk anew once it is all handed out. False at the end (no exception set) or
// on a failure (an exception set).
bool refill(ListingObject* obj) noexcept {
    if (obj->next < obj->chunk.size()) return true;
    obj->chunk.clear();
    obj->next = 0;
    if (obj->listing.done()) return false;
    try {
        if (auto filled = obj->listing.next(obj->chunk, kListingChunk); !filled) {
            raise_internal_failure(filled.error().message);
            return false;
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return obj->chunk.size() != 0;
}

// tp_iternext: null with no exception set ends the iteration.
PyObject* listing_next(PyObject* self) {
    ListingObject* obj = as_listing(self);
    if (!refill(obj)) return nullptr;
    const size_t i = obj->next++;
    PyObject* term = new_text(obj->chunk.term(i));
    if (!obj->items) return term;
    return new_tuple({term, PyLong_FromUnsignedLong(obj->chunk.counts[i])});
}

PyType_Slot kListingSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(listing_dealloc)},  // releases the walk and its Lookup
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(listing_next)},
    {Py_tp_doc, const_cast<char*>("The terms under a prefix, in code-point order (Lookup.terms).")},
    {0, nullptr},
};

// No GC support: a Listing refers only to a Lookup, which cannot refer back to it.
PyType_Spec kListingSpec = {
    .name = "brindlex._native.Listing",
    .basicsize = static_cast<int>(sizeof(ListingObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = kListingSlots,
};

PyObject* lookup_terms(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        std::vector<uint32_t> prefix;
        if (!expect_args("terms", nargs, 2) || !argument(to_scalars(args[0], prefix), "prefix")) return nullptr;
        const int items = PyObject_IsTrue(args[1]);
        if (items < 0) return nullptr;
        const LookupObject* lookup = as_lookup(self);
        PyObject* it = g_listing->tp_alloc(g_listing, 0);
        if (!it) return nullptr;
        ListingObject* obj = as_listing(it);
        // Until the walk is made, dealloc must find nothing to destroy: made first, and
        // should it throw, the bare object is freed by hand.
        try {
            std::construct_at(&obj->listing, store_of(lookup), lookup->index, lookup->spellings, prefix);
        } catch (...) {
            Py_TYPE(it)->tp_free(it);
            Py_DECREF(g_listing);
            throw;
        }
        std::construct_at(&obj->chunk);
        obj->lookup = Py_NewRef(self);
        obj->next = 0;
        obj->items = items != 0;
        return it;
    });
}

PyObject* lookup_get_words(PyObject* self, void*) { return PyBool_FromLong(!as_lookup(self)->words.empty()); }

PyObject* lookup_get_borrowed(PyObject* self, void*) {
    const LookupObject* obj = as_lookup(self);
    return PyLong_FromSize_t(store_of(obj).borrowed_bytes() + obj->index.borrowed_bytes() +
                             obj->spellings.borrowed_bytes() + obj->words.borrowed_bytes());
}

PyMethodDef kLookupMethods[] = {
    {"suggest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lookup_suggest)), METH_FASTCALL,
     "suggest($self, text, limit, max_dist, transpositions, /)\n--\n\n"
     "At most limit terms within max_dist of text, best first."},
    {"complete", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lookup_complete)), METH_FASTCALL,
     "complete($self, prefix, limit, max_dist, transpositions, /)\n--\n\n"
     "At most limit terms that begin within max_dist of prefix, best first."},
    {"count", lookup_count, METH_O, "count($self, text, /)\n--\n\nThe term's own count, 0 when it is no term."},
    {"contains", lookup_contains, METH_O, "contains($self, text, /)\n--\n\nWhether text is a term."},
    {"spelling", lookup_spelling, METH_O,
     "spelling($self, term, /)\n--\n\nThe catalogue's spelling of a term of the trie."},
    {"terms", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lookup_terms)), METH_FASTCALL,
     "terms($self, prefix, items, /)\n--\n\n"
     "An iterator over the terms that start with prefix, in code-point order; (term, count) with items."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kLookupGetSet[] = {
    {"engine", lookup_get_engine, nullptr, "The PrefixSearch whose store this reads.", nullptr},
    {"saturated", lookup_get_saturated, nullptr, "Whether some subtree total reached 4294967295.", nullptr},
    {"node_count", lookup_get_nodes, nullptr, "The number of nodes of the trie.", nullptr},
    {"memory_bytes", lookup_get_memory, nullptr, "Bytes held beside the engine's store.", nullptr},
    {"words", lookup_get_words, nullptr, "Whether suggest and complete match word starts too.", nullptr},
    {"file_bytes", lookup_get_borrowed, nullptr,
     "Bytes of the engine's store and the tables read in place from an index file's bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kLookupSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(lookup_new)},          // checks the engine and notes
    {Py_tp_dealloc, reinterpret_cast<void*>(lookup_dealloc)},  // releases the index and references
    {Py_tp_methods, kLookupMethods},
    {Py_tp_getset, kLookupGetSet},
    {Py_sq_length, reinterpret_cast<void*>(lookup_len)},  // the number of terms
    {Py_tp_doc, const_cast<char*>("Lookup(engine, notes, suggestion, completion, /)\n--\n\n"
                                  "Term lookups over the store of a PrefixSearch.")},
    {0, nullptr},
};

// No GC support: a Lookup refers only to an engine and two classes, none of which can
// refer back to it.
PyType_Spec kLookupSpec = {
    .name = "brindlex._native.Lookup",
    .basicsize = static_cast<int>(sizeof(LookupObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = kLookupSlots,
};

// ---------------------------------------------------------------------------------------
// Module functions.

PyObject* crc32c(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs < 1 || nargs > 2) return raise(PyExc_TypeError, "crc32c() takes 1 or 2 arguments");
        uint32_t value = 0;
        if (nargs == 2 && !argument(to_u32(args[1], value), "value")) return nullptr;
        Py_buffer view;
        if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
        const auto* data = static_cast<const std::byte*>(view.buf);
        const uint32_t crc = checksum::crc32c({data, static_cast<size_t>(view.len)}, value);
        PyBuffer_Release(&view);
        return PyLong_FromUnsignedLong(crc);
    });
}

PyObject* prepare(PyObject*, PyObject* engine) {
    return guarded([&]() -> PyObject* {
        if (!PyObject_TypeCheck(engine, g_prefix_search)) return raise_wrong_type(engine, "PrefixSearch");
        (void)facts::reversed_of(reinterpret_cast<PrefixSearchObject*>(engine)->store);
        Py_RETURN_NONE;
    });
}

// (damage, notes) of a check, as two lists of str.
PyObject* findings(const check::Report& report) {
    auto texts = [](const std::vector<std::string>& found) {
        return list_of(found, [](const std::string& t) { return new_text(t); });
    };
    Ref damage = Ref::steal(texts(report.damage));
    Ref notes = Ref::steal(damage ? texts(report.notes) : nullptr);
    return notes ? PyTuple_Pack(2, damage.get(), notes.get()) : nullptr;
}

// The store's check, and as damage whatever makes the term lookups refuse the store
// with these notes (bytes of an index file, or null for none): what stats reports and
// what every query refuses are then one. False with an error set when `notes` is no
// bytes-like object.
bool check_for_lookups(const TrieStore& store, PyObject* notes, check::Report& report) {
    report = check::check_store(store);
    if (!report.damage.empty()) return true;  // the lookups' own checks would repeat it
    std::vector<lookup::CountFix> fixes;
    if (notes && notes != Py_None) {
        Py_buffer view;
        if (PyObject_GetBuffer(notes, &view, PyBUF_SIMPLE) < 0) return false;
        auto decoded = lookup::Notes::decode({static_cast<const std::byte*>(view.buf), static_cast<size_t>(view.len)}, store);
        PyBuffer_Release(&view);
        if (!decoded) {
            report.damage.push_back(decoded.error().message);
            return true;
        }
        fixes = std::move(decoded->fixes);
    }
    auto index = lookup::TermIndex::make(store, std::move(fixes));
    if (!index) report.damage.push_back(index.error().message);
    return true;
}

bool check_arguments(const char* name, Py_ssize_t nargs) {
    if (nargs == 1 || nargs == 2) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes 1 or 2 arguments (%zd given)", name, nargs);
    return false;
}

PyObject* check_snapshot(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!check_arguments("check_snapshot", nargs)) return nullptr;
        Py_buffer view;
        if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
        size_t used = 0;
        auto store = snapshot::decode({static_cast<const std::byte*>(view.buf), static_cast<size_t>(view.len)}, &used);
        PyBuffer_Release(&view);
        if (!store) return raise(PyExc_ValueError, "decode error: " + snapshot::render(store.error()));
        check::Report report;
        if (!check_for_lookups(*store, nargs == 2 ? args[1] : nullptr, report)) return nullptr;
        Ref found = Ref::steal(findings(report));
        if (!found) return nullptr;
        return Py_BuildValue("(KKKsnOO)", static_cast<unsigned long long>(report.nodes),
                             static_cast<unsigned long long>(report.terms), static_cast<unsigned long long>(report.videos),
                             store->id_mode == IdMode::Uuid ? "uuid" : "int32", static_cast<Py_ssize_t>(used),
                             PyTuple_GET_ITEM(found.get(), 0), PyTuple_GET_ITEM(found.get(), 1));
    });
}

// The same check on the store of an engine already decoded: (damage, notes).
PyObject* check_engine(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!check_arguments("check_engine", nargs)) return nullptr;
        PyObject* engine = args[0];
        if (!PyObject_TypeCheck(engine, g_prefix_search)) return raise_wrong_type(engine, "PrefixSearch");
        check::Report report;
        if (!check_for_lookups(reinterpret_cast<PrefixSearchObject*>(engine)->store, nargs == 2 ? args[1] : nullptr,
                               report)) {
            return nullptr;
        }
        return findings(report);
    });
}

PyMethodDef kFunctions[] = {
    {"build", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build_entries)), METH_FASTCALL,
     "build(entries, video_top_n, mode, normal, slow_entry, /)\n--\n\n"
     "A new engine of the entries: (engine, shown, fixes)."},
    {"lay_out", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lay_out_entries)), METH_FASTCALL,
     "lay_out(entries, slow_entry, /)\n--\n\nThe five arrays from_internal_data_v2 takes, of the entries."},
    {"read_catalogue", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_catalogue)), METH_FASTCALL,
     "read_catalogue(stream, fmt, video_top_n, mode, normal, slow_row, row_error, progress, sum_counts, /)\n--\n\n"
     "A new engine of a catalogue's rows: (engine, shown, fixes, rows, videos, terms, nodes)."},
    {"check_snapshot", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_snapshot)), METH_FASTCALL,
     "check_snapshot(data, notes=None, /)\n--\n\nDecodes a snapshot and checks it, and the notes of its index "
     "file when given: (nodes, terms, videos, id mode, bytes used, damage, notes)."},
    {"check_engine", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_engine)), METH_FASTCALL,
     "check_engine(engine, notes=None, /)\n--\n\nChecks the store of an engine, and the notes of its index "
     "file when given: (damage, notes)."},
    {"prepare", prepare, METH_O,
     "prepare(engine, /)\n--\n\nMakes now what the engine's queries would make on first use."},
    {"write_index", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_index)), METH_FASTCALL,
     "write_index(lookup, text_mode, video_top_n, /)\n--\n\n"
     "A version 2 index file of the lookup's engine and tables, or None when it cannot be used in place."},
    {"open_index", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_index)), METH_FASTCALL,
     "open_index(source, verify, map, suggestion, completion, /)\n--\n\n"
     "(lookup, text_mode, video_top_n, mapped) of a version 2 index file: a file descriptor or bytes."},
    {"add_words", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(add_words)), METH_FASTCALL,
     "add_words(lookup, separators, /)\n--\n\nMakes the lookup match every word start of its terms; "
     "separators(labels) names which of the trie's characters separate words."},
    {"crc32c", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(crc32c)), METH_FASTCALL,
     "crc32c(data, value=0, /)\n--\n\nThe CRC-32C of data, extending value (the CRC-32C of the bytes before)."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    if (!g_prefix_search) {
        Ref engine_module = Ref::steal(PyImport_ImportModule("_brindlex"));
        if (!engine_module) return -1;
        Ref type = Ref::steal(PyObject_GetAttrString(engine_module.get(), "PrefixSearch"));
        if (!type) return -1;
        if (!PyType_Check(type.get()) ||
            reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize != sizeof(PrefixSearchObject)) {
            PyErr_SetString(PyExc_ImportError, "brindlex._native was built for another _brindlex");
            return -1;
        }
        g_prefix_search = reinterpret_cast<PyTypeObject*>(type.release());
    }
    Ref lookup_type = Ref::steal(PyType_FromModuleAndSpec(module, &kLookupSpec, nullptr));
    if (!lookup_type) return -1;
    if (!g_lookup) g_lookup = reinterpret_cast<PyTypeObject*>(Py_NewRef(lookup_type.get()));
    if (PyModule_AddObjectRef(module, "Lookup", lookup_type.get()) < 0) return -1;
    Ref listing_type = Ref::steal(PyType_FromModuleAndSpec(module, &kListingSpec, nullptr));
    if (!listing_type) return -1;
    if (PyModule_AddObjectRef(module, "Listing", listing_type.get()) < 0) return -1;
    if (!g_listing) g_listing = reinterpret_cast<PyTypeObject*>(listing_type.release());
    return 0;
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef kModule = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "brindlex._native",
    .m_doc = "Term lookups and checksums for the brindlex package, over the store of a PrefixSearch.",
    .m_size = 0,
    .m_methods = kFunctions,
    .m_slots = kModuleSlots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyTypeObject* engine_type() { return g_prefix_search; }

PyObject* new_lookup(PyObject* engine, PyObject* suggestion, PyObject* completion, lookup::TermIndex index,
                     lookup::Spellings spellings, lookup::Words words) {
    return make_lookup(g_lookup, engine, suggestion, completion, std::move(index), std::move(spellings),
                       std::move(words));
}

bool set_words(PyObject* o, lookup::Words words) {
    LookupParts parts{};
    if (!lookup_parts(o, parts)) return false;
    LookupObject* obj = as_lookup(o);
    if (!obj->words.empty()) {
        PyErr_SetString(PyExc_ValueError, "the lookup matches word starts already");
        return false;
    }
    obj->words = std::move(words);
    return true;
}

bool lookup_parts(PyObject* o, LookupParts& out) {
    if (!g_lookup || !PyObject_TypeCheck(o, g_lookup)) {
        raise_wrong_type(o, "Lookup");
        return false;
    }
    const LookupObject* obj = as_lookup(o);
    out = {obj->engine, &store_of(obj), &obj->index, &obj->spellings, &obj->words};
    return true;
}

}  // namespace brindlex::py

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&brindlex::py::kModule); }
