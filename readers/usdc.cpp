// A crate layer, byte by byte (little-endian throughout):
//
//     0     "PXR-USDC" 00 08 00 ...   version 0.8.0; bytes 11-15 unused
//     16    i64 offset of the table of contents
//     88    value data: dictionaries, list operations, arrays, time samples ...
//     ...   TOKENS STRINGS FIELDS FIELDSETS PATHS SPECS
//     toc   u64 count, then (name[16], i64 start, i64 size) per section
//
// Every owner is a path, a type and a run of fields; every field a name token and an
// 8-byte value representation (type, array/inline/compressed flags, an inline value or a
// file offset). The reader decodes the structural sections, then only the values whose
// type can name a file, reaching them by offset; geometry arrays are never read.

#include "readers/usdc.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <type_traits>

#include <lz4.h>

#include "common/errors.h"
#include "readers/usda.h"

namespace script::readers {

namespace {

constexpr std::string_view k_magic = "PXR-USDC";
constexpr std::uint64_t k_header_size = 88;
constexpr std::uint64_t k_section_record_size = 32;
constexpr std::uint64_t k_max_sections = 64;
// Smaller files are read whole; larger ones are read section by section and value by
// value, so memory does not grow with the size of their geometry.
constexpr std::uint64_t k_whole_file_limit = 4 * 1024 * 1024;
// LZ4 expands at most about 255-fold.
constexpr std::uint64_t k_lz4_max_ratio = 255;
constexpr int k_max_value_depth = 32;
constexpr std::uint32_t k_field_set_end = 0xFFFFFFFFu;
// The most path text a layer's path table may spell out: paths repeat their parents, so a
// deep tree of long names can stand for far more text than its file holds.
constexpr std::uint64_t k_path_text_per_byte = 16;
constexpr std::uint64_t k_path_text_slack = 64 * 1024 * 1024;

// Value types (the type byte of a value representation).
enum ValueType : int
{
    k_string = 10,
    k_token = 11,
    k_asset_path = 12,
    k_dictionary = 31,
    k_reference_list_op = 35,
    k_time_samples = 46,
    k_payload = 47,
    k_value_block = 51,
    k_value = 52,
    k_unregistered_value = 53,
    k_unregistered_value_list_op = 54,
    k_payload_list_op = 55,
    k_string_vector = 50,
};

constexpr std::uint64_t k_array_bit = 1ull << 63;
constexpr std::uint64_t k_inlined_bit = 1ull << 62;
constexpr std::uint64_t k_array_edit_bit = 1ull << 60;
constexpr std::uint64_t k_payload_mask = (1ull << 48) - 1;

int rep_type(std::uint64_t rep)
{
    return static_cast<int>((rep >> 48) & 0xFF);
}
bool rep_is_array(std::uint64_t rep)
{
    return (rep & k_array_bit) != 0;
}
bool rep_is_inlined(std::uint64_t rep)
{
    return (rep & k_inlined_bit) != 0;
}
std::uint64_t rep_payload(std::uint64_t rep)
{
    return rep & k_payload_mask;
}

// List operation header bits and the order their item vectors are stored in.
constexpr std::array<std::uint8_t, 6> k_list_op_stream_order = {0x02, 0x04, 0x20, 0x40, 0x08,
                                                                 0x10};

template <typename T>
T load(const char* p)
{
    T value{};
    std::memcpy(&value, p, sizeof value);
    return value;
}

[[noreturn]] void corrupt(const std::string& message)
{
    throw Error(message);
}

// Sizes of the differences that the four 2-bit codes of a code byte stand for, together:
// 32-bit lists store 0 (the common difference), 1, 2 or 4 bytes, 64-bit lists 0, 2, 4 or 8.
template <typename Int>
constexpr std::array<std::uint8_t, 256> k_code_byte_sizes = [] {
    std::array<std::uint8_t, 256> sizes{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        unsigned total = 0;
        for (unsigned i = 0; i < 4; ++i) {
            const unsigned code = (byte >> (2 * i)) & 3;
            total += code == 0 ? 0 : (sizeof(Int) / 4) << (code - 1);
        }
        sizes[byte] = static_cast<std::uint8_t>(total);
    }
    return sizes;
}();

// Decodes `count` integers into `out` (room for `count`). Every difference is checked to
// lie in the buffer before any is read, from the codes alone.
template <typename Int>
void decode_integers_into(std::string_view encoded, std::size_t count, Int* out)
{
    using Signed = std::make_signed_t<Int>;
    using Half = std::conditional_t<sizeof(Int) == 4, std::int16_t, std::int32_t>;
    using Quarter = std::conditional_t<sizeof(Int) == 4, std::int8_t, std::int16_t>;
    constexpr std::size_t w = sizeof(Int);
    const std::size_t codes_size = (2 * count + 7) / 8;
    if (encoded.size() < w + codes_size) {
        corrupt("integer coding: " + std::to_string(encoded.size()) + " bytes for " +
                std::to_string(count) + " integers");
    }
    const auto* codes = reinterpret_cast<const unsigned char*>(encoded.data() + w);
    std::size_t needed = 0;
    for (std::size_t i = 0; i < count / 4; ++i) {
        needed += k_code_byte_sizes<Int>[codes[i]];
    }
    if (count % 4 != 0) {
        const unsigned tail = codes[count / 4] & ((1u << (2 * (count % 4))) - 1);
        needed += k_code_byte_sizes<Int>[tail];
    }
    if (encoded.size() - w - codes_size < needed) {
        corrupt("integer coding: the differences run past the buffer");
    }
    const Int common = load<Int>(encoded.data());
    const char* p = encoded.data() + w + codes_size;
    const char* const end = p + needed;
    Int previous = 0;
    std::size_t i = 0;
    // Four at a time without a branch per difference while four whole integers can be
    // loaded: a difference is the low bytes of the integer loaded where it begins (the
    // format is little-endian), shifted up and back down to extend its sign.
    constexpr std::array<std::uint8_t, 4> sizes = {0, w / 4, w / 2, w};
    constexpr std::array<std::uint8_t, 4> shifts = {0, 8 * (w - w / 4), 8 * (w - w / 2), 0};
    for (; i + 4 <= count && static_cast<std::size_t>(end - p) >= 4 * w; i += 4) {
        const unsigned byte = codes[i / 4];
        for (unsigned k = 0; k < 4; ++k) {
            const unsigned code = (byte >> (2 * k)) & 3;
            const Signed shifted =
                static_cast<Signed>(static_cast<Int>(load<Int>(p) << shifts[code]));
            const Int delta = code == 0 ? common : static_cast<Int>(shifted >> shifts[code]);
            p += sizes[code];
            previous = static_cast<Int>(previous + delta);
            out[i + k] = previous;
        }
    }
    for (; i < count; ++i) {
        Int delta = common;
        switch ((codes[i / 4] >> (2 * (i % 4))) & 3) {
        case 1:
            delta = static_cast<Int>(static_cast<Signed>(load<Quarter>(p)));
            p += sizeof(Quarter);
            break;
        case 2:
            delta = static_cast<Int>(static_cast<Signed>(load<Half>(p)));
            p += sizeof(Half);
            break;
        case 3:
            delta = static_cast<Int>(load<Signed>(p));
            p += sizeof(Int);
            break;
        default:
            break;
        }
        previous = static_cast<Int>(previous + delta); // wraps, as the writer's sums do
        out[i] = previous;
    }
}

// Random access to the crate bytes: the whole file when it is small, else the stream.
class Bytes
{
public:
    Bytes(std::istream& in, std::uint64_t size) : m_in(&in), m_size(size)
    {
        if (size <= k_whole_file_limit) {
            m_whole.resize(size);
            m_in->seekg(0);
            m_in->read(m_whole.data(), static_cast<std::streamsize>(size));
            if (static_cast<std::uint64_t>(m_in->gcount()) != size) {
                corrupt("cannot read the file");
            }
            m_memory = m_whole;
            m_in_memory = true;
        }
    }
    /// Bytes already in memory, which outlive this.
    explicit Bytes(std::string_view bytes)
        : m_size(bytes.size()), m_memory(bytes), m_in_memory(true)
    {
    }
    // m_memory may point into m_whole.
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;

