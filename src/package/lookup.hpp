// brindlex._native.Lookup as the rest of the package's native module sees it
// (package/module.cpp): made from an engine and its term tables, and read back.
#pragma once

#include <Python.h>

#include "core/lookup/spellings.hpp"
#include "core/lookup/term_index.hpp"
#include "core/lookup/video_texts.hpp"
#include "core/lookup/words.hpp"
#include "core/store/store.hpp"

namespace brindlex::py {

// A new Lookup over `engine` (a PrefixSearch) with the tables made for its store;
// `suggestion` and `completion` are the named tuple classes of its results.
PyObject* new_lookup(PyObject* engine, PyObject* suggestion, PyObject* completion, lookup::TermIndex index,
                     lookup::Spellings spellings, lookup::VideoTexts texts = {}, lookup::Words words = {});

// Gives a Lookup without word starts its word structures; false with an error set
// otherwise.
bool set_words(PyObject* lookup, lookup::Words words);

// add_words(lookup, separators, /) (package/words.cpp)
PyObject* add_words(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// Lookup.videos(term, max_dist, limit, include_prefix_nodes, min_score, /): the engine's
// video ranking over the terms and their word starts, with the caller's ids
// (package/words.cpp).
PyObject* lookup_videos(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

struct LookupParts {
    PyObject* engine;
    const TrieStore* store;
    const lookup::TermIndex* index;
    const lookup::Spellings* spellings;
    const lookup::VideoTexts* texts;
    const lookup::Words* words;
};

// The parts of a Lookup; false, with a TypeError set, for anything else.
bool lookup_parts(PyObject* o, LookupParts& out);

}  // namespace brindlex::py
