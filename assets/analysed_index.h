#pragma once

// The answer to "is this reference already recorded?" over every path the asset record
// holds, without scanning the record. A reference counts as recorded when it occurs as a
// substring of any recorded path (so /tex/wall.1001 and wall are recorded once
// /tex/wall.1001.tx is), and missing paths are consulted before found ones.

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace script::assets {

/// Distinct strings with a sparse q-gram index. Each string indexes only the minimizers
/// of its q-grams (in every run of k_window consecutive q-grams, the one with the smallest
/// hash). A needle of at least k_window + k_gram - 1 characters holds whole windows, and
/// every string containing the needle holds those windows too and so indexed the same
/// minimizers: the needle's rarest minimizer bounds the candidates, each confirmed with a
/// plain substring search. Shorter needles scan the distinct strings.
class SubstringSet
{
public:
    SubstringSet();

    /// Adds a string (a no-op when it is already held).
    void add(const std::string& text);
    /// True when `needle` occurs in some held string (the empty needle occurs in any).
    bool contains_substring(std::string_view needle) const;
    bool empty() const { return m_strings.empty(); }
    std::size_t size() const { return m_strings.size(); }

    static constexpr std::size_t k_gram = 6;
    static constexpr std::size_t k_window = 8;
    static constexpr std::size_t k_shortest_indexed = k_gram + k_window - 1;

private:
    static constexpr unsigned k_first_bucket_bits = 10;
    static constexpr unsigned k_last_bucket_bits = 20;
    static constexpr std::uint32_t k_none = 0xffffffffu;

    struct Posting
    {
        std::uint32_t id;
        std::uint32_t next;
    };

    /// The bucket of every minimizer of the text, in order (repeats possible).
    void minimizer_buckets(std::string_view text, std::vector<std::uint32_t>& out) const;
    void index_string(std::uint32_t id);
    // Quadruples the buckets when they hold several postings each on average, so the
    // candidate lists stay short as the record grows; re-indexing is amortised.
    void grow_if_crowded();

    unsigned m_bucket_bits = k_first_bucket_bits;
    std::deque<std::string> m_strings;             // stable: elements never move
    std::unordered_set<std::string_view> m_known;  // views into m_strings
    std::vector<std::uint32_t> m_heads;            // first posting per bucket
    std::vector<std::uint32_t> m_counts;           // postings per bucket
    std::vector<Posting> m_postings;
    mutable std::vector<std::uint32_t> m_scratch;
    mutable std::vector<std::uint64_t> m_hashes;
};

/// The index the collector keeps beside its asset record.
class AnalysedIndex
{
public:
    void add_found(const std::string& path) { m_found.add(path); }
    void add_missing(const std::string& path) { m_missing.add(path); }

    /// 0 not recorded, 1 among found paths, 2 among missing paths ("missing" first).
    int status(std::string_view path) const;

private:
    SubstringSet m_found;
    SubstringSet m_missing;
};

}  // namespace script::assets