    std::uint64_t size() const { return m_size; }

    void check(std::uint64_t offset, std::uint64_t count) const
    {
        if (offset > m_size || count > m_size - offset) {
            corrupt("offset " + std::to_string(offset) + ": " + std::to_string(count) +
                    " bytes run past the end of the file");
        }
    }

    std::string read(std::uint64_t offset, std::uint64_t count)
    {
        check(offset, count);
        if (m_in_memory) {
            return std::string(m_memory.substr(offset, count));
        }
        std::string out(count, '\0');
        m_in->clear();
        m_in->seekg(static_cast<std::streamoff>(offset));
        m_in->read(out.data(), static_cast<std::streamsize>(count));
        if (static_cast<std::uint64_t>(m_in->gcount()) != count) {
            corrupt("offset " + std::to_string(offset) + ": cannot read the file");
        }
        return out;
    }

    /// `count` bytes at `offset`: where they lie when the file is in memory, else read
    /// into `holder`.
    std::string_view view(std::uint64_t offset, std::uint64_t count, std::string& holder)
    {
        if (m_in_memory) {
            check(offset, count);
            return m_memory.substr(offset, count);
        }
        holder = read(offset, count);
        return holder;
    }

    template <typename T>
    T get(std::uint64_t offset)
    {
        check(offset, sizeof(T));
        if (m_in_memory) {
            return load<T>(m_memory.data() + offset);
        }
        char buffer[sizeof(T)];
        m_in->clear();
        m_in->seekg(static_cast<std::streamoff>(offset));
        m_in->read(buffer, sizeof buffer);
        if (m_in->gcount() != static_cast<std::streamsize>(sizeof buffer)) {
            corrupt("offset " + std::to_string(offset) + ": cannot read the file");
        }
        return load<T>(buffer);
    }

private:
    std::istream* m_in = nullptr;
    std::uint64_t m_size;
    std::string m_whole;
    std::string_view m_memory;
    bool m_in_memory = false;
};

// A cursor that reads forward through the bytes.
struct Cursor
{
    Bytes& bytes;
    std::uint64_t pos;

    template <typename T>
    T next()
    {
        const T value = bytes.get<T>(pos);
        pos += sizeof(T);
        return value;
    }
};

struct Section
{
    std::uint64_t start = 0;
    std::uint64_t size = 0;
};

struct Field
{
    std::uint32_t name = 0;
    std::uint64_t rep = 0;
};

struct PathSpan
{
    std::size_t start = 0;
    std::size_t size = 0;
};

constexpr std::uint64_t k_unspelled = ~std::uint64_t{0};

// A slot of the path table. Its text is spelled out only when a file it owns is found or a
// message names it; until then what is known of the text is its size and last byte.
struct PathNode
{
    std::int64_t parent = -1;  // the slot of its parent, -1 for the root
    std::string_view name;     // a token
    std::uint64_t size = 0;    // the size of its text
    std::uint64_t spelled = 0; // where its text lies in the path text, or k_unspelled
    bool property = false;
    char last = 0; // the last byte of its text
};

struct Spec
{
    std::uint32_t path = 0;
    std::uint32_t field_set = 0;
    std::uint32_t type = 0;
};

class CrateReader
{
public:
    CrateReader(Bytes& bytes, std::string_view source_name, UsdLayer& layer)
        : m_bytes(bytes), m_source(source_name), m_layer(layer),
          m_path_text_limit(k_path_text_per_byte * bytes.size() + k_path_text_slack)
    {
    }
    // The tokens are views of a text the reader holds.
    CrateReader(const CrateReader&) = delete;
    CrateReader& operator=(const CrateReader&) = delete;

