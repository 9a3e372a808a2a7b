#include "assets/analysed_index.h"

#include <algorithm>


namespace script::assets {

SubstringSet::SubstringSet() : m_buckets(std::size_t{1} << k_first_bucket_bits) {}

std::uint32_t SubstringSet::bucket_of(std::string_view gram) const
{
    // FNV-1a folded to the bucket count.
    std::uint64_t h = 1469598103934665603ull;
    for (char c : gram) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return static_cast<std::uint32_t>((h ^ (h >> 29)) & ((std::uint64_t{1} << m_bucket_bits) - 1));
}

void SubstringSet::add(const std::string& text)
{
    if (m_known.contains(text))
        return;
    const auto id = static_cast<std::uint32_t>(m_strings.size());
    m_strings.push_back(text);
    m_known.insert(m_strings.back());
    index_string(id);
    grow_if_crowded();
}

void SubstringSet::index_string(std::uint32_t id)
{
    const std::string_view stored = m_strings[id];
    for (std::size_t i = 0; i + k_gram <= stored.size(); ++i) {
        auto& bucket = m_buckets[bucket_of(stored.substr(i, k_gram))];
        if (bucket.empty() || bucket.back() != id) {
            bucket.push_back(id);
            ++m_postings;
        }
    }
}

void SubstringSet::grow_if_crowded()
{
    if (m_bucket_bits >= k_last_bucket_bits || m_postings < 4 * m_buckets.size())
        return;
    m_bucket_bits = std::min(m_bucket_bits + 2, k_last_bucket_bits);
    m_buckets.assign(std::size_t{1} << m_bucket_bits, {});
    m_postings = 0;
    for (std::uint32_t id = 0; id < m_strings.size(); ++id)
        index_string(id);
}

bool SubstringSet::contains_substring(std::string_view needle) const
{
    if (m_strings.empty())
        return false;
    if (needle.size() < k_gram) {
        for (const std::string& s : m_strings)
            if (s.find(needle) != std::string::npos)
                return true;
        return false;
    }
    if (m_known.contains(needle))
        return true;
    // The rarest q-gram of the needle bounds the candidates.
    const std::vector<std::uint32_t>* best = nullptr;
    for (std::size_t i = 0; i + k_gram <= needle.size(); ++i) {
        const auto& bucket = m_buckets[bucket_of(needle.substr(i, k_gram))];
        if (bucket.empty())
            return false;
        if (!best || bucket.size() < best->size())
            best = &bucket;
    }
    for (std::uint32_t id : *best) {
        const std::string& s = m_strings[id];
        if (s.size() >= needle.size() && s.find(needle) != std::string::npos)
            return true;
    }
    return false;
}

int AnalysedIndex::status(std::string_view path) const
{
    if (m_missing.contains_substring(path))
        return 2;
    if (m_found.contains_substring(path))
        return 1;
    return 0;
}

}  // namespace script::assets
