// Errors of the core, as values: nothing in the core throws except std::bad_alloc,
// which the binding turns into MemoryError.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace brindlex {

// A failed index check: only possible for a store that breaks the trie invariants
// (an unchecked snapshot, or construction input whose node_shifts run past the end).
struct InternalError {
    std::string message;
};

template <class T>
using Result = std::expected<T, InternalError>;

inline std::unexpected<InternalError> internal_error(std::string message) {
    return std::unexpected<InternalError>(InternalError{std::move(message)});
}

}  // namespace brindlex
