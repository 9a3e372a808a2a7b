#pragma once

// The answer to "is this reference already recorded?" over every path the asset record
// holds, without scanning the record. A reference counts as recorded when it occurs as a
// substring of any recorded path (so /tex/wall.1001 and wall are recorded once
// /tex/wall.1001.tx is), and missing paths are consulted before found ones.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "assets/asset_record.h"

namespace script::assets {

/// The bytes a text holds, as a set.
struct ByteSet
{
    std::uint64_t words[4] = {0, 0, 0, 0};

    static ByteSet of(std::string_view text);
    void add(const ByteSet& other)
    {
        for (int i = 0; i < 4; ++i)
            words[i] |= other.words[i];
    }
    bool within(const ByteSet& other) const
    {
        return ((words[0] & ~other.words[0]) | (words[1] & ~other.words[1]) | (words[2] & ~other.words[2])
                | (words[3] & ~other.words[3])) == 0;
    }
};

/// A set of paths of a path table with a sparse q-gram index. Each string indexes only the minimizers
/// of its q-grams (in every run of k_window consecutive q-grams, the one with the smallest
/// hash). A needle of at least k_window + k_gram - 1 characters holds whole windows, and
/// every string containing the needle holds those windows too and so indexed the same
/// minimizers: the needle's rarest minimizer bounds the candidates. A candidate whose gram
/// signature lacks one of the needle's grams is passed over; the rest are confirmed with a
/// plain substring search. Shorter needles scan the distinct strings.
class SubstringSet
{
public:
    explicit SubstringSet(const PathTable& table);

    /// One bit for each class of the text's gram hashes (all grams, not only minimizers). A
    /// string holding the needle holds every gram of it, so the needle's signature is a
    /// subset of the string's. Paths of one folder differ from each other in a few grams,
    /// which is enough to reject nearly every candidate without reading its text.
    struct Signature
    {
        std::uint64_t words[2] = {0, 0};

        bool covers(const Signature& other) const
        {
            return ((words[0] & other.words[0]) == other.words[0]) & ((words[1] & other.words[1]) == other.words[1]);
        }
    };

    /// Adds a path of the table (a no-op when it is already held). Paths are indexed only
    /// when a question needs the index.
    void add(PathId id);
    bool holds(PathId id) const { return id < m_member.size() && m_member[id]; }
    /// True when `needle` occurs in some held string (the empty needle occurs in any).
    bool contains_substring(std::string_view needle) const;
    /// The answer when it needs no index: the needle is held itself (its number in the
    /// table is `same`), or it has a byte no held string has. Nothing otherwise.
    std::optional<bool> quick_answer(std::string_view needle, const ByteSet& bytes,
                                     std::optional<PathId> same) const;
    /// The full answer, given the needle's minimizer hashes and signature and its number
    /// in the table (if it is there).
    bool contains_substring(std::string_view needle, const std::vector<std::uint64_t>& minimizers,
                            const Signature& grams, std::optional<PathId> same) const;

    /// The hashes of every minimizer of the text, in order (repeats possible), and the
    /// text's signature; nothing for texts shorter than k_shortest_indexed.
    static void minimizer_hashes(std::string_view text, std::vector<std::uint64_t>& out, Signature& grams);
    bool empty() const { return m_ids.empty(); }
    /// True when no held string can contain a text of these bytes: the set is empty, or
    /// one of the bytes is in none of its strings.
    bool lacks_a_byte_of(const ByteSet& bytes) const
    {
        return m_ids.empty() || !bytes.within(held_bytes());
    }
    const PathTable& table() const { return m_table; }
    std::size_t size() const { return m_ids.size(); }

    static constexpr std::size_t k_gram = 6;
    static constexpr std::size_t k_window = 8;
    static constexpr std::size_t k_shortest_indexed = k_gram + k_window - 1;

private:
    // A fixed table: crowded buckets cost little, since candidates are filtered by their
    // signatures before any text is read.
    static constexpr unsigned k_bucket_bits = 16;

    void index_string(std::uint32_t id) const;
    // Every byte of every held path, as a set.
    const ByteSet& held_bytes() const;
    // Indexes the held paths added since the last question that needed the index.
    void catch_up() const;

    const PathTable& m_table;
    std::vector<PathId> m_ids;         // held paths, in order added
    std::vector<std::uint8_t> m_member;  // by path number
    // Every byte of every held path: marked byte by byte as paths are added (a set's words
    // updated byte by byte would wait on each other), gathered into a set when asked.
    std::array<std::uint8_t, 256> m_seen{};
    // The path marked last: paths come folder by folder, and the bytes one shares with the
    // path before it are marked already.
    std::string_view m_last_marked;
    mutable ByteSet m_bytes;
    mutable bool m_bytes_stale = false;
    // The index proper, filled lazily: the first m_indexed of m_ids are in it.
    mutable std::size_t m_indexed = 0;
    // Held paths per minimizer bucket, in blocks from one pool: a bucket is a chain of
    // blocks, newest first, so filling it never reallocates.
    struct Block
    {
        static constexpr std::uint32_t k_capacity = 14;
        PathId ids[k_capacity];
        std::uint32_t count;
        std::uint32_t next;
    };
    static constexpr std::uint32_t k_no_block = 0xffffffffu;
    mutable std::vector<std::uint32_t> m_heads;   // newest block per bucket
    mutable std::vector<std::uint32_t> m_counts;  // paths per bucket
    mutable std::vector<Block> m_blocks;
    mutable std::vector<Signature> m_signatures;  // by path number
    mutable std::vector<std::uint64_t> m_scratch;
};

/// The index the collector keeps beside its asset record.
class AnalysedIndex
{
public:
    explicit AnalysedIndex(const PathTable& table) : m_found(table), m_missing(table) {}

    void add_found(PathId id) { m_found.add(id); }
    void add_missing(PathId id) { m_missing.add(id); }
    bool is_missing(PathId id) const { return m_missing.holds(id); }

    /// 0 not recorded, 1 among found paths, 2 among missing paths ("missing" first).
    int status(std::string_view path) const;
    /// The same, given the bytes of `path`.
    int status(std::string_view path, const ByteSet& bytes) const;
    /// True when a text of these bytes is surely not recorded (status 0): each set is empty
    /// or lacks one of the bytes. False says nothing.
    bool surely_unrecorded(const ByteSet& bytes) const
    {
        return m_found.lacks_a_byte_of(bytes) && m_missing.lacks_a_byte_of(bytes);
    }

private:
    mutable std::vector<std::uint64_t> m_minimizers;
    mutable SubstringSet::Signature m_grams;
    SubstringSet m_found;
    SubstringSet m_missing;
};

}  // namespace script::assets
