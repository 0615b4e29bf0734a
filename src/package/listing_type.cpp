// brindlex._native.Listing: an iterator over the terms under a prefix, filled a chunk at a
// time by the core's walk (core/lookup/listing), so that no list of every term is ever
// made. It holds its Lookup, and with it the engine and spellings the walk reads.
#include <Python.h>

#include <memory>
#include <new>
#include <vector>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/pyref.hpp"
#include "binding/text.hpp"
#include "core/lookup/listing.hpp"
#include "package/arguments.hpp"
#include "package/lookup_object.hpp"
#include "package/released.hpp"
#include "package/merging.hpp"

namespace brindlex::py {
namespace {

PyTypeObject* g_listing = nullptr;  // brindlex._native.Listing, held for the process

constexpr size_t kListingChunk = 256;

struct ListingObject {
    PyObject_HEAD
    PyObject* lookup;
    lookup::Listing listing;
    lookup::ListedTerms chunk;
    size_t next;  // the next term of `chunk` to hand out
    bool items;
    bool busy;  // a thread fills the chunk without the interpreter lock: read and set with it held
};

ListingObject* as_listing(PyObject* self) { return reinterpret_cast<ListingObject*>(self); }

void listing_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    ListingObject* obj = as_listing(self);
    std::destroy_at(&obj->chunk);
    std::destroy_at(&obj->listing);
    Py_XDECREF(obj->lookup);
    type->tp_free(self);
    Py_DECREF(type);
}

// Fills the chunk anew once it is all handed out. False at the end (no exception set) or
// on a failure (an exception set).
bool refill(ListingObject* obj) noexcept {
    if (obj->busy) {
        // Another thread is filling this iterator's chunk: as a generator that is already
        // running, it cannot be stepped now.
        PyErr_SetString(PyExc_ValueError, "Listing already executing in another thread");
        return false;
    }
    if (obj->next < obj->chunk.size()) return true;
    obj->chunk.clear();
    obj->next = 0;
    if (obj->listing.done()) return false;
    try {
        obj->busy = true;
        auto filled = without_lock([&] { return obj->listing.next(obj->chunk, kListingChunk); });
        obj->busy = false;
        if (!filled) {
            raise_internal_failure(filled.error().message);
            return false;
        }
    } catch (const std::bad_alloc&) {
        obj->busy = false;
        PyErr_NoMemory();
        return false;
    }
    return obj->chunk.size() != 0;
}

// tp_iternext: null with no exception set ends the iteration.
PyObject* listing_next(PyObject* self) {
    ListingObject* obj = as_listing(self);
    if (!refill(obj)) return nullptr;
    const size_t i = obj->next++;
    PyObject* term = new_text(obj->chunk.term(i));
    if (!obj->items) return term;
    return new_tuple({term, PyLong_FromUnsignedLong(obj->chunk.counts[i])});
}

PyType_Slot kListingSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(listing_dealloc)},  // releases the walk and its Lookup
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(listing_next)},
    {Py_tp_doc, const_cast<char*>("The terms under a prefix, in code-point order (Lookup.terms).")},
    {0, nullptr},
};

// No GC support: a Listing refers only to a Lookup, which cannot refer back to it.
PyType_Spec kListingSpec = {
    .name = "brindlex._native.Listing",
    .basicsize = static_cast<int>(sizeof(ListingObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = kListingSlots,
};

}  // namespace

PyObject* lookup_terms(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        std::vector<uint32_t> prefix;
        if (!expect_args("terms", nargs, 2) || !argument(to_scalars(args[0], prefix), "prefix")) return nullptr;
        const int items = PyObject_IsTrue(args[1]);
        if (items < 0) return nullptr;
        const LookupObject* lookup = as_lookup(self);
        PyObject* it = g_listing->tp_alloc(g_listing, 0);
        if (!it) return nullptr;
        ListingObject* obj = as_listing(it);
        // Until the walk is made, dealloc must find nothing to destroy: made first, and
        // should it throw, the bare object is freed by hand.
        try {
            std::construct_at(&obj->listing, store_of(lookup), lookup->index, lookup->spellings, prefix);
        } catch (...) {
            Py_TYPE(it)->tp_free(it);
            Py_DECREF(g_listing);
            throw;
        }
        std::construct_at(&obj->chunk);
        obj->lookup = Py_NewRef(self);
        obj->next = 0;
        obj->items = items != 0;
        obj->busy = false;
        return it;
    });
}

int add_listing_type(PyObject* module) {
    Ref listing_type = Ref::steal(PyType_FromModuleAndSpec(module, &kListingSpec, nullptr));
    if (!listing_type) return -1;
    if (PyModule_AddObjectRef(module, "Listing", listing_type.get()) < 0) return -1;
    if (!g_listing) g_listing = reinterpret_cast<PyTypeObject*>(listing_type.release());
    return 0;
}

}  // namespace brindlex::py
