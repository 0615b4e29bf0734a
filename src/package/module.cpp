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

#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/instance.hpp"
#include "binding/pyref.hpp"
#include "core/checksum/crc32c.hpp"
#include "core/facts/facts.hpp"
#include "package/arguments.hpp"
#include "package/build.hpp"
#include "package/checks.hpp"
#include "package/index_file.hpp"
#include "package/lookup_object.hpp"

namespace brindlex::py {
namespace {

PyTypeObject* g_prefix_search = nullptr;  // _brindlex.PrefixSearch, held for the process

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

}  // namespace brindlex::py

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&brindlex::py::kModule); }
