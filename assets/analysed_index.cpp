#include "assets/analysed_index.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace script::assets {

namespace {

// The k_gram bytes at `at` as one number, multiplied so that the high bits, which order
// minimizers and form signatures, depend on every byte, and folded so that the low bits,
// which pick buckets, do too. Reads eight bytes where the text has them.
std::uint64_t gram_hash(const char* at, const char* end)
{
    constexpr std::uint64_t k_low_bytes = (std::uint64_t{1} << (8 * SubstringSet::k_gram)) - 1;
    std::uint64_t v = 0;
    if (end - at >= 8) {
        std::memcpy(&v, at, 8);
    } else {
        char bytes[8] = {};
        std::memcpy(bytes, at, SubstringSet::k_gram);
        std::memcpy(&v, bytes, 8);
    }
    if constexpr (std::endian::native == std::endian::little)
        v &= k_low_bytes;
    else
        v >>= 64 - 8 * SubstringSet::k_gram;
    v *= 0x9e3779b97f4a7c15ull;
    return v ^ (v >> 29);
}

}  // namespace

SubstringSet::SubstringSet(const PathTable& table)
    : m_table(table), m_heads(std::size_t{1} << k_bucket_bits, k_no_block),
      m_counts(std::size_t{1} << k_bucket_bits, 0)
{
}

void SubstringSet::minimizer_hashes(std::string_view text, std::vector<std::uint64_t>& out, Signature& grams)
{
    out.clear();
    grams = Signature{};
    if (text.size() < k_shortest_indexed)
        return;
    const std::size_t count = text.size() - k_gram + 1;
    // A ring of the last k_window gram hashes; the minimum is searched again only when
    // it leaves the window.
    std::uint64_t ring[k_window];
    std::size_t best = 0;
    std::size_t last = count;  // position of the previous window's minimizer
    std::uint64_t low_word = 0;
    std::uint64_t high_word = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t hash = gram_hash(text.data() + i, text.data() + text.size());
        ring[i % k_window] = hash;
        const std::uint64_t bit = std::uint64_t{1} << ((hash >> 57) & 63);
        const std::uint64_t high = std::uint64_t{0} - (hash >> 63);  // all ones for the upper word
        low_word |= bit & ~high;
        high_word |= bit & high;
        if (i + 1 < k_window)
            continue;
        const std::size_t start = i + 1 - k_window;
        if (i + 1 == k_window || best < start) {
            best = start;
            for (std::size_t j = start + 1; j <= i; ++j)
                if (ring[j % k_window] < ring[best % k_window])
                    best = j;
        } else if (ring[i % k_window] < ring[best % k_window]) {
            best = i;
        }
        if (best != last)
            out.push_back(ring[best % k_window]);
        last = best;
    }
    grams.words[0] = low_word;
    grams.words[1] = high_word;
}

void SubstringSet::add(PathId id)
{
    if (holds(id))
        return;
    if (m_member.size() <= id)
        m_member.resize(std::max<std::size_t>(id + 1, m_member.size() * 2), 0);
    m_member[id] = 1;
    m_ids.push_back(id);
    const std::string_view text = m_table.text(id);
    const std::size_t limit = std::min(text.size(), m_last_marked.size());
    std::size_t shared = 0;
    while (shared + 8 <= limit &&
           std::memcmp(text.data() + shared, m_last_marked.data() + shared, 8) == 0)
        shared += 8;
    for (const char c : text.substr(shared))
        m_seen[static_cast<unsigned char>(c)] = 1;
    m_last_marked = text;
    m_bytes_stale = true;
}

const ByteSet& SubstringSet::held_bytes() const
{
    if (!m_bytes_stale)
        return m_bytes;
    m_bytes_stale = false;
    for (std::size_t word = 0; word < 4; ++word) {
        std::uint64_t bits = 0;
        for (std::size_t eight = 0; eight < 8; ++eight) {
            const std::uint8_t* marks = m_seen.data() + word * 64 + eight * 8;
            std::uint64_t gathered = 0;
            if constexpr (std::endian::native == std::endian::little) {
                // Eight marks of 0 or 1 read as one number; the product carries the low bit
                // of each into the top byte, the first mark lowest.
                std::uint64_t packed = 0;
                std::memcpy(&packed, marks, sizeof packed);
                gathered = (packed * 0x0102040810204080ull) >> 56;
            } else {
                for (std::size_t i = 0; i < 8; ++i)
                    gathered |= std::uint64_t{marks[i]} << i;
            }
            bits |= gathered << (eight * 8);
        }
        m_bytes.words[word] = bits;
    }
    return m_bytes;
}

void SubstringSet::catch_up() const
{
    for (; m_indexed < m_ids.size(); ++m_indexed)
        index_string(m_ids[m_indexed]);
}

