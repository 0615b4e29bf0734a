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
#include <string>

#include "binding/args.hpp"
#include "binding/construction.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/instance.hpp"
#include "binding/layout_token.hpp"
#include "binding/messages.hpp"
#include "binding/signatures.hpp"
#include "binding/text.hpp"
#include "core/ranking/ranking.hpp"
#include "core/text/video_id_text.hpp"
#include "core/walk/walk.hpp"
#include "core/snapshot/snapshot.hpp"

namespace brindlex::py {
namespace {

// ---------------------------------------------------------------------------------------
// The instance: a Python object header and the one store it owns (binding/instance.hpp).

PyTypeObject* g_type = nullptr;  // created on the first import, kept for the process

const TrieStore& store_of(PyObject* self) { return reinterpret_cast<PrefixSearchObject*>(self)->store; }

// Wraps a finished store into a new instance. Allocates directly: the type's tp_alloc
// slot refuses, see prefix_search_alloc.
PyObject* new_instance(TrieStore&& store) noexcept {
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
    return PyErr_Format(PyExc_TypeError, msg::kNoConstructor, name.get());
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

PyObject* from_internal_data_v2(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, sig::kFromInternalParams.size()> bound;
        if (!bind_arguments(sig::kFromInternal, args, nargs, kwnames, bound.data())) return nullptr;
        auto store = store_from_internal_data(bound.data());
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

PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* b = nullptr;
        if (!bind_arguments(sig::kFromBytes, args, nargs, kwnames, &b)) return nullptr;
        if (!PyBytes_Check(b)) {
            raise_wrong_type(b, "PyBytes");
            prefix_argument_error(sig::kFromBytes.name(0));
            return nullptr;
        }
        const auto* data = reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(b));
        auto store = snapshot::decode(std::span<const std::byte>(data, static_cast<size_t>(PyBytes_GET_SIZE(b))));
        if (!store) return raise(PyExc_ValueError, msg::kDecodeError + snapshot::render(store.error()));
        return new_instance(std::move(*store));
    });
}

// The query arguments, bound to sig::kQueryParams (fuzzy_match binds the first three).
using QueryArgs = std::array<PyObject*, sig::kQueryParams.size()>;

// Converts `bound[param]` unless it was left out (or is None, where None is allowed);
// a failure is prefixed with the parameter's name.
template <class T, class Convert>
bool convert_arg(const QueryArgs& bound, size_t param, bool none_allowed, std::optional<T>& out, Convert convert) {
    PyObject* o = bound[param];
    if (!o || (none_allowed && o == Py_None)) return true;
    T value{};
    if (!convert(o, value)) return prefix_argument_error(sig::kQueryParams[param].name), false;
    out = value;
    return true;
}

// The query parameters shared by both queries, converted in parameter order.
struct Query {
    std::string_view term;
    uint32_t max_dist = 1;
    std::optional<uint64_t> limit;
};

// Binds the arguments of either query and converts the three they share.
bool bind_query(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                QueryArgs& bound, Query& q) {
    using namespace sig;
    if (!bind_arguments(signature, args, nargs, kwnames, bound.data())) return false;
    if (!to_term(bound[kTerm], q.term)) return prefix_argument_error(kQueryParams[kTerm].name), false;
    std::optional<uint32_t> max_dist;
    if (!convert_arg(bound, kMaxDist, false, max_dist, to_u32)) return false;
    q.max_dist = max_dist.value_or(q.max_dist);
    return convert_arg(bound, kLimit, true, q.limit, to_u64);
}

PyObject* fuzzy_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        QueryArgs bound{};
        Query q;
        if (!bind_query(sig::kFuzzyMatch, args, nargs, kwnames, bound, q)) return nullptr;

        auto matches = walk_terms(store_of(self), q.term, q.max_dist, q.limit);
        if (!matches) return raise_internal_failure(matches.error().message);

        // walk_terms reports only nodes with a payload of their own: the flag is always 1.
        Ref flag = Ref::steal(PyLong_FromLong(1));
        if (!flag) return nullptr;
        return list_of(*matches, [&](const TermMatch& m) -> PyObject* {
            return new_tuple({new_text(m.term), Py_NewRef(flag.get()), PyLong_FromUnsignedLongLong(m.distance)});
        });
    });
}

