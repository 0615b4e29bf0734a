#include "package/checks.hpp"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/instance.hpp"
#include "binding/pyref.hpp"
#include "binding/text.hpp"
#include "core/check/check.hpp"
#include "core/lookup/spellings.hpp"
#include "core/lookup/term_index.hpp"
#include "core/snapshot/decode_error.hpp"
#include "core/snapshot/snapshot.hpp"
#include "package/build.hpp"

namespace brindlex::py {
namespace {

// (damage, notes) of a check, as two lists of str.
PyObject* findings(const check::Report& report) {
    auto texts = [](const std::vector<std::string>& found) {
        return list_of(found, [](const std::string& t) { return new_text(t); });
    };
    Ref damage = Ref::steal(texts(report.damage));
    Ref notes = Ref::steal(damage ? texts(report.notes) : nullptr);
    return notes ? PyTuple_Pack(2, damage.get(), notes.get()) : nullptr;
}

// The store's check, and as damage whatever makes the term lookups refuse the store
// with these notes (bytes of an index file, or null for none): what stats reports and
// what every query refuses are then one. False with an error set when `notes` is no
// bytes-like object.
bool check_for_lookups(const TrieStore& store, PyObject* notes, check::Report& report) {
    report = check::check_store(store);
    if (!report.damage.empty()) return true;  // the lookups' own checks would repeat it
    std::vector<lookup::CountFix> fixes;
    if (notes && notes != Py_None) {
        Py_buffer view;
        if (PyObject_GetBuffer(notes, &view, PyBUF_SIMPLE) < 0) return false;
        auto decoded = lookup::Notes::decode({static_cast<const std::byte*>(view.buf), static_cast<size_t>(view.len)}, store);
        PyBuffer_Release(&view);
        if (!decoded) {
            report.damage.push_back(decoded.error().message);
            return true;
        }
        fixes = std::move(decoded->fixes);
    }
    auto index = lookup::TermIndex::make(store, std::move(fixes));
    if (!index) report.damage.push_back(index.error().message);
    return true;
}

}  // namespace

PyObject* check_snapshot(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!expect_args_or_one_more("check_snapshot", nargs, 1)) return nullptr;
        Py_buffer view;
        if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
        size_t used = 0;
        auto store = snapshot::decode({static_cast<const std::byte*>(view.buf), static_cast<size_t>(view.len)}, &used);
        PyBuffer_Release(&view);
        if (!store) return raise(PyExc_ValueError, "decode error: " + snapshot::render(store.error()));
        check::Report report;
        if (!check_for_lookups(*store, nargs == 2 ? args[1] : nullptr, report)) return nullptr;
        Ref found = Ref::steal(findings(report));
        if (!found) return nullptr;
        return Py_BuildValue("(KKKsnOO)", static_cast<unsigned long long>(report.nodes),
                             static_cast<unsigned long long>(report.terms), static_cast<unsigned long long>(report.videos),
                             store->id_mode == IdMode::Uuid ? "uuid" : "int32", static_cast<Py_ssize_t>(used),
                             PyTuple_GET_ITEM(found.get(), 0), PyTuple_GET_ITEM(found.get(), 1));
    });
}

// The same check on the store of an engine already decoded: (damage, notes).
PyObject* check_engine(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!expect_args_or_one_more("check_engine", nargs, 1)) return nullptr;
        PyObject* engine = args[0];
        if (!PyObject_TypeCheck(engine, engine_type())) return raise_wrong_type(engine, "PrefixSearch");
        check::Report report;
        if (!check_for_lookups(reinterpret_cast<PrefixSearchObject*>(engine)->store, nargs == 2 ? args[1] : nullptr,
                               report)) {
            return nullptr;
        }
        return findings(report);
    });
}

}  // namespace brindlex::py
