// brindlex._native.Lookup: term lookups over the store of a PrefixSearch.
#include <Python.h>

#include <array>
#include <cstddef>
#include <memory>
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
#include "core/beside.hpp"
#include "core/facts/facts.hpp"
#include "core/lookup/lookup.hpp"
#include "core/text/ascii_fold.hpp"
#include "package/arguments.hpp"
#include "package/build.hpp"
#include "package/lookup.hpp"
#include "package/lookup_object.hpp"
#include "package/released.hpp"
#include "package/merging.hpp"
#include "package/video_ids.hpp"

namespace brindlex::py {
namespace {

PyTypeObject* g_lookup = nullptr;  // Lookup, held for the process

// A named tuple class: a tuple subclass that adds no fields of its own.
bool is_plain_tuple_class(PyObject* o) {
    if (!PyType_Check(o)) return false;
    auto* t = reinterpret_cast<PyTypeObject*>(o);
    return PyType_IsSubtype(t, &PyTuple_Type) && t->tp_basicsize == PyTuple_Type.tp_basicsize &&
           t->tp_itemsize == PyTuple_Type.tp_itemsize;
}

PyObject* make_lookup(PyTypeObject* type, PyObject* engine, PyObject* suggestion, PyObject* completion,
                      lookup::TermIndex index, lookup::Spellings spellings, lookup::VideoTexts texts,
                      lookup::Words words = {}) {
    // Made now rather than by the first query that needs it, so that processes forked
    // afterwards share its pages and no query pays for it (read from the file when the
    // store is). The same for the whole-term table, made here even for a mapped store.
    (void)facts::reversed_of(reinterpret_cast<PrefixSearchObject*>(engine)->store);
    (void)facts::exact_of(reinterpret_cast<PrefixSearchObject*>(engine)->store);
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    LookupObject* obj = as_lookup(self);
    obj->engine = Py_NewRef(engine);
    obj->suggestion = Py_NewRef(suggestion);
    obj->completion = Py_NewRef(completion);
    std::construct_at(&obj->index, std::move(index));
    std::construct_at(&obj->spellings, std::move(spellings));
    std::construct_at(&obj->texts, std::move(texts));
    std::construct_at(&obj->words, std::move(words));
    return self;
}

PyObject* lookup_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject *engine, *notes, *suggestion, *completion, *ids = Py_None;
        if (kwargs && PyDict_GET_SIZE(kwargs) != 0) return raise(PyExc_TypeError, "Lookup() takes no keyword arguments");
        if (!PyArg_ParseTuple(args, "O!SOO|O:Lookup", engine_type(), &engine, &notes, &suggestion, &completion, &ids)) {
            return nullptr;
        }
        if (!is_plain_tuple_class(suggestion) || !is_plain_tuple_class(completion)) {
            return raise(PyExc_TypeError, "Lookup(): the result classes must be named tuple classes");
        }
        const TrieStore& store = reinterpret_cast<PrefixSearchObject*>(engine)->store;
        const auto* data = reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(notes));
        auto decoded = lookup::Notes::decode({data, static_cast<size_t>(PyBytes_GET_SIZE(notes))}, store);
        if (!decoded) return raise(PyExc_ValueError, decoded.error().message);
        // The whole-term table (which make_lookup asks for) is made on a second core while
        // the term index is: both only read the finished store.
        Result<lookup::TermIndex> index = internal_error("");
        {
            const Beside beside(store.node_count() >= kWorthAThread, [&store]() noexcept { (void)facts::exact_of(store); });
            index = lookup::TermIndex::make(store, std::move(decoded->fixes));
        }
        if (!index) return raise(PyExc_ValueError, index.error().message);
        lookup::VideoTexts texts;
        if (ids != Py_None && store.id_mode != IdMode::Int32) return raise(PyExc_ValueError, "text video ids for UUIDs");
        if (!video_texts_of(ids, store.video_int_ids.span(), texts)) return nullptr;
        return make_lookup(type, engine, suggestion, completion, std::move(*index), std::move(decoded->spellings),
                           std::move(texts));
    });
}

void lookup_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    LookupObject* obj = as_lookup(self);
    std::destroy_at(&obj->words);
    std::destroy_at(&obj->texts);
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

