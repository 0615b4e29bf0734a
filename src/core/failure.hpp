// Errors of the core, as values: nothing in the core throws except std::bad_alloc (and
// CapExceeded, one of its kind), which the binding turns into MemoryError.
#pragma once

#include <expected>
#include <new>
#include <string>
#include <utility>

namespace brindlex {

// A failed index check: only possible for a store that breaks the trie invariants
// (an unchecked snapshot, or construction input whose node_shifts run past the end).
struct InternalError {
    std::string message;
};

// Memory a query would need beyond the cap the core sets itself: reported like any other
// failure to allocate, with words that say what was asked.
class CapExceeded : public std::bad_alloc {
public:
    explicit CapExceeded(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

template <class T>
using Result = std::expected<T, InternalError>;

inline std::unexpected<InternalError> internal_error(std::string message) {
    return std::unexpected<InternalError>(InternalError{std::move(message)});
}

}  // namespace brindlex