    void read_structure()
    {
        const std::string header = m_bytes.read(0, k_header_size);
        if (!header.starts_with(k_magic)) {
            corrupt("not a crate layer: it does not begin with \"PXR-USDC\"");
        }
        m_major = static_cast<unsigned char>(header[8]);
        m_minor = static_cast<unsigned char>(header[9]);
        m_patch = static_cast<unsigned char>(header[10]);
        m_layer.version = std::to_string(m_major) + "." + std::to_string(m_minor) + "." +
                          std::to_string(m_patch);
        if (m_major != 0) {
            corrupt("unsupported crate version " + m_layer.version);
        }
        read_toc(load<std::uint64_t>(header.data() + 16));
        read_tokens();
        read_strings();
        read_fields();
        read_field_sets();
        read_paths();
        read_owners();
    }

    void collect()
    {
        for (const Spec& owner : m_owners) {
            const std::uint64_t path = owner.path;
            for (std::uint64_t k = owner.field_set; k < m_field_sets.size(); ++k) {
                const std::uint32_t index = m_field_sets[k];
                if (index == k_field_set_end) {
                    break;
                }
                const Field& field = m_fields[index];
                const std::string_view name = m_tokens[field.name];
                try {
                    collect_field(path, name, field.rep);
                } catch (const Error& e) {
                    // One bad value does not lose the rest of the layer.
                    note(std::string(path_text(path)) + " " + std::string(name) + ": " + e.what());
                }
            }
        }
    }

    // Hands the layer the text of its refs' owner paths: the whole path table when the refs
    // name a good part of it, their own paths alone otherwise.
    void keep_owner_paths()
    {
        std::size_t used = 0;
        for (const UsdAssetRef& ref : m_layer.refs) {
            used += ref.owner_size;
        }
        if (m_path_text.size() <= 4 * used + 4096) {
            m_layer.owner_text = std::move(m_path_text);
            return;
        }
        std::string kept;
        kept.reserve(used);
        for (UsdAssetRef& ref : m_layer.refs) {
            const std::size_t start = kept.size();
            kept.append(m_path_text, ref.owner_start, ref.owner_size);
            ref.owner_start = start;
        }
        m_layer.owner_text = std::move(kept);
    }

    const std::map<std::string, std::string>& variables() const { return m_variables; }

private:
    bool at_least(int minor, int patch = 0) const
    {
        return m_minor > minor || (m_minor == minor && m_patch >= patch);
    }

    void note(const std::string& message)
    {
        if (m_layer.error.empty()) {
            m_layer.error = m_source + ": " + message;
        }
    }

    // ---- structural sections ----

    void read_toc(std::uint64_t offset)
    {
        const auto count = m_bytes.get<std::uint64_t>(offset);
        if (count > k_max_sections) {
            corrupt("offset " + std::to_string(offset) + ": " + std::to_string(count) +
                    " sections in the table of contents");
        }
        const std::string records = m_bytes.read(offset + 8, count * k_section_record_size);
        for (std::uint64_t i = 0; i < count; ++i) {
            const char* record = records.data() + i * k_section_record_size;
            const std::string name(record, strnlen(record, 16));
            Section section{load<std::uint64_t>(record + 16), load<std::uint64_t>(record + 24)};
            m_bytes.check(section.start, section.size);
            m_sections.emplace(name, section);
        }
    }

    const Section& section(std::string_view name) const
    {
        const auto it = m_sections.find(name);
        if (it == m_sections.end()) {
            corrupt("the section " + std::string(name) + " is missing");
        }
        return it->second;
    }

    // A count read from the file, checked against the bytes it needs at `min_bytes` each
    // (or, when compressed, against what the compressed bytes can expand to).
    std::uint64_t checked_count(std::uint64_t count, std::uint64_t available, std::uint64_t min_bytes,
                                const char* what) const
    {
        if (min_bytes > 0 && count > available / min_bytes) {
            corrupt(std::string("too many ") + what + " (" + std::to_string(count) + ")");
        }
        return count;
    }

    std::vector<std::uint32_t> u32_list(Cursor& cursor, std::uint64_t count, std::uint64_t section_end)
    {
        std::vector<std::uint32_t> out;
        std::string holder;
        if (at_least(4)) {
            const auto size = cursor.next<std::uint64_t>();
            if (cursor.pos > section_end || size > section_end - cursor.pos) {
                corrupt("offset " + std::to_string(cursor.pos) +
                        ": compressed integers run past their section");
            }
            // Every integer takes at least two bits of the decompressed buffer.
            checked_count(count, size * k_lz4_max_ratio * 4 + 64, 1, "integers");
            const std::string_view wrapped = m_bytes.view(cursor.pos, size, holder);
            cursor.pos += size;
            const std::uint64_t capacity = 4 + (2 * count + 7) / 8 + count * 4;
            const std::string encoded = decompress_usdc(wrapped, capacity);
            out.resize(count);
            if (count > 0) {
                decode_integers_into(encoded, count, out.data());
            }
            return out;
        }
        const std::string_view raw = m_bytes.view(cursor.pos, count * 4, holder);
        cursor.pos += count * 4;
        out.resize(count);
        for (std::uint64_t i = 0; i < count; ++i) {
            out[i] = load<std::uint32_t>(raw.data() + i * 4);
        }
        return out;
    }