// What suggest and complete take beside the text, converted.
struct Bounds {
    uint64_t limit = 0;
    uint32_t max_dist = 0;
    bool transpositions = false;
};

bool to_bounds(PyObject* const* args, Bounds& out) {
    return argument(to_u64(args[0], out.limit), "limit") && argument(to_u32(args[1], out.max_dist), "max_dist") &&
           argument(to_switch(args[2], out.transpositions), "transpositions");
}

// The hits as a list of the lookup's named tuples (Suggestion or Completion).
PyObject* hit_list(const LookupObject* obj, const Result<std::vector<lookup::TermHit>>& hits,
                   PyObject* named_class) {
    if (!hits) return raise_internal_failure(hits.error().message);
    auto* named = reinterpret_cast<PyTypeObject*>(named_class);
    return list_of(*hits, [&](const lookup::TermHit& h) -> PyObject* {
        return new_tuple({shown_term(obj, h), PyLong_FromUnsignedLong(h.distance), PyLong_FromUnsignedLong(h.count)},
                         named);
    });
}

PyObject* suggested(const LookupObject* obj, std::string_view text, const Bounds& b) {
    auto hits = without_lock([&] {
        return obj->words.empty()
                   ? lookup::suggest(store_of(obj), obj->index, text, b.max_dist, b.limit, rule_of(b.transpositions))
                   : lookup::words_suggest(store_of(obj), obj->index, obj->words, text, b.max_dist, b.limit,
                                           rule_of(b.transpositions));
    });
    return hit_list(obj, hits, obj->suggestion);
}

PyObject* completed(const LookupObject* obj, std::span<const uint32_t> prefix, const Bounds& b) {
    auto hits = without_lock([&] {
        return obj->words.empty()
                   ? lookup::fuzzy_complete(store_of(obj), obj->index, prefix, b.max_dist, b.limit,
                                            rule_of(b.transpositions))
                   : lookup::words_complete(store_of(obj), obj->index, obj->words, prefix, b.max_dist, b.limit,
                                            rule_of(b.transpositions));
    });
    return hit_list(obj, hits, obj->completion);
}

PyObject* lookup_suggest(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        std::string_view text;
        Bounds bounds;
        if (!expect_args("suggest", nargs, 4) || !argument(to_term(args[0], text), "text") ||
            !to_bounds(args + 1, bounds)) {
            return nullptr;
        }
        return suggested(as_lookup(self), text, bounds);
    });
}

PyObject* lookup_complete(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        std::vector<uint32_t> prefix;
        Bounds bounds;
        if (!expect_args("complete", nargs, 4) || !argument(to_scalars(args[0], prefix), "prefix") ||
            !to_bounds(args + 1, bounds)) {
            return nullptr;
        }
        return completed(as_lookup(self), prefix, bounds);
    });
}

// A query as a search box sends it, (text, limit, max_dist, transpositions, fold), taken
// here when every part has its plainest form: an ASCII str (folded here when fold, as the
// index's fold does), an int limit, an int or "auto" bound, a bool. Anything else gives
// nothing, for the caller to check and normalise in Python.
struct Typed {
    std::array<char, 64> text;
    size_t size = 0;
    Bounds bounds;
    std::string_view view() const { return {text.data(), size}; }
};

bool plain_int(PyObject* o, uint64_t most, uint64_t& out) {
    if (!PyLong_CheckExact(o)) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow || v < 0 || static_cast<unsigned long long>(v) > most) return false;
    out = static_cast<uint64_t>(v);
    return true;
}

