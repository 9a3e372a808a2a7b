#pragma once

// A hash index from texts to positions in a sequence the caller owns (the texts of a
// path table, the entries of a folder listing, the keys of a tree node). The index holds
// only numbers, so it allocates one flat table instead of a node per text, and it never
// copies a text: the caller says where the text of a position is.

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace script {

/// A 64-bit hash of a text, eight bytes at a time.
std::uint64_t hash_text(std::string_view text);

class TextIndex
{
public:
    /// The position holding `text`, if any. `text_of(position)` gives a position's text.
    template <class TextOf>
    std::optional<std::uint32_t> find(std::string_view text, std::uint64_t hash, const TextOf& text_of) const
    {
        if (m_slots.empty())
            return std::nullopt;
        const auto tag = static_cast<std::uint32_t>(hash);
        const std::size_t mask = m_slots.size() - 1;
        for (std::size_t i = tag & mask; m_slots[i].first != 0; i = (i + 1) & mask) {
            if (m_slots[i].second == tag && text_of(m_slots[i].first - 1) == text)
                return m_slots[i].first - 1;
        }
        return std::nullopt;
    }

    /// Asks the processor to fetch the slot a lookup of `hash` starts at, so that a batch
    /// of lookups waits for memory once instead of once per text.
    void prefetch(std::uint64_t hash) const
    {
        if (!m_slots.empty())
            __builtin_prefetch(&m_slots[static_cast<std::uint32_t>(hash) & (m_slots.size() - 1)]);
    }

    /// Makes room for `count` texts in all, so that filling a table of known size never
    /// moves its slots.
    void reserve(std::size_t count);

    /// Files `position` under `hash`; the caller has made sure its text is not held yet.
    void insert(std::uint32_t position, std::uint64_t hash);

    std::size_t size() const { return m_count; }

private:
    void grow() { rebuild(m_slots.empty() ? 16 : m_slots.size() * 2); }
    void rebuild(std::size_t slot_count);

    // position + 1 (0: free) and the low half of the text's hash, which places the slot,
    // skips most compares and lets the table grow without hashing any text again.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> m_slots;
    std::size_t m_count = 0;
};

}  // namespace script
