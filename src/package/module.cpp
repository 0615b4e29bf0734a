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
//   build(entries, video_top_n, mode, normal, slow_entry, text_ids=False, /)
//                                       a new engine of (term, count, videos) entries
//                                       (package/build.hpp)
//   lay_out(entries, slow_entry, /)     the five arrays of from_internal_data_v2 for them
//   read_catalogue(stream, fmt, video_top_n, mode, normal, slow_row, row_error, progress, sum_counts, text_ids=False, /)
//                                       a new engine of a catalogue's rows
//   Lookup(engine, notes, suggestion, completion, ids=None, /)
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
//       .video_ids(found) / .id_form    fuzzy_match_video's pairs with the caller's text
//                                       ids (package/video_ids.*) / the ids' form
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
//
// The types live in lookup_type.cpp and listing_type.cpp, the checks in checks.cpp.
#include <Python.h>

#include <cstddef>
#include <cstring>
#include <utility>

#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/instance.hpp"
#include "binding/layout_token.hpp"
#include "binding/pyref.hpp"
#include "core/checksum/crc32c.hpp"
#include "core/facts/facts.hpp"
#include "package/arguments.hpp"
#include "package/build.hpp"
#include "package/checks.hpp"
#include "package/index_file.hpp"
#include "package/lookup.hpp"
#include "package/lookup_object.hpp"

namespace brindlex::py {
namespace {

PyTypeObject* g_prefix_search = nullptr;  // _brindlex.PrefixSearch, held for the process
const LayoutToken* g_layout = nullptr;    // the engine's layout token, held with its module

// ---------------------------------------------------------------------------------------
// The engine's layout: this module reads the store inside a PrefixSearch, so it refuses an
// engine built with other sizes than its own.

bool check_layout(const LayoutSizes& engine) {
    const LayoutSizes mine = this_build_sizes();
    if (engine == mine) return true;
    PyErr_SetString(PyExc_ImportError, ("brindlex._native was built for another _brindlex: it expects the layout " +
                                        describe(mine) + ", and _brindlex has " + describe(engine))
                                           .c_str());
    return false;
}

// The engine's token, from the capsule under its private name; null with an ImportError.
const LayoutToken* token_of(PyObject* engine_module) {
    Ref capsule = Ref::steal(PyObject_GetAttrString(engine_module, kLayoutAttribute));
    void* token = capsule ? PyCapsule_GetPointer(capsule.get(), kLayoutCapsule) : nullptr;
    if (!token) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError,
                         "brindlex._native was built for another _brindlex: it has no layout token");
        return nullptr;
    }
    return static_cast<const LayoutToken*>(token);
}

constexpr size_t kLayoutFields = sizeof(LayoutSizes) / sizeof(uint32_t);
static_assert(sizeof(LayoutSizes) == kLayoutFields * sizeof(uint32_t));

// _layout_sizes(): the engine's layout sizes as a tuple of int (a test hook).
PyObject* layout_sizes(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        uint32_t fields[kLayoutFields];
        std::memcpy(fields, &g_layout->sizes, sizeof(fields));
        Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kLayoutFields)));
        if (!out) return nullptr;
        for (size_t i = 0; i < kLayoutFields; ++i) {
            PyObject* v = PyLong_FromUnsignedLong(fields[i]);
            if (!v) return nullptr;
            PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), v);
        }
        return out.release();
    });
}

// _internal_failure(): the class internal failures are raised with (a test hook).
PyObject* internal_failure_class(PyObject*, PyObject*) { return Py_XNewRef(internal_failure_type()); }

// _check_layout(sizes): the import's check run against other sizes (a test hook): None, or
// the ImportError an engine of those sizes would meet.
PyObject* check_layout_of(PyObject*, PyObject* sizes) {
    return guarded([&]() -> PyObject* {
        if (!PyTuple_Check(sizes) || PyTuple_GET_SIZE(sizes) != static_cast<Py_ssize_t>(kLayoutFields)) {
            return raise(PyExc_TypeError, "_check_layout() takes a tuple of the layout's sizes");
        }
        uint32_t fields[kLayoutFields];
        for (size_t i = 0; i < kLayoutFields; ++i) {
            if (!argument(to_u32(PyTuple_GET_ITEM(sizes, static_cast<Py_ssize_t>(i)), fields[i]), "sizes")) {
                return nullptr;
            }
        }
        LayoutSizes other;
        std::memcpy(&other, fields, sizeof(fields));
        if (!check_layout(other)) return nullptr;
        Py_RETURN_NONE;
    });
}

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

PyMethodDef kFunctions[] = {
    {"build", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build_entries)), METH_FASTCALL,
     "build(entries, video_top_n, mode, normal, slow_entry, text_ids=False, /)\n--\n\n"
     "A new engine of the entries: (engine, shown, fixes)."},
    {"lay_out", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lay_out_entries)), METH_FASTCALL,
     "lay_out(entries, slow_entry, /)\n--\n\nThe five arrays from_internal_data_v2 takes, of the entries."},
    {"read_catalogue", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_catalogue)), METH_FASTCALL,
     "read_catalogue(stream, fmt, video_top_n, mode, normal, slow_row, row_error, progress, sum_counts, text_ids=False, /)\n--\n\n"
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
    {"_layout_sizes", layout_sizes, METH_NOARGS,
     "_layout_sizes()\n--\n\nThe sizes of the engine's layout token (for tests)."},
    {"_check_layout", check_layout_of, METH_O,
     "_check_layout(sizes, /)\n--\n\nThe import's layout check against other sizes (for tests)."},
    {"_internal_failure", internal_failure_class, METH_NOARGS,
     "_internal_failure()\n--\n\nThe class this module raises internal failures with (for tests)."},
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
        const LayoutToken* token = token_of(engine_module.get());
        if (!token || !check_layout(token->sizes)) return -1;
        Ref type = Ref::steal(PyObject_GetAttrString(engine_module.get(), "PrefixSearch"));
        if (!type) return -1;
        if (!PyType_Check(type.get())) {
            PyErr_SetString(PyExc_ImportError, "brindlex._native was built for another _brindlex");
            return -1;
        }
        // Internal failures of this module are the engine's: one class for both.
        PyObject* failure = token->internal_failure();
        if (!failure) return -1;
        use_internal_failure(Py_NewRef(failure));
        g_layout = token;
        (void)engine_module.release();  // the token lives in the engine's module: kept for the process
        g_prefix_search = reinterpret_cast<PyTypeObject*>(type.release());
    }
    if (add_lookup_type(module) < 0) return -1;
    return add_listing_type(module);
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

PyObject* new_engine(TrieStore&& store) { return g_layout->new_engine(std::move(store)); }

}  // namespace brindlex::py

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&brindlex::py::kModule); }
