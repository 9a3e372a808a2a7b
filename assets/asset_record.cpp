#include "assets/asset_record.h"

#include <algorithm>

namespace script::assets {

PathTable::PathTable() : m_slots(1024, {0, 0}) {}

std::uint64_t PathTable::hash_of(std::string_view text)
{
    std::uint64_t h = 1469598103934665603ull;
    for (const char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    h ^= h >> 29;
    h *= 0xbf58476d1ce4e5b9ull;
    h ^= h >> 32;
    return h;
}

std::string_view PathTable::store(std::string_view text)
{
    if (m_free < text.size()) {
        const std::size_t size = std::max(k_chunk, text.size());
        m_chunks.push_back(std::make_unique<char[]>(size));
        m_next = m_chunks.back().get();
        m_free = size;
    }
    std::copy(text.begin(), text.end(), m_next);
    const std::string_view stored(m_next, text.size());
    m_next += text.size();
    m_free -= text.size();
    return stored;
}

void PathTable::grow()
{
    std::vector<std::pair<std::uint32_t, std::uint32_t>> slots(m_slots.size() * 2, {0, 0});
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

std::optional<PathId> PathTable::find(std::string_view text) const
{
    const auto tag = static_cast<std::uint32_t>(hash_of(text));
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = tag & mask; m_slots[i].first != 0; i = (i + 1) & mask) {
        if (m_slots[i].second == tag && m_texts[m_slots[i].first - 1] == text)
            return m_slots[i].first - 1;
    }
    return std::nullopt;
}

std::pair<PathId, bool> PathTable::intern(std::string_view text)
{
    const auto tag = static_cast<std::uint32_t>(hash_of(text));
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = tag & mask;
    for (; m_slots[i].first != 0; i = (i + 1) & mask) {
        if (m_slots[i].second == tag && m_texts[m_slots[i].first - 1] == text)
            return {m_slots[i].first - 1, false};
    }
    const auto id = static_cast<PathId>(m_texts.size());
    m_texts.push_back(store(text));
    m_slots[i] = {id + 1, tag};
    if (2 * m_texts.size() > m_slots.size() && m_slots.size() < (std::size_t{1} << 31))
        grow();
    return {id, true};
}

std::span<const PathId> LabelledPaths::extend(const std::string& label, const std::vector<std::string>& paths)
{
    std::vector<PathId>* list = nullptr;
    if (const auto it = m_index.find(label); it != m_index.end()) {
        list = &m_entries[it->second].second;
    } else {
        m_entries.emplace_back(label, std::vector<PathId>{});
        m_index.emplace(m_entries.back().first, m_entries.size() - 1);
        list = &m_entries.back().second;
    }
    const std::size_t first = list->size();
    for (const std::string& path : paths)
        list->push_back(m_table.intern(path).first);
    return std::span<const PathId>(list->data() + first, paths.size());
}

std::optional<std::vector<std::string>> LabelledPaths::find(const std::string& label) const
{
    const auto it = m_index.find(label);
    if (it == m_index.end())
        return std::nullopt;
    std::vector<std::string> texts;
    for (const PathId id : m_entries[it->second].second)
        texts.emplace_back(m_table.text(id));
    return texts;
}

}  // namespace script::assets
