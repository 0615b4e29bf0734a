// Store arrays: owned or borrowed, read alike; copies of a borrowed array share the
// keeper's memory, and editing one copies it first, leaving the memory and other copies
// as they were; the keeper lives as long as any array that views it.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/store/array.hpp"

namespace brindlex {
namespace {

TEST(Array, BorrowedIsReadLikeOwnedAndCopiedBeforeAnyEdit) {
    auto memory = std::make_shared<std::vector<uint32_t>>(std::vector<uint32_t>{3, 1, 4, 1, 5});
    std::weak_ptr<std::vector<uint32_t>> watch = memory;
    Array<uint32_t> borrowed = Array<uint32_t>::borrowed(*memory, memory);
    const Array<uint32_t> owned(std::vector<uint32_t>{3, 1, 4, 1, 5});
    memory.reset();  // the array keeps it alive
    ASSERT_FALSE(watch.expired());
    EXPECT_TRUE(borrowed.is_borrowed());
    EXPECT_EQ(borrowed, owned);
    EXPECT_EQ(borrowed.borrowed_bytes(), 5 * sizeof(uint32_t));
    EXPECT_EQ(borrowed.capacity(), 0u);

    Array<uint32_t> copy = borrowed;
    EXPECT_EQ(copy.data(), borrowed.data());  // shared, not copied
    copy.set(0, 9);
    copy.push_back(2);
    EXPECT_FALSE(copy.is_borrowed());
    EXPECT_EQ(copy, (std::vector<uint32_t>{9, 1, 4, 1, 5, 2}));
    EXPECT_EQ(borrowed, owned);  // the viewed memory is untouched
    EXPECT_EQ((*watch.lock())[0], 3u);

    Array<uint32_t> moved = std::move(borrowed);
    EXPECT_TRUE(moved.is_borrowed() && moved == owned);
    borrowed = owned;  // a moved-from array takes a new value
    EXPECT_EQ(borrowed, owned);
    moved = Array<uint32_t>();
    EXPECT_TRUE(watch.expired());  // the last view let go
}

TEST(Array, OwnedCopiesAndMovesKeepTheirOwnElements) {
    Array<uint32_t> a(std::vector<uint32_t>{1, 2, 3});
    Array<uint32_t> b = a;
    b.set(1, 7);
    EXPECT_EQ(a, (std::vector<uint32_t>{1, 2, 3}));
    Array<uint32_t> c = std::move(b);
    EXPECT_EQ(c, (std::vector<uint32_t>{1, 7, 3}));
    EXPECT_TRUE(b.empty());
    c.insert(c.end(), a.begin(), a.end());
    c.assign(c.begin() + 1, c.end());  // from itself
    EXPECT_EQ(c, (std::vector<uint32_t>{7, 3, 1, 2, 3}));
    a.swap(c);
    EXPECT_EQ(a.size(), 5u);
    EXPECT_EQ(c.size(), 3u);
}

}  // namespace
}  // namespace brindlex
