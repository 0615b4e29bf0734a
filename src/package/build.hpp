// Building an engine natively: from Python entries (entries.cpp), and from a catalogue
// file (catalogue_reading.cpp). Entries or rows are normalised (normalise.*), merged into a
// TermTable, laid out and built into a new PrefixSearch by the core (core/builder), which
// runs the engine's own construction (merging.*).
//
// Both return (engine, shown, fixes), read_catalogue with (rows, videos, terms, nodes) after:
//   shown    [(node, spelling)], by node: the spelling to show for each term that entries
//            spelt otherwise than the term itself (folded or composed), for the index's notes;
//   fixes    [(node, count)]: terms whose own count a saturated total hides.
#pragma once

#include <Python.h>

#include "core/store/store.hpp"

namespace brindlex::py {

// _brindlex.PrefixSearch, set when the module is executed (module.cpp).
PyTypeObject* engine_type();

// A new PrefixSearch owning `store`, made by the engine's own allocation (binding/layout_token.hpp);
// null with an exception set.
PyObject* new_engine(TrieStore&& store);

// build(entries, video_top_n, mode, normal, slow_entry, text_ids=False, /)
PyObject* build_entries(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// lay_out(entries, slow_entry, /): the five arrays of from_internal_data_v2
PyObject* lay_out_entries(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// read_catalogue(stream, fmt, video_top_n, mode, normal, slow_row, row_error, progress, sum_counts, text_ids=False, /)
PyObject* read_catalogue(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace brindlex::py
