// The cursors of the snapshot codec (core/snapshot/encoding.hpp states the byte layout):
// a writer into a buffer sized exactly beforehand, a reader that never looks past the end
// of its input, and the little-endian loads and stores both use.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>

#include "core/snapshot/decode_error.hpp"

namespace brindlex::snapshot {

// Writing cursor: a raw pointer into a buffer that the size functions sized exactly.
// `end` is not a bounds check: it only tells the varint writer whether it may store a
// whole 8-byte word and keep the bytes it needs (the rest is overwritten by what follows).
struct Writer {
    uint8_t* pos;
    uint8_t* end;

    explicit Writer(std::span<std::byte> out)
        : pos(reinterpret_cast<uint8_t*>(out.data())), end(pos + out.size()) {}

    size_t room() const { return static_cast<size_t>(end - pos); }
};

// Reading cursor over an immutable byte span: the next byte and one past the last.
struct Reader {
    const uint8_t* pos;
    const uint8_t* end;

    explicit Reader(std::span<const std::byte> in)
        : pos(reinterpret_cast<const uint8_t*>(in.data())), end(pos + in.size()) {}

    size_t remaining() const { return static_cast<size_t>(end - pos); }
};

template <class T>
using Decoded = std::expected<T, DecodeError>;

namespace detail {

template <class T>
inline T load_le(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    return v;
}

template <class T>
inline void store_le(uint8_t* p, T v) {
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    std::memcpy(p, &v, sizeof v);
}

// Error paths are kept out of line so that the fast routes stay small.
[[gnu::cold, gnu::noinline]] inline std::unexpected<DecodeError> end_error(size_t additional) {
    return std::unexpected(DecodeError::unexpected_end(additional));
}

}  // namespace detail

}  // namespace brindlex::snapshot
