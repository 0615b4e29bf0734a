#include "core/builder/spellings.hpp"

#include <algorithm>

#include "core/payload/payload.hpp"

namespace brindlex::build {

std::vector<std::pair<uint32_t, std::string>> shown_spellings(std::vector<Spelling> spelled, const TermTable& terms) {
    // UTF-8 byte order is code point order.
    std::sort(spelled.begin(), spelled.end(), [](const Spelling& a, const Spelling& b) {
        return a.term != b.term ? a.term < b.term : a.text < b.text;
    });
    std::vector<std::pair<uint32_t, std::string>> shown;
    for (size_t i = 0; i < spelled.size();) {
        const uint32_t term = spelled[i].term;
        uint64_t others = 0;
        const Spelling* best = nullptr;
        uint64_t best_count = 0;
        while (i < spelled.size() && spelled[i].term == term) {
            // One spelling's entries, summed; the first in text order wins a tie.
            const size_t first = i;
            uint64_t sum = 0;
            for (; i < spelled.size() && spelled[i].term == term && spelled[i].text == spelled[first].text; ++i) {
                sum += spelled[i].count;
            }
            others += sum;
            if (!best || sum > best_count) {
                best = &spelled[first];
                best_count = sum;
            }
        }
        // The term's own spelling counts what the other spellings leave of the exact sum
        // (a saturated count would leave too little).
        const uint64_t total = terms.exact_count(term);
        if (total > others) {
            const uint64_t own = total - others;
            if (own > best_count || (own == best_count && std::string_view(terms.term(term)) < best->text)) continue;
        }
        shown.emplace_back(term, best->text);
    }
    return shown;
}

}  // namespace brindlex::build
