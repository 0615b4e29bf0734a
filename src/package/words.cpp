// add_words(lookup, separators, /): gives a Lookup the word structures of its store
// (core/lookup/words.hpp), so that suggest, complete and videos match every word start;
// Lookup.videos, the video ranking over them (core/lookup/words_videos.hpp).
//
// Which characters separate words is the package's call (Unicode categories, which the
// core does not carry): `separators` is called once with the sorted distinct characters
// of the trie, as ints, and returns those among them that separate words.
#include <Python.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/pyref.hpp"
#include "binding/text.hpp"
#include "core/lookup/words_videos.hpp"
#include "core/text/video_id_text.hpp"
#include "package/arguments.hpp"
#include "package/lookup.hpp"
#include "package/released.hpp"
#include "package/video_ids.hpp"

namespace brindlex::py {

PyObject* add_words(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 2) return raise(PyExc_TypeError, "add_words() takes exactly 2 arguments");
        LookupParts parts{};
        if (!lookup_parts(args[0], parts)) return nullptr;
        const TrieStore& store = *parts.store;

        std::vector<uint32_t> labels;
        for (size_t v = 1; v < store.node_count(); ++v) {
            if (store.child_labels[v] != 0) labels.push_back(store.child_labels[v]);
        }
        std::sort(labels.begin(), labels.end());
        labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
        Ref given = Ref::steal(list_of(labels, [](uint32_t label) { return PyLong_FromUnsignedLong(label); }));
        if (!given) return nullptr;
        Ref chosen = Ref::steal(PyObject_CallOneArg(args[1], given.get()));
        if (!chosen) return nullptr;
        Ref items = Ref::steal(PySequence_Fast(chosen.get(), "separators() must return a sequence of ints"));
        if (!items) return nullptr;
        std::vector<uint32_t> separators;
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < count; ++i) {
            const unsigned long value = PyLong_AsUnsignedLong(PySequence_Fast_GET_ITEM(items.get(), i));
            if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
            separators.push_back(static_cast<uint32_t>(value));
        }
        std::sort(separators.begin(), separators.end());

        Result<lookup::Words> words = internal_error("");
        Py_BEGIN_ALLOW_THREADS
        words = lookup::make_words(store, *parts.index, separators);
        Py_END_ALLOW_THREADS
        if (!words) return raise(PyExc_ValueError, words.error().message);
        if (!set_words(args[0], std::move(*words))) return nullptr;
        Py_RETURN_NONE;
    });
}

namespace {

// None, or what `convert` makes of the value.
template <class T, class Convert>
bool optional_arg(PyObject* o, const char* name, std::optional<T>& out, Convert convert) {
    if (o == Py_None) return true;
    T value{};
    if (!argument(convert(o, value), name)) return false;
    out = value;
    return true;
}

}  // namespace

PyObject* lookup_videos(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        std::string_view text;
        uint32_t max_dist = 0;
        std::optional<uint64_t> limit;
        std::optional<bool> include_prefix_nodes;
        std::optional<double> min_score;
        if (!expect_args("videos", nargs, 5) || !argument(to_term(args[0], text), "text") ||
            !argument(to_u32(args[1], max_dist), "max_dist") || !optional_arg(args[2], "limit", limit, to_u64) ||
            !optional_arg(args[3], "include_prefix_nodes", include_prefix_nodes, to_bool) ||
            !optional_arg(args[4], "min_score", min_score, to_double)) {
            return nullptr;
        }
        LookupParts parts{};
        if (!lookup_parts(self, parts)) return nullptr;
        const TrieStore& store = *parts.store;
        auto ranked = without_lock([&] {
            return lookup::words_videos(store, *parts.words, text, max_dist, limit, include_prefix_nodes, min_score);
        });
        if (!ranked) return raise_internal_failure(ranked.error().message);
        const lookup::VideoTexts& texts = *parts.texts;
        std::array<char, kVideoIdTextMax> buffer;
        return list_of(*ranked, [&](const ScoredVideo& v) -> PyObject* {
            PyObject* id = nullptr;
            if (texts.present()) {
                // The engine's int ids number the table's texts.
                id = id_text_of(texts, v.video < store.video_int_ids.size() ? store.video_int_ids[v.video] : UINT64_MAX);
            } else {
                const auto len = write_video_id_text(store, v.video, buffer);
                if (!len) return raise_internal_failure("videos: a ranked video has no id");
                id = new_text(std::string_view(buffer.data(), *len));
            }
            return new_tuple({id, PyFloat_FromDouble(v.score)});
        });
    });
}

}  // namespace brindlex::py
