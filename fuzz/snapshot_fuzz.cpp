// Snapshot reader on arbitrary bytes. Input: two bytes of query settings, then the
// snapshot. A store that decodes (taken as it is, unchecked) is queried, its walks held
// against the model, and it must survive a write and a second read unchanged.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_common.hpp"
#include "core/snapshot/decode_error.hpp"
#include "core/snapshot/snapshot.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace brindlex;
    if (size < 2) return 0;
    const fuzz::QuerySettings q = fuzz::settings_from(data[0], data[1]);
    const auto store = snapshot::decode(std::as_bytes(std::span(data + 2, size - 2)));
    if (!store) {
        // The text the binding raises with.
        fuzz::check(!snapshot::render(store.error()).empty(), "a decode error renders as nothing");
        return 0;
    }
    fuzz::check_linear_size(*store, size);
    fuzz::run_queries(*store, q, /*must_succeed=*/false);
    fuzz::check_round_trip(*store);
    return 0;
}
