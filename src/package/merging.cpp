#include "package/merging.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/instance.hpp"
#include "binding/pyref.hpp"
#include "binding/text.hpp"
#include "core/builder/layout.hpp"
#include "package/build.hpp"
#include "package/video_ids.hpp"

namespace brindlex::py {
bool plain_u32(PyObject* o, uint32_t& out) {
    if (!PyLong_CheckExact(o)) return false;
    auto* l = reinterpret_cast<PyLongObject*>(o);
    if (PyUnstable_Long_IsCompact(l)) {
        const Py_ssize_t v = PyUnstable_Long_CompactValue(l);
        if (v < 0 || static_cast<uint64_t>(v) > kU32Max) return false;
        out = static_cast<uint32_t>(v);
        return true;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (v > kU32Max) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

PyObject* finish(Merger& merger, uint64_t video_top_n) {
    auto shown = build::shown_spellings(std::move(merger.spelled), merger.table);
    auto built = build::build_store_of(std::move(merger.table), video_top_n);
    if (!built) return raise(PyExc_ValueError, built.error());
    for (auto& [term, text] : shown) term = built->term_nodes[term];
    std::sort(shown.begin(), shown.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    Ref shown_list = Ref::steal(list_of(shown, [](const std::pair<uint32_t, std::string>& s) {
        return new_tuple({PyLong_FromUnsignedLong(s.first), new_text(s.second)});
    }));
    if (!shown_list) return nullptr;
    Ref fixes = Ref::steal(list_of(built->count_fixes, [](const lookup::CountFix& f) {
        return new_tuple({PyLong_FromUnsignedLong(f.node), PyLong_FromUnsignedLong(f.count)});
    }));
    if (!fixes) return nullptr;
    lookup::VideoTexts texts;
    if (!lookup::VideoTexts::of(merger.text_ids, merger.text_ids.size(), texts)) {
        return raise(PyExc_ValueError, "the text video ids add up to more than 4 GiB");
    }
    merger.text_ids = {};
    Ref ids = Ref::steal(video_texts_object(texts));
    if (!ids) return nullptr;
    Ref engine = Ref::steal(new_engine(std::move(built->store)));
    if (!engine) return nullptr;
    return PyTuple_Pack(4, engine.get(), shown_list.get(), fixes.get(), ids.get());
}

bool top_n_of(PyObject* o, uint64_t& out) {
    if (to_u64(o, out)) return true;
    prefix_argument_error("video_top_n");
    return false;
}

}  // namespace brindlex::py
