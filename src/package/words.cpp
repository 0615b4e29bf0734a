// add_words(lookup, separators, /): gives a Lookup the word structures of its store
// (core/lookup/words.hpp), so that suggest and complete match every word start.
//
// Which characters separate words is the package's call (Unicode categories, which the
// core does not carry): `separators` is called once with the sorted distinct characters
// of the trie, as ints, and returns those among them that separate words.
#include <Python.h>

#include <algorithm>
#include <vector>

#include "binding/errors.hpp"
#include "binding/pyref.hpp"
#include "binding/text.hpp"
#include "package/lookup.hpp"

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

}  // namespace brindlex::py