    void read_tokens()
    {
        const Section& s = section("TOKENS");
        Cursor cursor{m_bytes, s.start};
        const auto count = cursor.next<std::uint64_t>();
        const auto size = cursor.next<std::uint64_t>();
        std::string& text = m_token_text;
        if (at_least(4)) {
            const auto compressed = cursor.next<std::uint64_t>();
            checked_count(compressed, s.size, 1, "token bytes");
            checked_count(size, compressed * k_lz4_max_ratio + 64, 1, "token bytes");
            text = decompress_usdc(m_bytes.read(cursor.pos, compressed), size);
            if (text.size() != size) {
                corrupt("the token table does not decompress to its size");
            }
        } else {
            checked_count(size, s.size, 1, "token bytes");
            text = m_bytes.read(cursor.pos, size);
        }
        checked_count(count, text.size(), 1, "tokens");
        if (count > 0 && (text.empty() || text.back() != '\0')) {
            corrupt("the token table does not end with a NUL");
        }
        m_tokens.reserve(count);
        std::size_t start = 0;
        while (m_tokens.size() < count && start < text.size()) {
            const std::size_t end = text.find('\0', start);
            m_tokens.emplace_back(std::string_view(text).substr(start, end - start));
            start = end + 1;
        }
        if (m_tokens.size() != count) {
            corrupt("the token table holds fewer tokens than its count");
        }
    }

    void read_strings()
    {
        const Section& s = section("STRINGS");
        Cursor cursor{m_bytes, s.start};
        const auto count = checked_count(cursor.next<std::uint64_t>(), s.size, 4, "strings");
        const std::string raw = m_bytes.read(cursor.pos, count * 4);
        m_strings.resize(count);
        for (std::uint64_t i = 0; i < count; ++i) {
            m_strings[i] = load<std::uint32_t>(raw.data() + i * 4);
            token_at(m_strings[i]);
        }
    }

    void read_fields()
    {
        const Section& s = section("FIELDS");
        Cursor cursor{m_bytes, s.start};
        const std::uint64_t end = s.start + s.size;
        const auto count = cursor.next<std::uint64_t>();
        if (at_least(4)) {
            const std::vector<std::uint32_t> names = u32_list(cursor, count, end);
            const auto size = cursor.next<std::uint64_t>();
            checked_count(size, end - std::min(end, cursor.pos), 1, "field value bytes");
            checked_count(count, size * k_lz4_max_ratio + 64, 8, "fields");
            const std::string reps = decompress_usdc(m_bytes.read(cursor.pos, size), count * 8);
            if (reps.size() != count * 8) {
                corrupt("the field values do not decompress to their size");
            }
            m_fields.resize(count);
            for (std::uint64_t i = 0; i < count; ++i) {
                m_fields[i] = Field{names[i], load<std::uint64_t>(reps.data() + i * 8)};
            }
        } else {
            checked_count(count, s.size, 16, "fields");
            const std::string raw = m_bytes.read(cursor.pos, count * 16);
            m_fields.resize(count);
            for (std::uint64_t i = 0; i < count; ++i) {
                m_fields[i] = Field{load<std::uint32_t>(raw.data() + i * 16 + 4),
                                    load<std::uint64_t>(raw.data() + i * 16 + 8)};
            }
        }
        for (const Field& field : m_fields) {
            token_at(field.name);
        }
    }

    void read_field_sets()
    {
        const Section& s = section("FIELDSETS");
        Cursor cursor{m_bytes, s.start};
        const std::uint64_t count = cursor.next<std::uint64_t>();
        if (!at_least(4)) {
            checked_count(count, s.size, 4, "field set entries");
        }
        m_field_sets = u32_list(cursor, count, s.start + s.size);
        for (const std::uint32_t index : m_field_sets) {
            if (index != k_field_set_end && index >= m_fields.size()) {
                corrupt("field set entry " + std::to_string(index) + " is no field");
            }
        }
        if (!m_field_sets.empty() && m_field_sets.back() != k_field_set_end) {
            corrupt("the field sets do not end with a terminator");
        }
    }

    // The text of the path in `slot` (an empty one for a slot no path fills), spelled out
    // if it was not yet. Valid until the next path is spelled.
    std::string_view path_text(std::uint64_t slot)
    {
        const PathSpan span = spell(slot);
        return std::string_view(m_path_text).substr(span.start, span.size);
    }

    // Where the text of the path in `slot` lies in the path text, spelling it (and the
    // ancestors not yet spelled) out first.
    PathSpan spell(std::uint64_t slot)
    {
        if (m_paths[slot].spelled == k_unspelled) {
            // The unspelled ancestors, nearest first: every parent was filled before its
            // children, so the chain ends.
            m_chain.clear();
            for (std::int64_t s = static_cast<std::int64_t>(slot);
                 s >= 0 && m_paths[static_cast<std::uint64_t>(s)].spelled == k_unspelled;
                 s = m_paths[static_cast<std::uint64_t>(s)].parent) {
                m_chain.push_back(static_cast<std::uint64_t>(s));
            }
            for (auto it = m_chain.rbegin(); it != m_chain.rend(); ++it) {
                spell_one(m_paths[*it]);
            }
        }
        const PathNode& node = m_paths[slot];
        return {node.spelled, node.size};
    }

    // Spells out a path whose parent, if any, is spelled.
    void spell_one(PathNode& node)
    {
        const std::size_t start = m_path_text.size();
        if (node.parent < 0) {
            m_path_text.append(1, '/');
        } else {
            const PathNode& parent = m_paths[static_cast<std::uint64_t>(node.parent)];
            // Room first: the parent is copied from the same text.
            if (m_path_text.capacity() - start < node.size) {
                m_path_text.reserve(std::max(start + node.size, 2 * m_path_text.capacity()));
            }
            m_path_text.append(m_path_text.data() + parent.spelled, parent.size);
            if (separated(parent, node.name, node.property)) {
                m_path_text.append(1, node.property ? '.' : '/');
            }
            m_path_text.append(node.name);
        }
        node.spelled = start;
    }

    // Whether a child's text has a separator between its parent's and its name: "/A.b",
    // "/A/B", but "/A", "/A{v=x}", "/A{v=x}B".
    static bool separated(const PathNode& parent, std::string_view name, bool property)
    {
        if (property) {
            return true;
        }
        if (!name.empty() && (name.front() == '{' || name.front() == '[')) {
            return false;
        }
        // Only the root's text, and that of a nameless child of it, is "/".
        return parent.size != 1 && parent.last != '}';
    }

