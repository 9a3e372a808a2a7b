#include "assets/asset_record.h"

#include <algorithm>

namespace script::assets {

PathTable::PathTable() = default;

std::optional<PathId> PathTable::find(std::string_view text, std::uint64_t hash) const
{
    return m_index.find(text, hash, [this](std::uint32_t id) { return m_texts[id]; });
}

std::pair<PathId, bool> PathTable::intern(std::string_view text, std::uint64_t hash)
{
    if (const auto id = m_index.find(text, hash, [this](std::uint32_t i) { return m_texts[i]; }))
        return {*id, false};
    const auto id = static_cast<PathId>(m_texts.size());
    m_texts.push_back(m_store.copy(text));
    m_index.insert(id, hash);
    return {id, true};
}

std::vector<PathId>& LabelledPaths::list_of(std::string_view label)
{
    if (m_last >= m_entries.size() || m_entries[m_last].first != label) {
        const std::uint64_t label_hash = hash_text(label);
        m_labels.prefetch(label_hash);
        const auto [number, fresh] = m_labels.intern(label, label_hash);
        if (fresh)
            m_entries.emplace_back(m_labels.text(number), std::vector<PathId>{});
        m_last = number;
    }
    return m_entries[m_last].second;
}

template <typename Paths>
std::span<const PathId> LabelledPaths::extend_with(std::string_view label, const Paths& paths)
{
    // The paths' slots are fetched together before any is looked up: at production scale
    // each lookup would otherwise wait for memory on its own.
    m_hashes.clear();
    for (std::size_t i = 0; i < paths.size(); ++i) {
        m_hashes.push_back(hash_text(paths[i]));
        m_table.prefetch(m_hashes.back());
    }
    std::vector<PathId>& list = list_of(label);
    if (list.empty())
        list.reserve(paths.size());
    const std::size_t first = list.size();
    for (std::size_t i = 0; i < paths.size(); ++i)
        list.push_back(m_table.intern(paths[i], m_hashes[i]).first);
    return std::span<const PathId>(list.data() + first, paths.size());
}

std::span<const PathId> LabelledPaths::extend(std::string_view label,
                                              const std::vector<std::string>& paths)
{
    return extend_with(label, paths);
}

std::span<const PathId> LabelledPaths::extend(std::string_view label, const TextList& paths)
{
    return extend_with(label, paths);
}

void LabelledPaths::extend(std::string_view label, std::span<const PathId> ids)
{
    std::vector<PathId>& list = list_of(label);
    list.insert(list.end(), ids.begin(), ids.end());
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
