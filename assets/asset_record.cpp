#include "assets/asset_record.h"

#include <algorithm>

namespace script::assets {

PathTable::PathTable() = default;

std::string_view PathTable::store(std::string_view text)
{
    if (m_free < text.size()) {
        const std::size_t size = std::max(k_chunk, text.size());
        m_chunks.push_back(std::unique_ptr<char[]>(new char[size]));  // left uninitialised
        m_next = m_chunks.back().get();
        m_free = size;
    }
    std::copy(text.begin(), text.end(), m_next);
    const std::string_view stored(m_next, text.size());
    m_next += text.size();
    m_free -= text.size();
    return stored;
}

std::optional<PathId> PathTable::find(std::string_view text) const
{
    return m_index.find(text, hash_text(text), [this](std::uint32_t id) { return m_texts[id]; });
}

std::pair<PathId, bool> PathTable::intern(std::string_view text)
{
    const std::uint64_t hash = hash_text(text);
    if (const auto id = m_index.find(text, hash, [this](std::uint32_t i) { return m_texts[i]; }))
        return {*id, false};
    const auto id = static_cast<PathId>(m_texts.size());
    m_texts.push_back(store(text));
    m_index.insert(id, hash);
    return {id, true};
}

std::span<const PathId> LabelledPaths::extend(std::string_view label, const std::vector<std::string>& paths)
{
    if (m_last >= m_entries.size() || m_entries[m_last].first != label) {
        const auto [number, fresh] = m_labels.intern(label);
        if (fresh)
            m_entries.emplace_back(m_labels.text(number), std::vector<PathId>{});
        m_last = number;
    }
    std::vector<PathId>& list = m_entries[m_last].second;
    if (list.empty())
        list.reserve(paths.size());
    const std::size_t first = list.size();
    for (const std::string& path : paths)
        list.push_back(m_table.intern(path).first);
    return std::span<const PathId>(list.data() + first, paths.size());
}

std::optional<std::vector<std::string>> LabelledPaths::find(std::string_view label) const
{
    const std::optional<PathId> number = m_labels.find(label);
    if (!number)
        return std::nullopt;
    std::vector<std::string> texts;
    for (const PathId id : m_entries[*number].second)
        texts.emplace_back(m_table.text(id));
    return texts;
}

}  // namespace script::assets