    void fill_path(std::uint64_t slot, std::int64_t parent_slot, std::string_view name,
                   bool property)
    {
        if (slot >= m_paths.size()) {
            corrupt("path slot " + std::to_string(slot) + " is outside the path table");
        }
        if (m_filled[slot]) {
            corrupt("path slot " + std::to_string(slot) + " is filled twice");
        }
        m_filled[slot] = true;
        PathNode node;
        node.parent = parent_slot;
        node.name = name;
        node.property = property;
        node.spelled = k_unspelled;
        if (parent_slot < 0) {
            node.size = 1;
            node.last = '/';
        } else {
            const PathNode& parent = m_paths[static_cast<std::uint64_t>(parent_slot)];
            const std::uint64_t most = parent.size + 1 + name.size();
            // Paths repeat their parents, so a deep tree of long names stands for far more
            // text than its file holds: past the limit the table is refused rather than
            // memory run out, whether or not the text is ever spelled out.
            if (most > m_path_text_limit - std::min(m_path_text_limit, m_path_text_total)) {
                corrupt("the path table's text runs past " + std::to_string(m_path_text_limit) +
                        " bytes");
            }
            const bool separator = separated(parent, name, property);
            node.size = parent.size + (separator ? 1 : 0) + name.size();
            node.last = !name.empty() ? name.back()
                        : separator   ? (property ? '.' : '/')
                                      : parent.last;
        }
        m_path_text_total += node.size;
        m_paths[slot] = node;
    }

    void read_paths()
    {
        const Section& s = section("PATHS");
        const std::uint64_t end = s.start + s.size;
        Cursor cursor{m_bytes, s.start};
        const auto total = cursor.next<std::uint64_t>();
        if (at_least(4)) {
            const auto count = cursor.next<std::uint64_t>();
            if (total > count * 2 + 64) {
                corrupt("a path table of " + std::to_string(total) + " slots for " +
                        std::to_string(count) + " paths");
            }
            const std::vector<std::uint32_t> slots = u32_list(cursor, count, end);
            const std::vector<std::uint32_t> elements = u32_list(cursor, count, end);
            const std::vector<std::uint32_t> jumps = u32_list(cursor, count, end);
            m_paths.assign(total, PathNode{});
            m_filled.assign(total, false);
            build_paths(slots, elements, jumps);
        } else {
            const std::uint64_t record = at_least(1) ? 12 : 16;
            if (total > s.size / record * 2 + 64) {
                corrupt("a path table of " + std::to_string(total) + " slots");
            }
            m_paths.assign(total, PathNode{});
            m_filled.assign(total, false);
            build_old_paths(cursor.pos, record);
        }
    }

    void build_paths(const std::vector<std::uint32_t>& slots,
                     const std::vector<std::uint32_t>& elements,
                     const std::vector<std::uint32_t>& jumps)
    {
        if (slots.empty()) {
            return;
        }
        // (node, parent slot or -1); an explicit stack, since files can nest without end.
        std::vector<std::pair<std::uint64_t, std::int64_t>> stack = {{0, -1}};
        while (!stack.empty()) {
            auto [i, parent] = stack.back();
            stack.pop_back();
            for (;;) {
                if (i >= slots.size()) {
                    corrupt("path node " + std::to_string(i) + " is outside the path tree");
                }
                const std::uint64_t slot = slots[i];
                if (parent >= 0) {
                    const auto element = static_cast<std::int32_t>(elements[i]);
                    const bool property = element < 0;
                    const std::uint32_t token =
                        property ? static_cast<std::uint32_t>(-static_cast<std::int64_t>(element))
                                 : static_cast<std::uint32_t>(element);
                    fill_path(slot, parent, token_at(token), property);
                } else {
                    fill_path(slot, -1, {}, false);
                }
                const auto jump = static_cast<std::int32_t>(jumps[i]);
                const bool has_child = jump > 0 || jump == -1;
                const bool has_sibling = jump >= 0;
                if (has_child && has_sibling) {
                    stack.emplace_back(i + static_cast<std::uint64_t>(jump), parent);
                }
                if (has_child) {
                    parent = static_cast<std::int64_t>(slot);
                    ++i;
                } else if (has_sibling) {
                    ++i;
                } else {
                    break;
                }
            }
        }
    }

    void build_old_paths(std::uint64_t start, std::uint64_t record)
    {
        std::vector<std::pair<std::uint64_t, std::int64_t>> stack = {{start, -1}};
        const std::uint64_t skip = record == 16 ? 4 : 0;
        while (!stack.empty()) {
            auto [pos, parent] = stack.back();
            stack.pop_back();
            for (;;) {
                Cursor cursor{m_bytes, pos + skip};
                const auto slot = cursor.next<std::uint32_t>();
                const auto element = cursor.next<std::uint32_t>();
                const auto bits = cursor.next<std::uint8_t>();
                pos += record;
                const bool has_child = (bits & 1) != 0;
                const bool has_sibling = (bits & 2) != 0;
                const bool property = (bits & 4) != 0;
                std::uint64_t sibling = 0;
                if (has_child && has_sibling) {
                    sibling = m_bytes.get<std::uint64_t>(pos);
                    pos += 8;
                }
                if (parent >= 0) {
                    fill_path(slot, parent, token_at(element), property);
                } else {
                    fill_path(slot, -1, {}, false);
                }
                if (has_child && has_sibling) {
                    stack.emplace_back(sibling, parent);
                }
                if (has_child) {
                    parent = slot;
                } else if (!has_sibling) {
                    break;
                }
            }
        }
    }

