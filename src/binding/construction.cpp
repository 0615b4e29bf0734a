#include "binding/construction.hpp"

#include <array>
#include <cstring>
#include <string>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/messages.hpp"
#include "binding/signatures.hpp"
#include "core/construct/construct.hpp"

namespace brindlex::py {

namespace {

bool convert_labels(PyObject* o, std::vector<uint32_t>& out) {
    if (!check_sequence(o)) return false;
    out.reserve(reserve_hint(o));
    return for_each_item(o, [&](PyObject* item) {
        uint32_t label = 0;
        if (!to_label(item, label)) return false;
        out.push_back(label);
        return true;
    });
}

// Payload objects are only held here; their contents are converted after the shape
// checks, so a mismatch of lengths is reported before any payload problem.
bool collect_payloads(PyObject* o, std::vector<Ref>& out) {
    if (!check_sequence(o)) return false;
    out.reserve(reserve_hint(o));
    return for_each_item(o, [&](PyObject* item) {
        out.push_back(item == Py_None ? Ref() : Ref::borrow(item));
        return true;
    });
}

bool convert_video_entry(PyObject* entry, VideoIndexBytes& index) {
    if (!check_sequence(entry)) return false;
    const size_t before = index.bytes.size();
    if (PyBytes_Check(entry)) {
        const auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(entry));
        index.bytes.insert(index.bytes.end(), p, p + PyBytes_GET_SIZE(entry));
    } else if (!for_each_item(entry, [&](PyObject* item) {
                   uint8_t b = 0;
                   if (!to_byte(item, b)) return false;
                   index.bytes.push_back(b);
                   return true;
               })) {
        return false;
    }
    index.lengths.push_back(index.bytes.size() - before);
    return true;
}

bool convert_video_index(PyObject* o, VideoIndexBytes& index) {
    if (!check_sequence(o)) return false;
    const size_t hint = reserve_hint(o);
    index.lengths.reserve(hint);
    index.bytes.reserve(hint * 16);
    return for_each_item(o, [&](PyObject* entry) { return convert_video_entry(entry, index); });
}

// A payload tuple (count, video_ids, video_counts), appended to `table` as a present slot.
bool convert_payload(PyObject* p, PayloadTable& table, std::vector<uint32_t>& ids, std::vector<uint32_t>& counts) {
    if (!PyTuple_Check(p)) {
        raise_wrong_type(p, "PyTuple");
        return false;
    }
    if (PyTuple_GET_SIZE(p) != 3) {
        PyErr_SetString(PyExc_ValueError, msg::kPayloadArity);
        return false;
    }
    uint32_t count = 0;
    if (!to_u32(PyTuple_GET_ITEM(p, 0), count)) return false;
    if (!to_u32_vector(PyTuple_GET_ITEM(p, 1), ids)) return false;
    if (!to_u32_vector(PyTuple_GET_ITEM(p, 2), counts)) return false;
    if (ids.size() != counts.size()) {
        PyErr_SetString(PyExc_ValueError, msg::kPayloadLengths);
        return false;
    }
    table.push(count, ids, counts);
    return true;
}

}  // namespace

std::optional<TrieStore> store_from_internal_data(PyObject* const* args) {
    StoreParts parts;
    std::vector<Ref> payload_objects;
    VideoIndexBytes video_index;
    uint64_t video_top_n = 0;

    // Each argument completely, in parameter order; the first failure ends construction.
    auto failed = [](size_t arg) {
        prefix_argument_error(sig::kFromInternal.name(arg));
        return std::nullopt;
    };
    if (!to_u32_vector(args[0], parts.node_shifts)) return failed(0);
    if (!convert_labels(args[1], parts.child_labels)) return failed(1);
    if (!collect_payloads(args[2], payload_objects)) return failed(2);
    if (!to_u32_vector(args[3], parts.child_transitions)) return failed(3);
    if (!convert_video_index(args[4], video_index)) return failed(4);
    if (!to_u64(args[5], video_top_n)) return failed(5);

    if (auto problem = check_shape(parts.node_shifts.size(), parts.child_labels.size(), payload_objects.size(),
                                   parts.child_transitions)) {
        raise(PyExc_ValueError, *problem);
        return std::nullopt;
    }

    std::vector<uint32_t> ids;
    std::vector<uint32_t> counts;
    parts.payloads.reserve(payload_objects.size(), payload_objects.size());
    for (const Ref& p : payload_objects) {
        if (!p) {
            parts.payloads.push_absent();
        } else if (!convert_payload(p.get(), parts.payloads, ids, counts)) {
            return std::nullopt;
        }
    }
    payload_objects.clear();

    auto videos = choose_video_ids(video_index);
    if (!videos) {
        raise(PyExc_ValueError, videos.error());
        return std::nullopt;
    }
    parts.videos = std::move(*videos);

    auto store = build_store(std::move(parts), video_top_n);
    if (!store) {
        raise_internal_failure(store.error().message);
        return std::nullopt;
    }
    return std::move(*store);
}

}  // namespace brindlex::py