std::optional<Typed> typed_query(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5 || !PyUnicode_CheckExact(args[0]) || !PyUnicode_IS_ASCII(args[0]) || !PyBool_Check(args[3]) ||
        !PyBool_Check(args[4])) {
        return std::nullopt;
    }
    Typed q;
    const std::string_view typed(static_cast<const char*>(PyUnicode_DATA(args[0])),
                                 static_cast<size_t>(PyUnicode_GET_LENGTH(args[0])));
    const auto n = text::ascii_fold(typed, args[4] == Py_True, std::span<char>(q.text));
    uint64_t dist = 0;
    if (!n || !plain_int(args[1], UINT64_MAX >> 1, q.bounds.limit)) return std::nullopt;
    q.size = *n;
    if (plain_int(args[2], UINT32_MAX, dist)) {
        q.bounds.max_dist = static_cast<uint32_t>(dist);
    } else if (PyUnicode_CheckExact(args[2]) && PyUnicode_CompareWithASCIIString(args[2], "auto") == 0) {
        q.bounds.max_dist = q.size <= 2 ? 0 : q.size <= 5 ? 1 : 2;  // the bound "auto" gives a typed text
    } else {
        return std::nullopt;
    }
    q.bounds.transpositions = args[3] == Py_True;
    return q;
}

PyObject* lookup_typed_suggest(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        const auto q = typed_query(args, nargs);
        if (!q) Py_RETURN_NONE;
        return suggested(as_lookup(self), q->view(), q->bounds);
    });
}

PyObject* lookup_typed_complete(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        const auto q = typed_query(args, nargs);
        if (!q) Py_RETURN_NONE;
        std::array<uint32_t, 64> prefix;
        for (size_t i = 0; i < q->size; ++i) prefix[i] = static_cast<unsigned char>(q->text[i]);
        return completed(as_lookup(self), std::span<const uint32_t>(prefix.data(), q->size), q->bounds);
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

// Membership and counts of text as a search box sends it: a plain ASCII str is folded
// (when the index folds) and looked up here; anything else answers None, for the caller
// to normalise in Python and ask contains or count.
std::optional<uint32_t> typed_node(const LookupObject* obj, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyUnicode_CheckExact(args[0]) || !PyUnicode_IS_ASCII(args[0]) || !PyBool_Check(args[1])) {
        return std::nullopt;
    }
    std::array<uint32_t, 64> scalars;
    const std::string_view typed(static_cast<const char*>(PyUnicode_DATA(args[0])),
                                 static_cast<size_t>(PyUnicode_GET_LENGTH(args[0])));
    const auto n = text::ascii_fold(typed, args[1] == Py_True, std::span<uint32_t>(scalars));
    if (!n) return std::nullopt;
    return obj->index.find(store_of(obj), std::span<const uint32_t>(scalars.data(), *n));
}

PyObject* lookup_typed_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        const LookupObject* obj = as_lookup(self);
        const auto node = typed_node(obj, args, nargs);
        if (!node) Py_RETURN_NONE;
        return PyLong_FromUnsignedLong(*node == lookup::kNoNode ? 0 : obj->index.own_count(store_of(obj), *node));
    });
}

PyObject* lookup_typed_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        const auto node = typed_node(as_lookup(self), args, nargs);
        if (!node) Py_RETURN_NONE;
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

PyObject* lookup_get_id_form(PyObject* self, void*) {
    const LookupObject* obj = as_lookup(self);
    if (obj->texts.present()) return PyUnicode_FromString("text");
    return PyUnicode_FromString(store_of(obj).id_mode == IdMode::Uuid ? "uuid" : "int32");
}

PyObject* lookup_video_ids(PyObject* self, PyObject* found) {
    const LookupObject* obj = as_lookup(self);
    if (!obj->texts.present()) return Py_NewRef(found);
    return guarded([&]() -> PyObject* { return translate_videos(obj->texts, found); });
}

PyObject* lookup_get_words(PyObject* self, void*) { return PyBool_FromLong(!as_lookup(self)->words.empty()); }

PyObject* lookup_get_saturated(PyObject* self, void*) { return PyBool_FromLong(as_lookup(self)->index.saturated()); }

PyObject* lookup_get_nodes(PyObject* self, void*) { return PyLong_FromSize_t(store_of(as_lookup(self)).node_count()); }

PyObject* lookup_get_memory(PyObject* self, void*) {
    const LookupObject* obj = as_lookup(self);
    return PyLong_FromSize_t(sizeof(LookupObject) + obj->index.memory_bytes() + obj->spellings.memory_bytes() +
                             obj->texts.memory_bytes() + obj->words.memory_bytes());
}
PyObject* lookup_get_borrowed(PyObject* self, void*) {
    const LookupObject* obj = as_lookup(self);
    return PyLong_FromSize_t(facts::borrowed_bytes(store_of(obj)) + obj->index.borrowed_bytes() +
                             obj->spellings.borrowed_bytes() + obj->texts.borrowed_bytes() +
                             obj->words.borrowed_bytes());
}