    void read_owners()
    {
        const Section& s = section("SPECS");
        const std::uint64_t end = s.start + s.size;
        Cursor cursor{m_bytes, s.start};
        const auto count = cursor.next<std::uint64_t>();
        std::vector<std::uint32_t> paths, sets, types;
        if (at_least(4)) {
            paths = u32_list(cursor, count, end);
            sets = u32_list(cursor, count, end);
            types = u32_list(cursor, count, end);
        } else {
            const std::uint64_t record = at_least(1) ? 12 : 16;
            checked_count(count, s.size, record, "owners");
            const std::string raw = m_bytes.read(cursor.pos, count * record);
            const std::uint64_t skip = record - 12;
            for (std::uint64_t i = 0; i < count; ++i) {
                const char* p = raw.data() + i * record + skip;
                paths.push_back(load<std::uint32_t>(p));
                sets.push_back(load<std::uint32_t>(p + 4));
                types.push_back(load<std::uint32_t>(p + 8));
            }
        }
        std::vector<bool> seen(m_paths.size(), false);
        for (std::uint64_t i = 0; i < count; ++i) {
            if (paths[i] >= m_paths.size() || sets[i] >= m_field_sets.size() ||
                (sets[i] > 0 && m_field_sets[sets[i] - 1] != k_field_set_end)) {
                corrupt("owner " + std::to_string(i) + " names no path or field set");
            }
            const bool bad_type = types[i] == 0 || types[i] > 11;
            if (bad_type || seen[paths[i]]) {
                note("owner " + std::to_string(i) + " (" + std::string(path_text(paths[i])) +
                     ") is skipped: bad type or repeated path");
                continue;
            }
            seen[paths[i]] = true;
            m_owners.push_back(Spec{paths[i], sets[i], types[i]});
        }
    }

    std::string_view token_at(std::uint64_t index) const
    {
        if (index >= m_tokens.size()) {
            corrupt("token " + std::to_string(index) + " is outside the token table");
        }
        return m_tokens[index];
    }

    std::string_view string_at(std::uint64_t index) const
    {
        if (index >= m_strings.size()) {
            corrupt("string " + std::to_string(index) + " is outside the string table");
        }
        return token_at(m_strings[index]);
    }

    // A path index of a value (the prim a reference targets) must name a slot of the table.
    void check_path(std::uint64_t index) const
    {
        if (index >= m_paths.size()) {
            corrupt("path " + std::to_string(index) + " is outside the path table");
        }
    }

    // ---- values ----

    void add(UsdRefKind kind, std::string_view path, std::uint64_t owner, std::string_view field)
    {
        if (path.empty()) {
            return;  // an internal reference, or no value
        }
        UsdAssetRef& ref =
            m_layer.add_ref(kind, kind == UsdRefKind::ClipTemplate ? path : usd_file_part(path));
        const PathSpan owner_span = spell(owner);
        ref.owner_start = owner_span.start;
        ref.owner_size = owner_span.size;
        ref.field = field;
    }

    void collect_field(std::uint64_t owner, std::string_view name, std::uint64_t rep)
    {
        const int type = rep_type(rep);
        if (type == k_string_vector && name == "subLayers") {
            Cursor cursor{m_bytes, rep_payload(rep)};
            const auto count = checked_count(cursor.next<std::uint64_t>(), m_bytes.size(), 4, "sublayers");
            for (std::uint64_t i = 0; i < count; ++i) {
                add(UsdRefKind::SubLayer, string_at(cursor.next<std::uint32_t>()), owner, name);
            }
            return;
        }
        if (type == k_dictionary && name == "expressionVariables" && m_paths[owner].size == 1) {
            read_dictionary(rep, owner, name, {}, 0, true);
            return;
        }
        collect_value(rep, owner, name, name, 0);
    }

    std::uint64_t array_count(Cursor& cursor)
    {
        if (!at_least(5)) {
            cursor.next<std::uint32_t>();  // rank
            return cursor.next<std::uint32_t>();
        }
        if (!at_least(7)) {
            return cursor.next<std::uint32_t>();
        }
        return cursor.next<std::uint64_t>();
    }

    // `key` is the innermost dictionary key (the field name at the top).
    void collect_value(std::uint64_t rep, std::uint64_t owner, std::string_view field,
                       std::string_view key, int depth)
    {
        if (depth > k_max_value_depth) {
            corrupt("values nested too deeply");
        }
        const int type = rep_type(rep);
        if ((rep & k_array_edit_bit) != 0 && !rep_is_array(rep)) {
            if (type == k_asset_path && rep_payload(rep) != 0) {
                // An array edit: the values array, then the indices and a flag.
                const auto values = m_bytes.get<std::uint64_t>(rep_payload(rep));
                collect_value(values, owner, field, key, depth + 1);
            }
            return;
        }
        switch (type) {
        case k_asset_path:
            if (rep_is_array(rep)) {
                if (rep_payload(rep) == 0) {
                    return;
                }
                Cursor cursor{m_bytes, rep_payload(rep)};
                const std::uint64_t count =
                    checked_count(array_count(cursor), m_bytes.size(), 4, "array elements");
                const std::string raw = m_bytes.read(cursor.pos, count * 4);
                for (std::uint64_t i = 0; i < count; ++i) {
                    add(UsdRefKind::Asset, string_at(load<std::uint32_t>(raw.data() + i * 4)), owner,
                        field);
                }
            } else if (rep_is_inlined(rep)) {
                add(UsdRefKind::Asset, token_at(rep_payload(rep) & 0xFFFFFFFFu), owner, field);
            }
            return;
        case k_string:
            if (!rep_is_array(rep) && rep_is_inlined(rep) &&
                (key == "templateAssetPath" || key == "clipTemplateAssetPath")) {
                add(UsdRefKind::ClipTemplate, string_at(rep_payload(rep) & 0xFFFFFFFFu), owner,
                    field);
            }
            return;
        case k_dictionary:
            read_dictionary(rep, owner, field, key, depth, false);
            return;
        case k_time_samples:
            read_time_samples(rep, owner, depth);
            return;
        case k_value:
            if (!rep_is_inlined(rep)) {
                const std::uint64_t pos = rep_payload(rep);
                const auto jump = m_bytes.get<std::int64_t>(pos);
                collect_value(m_bytes.get<std::uint64_t>(pos + static_cast<std::uint64_t>(jump)),
                              owner, field, key, depth + 1);
            }
            return;
        case k_unregistered_value:
            if (!rep_is_inlined(rep)) {
                std::uint64_t inner = 0;
                nested_value(rep_payload(rep), inner);
                collect_unregistered(inner, owner, field, key, depth + 1);
            }
            return;
        case k_unregistered_value_list_op:
            read_unregistered_list_op(rep, owner, field, key, depth);
            return;
        case k_reference_list_op:
            read_list_op(rep, owner, field, UsdRefKind::Reference);
            return;
        case k_payload_list_op:
            read_list_op(rep, owner, field, UsdRefKind::Payload);
            return;
        case k_payload: {
            Cursor cursor{m_bytes, rep_payload(rep)};
            read_payload(cursor, owner, field);
            return;
        }
        default:
            return;  // no file in it, or a type this reader does not know: skipped
        }
    }