void SubstringSet::index_string(std::uint32_t id) const
{
    // Signatures are kept only for the paths the index holds.
    if (m_signatures.size() <= id)
        m_signatures.resize(m_member.size());
    minimizer_hashes(m_table.text(id), m_scratch, m_signatures[id]);
    const std::uint64_t mask = (std::uint64_t{1} << k_bucket_bits) - 1;
    for (const std::uint64_t hash : m_scratch) {
        const std::size_t bucket = hash & mask;
        std::uint32_t head = m_heads[bucket];
        if (head != k_no_block && m_blocks[head].ids[m_blocks[head].count - 1] == id)
            continue;  // this string already sits in the bucket
        if (head == k_no_block || m_blocks[head].count == Block::k_capacity) {
            m_blocks.push_back(Block{{}, 0, head});
            head = static_cast<std::uint32_t>(m_blocks.size() - 1);
            m_heads[bucket] = head;
        }
        Block& block = m_blocks[head];
        block.ids[block.count++] = id;
        ++m_counts[bucket];
    }
}

ByteSet ByteSet::of(std::string_view text)
{
    ByteSet set;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        set.words[byte >> 6] |= std::uint64_t{1} << (byte & 63);
    }
    return set;
}

bool SubstringSet::contains_substring(std::string_view needle) const
{
    const std::optional<PathId> same = m_table.find(needle);
    if (const std::optional<bool> answer = quick_answer(needle, ByteSet::of(needle), same))
        return *answer;
    std::vector<std::uint64_t> minimizers;
    Signature grams;
    minimizer_hashes(needle, minimizers, grams);
    return contains_substring(needle, minimizers, grams, same);
}

std::optional<bool> SubstringSet::quick_answer(std::string_view needle, const ByteSet& bytes,
                                               std::optional<PathId> same) const
{
    if (m_ids.empty())
        return false;
    if (same && holds(*same))
        return true;
    // Most references that are not recorded carry a token (<UDIM>, ####, %04d) whose
    // characters no recorded path has.
    if (!needle.empty() && !bytes.within(held_bytes()))
        return false;
    return std::nullopt;
}

bool SubstringSet::contains_substring(std::string_view needle,
                                      const std::vector<std::uint64_t>& minimizers, const Signature& grams,
                                      std::optional<PathId> same) const
{
    if (m_ids.empty())
        return false;
    if (same && holds(*same))
        return true;
    if (needle.size() < k_shortest_indexed) {
        for (const PathId id : m_ids)
            if (m_table.text(id).find(needle) != std::string_view::npos)
                return true;
        return false;
    }
    catch_up();
    const std::uint64_t mask = (std::uint64_t{1} << k_bucket_bits) - 1;
    std::size_t best = minimizers.front() & mask;
    for (const std::uint64_t hash : minimizers) {
        const std::size_t bucket = hash & mask;
        if (m_counts[bucket] == 0)
            return false;
        if (m_counts[bucket] < m_counts[best])
            best = bucket;
    }
    for (std::uint32_t b = m_heads[best]; b != k_no_block; b = m_blocks[b].next) {
        const Block& block = m_blocks[b];
        for (std::uint32_t i = 0; i < block.count; ++i) {
            const PathId id = block.ids[i];
            if (!m_signatures[id].covers(grams))
                continue;
            const std::string_view s = m_table.text(id);
            if (s.size() >= needle.size() && s.find(needle) != std::string_view::npos)
                return true;
        }
    }
    return false;
}

int AnalysedIndex::status(std::string_view path) const
{
    if (m_found.empty() && m_missing.empty())
        return 0;
    return status(path, ByteSet::of(path));
}

int AnalysedIndex::status(std::string_view path, const ByteSet& bytes) const
{
    if (m_found.empty() && m_missing.empty())
        return 0;
    const std::uint64_t hash = hash_text(path);
    m_found.table().prefetch(hash);
    const std::optional<PathId> same = m_found.table().find(path, hash);
    const std::optional<bool> missing = m_missing.quick_answer(path, bytes, same);
    if (missing == true)
        return 2;
    const std::optional<bool> found = m_found.quick_answer(path, bytes, same);
    // The minimizers are worked out only for a question the quick answers leave open.
    bool hashed = false;
    const auto full_answer = [&](const SubstringSet& set) {
        if (!hashed) {
            SubstringSet::minimizer_hashes(path, m_minimizers, m_grams);
            hashed = true;
        }
        return set.contains_substring(path, m_minimizers, m_grams, same);
    };
    if (!missing && full_answer(m_missing))
        return 2;
    if (found ? *found : full_answer(m_found))
        return 1;
    return 0;
}

}  // namespace script::assets
