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

#ifdef BRINDLEX_CRC32C_SSE42
__attribute__((target("sse4.2"))) uint32_t hardware(const unsigned char* p, size_t n, uint32_t c) {
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
