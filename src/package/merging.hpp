// What both native builds share: the table entries and rows are merged into, and the
// engine made of it, with the small conversions of their arguments.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "core/builder/spellings.hpp"
#include "core/builder/term_table.hpp"
#include "package/normalise.hpp"

namespace brindlex::py {

inline constexpr uint32_t kU32Max = 0xFFFF'FFFFu;

// An exact int in 0..4294967295, without raising; false for anything else.
bool plain_u32(PyObject* o, uint32_t& out);

// Entries merged into a table, with the spellings of the terms normalisation changed.
struct Merger {
    Mode mode;
    PyObject* normal;
    build::TermTable table;
    std::vector<build::Spelling> spelled;
    // Text video ids, when the entries' ids are text: the table's int id n is text n.
    build::TextInterner text_ids;
    // Whether entries may give text ids (Index.build), or only the engine's forms.
    bool text_ids_allowed = false;
};

// (engine, shown, fixes, ids) of a finished table: shown is [(node, spelling)] by node,
// ids None or the text ids (package/video_ids.hpp).
PyObject* finish(Merger& merger, uint64_t video_top_n);

// video_top_n, or false with the argument's error set.
bool top_n_of(PyObject* o, uint64_t& out);

}  // namespace brindlex::py
