// CRC-32C: published check values, the hardware path against the table-driven loop on
// every length and alignment around the 8-byte step and around the blocks it runs side by
// side, and extension across pieces.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <string_view>
#include <vector>

#include "core/checksum/crc32c.hpp"

namespace brindlex::checksum {
namespace {

std::span<const std::byte> bytes_of(std::string_view s) { return std::as_bytes(std::span(s.data(), s.size())); }

TEST(Crc32c, PublishedCheckValues) {
    EXPECT_EQ(crc32c(bytes_of("")), 0u);
    EXPECT_EQ(crc32c(bytes_of("123456789")), 0xE3069283u);
    const std::vector<std::byte> zeros(32, std::byte{0});
    const std::vector<std::byte> ones(32, std::byte{0xFF});
    EXPECT_EQ(crc32c(zeros), 0x8A9136AAu);  // RFC 3720, B.4
    EXPECT_EQ(crc32c(ones), 0x62A8AB43u);
    EXPECT_EQ(crc32c_portable(bytes_of("123456789")), 0xE3069283u);
}

TEST(Crc32c, BothPathsAgreeAndExtendAcrossPieces) {
    std::mt19937 rng(7);
    std::vector<std::byte> data(200);
    for (auto& b : data) b = static_cast<std::byte>(rng());
    const auto all = std::span<const std::byte>(data);
    for (size_t begin = 0; begin < 9; ++begin) {
        for (size_t size = 0; begin + size <= data.size(); size += 1 + size / 8) {
            const auto piece = all.subspan(begin, size);
            const uint32_t whole = crc32c(piece);
            ASSERT_EQ(whole, crc32c_portable(piece)) << begin << "+" << size;
            for (size_t cut : {size_t{0}, size / 3, size}) {
                ASSERT_EQ(crc32c(piece.subspan(cut), crc32c(piece.first(cut))), whole);
            }
        }
    }
}

TEST(Crc32c, StreamsSideBySideJoinAsOne) {
    std::mt19937 rng(11);
    std::vector<std::byte> data(7 * 16384 + 64);
    for (auto& b : data) b = static_cast<std::byte>(rng());
    const auto all = std::span<const std::byte>(data);
    for (const size_t blocks : {size_t{3}, size_t{6}}) {
        for (const long delta : {-9L, -1L, 0L, 1L, 8L, 40L}) {
            for (const size_t begin : {size_t{0}, size_t{3}}) {
                const auto piece = all.subspan(begin, static_cast<size_t>(static_cast<long>(blocks * 16384) + delta));
                ASSERT_EQ(crc32c(piece), crc32c_portable(piece)) << blocks << " " << delta << " " << begin;
            }
        }
    }
}

}  // namespace
}  // namespace brindlex::checksum