    // A value the writer's schema did not know: its text (asset paths only as "@...@" in
    // it), a dictionary, or another value.
    void collect_unregistered(std::uint64_t rep, std::uint64_t owner, std::string_view field,
                              std::string_view key, int depth)
    {
        if (rep_type(rep) == k_string && rep_is_inlined(rep) && !rep_is_array(rep)) {
            const std::string_view text = string_at(rep_payload(rep) & 0xFFFFFFFFu);
            for (const std::string& path : usda_asset_paths(text)) {
                add(UsdRefKind::Asset, path, owner, field);
            }
            return;
        }
        collect_value(rep, owner, field, key, depth);
    }

    // A list operation whose items are such values, each a nested value.
    void read_unregistered_list_op(std::uint64_t rep, std::uint64_t owner, std::string_view field,
                                   std::string_view key, int depth)
    {
        for_each_list_op_item(rep, 16, [&](Cursor& cursor) {
            std::uint64_t item = 0;
            cursor.pos = nested_value(cursor.pos, item);
            collect_unregistered(item, owner, field, key, depth + 1);
        });
    }

    // Calls read_item(cursor) once for every item of a list operation, its item vectors in
    // stream order; each call reads one item (at least `min_item_bytes` of the file) and
    // leaves the cursor after it.
    template <typename ReadItem>
    void for_each_list_op_item(std::uint64_t rep, std::uint64_t min_item_bytes, ReadItem read_item)
    {
        if (rep_is_inlined(rep) || rep_is_array(rep)) {
            return;
        }
        Cursor cursor{m_bytes, rep_payload(rep)};
        const auto header = cursor.next<std::uint8_t>();
        for (const std::uint8_t bit : k_list_op_stream_order) {
            if ((header & bit) == 0) {
                continue;
            }
            const auto count = checked_count(cursor.next<std::uint64_t>(), m_bytes.size(),
                                             min_item_bytes, "items");
            for (std::uint64_t i = 0; i < count; ++i) {
                read_item(cursor);
            }
        }
    }

    // Returns the position after the nested value's representation.
    std::uint64_t nested_value(std::uint64_t pos, std::uint64_t& rep)
    {
        const auto jump = m_bytes.get<std::int64_t>(pos);
        const std::uint64_t rep_pos = pos + static_cast<std::uint64_t>(jump);
        rep = m_bytes.get<std::uint64_t>(rep_pos);
        return rep_pos + 8;
    }

    std::uint64_t read_dictionary_at(std::uint64_t pos, std::uint64_t owner, std::string_view field,
                                     int depth, bool variables)
    {
        if (!m_open_dictionaries.insert(pos).second) {
            corrupt("offset " + std::to_string(pos) + ": a dictionary holds itself");
        }
        Cursor cursor{m_bytes, pos};
        const auto count = checked_count(cursor.next<std::uint64_t>(), m_bytes.size(), 12, "entries");
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::string_view entry = string_at(cursor.next<std::uint32_t>());
            std::uint64_t rep = 0;
            cursor.pos = nested_value(cursor.pos, rep);
            if (variables) {
                if (rep_type(rep) == k_string && rep_is_inlined(rep) && !rep_is_array(rep)) {
                    m_variables[std::string(entry)] = string_at(rep_payload(rep) & 0xFFFFFFFFu);
                }
                continue;
            }
            collect_value(rep, owner, field, entry, depth + 1);
        }
        m_open_dictionaries.erase(pos);
        return cursor.pos;
    }

    void read_dictionary(std::uint64_t rep, std::uint64_t owner, std::string_view field,
                         std::string_view, int depth, bool variables)
    {
        if (rep_is_inlined(rep) || rep_is_array(rep) || rep_payload(rep) == 0) {
            return;  // the empty dictionary
        }
        read_dictionary_at(rep_payload(rep), owner, field, depth, variables);
    }

    void read_time_samples(std::uint64_t rep, std::uint64_t owner, int depth)
    {
        if (rep_is_inlined(rep) || rep_is_array(rep)) {
            return;
        }
        std::uint64_t times = 0;
        const std::uint64_t p = nested_value(rep_payload(rep), times);
        const auto jump = m_bytes.get<std::int64_t>(p);
        Cursor cursor{m_bytes, p + static_cast<std::uint64_t>(jump)};
        const auto count = checked_count(cursor.next<std::uint64_t>(), m_bytes.size(), 8, "samples");
        for (std::uint64_t i = 0; i < count; ++i) {
            const auto value = cursor.next<std::uint64_t>();
            const int type = rep_type(value);
            if (type == k_value_block) {
                continue;
            }
            if (type != k_asset_path && type != k_value && type != k_dictionary) {
                return;  // the samples of one attribute share a type: no file among them
            }
            collect_value(value, owner, "timeSamples", "timeSamples", depth + 1);
        }
    }