PyMethodDef kLookupMethods[] = {
    {"suggest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lookup_suggest)), METH_FASTCALL,
     "suggest($self, text, limit, max_dist, transpositions, /)\n--\n\n"
     "At most limit terms within max_dist of text, best first."},
    {"complete", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lookup_complete)), METH_FASTCALL,
     "complete($self, prefix, limit, max_dist, transpositions, /)\n--\n\n"
     "At most limit terms that begin within max_dist of prefix, best first."},
    {"typed_suggest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lookup_typed_suggest)),
     METH_FASTCALL,
     "typed_suggest($self, text, limit, max_dist, transpositions, fold, /)\n--\n\n"
     "suggest for a plain ASCII str, int limit, int or \"auto\" bound, folded when fold; None for others."},
    {"typed_complete", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lookup_typed_complete)),
     METH_FASTCALL,
     "typed_complete($self, prefix, limit, max_dist, transpositions, fold, /)\n--\n\n"
     "complete for a plain ASCII str, int limit, int or \"auto\" bound, folded when fold; None for others."},
    {"videos", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lookup_videos)), METH_FASTCALL,
     "videos($self, term, max_dist, limit, include_prefix_nodes, min_score, /)\n--\n\n"
     "fuzzy_match_video over the terms and their word starts, with the caller's ids."},
    {"video_ids", lookup_video_ids, METH_O,
     "video_ids($self, found, /)\n--\n\nfuzzy_match_video's pairs with the caller's ids (as given when text)."},
    {"count", lookup_count, METH_O, "count($self, text, /)\n--\n\nThe term's own count, 0 when it is no term."},
    {"contains", lookup_contains, METH_O, "contains($self, text, /)\n--\n\nWhether text is a term."},
    {"typed_count", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lookup_typed_count)), METH_FASTCALL,
     "typed_count($self, text, fold, /)\n--\n\n"
     "count(text as the index compares it) for a plain ASCII str, folded when fold; None for other text."},
    {"typed_contains", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lookup_typed_contains)),
     METH_FASTCALL,
     "typed_contains($self, text, fold, /)\n--\n\n"
     "contains(text as the index compares it) for a plain ASCII str, folded when fold; None for other text."},
    {"spelling", lookup_spelling, METH_O,
     "spelling($self, term, /)\n--\n\nThe catalogue's spelling of a term of the trie."},
    {"terms", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lookup_terms)), METH_FASTCALL,
     "terms($self, prefix, items, /)\n--\n\n"
     "An iterator over the terms that start with prefix, in code-point order; (term, count) with items."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kLookupGetSet[] = {
    {"engine", lookup_get_engine, nullptr, "The PrefixSearch whose store this reads.", nullptr},
    {"id_form", lookup_get_id_form, nullptr, "The form of the video ids: \"int32\", \"uuid\" or \"text\".", nullptr},
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
    {Py_tp_doc, const_cast<char*>("Lookup(engine, notes, suggestion, completion, ids=None, /)\n--\n\n"
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

}  // namespace

int add_lookup_type(PyObject* module) {
    Ref lookup_type = Ref::steal(PyType_FromModuleAndSpec(module, &kLookupSpec, nullptr));
    if (!lookup_type) return -1;
    if (!g_lookup) g_lookup = reinterpret_cast<PyTypeObject*>(Py_NewRef(lookup_type.get()));
    return PyModule_AddObjectRef(module, "Lookup", lookup_type.get());
}

PyObject* new_lookup(PyObject* engine, PyObject* suggestion, PyObject* completion, lookup::TermIndex index,
                     lookup::Spellings spellings, lookup::VideoTexts texts, lookup::Words words) {
    return make_lookup(g_lookup, engine, suggestion, completion, std::move(index), std::move(spellings),
                       std::move(texts), std::move(words));
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
    out = {obj->engine, &store_of(obj), &obj->index, &obj->spellings, &obj->texts, &obj->words};
    return true;
}

}  // namespace brindlex::py
