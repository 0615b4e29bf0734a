// _brindlex: a read-only prefix trie of search terms with video payloads, answering
// typo-tolerant queries. What Python sees, top to bottom: the entry point, the
// PrefixSearch type, its method table, then one function per method that binds and
// converts the arguments, calls the core and converts the result.
#include <Python.h>

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>
#include <span>

#include "binding/args.hpp"
#include "binding/construction.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "core/ranking/ranking.hpp"
#include "core/text/video_id_text.hpp"
#include "core/walk/walk.hpp"
#include "core/snapshot/snapshot.hpp"

namespace brindlex::py {
namespace {

// ---------------------------------------------------------------------------------------
// The instance: a Python object header and the one store it owns.

struct PrefixSearchObject {
    PyObject_HEAD
    TrieStore store;
};

PyTypeObject* g_type = nullptr;  // created on the first import, kept for the process

const TrieStore& store_of(PyObject* self) { return reinterpret_cast<PrefixSearchObject*>(self)->store; }

// Wraps a finished store into a new instance. Allocates directly: the type's tp_alloc
// slot refuses, see prefix_search_alloc.
PyObject* new_instance(TrieStore&& store) {
    PyObject* obj = PyType_GenericAlloc(g_type, 0);
    if (!obj) return nullptr;
    std::construct_at(&reinterpret_cast<PrefixSearchObject*>(obj)->store, std::move(store));
    return obj;
}

// ---------------------------------------------------------------------------------------
// Type slots.

// Instances are made only by the two static constructors.
PyObject* prefix_search_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref name = Ref::steal(PyType_GetName(type));
    if (!name) return nullptr;
    return PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
}

// The class is mutable, so Python code can replace __new__ by one that calls
// object.__new__, which allocates through this slot: refused as the constructor is, or
// that object would carry a store that was never constructed.
PyObject* prefix_search_alloc(PyTypeObject* type, Py_ssize_t) { return prefix_search_new(type, nullptr, nullptr); }

// Releases the store, then the object and the reference it holds on its heap type.
void prefix_search_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&reinterpret_cast<PrefixSearchObject*>(self)->store);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------------------
// Methods.

constexpr std::array<const char*, 6> kFromInternalParams = {
    "node_shifts", "child_labels", "payloads", "child_transitions", "video_index", "video_top_n"};
constexpr Signature kFromInternal{"PrefixSearch.from_internal_data_v2()", kFromInternalParams, 6};

PyObject* from_internal_data_v2(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[6];
        if (!bind_arguments(kFromInternal, args, nargs, kwnames, bound)) return nullptr;
        auto store = store_from_internal_data(bound);
        return store ? new_instance(std::move(*store)) : nullptr;
    });
}

PyObject* to_bytes(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const TrieStore& store = store_of(self);
        const size_t size = snapshot::encoded_size(store);
        // Written straight into the bytes object: one allocation at the final size.
        Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!out) return nullptr;
        snapshot::encode(store, std::span<std::byte>(reinterpret_cast<std::byte*>(PyBytes_AS_STRING(out.get())), size));
        return out.release();
    });
}

constexpr std::array<const char*, 1> kFromBytesParams = {"b"};
constexpr Signature kFromBytes{"PrefixSearch.from_bytes()", kFromBytesParams, 1};

PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* b = nullptr;
        if (!bind_arguments(kFromBytes, args, nargs, kwnames, &b)) return nullptr;
        if (!PyBytes_Check(b)) {
            raise_wrong_type(b, "PyBytes");
            prefix_argument_error("b");
            return nullptr;
        }
        const auto* data = reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(b));
        auto store = snapshot::decode(std::span<const std::byte>(data, static_cast<size_t>(PyBytes_GET_SIZE(b))));
        if (!store) return raise(PyExc_ValueError, "decode error: " + snapshot::render(store.error()));
        return new_instance(std::move(*store));
    });
}

// The query parameters shared by both queries, converted in parameter order.
struct QueryArgs {
    std::string_view term;
    uint32_t max_dist = 1;
    std::optional<uint64_t> limit;
};

bool convert_query(PyObject* const* bound, QueryArgs& q) {
    if (!to_term(bound[0], q.term)) return prefix_argument_error("term"), false;
    if (bound[1] && !to_u32(bound[1], q.max_dist)) return prefix_argument_error("max_dist"), false;
    if (bound[2] && bound[2] != Py_None) {
        uint64_t limit = 0;
        if (!to_u64(bound[2], limit)) return prefix_argument_error("limit"), false;
        q.limit = limit;
    }
    return true;
}

constexpr std::array<const char*, 3> kFuzzyMatchParams = {"term", "max_dist", "limit"};
constexpr Signature kFuzzyMatch{"PrefixSearch.fuzzy_match()", kFuzzyMatchParams, 1};

