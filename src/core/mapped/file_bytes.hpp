// The bytes of an index file held for reading in place: mapped read-only from a regular
// file (unmapped when the last holder lets go), or read into a buffer of our own when
// mapping is not wanted or not possible. Either keeps the bytes at an address aligned
// for 8-byte values, as core/mapped/reader.hpp requires.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "core/failure.hpp"

namespace brindlex::mapped {

class FileBytes {
public:
    // Maps the regular file open as `fd` whole. Fails, saying why, for a file that is
    // empty, not regular or larger than the address space, or when mapping fails.
    static Result<std::shared_ptr<const FileBytes>> map(int fd);
    // Reads the regular file open as `fd` whole into memory of its own.
    static Result<std::shared_ptr<const FileBytes>> read(int fd);
    // A copy of `bytes` in memory of its own.
    static std::shared_ptr<const FileBytes> copy(std::span<const std::byte> bytes);

private:
    struct Key {
        explicit Key() = default;
    };

public:
    // Made by the three above only (the key is theirs).
    explicit FileBytes(Key) {}
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    ~FileBytes();

    std::span<const std::byte> bytes() const { return {data_, size_}; }
    bool is_mapped() const { return mapped_; }

private:
    const std::byte* data_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;
    std::unique_ptr<uint64_t[]> owned_;  // the buffer when read, in 8-byte units for alignment
};

}  // namespace brindlex::mapped
