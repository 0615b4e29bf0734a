#include "core/checksum/crc32c.hpp"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <nmmintrin.h>
#define BRINDLEX_CRC32C_SSE42 1
#endif

namespace brindlex::checksum {

namespace {

constexpr uint32_t kPolynomial = 0x82F63B78;  // reflected Castagnoli polynomial

// Eight tables: the loop folds eight bytes a round (slicing-by-8).
constexpr std::array<std::array<uint32_t, 256>, 8> make_tables() {
    std::array<std::array<uint32_t, 256>, 8> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1) ? kPolynomial : 0);
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
        for (size_t s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
    return t;
}

constexpr auto kTables = make_tables();

uint32_t software(const unsigned char* p, size_t n, uint32_t c) {
    while (n >= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
        word ^= c;
        c = kTables[7][word & 0xFF] ^ kTables[6][(word >> 8) & 0xFF] ^ kTables[5][(word >> 16) & 0xFF] ^
            kTables[4][(word >> 24) & 0xFF] ^ kTables[3][(word >> 32) & 0xFF] ^ kTables[2][(word >> 40) & 0xFF] ^
            kTables[1][(word >> 48) & 0xFF] ^ kTables[0][word >> 56];
        p += 8;
        n -= 8;
    }
    while (n--) c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFF];
    return c;
}

// The CRC register is linear in what it held before: after n more bytes, a register c
// becomes c * x^(8n) mod P (in the reflected order the register keeps) plus the CRC of
// those bytes from 0. So independent streams over neighbouring blocks can be run side by
// side and joined by two products.
uint32_t multiply(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (uint32_t bit = 1u << 31; bit != 0; bit >>= 1) {
        if ((a & bit) != 0) product ^= b;
        b = (b & 1) != 0 ? (b >> 1) ^ kPolynomial : b >> 1;
    }
    return product;
}

// x^(8n) mod P, reflected.
constexpr uint32_t kOne = 1u << 31;
uint32_t shift_of(size_t n) {
    uint32_t result = kOne;
    uint32_t square = kOne >> 8;  // x^8
    for (; n != 0; n >>= 1) {
        if ((n & 1) != 0) result = multiply(result, square);
        square = multiply(square, square);
    }
    return result;
}

#ifdef BRINDLEX_CRC32C_SSE42
__attribute__((target("sse4.2"))) uint32_t one_stream(const unsigned char* p, size_t n, uint32_t c) {
    uint64_t c64 = c;
    while (n >= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        c64 = _mm_crc32_u64(c64, word);
        p += 8;
        n -= 8;
    }
    c = static_cast<uint32_t>(c64);
    while (n--) c = _mm_crc32_u8(c, *p++);
    return c;
}

// The instruction takes three cycles and can start one a cycle, so three streams over
// neighbouring blocks keep it busy; long inputs go about three times as fast.
constexpr size_t kBlock = 16384;
const uint32_t kShiftBlock = shift_of(kBlock);
const uint32_t kShiftTwoBlocks = shift_of(2 * kBlock);

__attribute__((target("sse4.2"))) uint32_t hardware(const unsigned char* p, size_t n, uint32_t c) {
    while (n >= 3 * kBlock) {
        uint64_t a = c, b = 0, d = 0;
        for (size_t i = 0; i < kBlock; i += 8) {
            uint64_t wa, wb, wd;
            std::memcpy(&wa, p + i, 8);
            std::memcpy(&wb, p + kBlock + i, 8);
            std::memcpy(&wd, p + 2 * kBlock + i, 8);
            a = _mm_crc32_u64(a, wa);
            b = _mm_crc32_u64(b, wb);
            d = _mm_crc32_u64(d, wd);
        }
        c = multiply(static_cast<uint32_t>(a), kShiftTwoBlocks) ^ multiply(static_cast<uint32_t>(b), kShiftBlock) ^
            static_cast<uint32_t>(d);
        p += 3 * kBlock;
        n -= 3 * kBlock;
    }
    return one_stream(p, n, c);
}

const bool kHasSse42 = __builtin_cpu_supports("sse4.2");
#endif

}  // namespace

uint32_t crc32c(std::span<const std::byte> data, uint32_t crc) {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    uint32_t c = ~crc;
#ifdef BRINDLEX_CRC32C_SSE42
    if (kHasSse42) return ~hardware(p, data.size(), c);
#endif
    return ~software(p, data.size(), c);
}

uint32_t crc32c_portable(std::span<const std::byte> data, uint32_t crc) {
    return ~software(reinterpret_cast<const unsigned char*>(data.data()), data.size(), ~crc);
}

}  // namespace brindlex::checksum
