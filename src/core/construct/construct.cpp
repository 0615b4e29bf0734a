#include "core/construct/construct.hpp"

#include <cstring>
#include <new>

#include "core/beside.hpp"
#include "core/construct/aggregate.hpp"
#include "core/facts/facts.hpp"
#include "core/facts/reversed.hpp"

namespace brindlex {

std::optional<std::string> check_shape(size_t node_shifts_len, size_t child_labels_len, size_t payloads_len,
                                       std::span<const uint32_t> child_transitions) {
    const size_t n = child_labels_len;
    if (node_shifts_len != n) {
        return "node_shifts len " + std::to_string(node_shifts_len) + " != child_labels len " + std::to_string(n);
    }
    if (payloads_len != n) {
        return "payloads len " + std::to_string(payloads_len) + " != child_labels len " + std::to_string(n);
    }
    for (size_t i = 0; i < child_transitions.size(); ++i) {
        if (child_transitions[i] >= n) {
            return "child_transitions[" + std::to_string(i) + "] = " + std::to_string(child_transitions[i]) +
                   " out of range [0.." + std::to_string(n) + ")";
        }
    }
    return std::nullopt;
}

std::expected<VideoIdList, std::string> choose_video_ids(const VideoIndexBytes& index) {
    VideoIdList out;
    if (index.lengths.empty()) return out;
    bool all16 = true;
    bool all4 = true;
    for (size_t len : index.lengths) {
        all16 = all16 && len == 16;
        all4 = all4 && len == 4;
    }
    const uint8_t* p = index.bytes.data();
    if (all16) {
        out.uuids.resize(index.lengths.size());
        for (auto& id : out.uuids) {
            std::memcpy(id.data(), p, 16);
            p += 16;
        }
    } else if (all4) {
        out.mode = IdMode::Int32;
        out.int_ids.resize(index.lengths.size());
        for (auto& id : out.int_ids) {
            id = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
            p += 4;
        }
    } else {
        return std::unexpected("video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)");
    }
    return out;
}

Result<TrieStore> build_store(StoreParts parts, uint64_t video_top_n, bool walk_order_tree) {
    TrieStore store;
    store.node_shifts = std::move(parts.node_shifts);
    store.child_labels = std::move(parts.child_labels);
    store.child_transitions = std::move(parts.child_transitions);
    std::vector<uint8_t> has_payload(parts.payloads.size());
    for (size_t v = 0; v < parts.payloads.size(); ++v) has_payload[v] = parts.payloads.present(v) ? 1 : 0;
    store.has_payload = std::move(has_payload);
    store.payloads = std::move(parts.payloads);
    store.id_mode = parts.videos.mode;
    store.video_uuids = std::move(parts.videos.uuids);
    store.video_int_ids = std::move(parts.videos.int_ids);
    if (!walk_order_tree || store.node_count() < kWorthAThread) {
        if (auto done = aggregate_payloads(store, video_top_n); !done) return std::unexpected(std::move(done.error()));
        finish_store(store);
        return store;
    }
    // The reversed-term index reads the shape and has_payload, which are final; the
    // aggregation reads the same and writes only the payloads. What fails beside (no
    // memory) leaves the index to be made on first use, as it is for every other store.
    facts::Reversed reversed;
    bool made = false;
    auto make_reversed = [&]() noexcept {
        try {
            std::vector<facts::Entry> entries;
            reversed.usable = facts::build_reversed(store, entries, reversed.root_count);
            reversed.entries = std::move(entries);
            made = true;
        } catch (const std::bad_alloc&) {
            reversed = {};
        }
    };
    Result<void> done;
    {
        const Beside beside(true, make_reversed);  // not started: made on first use instead
        done = aggregate_payloads(store, video_top_n);
    }
    if (!done) return std::unexpected(std::move(done.error()));
    if (made) {
        finish_store(store, std::move(reversed));
    } else {
        finish_store(store);
    }
    return store;
}

}  // namespace brindlex
