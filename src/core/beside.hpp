// Work run on a second thread beside the caller's own, joined on every way out of the
// caller's scope (an exception included), so that what it reads and writes outlives it.
// When no thread can be started the work is not run: the caller then does it itself.
#pragma once

#include <cstddef>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

namespace brindlex {

class Beside {
public:
    // Starts `work` (which must not throw) when `worth_a_thread`.
    template <class Work>
    Beside(bool worth_a_thread, Work&& work) {
        if (!worth_a_thread) return;
        try {
            thread_.emplace(std::forward<Work>(work));
        } catch (const std::system_error&) {
        }
    }
    Beside(const Beside&) = delete;
    Beside& operator=(const Beside&) = delete;
    ~Beside() { join(); }

    // Whether the work runs (or ran) on a second thread.
    bool started() const { return started_ || thread_.has_value(); }

    void join() {
        if (!thread_) return;
        thread_->join();
        thread_.reset();
        started_ = true;
    }

private:
    std::optional<std::thread> thread_;
    bool started_ = false;
};

// Below this many items (nodes, rows) a second thread costs more than it saves.
inline constexpr size_t kWorthAThread = size_t{1} << 16;

}  // namespace brindlex
