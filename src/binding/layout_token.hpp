// The layout token: what brindlex._native relies on when it reads the store of a
// PrefixSearch and makes new ones, exported by _brindlex as a capsule under a private
// module attribute (kLayoutAttribute). Both modules compile this one definition; the
// package module compares the sizes of its own build with the engine's at import and
// refuses another layout, and it makes engines and raises InternalFailure only through
// the engine's functions held here, never by copies of its own.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "binding/instance.hpp"
#include "core/facts/facts.hpp"
#include "core/store/store.hpp"

namespace brindlex::py {

inline constexpr const char* kLayoutAttribute = "_layout";
inline constexpr const char* kLayoutCapsule = "_brindlex._layout";

// Raised when the layout changes in a way the sizes below do not show.
inline constexpr uint32_t kLayoutVersion = 1;

struct LayoutSizes {
    uint32_t version;
    uint32_t instance;      // sizeof(PrefixSearchObject)
    uint32_t header;        // sizeof(PyObject): the store follows it
    uint32_t store;         // sizeof(TrieStore)
    uint32_t payload;       // sizeof(Payload)
    uint32_t entry;         // sizeof(facts::Entry): the walk's entries the package reads

    bool operator==(const LayoutSizes&) const = default;
};

struct LayoutToken {
    LayoutSizes sizes;
    // A new PrefixSearch owning `store`, or null with an exception set.
    PyObject* (*new_engine)(TrieStore&& store) noexcept;
    // The engine's InternalFailure class (borrowed), or null with an exception set.
    PyObject* (*internal_failure)() noexcept;
};

// The sizes of the module that compiles this.
inline LayoutSizes this_build_sizes() {
    return {
        .version = kLayoutVersion,
        .instance = static_cast<uint32_t>(sizeof(PrefixSearchObject)),
        .header = static_cast<uint32_t>(sizeof(PyObject)),
        .store = static_cast<uint32_t>(sizeof(TrieStore)),
        .payload = static_cast<uint32_t>(sizeof(Payload)),
        .entry = static_cast<uint32_t>(sizeof(facts::Entry)),
    };
}

// "version 1, instance 88, header 16, store 72, payload 32, entry 12"
inline std::string describe(const LayoutSizes& s) {
    return "version " + std::to_string(s.version) + ", instance " + std::to_string(s.instance) + ", header " +
           std::to_string(s.header) + ", store " + std::to_string(s.store) + ", payload " +
           std::to_string(s.payload) + ", entry " + std::to_string(s.entry);
}

}  // namespace brindlex::py