    void read_payload(Cursor& cursor, std::uint64_t owner, std::string_view field)
    {
        const auto asset = cursor.next<std::uint32_t>();
        check_path(cursor.next<std::uint32_t>());
        if (at_least(8)) {
            cursor.pos += 16;  // layer offset
        }
        add(UsdRefKind::Payload, string_at(asset), owner, field);
    }

    void read_list_op(std::uint64_t rep, std::uint64_t owner, std::string_view field,
                      UsdRefKind kind)
    {
        for_each_list_op_item(rep, 8, [&](Cursor& cursor) {
            if (kind == UsdRefKind::Payload) {
                read_payload(cursor, owner, field);
                return;
            }
            const auto asset = cursor.next<std::uint32_t>();
            check_path(cursor.next<std::uint32_t>());
            cursor.pos += 16;  // layer offset
            add(UsdRefKind::Reference, string_at(asset), owner, field);
            // Custom data: a dictionary written in place, so the next item follows it.
            cursor.pos = read_dictionary_at(cursor.pos, owner, field, 0, false);
        });
    }

    Bytes& m_bytes;
    std::string m_source;
    UsdLayer& m_layer;
    int m_major = 0;
    int m_minor = 0;
    int m_patch = 0;
    std::map<std::string, Section, std::less<>> m_sections;
    std::string m_token_text; // the tokens, each ended by a NUL
    std::vector<std::string_view> m_tokens;
    std::vector<std::uint32_t> m_strings;
    std::vector<Field> m_fields;
    std::vector<std::uint32_t> m_field_sets;
    // The path table, and the texts of the paths spelled out so far side by side. The layer
    // keeps the text its refs' owners need (keep_owner_paths).
    std::vector<PathNode> m_paths;
    std::string m_path_text;
    std::uint64_t m_path_text_total = 0; // the text every path filled would spell
    std::uint64_t m_path_text_limit = 0;
    std::vector<std::uint64_t> m_chain; // spell()'s ancestors to spell
    std::vector<bool> m_filled;
    std::vector<Spec> m_owners;
    std::set<std::uint64_t> m_open_dictionaries;
    std::map<std::string, std::string> m_variables;
};

}  // namespace

std::vector<std::uint64_t> decode_usdc_integers(std::string_view encoded, std::size_t count,
                                                int width)
{
    std::vector<std::uint64_t> out(count);
    if (count == 0) {
        return out;
    }
    if (width == 4) {
        std::vector<std::uint32_t> narrow(count);
        decode_integers_into(encoded, count, narrow.data());
        std::copy(narrow.begin(), narrow.end(), out.begin());
    } else {
        decode_integers_into(encoded, count, out.data());
    }
    return out;
}

std::string decompress_usdc(std::string_view wrapped, std::size_t size)
{
    if (wrapped.empty()) {
        corrupt("compressed data: empty");
    }
    if (size > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        corrupt("compressed data: " + std::to_string(size) + " bytes is too large");
    }
    std::string out(size, '\0');
    const auto chunks = static_cast<unsigned char>(wrapped[0]);
    std::size_t pos = 1;
    std::size_t written = 0;
    auto block = [&](std::size_t length) {
        const int got = LZ4_decompress_safe(wrapped.data() + pos, out.data() + written,
                                            static_cast<int>(length),
                                            static_cast<int>(size - written));
        if (got < 0) {
            corrupt("compressed data: corrupt LZ4 block");
        }
        written += static_cast<std::size_t>(got);
        pos += length;
    };
    if (chunks == 0) {
        block(wrapped.size() - 1);
    } else {
        for (unsigned i = 0; i < chunks; ++i) {
            if (wrapped.size() - pos < 4) {
                corrupt("compressed data: a chunk size runs past the data");
            }
            const auto length = load<std::int32_t>(wrapped.data() + pos);
            pos += 4;
            if (length < 0 || static_cast<std::size_t>(length) > wrapped.size() - pos) {
                corrupt("compressed data: a chunk runs past the data");
            }
            block(static_cast<std::size_t>(length));
        }
    }
    out.resize(written);
    return out;
}

namespace {

// `open_bytes` gives the file's Bytes, or throws Error.
template <typename OpenBytes>
UsdLayer read_usdc_with(OpenBytes open_bytes, std::string_view source_name)
{
    UsdLayer layer;
    layer.encoding = UsdEncoding::Crate;
    std::map<std::string, std::string> variables;
    try {
        Bytes bytes = open_bytes();
        if (bytes.size() < k_header_size) {
            corrupt("a crate layer is at least 88 bytes, this one is " +
                    std::to_string(bytes.size()));
        }
        CrateReader reader(bytes, source_name, layer);
        try {
            reader.read_structure();
            reader.collect();
        } catch (const Error&) {
            variables = reader.variables();
            reader.keep_owner_paths();
            throw;
        }
        variables = reader.variables();
        reader.keep_owner_paths();
    } catch (const Error& e) {
        layer.error = std::string(source_name) + ": " + e.what();
    }
    resolve_usd_expressions(layer, variables, source_name);
    return layer;
}

} // namespace

UsdLayer read_usdc(std::istream& in, std::string_view source_name)
{
    return read_usdc_with(
        [&in] {
            in.clear();
            in.seekg(0, std::ios::end);
            const std::streamoff end = in.tellg();
            in.seekg(0);
            return Bytes(in, static_cast<std::uint64_t>(end < 0 ? 0 : end));
        },
        source_name);
}

UsdLayer read_usdc(std::string_view bytes, std::string_view source_name)
{
    return read_usdc_with([bytes] { return Bytes(bytes); }, source_name);
}

}  // namespace script::readers