PyObject* fuzzy_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[3];
        QueryArgs q;
        if (!bind_arguments(kFuzzyMatch, args, nargs, kwnames, bound) || !convert_query(bound, q)) return nullptr;

        auto matches = walk_terms(store_of(self), q.term, q.max_dist, q.limit);
        if (!matches) return raise_internal_failure(matches.error().message);

        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(matches->size())));
        // walk_terms reports only nodes with a payload of their own: the flag is always 1.
        Ref flag = Ref::steal(PyLong_FromLong(1));
        if (!list || !flag) return nullptr;
        for (size_t i = 0; i < matches->size(); ++i) {
            const TermMatch& m = (*matches)[i];
            Ref term = Ref::steal(PyUnicode_FromStringAndSize(m.term.data(), static_cast<Py_ssize_t>(m.term.size())));
            Ref distance = Ref::steal(PyLong_FromUnsignedLongLong(m.distance));
            if (!term || !distance) return nullptr;
            PyObject* item = PyTuple_Pack(3, term.get(), flag.get(), distance.get());
            if (!item) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

constexpr std::array<const char*, 5> kFuzzyMatchVideoParams = {"term", "max_dist", "limit", "include_prefix_nodes",
                                                               "min_score"};
constexpr Signature kFuzzyMatchVideo{"PrefixSearch.fuzzy_match_video()", kFuzzyMatchVideoParams, 1};

PyObject* fuzzy_match_video(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[5];
        QueryArgs q;
        if (!bind_arguments(kFuzzyMatchVideo, args, nargs, kwnames, bound) || !convert_query(bound, q)) {
            return nullptr;
        }
        std::optional<bool> include_prefix_nodes;
        if (bound[3] && bound[3] != Py_None) {
            bool flag = false;
            if (!to_bool(bound[3], flag)) return prefix_argument_error("include_prefix_nodes"), nullptr;
            include_prefix_nodes = flag;
        }
        std::optional<double> min_score;
        if (bound[4] && bound[4] != Py_None) {
            double score = 0;
            if (!to_double(bound[4], score)) return prefix_argument_error("min_score"), nullptr;
            min_score = score;
        }

        const TrieStore& store = store_of(self);
        auto ranked = rank_videos(store, q.term, q.max_dist, q.limit, include_prefix_nodes, min_score);
        if (!ranked) return raise_internal_failure(ranked.error().message);

        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ranked->size())));
        if (!list) return nullptr;
        std::array<char, kVideoIdTextMax> text;
        for (size_t i = 0; i < ranked->size(); ++i) {
            const ScoredVideo& v = (*ranked)[i];
            // rank_videos has already dropped numbers with no id.
            const auto len = write_video_id_text(store, v.video, text);
            if (!len) return raise_internal_failure("ranked video has no entry in the video id list");
            Ref id = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(*len)));
            Ref score = Ref::steal(PyFloat_FromDouble(v.score));
            if (!id || !score) return nullptr;
            PyObject* item = PyTuple_Pack(2, id.get(), score.get());
            if (!item) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

// Each docstring is only the text signature, so __text_signature__ is set and __doc__ is None.
PyMethodDef kMethods[] = {
    {"from_internal_data_v2", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_internal_data_v2)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_internal_data_v2(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n)\n--\n\n"},
    {"to_bytes", to_bytes, METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"from_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_bytes)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "from_bytes(b)\n--\n\n"},
    {"fuzzy_match", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fuzzy_match)),
     METH_FASTCALL | METH_KEYWORDS, "fuzzy_match(term, max_dist=1, limit=None)\n--\n\n"},
    {"fuzzy_match_video", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fuzzy_match_video)),
     METH_FASTCALL | METH_KEYWORDS,
     "fuzzy_match_video(term, max_dist=1, limit=None, include_prefix_nodes=None, min_score=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(prefix_search_new)},          // refuses: no constructor
    {Py_tp_alloc, reinterpret_cast<void*>(prefix_search_alloc)},      // refuses: only new_instance allocates
    {Py_tp_dealloc, reinterpret_cast<void*>(prefix_search_dealloc)},  // releases the store
    {Py_tp_methods, kMethods},                                        // the five methods
    {0, nullptr},
};

// The class is given no module of its own: its __module__ is "builtins". Not a base type, no dict,
// no weak references, no GC (an instance holds no Python objects).
PyType_Spec kSpec = {
    .name = "builtins.PrefixSearch",
    .basicsize = static_cast<int>(sizeof(PrefixSearchObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kSlots,
};

// ---------------------------------------------------------------------------------------
// The module.

// m_size 0 (not -1): the interpreter then runs the entry point in every interpreter that
// imports the module, so the refusal below holds for legacy subinterpreters too.
PyModuleDef kModule = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_brindlex",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

int64_t g_first_interpreter = -1;
PyObject* g_module = nullptr;  // the module made by the first interpreter

bool add_to_all(PyObject* module, const char* name) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    PyObject* all = nullptr;
    if (PyDict_GetItemStringRef(dict, "__all__", &all) < 0) return false;
    Ref all_ref = Ref::steal(all);
    if (!all_ref) {
        all_ref = Ref::steal(PyList_New(0));
        if (!all_ref || PyDict_SetItemString(dict, "__all__", all_ref.get()) < 0) return false;
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    return text && PyList_Append(all_ref.get(), text.get()) == 0;
}

PyObject* init_module() {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    if (g_first_interpreter < 0) g_first_interpreter = id;
    if (id != g_first_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "_brindlex does not support subinterpreters: it can only be imported by the main interpreter");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);

    Ref module = Ref::steal(PyModule_Create2(&kModule, 1013));
    if (!module) return nullptr;
    if (!g_type) {
        g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec));
        if (!g_type) {
            PyErr_Print();
            return raise_internal_failure("failed to create type object for PrefixSearch");
        }
    }
    if (PyModule_AddObjectRef(module.get(), "PrefixSearch", reinterpret_cast<PyObject*>(g_type)) < 0) return nullptr;
    if (!add_to_all(module.get(), "PrefixSearch")) return nullptr;
    g_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace brindlex::py

PyMODINIT_FUNC PyInit__brindlex() {
    return brindlex::py::guarded([] { return brindlex::py::init_module(); });
}