PyObject* fuzzy_match_video(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        QueryArgs bound{};
        Query q;
        if (!bind_query(sig::kFuzzyMatchVideo, args, nargs, kwnames, bound, q)) return nullptr;
        std::optional<bool> include_prefix_nodes;
        std::optional<double> min_score;
        if (!convert_arg(bound, sig::kIncludePrefixNodes, true, include_prefix_nodes, to_bool) ||
            !convert_arg(bound, sig::kMinScore, true, min_score, to_double)) {
            return nullptr;
        }

        const TrieStore& store = store_of(self);
        auto ranked = rank_videos(store, q.term, q.max_dist, q.limit, include_prefix_nodes, min_score);
        if (!ranked) return raise_internal_failure(ranked.error().message);

        std::array<char, kVideoIdTextMax> text;
        return list_of(*ranked, [&](const ScoredVideo& v) -> PyObject* {
            // rank_videos has already dropped numbers with no id.
            const auto len = write_video_id_text(store, v.video, text);
            if (!len) return raise_internal_failure(msg::kUnrankedVideo);
            return new_tuple({new_text(std::string_view(text.data(), *len)), PyFloat_FromDouble(v.score)});
        });
    });
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// Each docstring is only the text signature (set in init_module), so __text_signature__
// is set and __doc__ is None.
PyMethodDef kMethods[] = {
    {"from_internal_data_v2", method_entry(from_internal_data_v2), kFastcall | METH_STATIC, nullptr},
    {"to_bytes", to_bytes, METH_NOARGS, nullptr},
    {"from_bytes", method_entry(from_bytes), kFastcall | METH_STATIC, nullptr},
    {"fuzzy_match", method_entry(fuzzy_match), kFastcall, nullptr},
    {"fuzzy_match_video", method_entry(fuzzy_match_video), kFastcall, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The signatures of kMethods, entry by entry.
constexpr const Signature* kMethodSignatures[] = {&sig::kFromInternal, &sig::kToBytes, &sig::kFromBytes,
                                                  &sig::kFuzzyMatch, &sig::kFuzzyMatchVideo};

// Fills the docstrings of kMethods, once; they live as long as the process.
void set_text_signatures() {
    static std::array<std::string, std::size(kMethodSignatures)> docs;
    for (size_t i = 0; i < docs.size(); ++i) {
        if (docs[i].empty()) docs[i] = text_signature(*kMethodSignatures[i]);
        kMethods[i].ml_doc = docs[i].c_str();
    }
}

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

// What the package's module relies on, and the engine's own ways of making what it makes.
PyObject* engine_internal_failure() noexcept { return internal_failure_type(); }

const LayoutToken kLayoutToken = {
    .sizes = this_build_sizes(),
    .new_engine = new_instance,
    .internal_failure = engine_internal_failure,
};

// The token as a capsule under a private name: the module's public names stay its one class.
bool add_layout_token(PyObject* module) {
    Ref capsule = Ref::steal(PyCapsule_New(const_cast<LayoutToken*>(&kLayoutToken), kLayoutCapsule, nullptr));
    return capsule && PyModule_AddObjectRef(module, kLayoutAttribute, capsule.get()) == 0;
}

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
        PyErr_SetString(PyExc_ImportError, msg::kSubinterpreter);
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);

    Ref module = Ref::steal(PyModule_Create2(&kModule, PYTHON_API_VERSION));
    if (!module) return nullptr;
    if (!g_type) {
        set_text_signatures();
        g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec));
        if (!g_type) {
            PyErr_Print();
            return raise_internal_failure(msg::kNoTypeObject);
        }
    }
    if (PyModule_AddObjectRef(module.get(), "PrefixSearch", reinterpret_cast<PyObject*>(g_type)) < 0) return nullptr;
    if (!add_to_all(module.get(), "PrefixSearch")) return nullptr;
    if (!add_layout_token(module.get())) return nullptr;
    g_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace brindlex::py

PyMODINIT_FUNC PyInit__brindlex() {
    return brindlex::py::guarded([] { return brindlex::py::init_module(); });
}
