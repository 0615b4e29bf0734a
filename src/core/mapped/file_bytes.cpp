#include "core/mapped/file_bytes.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

namespace brindlex::mapped {

namespace {

// The size of the regular file `fd`, or an error that says what it is instead.
Result<size_t> regular_size(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return internal_error(std::string("cannot examine the file: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return internal_error("not a regular file");
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > static_cast<uint64_t>(std::numeric_limits<ptrdiff_t>::max())) {
        return internal_error("the file is larger than this machine's address space (" + std::to_string(st.st_size) +
                              " bytes)");
    }
    return static_cast<size_t>(st.st_size);
}

}  // namespace

FileBytes::~FileBytes() {
    if (mapped_) munmap(const_cast<std::byte*>(data_), size_);
}

Result<std::shared_ptr<const FileBytes>> FileBytes::map(int fd) {
    auto size = regular_size(fd);
    if (!size) return std::unexpected(std::move(size.error()));
    if (*size == 0) return internal_error("the file is empty");
    void* at = mmap(nullptr, *size, PROT_READ, MAP_SHARED, fd, 0);
    if (at == MAP_FAILED) return internal_error(std::string("cannot map the file: ") + std::strerror(errno));
    auto held = std::make_shared<FileBytes>(Key{});
    held->data_ = static_cast<const std::byte*>(at);
    held->size_ = *size;
    held->mapped_ = true;
    return held;
}

Result<std::shared_ptr<const FileBytes>> FileBytes::read(int fd) {
    auto size = regular_size(fd);
    if (!size) return std::unexpected(std::move(size.error()));
    auto held = std::make_shared<FileBytes>(Key{});
    // Not zeroed first: every byte kept is read into.
    held->owned_ = std::make_unique_for_overwrite<uint64_t[]>((*size + 7) / 8);
    auto* out = reinterpret_cast<std::byte*>(held->owned_.get());
    size_t done = 0;
    while (done < *size) {
        const ssize_t got = pread(fd, out + done, *size - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return internal_error(std::string("cannot read the file: ") + std::strerror(errno));
        if (got == 0) break;  // cut short while being read: the header's length says so
        done += static_cast<size_t>(got);
    }
    held->data_ = out;
    held->size_ = done;
    return held;
}

std::shared_ptr<const FileBytes> FileBytes::copy(std::span<const std::byte> bytes) {
    auto held = std::make_shared<FileBytes>(Key{});
    held->owned_ = std::make_unique_for_overwrite<uint64_t[]>((bytes.size() + 7) / 8);
    auto* out = reinterpret_cast<std::byte*>(held->owned_.get());
    if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    held->data_ = out;
    held->size_ = bytes.size();
    return held;
}

}  // namespace brindlex::mapped
