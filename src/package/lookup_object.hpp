// The instance layout of brindlex._native.Lookup, shared by its methods (lookup_type.cpp)
// and by the Listing iterator it hands out (listing_type.cpp).
#pragma once

#include <Python.h>

#include "binding/instance.hpp"
#include "core/lookup/spellings.hpp"
#include "core/lookup/term_index.hpp"
#include "core/lookup/video_texts.hpp"
#include "core/lookup/words.hpp"
#include "core/store/store.hpp"

namespace brindlex::py {

// Lookup: an engine, its TermIndex and its notes.
struct LookupObject {
    PyObject_HEAD
    PyObject* engine;
    PyObject* suggestion;
    PyObject* completion;
    lookup::TermIndex index;
    lookup::Spellings spellings;
    lookup::VideoTexts texts;  // the caller's ids when they are text (video_ids.*)
    lookup::Words words;       // empty unless the index matches word starts
};

inline LookupObject* as_lookup(PyObject* self) { return reinterpret_cast<LookupObject*>(self); }
inline const TrieStore& store_of(const LookupObject* self) {
    return reinterpret_cast<const PrefixSearchObject*>(self->engine)->store;
}

// Lookup.terms(prefix, items): a new Listing over the terms under prefix.
PyObject* lookup_terms(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

// Create the types in `module` and add them to it: 0, or -1 with an exception set.
int add_lookup_type(PyObject* module);
int add_listing_type(PyObject* module);

}  // namespace brindlex::py
