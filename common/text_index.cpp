#include "common/text_index.h"

#include <bit>

namespace script {

namespace {

std::uint64_t load_word(const char* bytes)
{
    std::uint64_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

std::uint64_t mix(std::uint64_t a, std::uint64_t b)
{
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

}  // namespace

std::uint64_t hash_text(std::string_view text)
{
    constexpr std::uint64_t k_seed = 0x9e3779b97f4a7c15ull;
    constexpr std::uint64_t k_step = 0xbf58476d1ce4e5b9ull;
    const char* bytes = text.data();
    std::size_t left = text.size();
    std::uint64_t h = k_seed ^ left;
    while (left >= 8) {
        h = mix(h ^ load_word(bytes), k_step);
        bytes += 8;
        left -= 8;
    }
    if (left > 0) {
        std::uint64_t tail = 0;
        if (std::endian::native == std::endian::little && text.size() >= 8) {
            // The text's last eight bytes, those already mixed shifted out: the same word
            // as the tail copied alone, without a copy of varying length.
            tail = load_word(bytes + left - 8) >> (8 * (8 - left));
        } else {
            char bytes_left[8] = {};
            std::memcpy(bytes_left, bytes, left);
            tail = load_word(bytes_left);
        }
        h = mix(h ^ tail, k_step);
    }
    return mix(h, k_seed);
}

void TextIndex::insert(std::uint32_t position, std::uint64_t hash)
{
    if (2 * (m_count + 1) > m_slots.size())
        grow();
    const auto tag = static_cast<std::uint32_t>(hash);
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = tag & mask;
    while (m_slots[i].first != 0)
        i = (i + 1) & mask;
    m_slots[i] = {position + 1, tag};
    ++m_count;
}

void TextIndex::reserve(std::size_t count)
{
    // At most half the slots are taken, as insert keeps them.
    std::size_t slot_count = 16;
    while (slot_count < 2 * count)
        slot_count *= 2;
    if (slot_count > m_slots.size())
        rebuild(slot_count);
}

void TextIndex::rebuild(std::size_t slot_count)
{
    std::vector<std::pair<std::uint32_t, std::uint32_t>> slots(slot_count, {0, 0});
    const std::size_t mask = slots.size() - 1;
    for (const auto& slot : m_slots) {
        if (slot.first == 0)
            continue;
        std::size_t i = slot.second & mask;
        while (slots[i].first != 0)
            i = (i + 1) & mask;
        slots[i] = slot;
    }
    m_slots.swap(slots);
}

}  // namespace script
