// The arrays of a store: either a std::vector it owns, or a view of memory that a keeper
// owns (a mapped index file, a buffer read whole), held alive by a shared reference for
// as long as any array viewing it lives. Reads go through one path whichever it is: the
// pointer and size are kept beside the vector and read directly.
//
// Builders and decoders fill vectors and move them in, or edit an owned array through
// the vector-like mutators below; editing a borrowed array first copies it (the memory
// it views is read-only).
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace brindlex {

template <class T>
class Array {
public:
    using value_type = T;
    using const_iterator = const T*;
    using iterator = const T*;

    Array() = default;
    Array(std::vector<T> owned) : owned_(std::move(owned)) { sync(); }  // NOLINT: implicit, as a vector is taken
    Array(std::initializer_list<T> items) : owned_(items) { sync(); }

    // A view of `view`, kept valid by `keeper` (never null).
    static Array borrowed(std::span<const T> view, std::shared_ptr<const void> keeper) {
        Array a;
        a.keeper_ = std::move(keeper);
        a.data_ = view.data();
        a.size_ = view.size();
        return a;
    }

    Array(const Array& other) : owned_(other.owned_), keeper_(other.keeper_) {
        if (keeper_) {
            data_ = other.data_;
            size_ = other.size_;
        } else {
            sync();
        }
    }
    Array(Array&& other) noexcept
        : owned_(std::move(other.owned_)), keeper_(std::move(other.keeper_)), data_(other.data_), size_(other.size_) {
        if (!keeper_) sync();
        other.owned_.clear();
        other.sync();
    }
    Array& operator=(Array other) noexcept {
        swap(other);
        return *this;
    }
    ~Array() = default;

    void swap(Array& other) noexcept {
        owned_.swap(other.owned_);
        keeper_.swap(other.keeper_);
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        if (!keeper_) sync();
        if (!other.keeper_) other.sync();
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const T& operator[](size_t i) const { return data_[i]; }
    const T* data() const { return data_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    const T& front() const { return data_[0]; }
    const T& back() const { return data_[size_ - 1]; }
    std::span<const T> span() const { return {data_, size_}; }
    operator std::span<const T>() const { return span(); }  // NOLINT: read like the vector it replaces

    // Whether the elements live in memory a keeper owns.
    bool is_borrowed() const { return keeper_ != nullptr; }
    // Elements the array holds room for in memory of its own (0 when borrowed).
    size_t capacity() const { return owned_.capacity(); }
    // Bytes viewed in a keeper's memory (0 when owned).
    size_t borrowed_bytes() const { return keeper_ ? size_ * sizeof(T) : 0; }

    // Mutators, for builders and decoders; each leaves the array owned.
    void push_back(const T& value) {
        own();
        owned_.push_back(value);
        sync();
    }
    void resize(size_t n) {
        own();
        owned_.resize(n);
        sync();
    }
    void resize(size_t n, const T& value) {
        own();
        owned_.resize(n, value);
        sync();
    }
    void reserve(size_t n) {
        own();
        owned_.reserve(n);
        sync();
    }
    void clear() {
        keeper_.reset();
        owned_.clear();
        sync();
    }
    void assign(size_t n, const T& value) {
        keeper_.reset();
        owned_.assign(n, value);
        sync();
    }
    template <class It>
    void assign(It first, It last) {
        std::vector<T> items(first, last);  // may come from this very array
        keeper_.reset();
        owned_ = std::move(items);
        sync();
    }
    // Appends or inserts [first, last) before `pos`, a position in this array.
    template <class It>
    void insert(const T* pos, It first, It last) {
        const auto at = static_cast<size_t>(pos - data_);
        own();
        owned_.insert(owned_.begin() + static_cast<std::ptrdiff_t>(at), first, last);
        sync();
    }
    void set(size_t i, const T& value) {
        own();
        owned_[i] = value;
    }

    friend bool operator==(const Array& a, const Array& b) { return equal(a.span(), b.span()); }
    friend bool operator==(const Array& a, const std::vector<T>& b) { return equal(a.span(), b); }

private:
    static bool equal(std::span<const T> a, std::span<const T> b) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i) {
            if (!(a[i] == b[i])) return false;
        }
        return true;
    }
    void own() {
        if (!keeper_) return;
        owned_.assign(data_, data_ + size_);
        keeper_.reset();
        sync();
    }
    void sync() {
        data_ = owned_.data();
        size_ = owned_.size();
    }

    std::vector<T> owned_;
    std::shared_ptr<const void> keeper_;  // set only while borrowed
    const T* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace brindlex
