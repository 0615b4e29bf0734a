// Text video ids in the package's native module: carried from the builders to a Lookup,
// and put in place of the engine's numbers in the results of fuzzy_match_video.
#pragma once

#include <Python.h>

#include "core/lookup/video_texts.hpp"

namespace brindlex::py {

// The builders' form of a table: None when the index has none, else (UTF-8 bytes, u32 ends
// as little-endian bytes), which a Lookup takes back (video_texts_of).
PyObject* video_texts_object(const lookup::VideoTexts& texts);

// Reads that form into `out`, checked; false with a ValueError or TypeError set.
bool video_texts_of(PyObject* o, std::span<const uint32_t> int_ids, lookup::VideoTexts& out);

// A new str of the text id that the engine's int id `number` names; a ValueError when the
// table has no such text (every int id names one in a table read with its checks).
PyObject* id_text_of(const lookup::VideoTexts& texts, uint64_t number);

// A new list of (text id, score) for the (decimal int id, score) pairs of `found`.
PyObject* translate_videos(const lookup::VideoTexts& texts, PyObject* found);

}  // namespace brindlex::py
