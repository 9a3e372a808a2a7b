#pragma once

// Writes small USD crate layers with exactly the content a test or benchmark needs, in any
// crate version from 0.0.1 on: uncompressed sections before 0.4.0, LZ4-wrapped and
// integer-coded ones after (literal-only LZ4 blocks and four-byte differences, which every
// reader must accept). Values are written as they are made; their representations are then
// used as field values of owners, dictionary entries or time samples.

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace script::testing {

class CrateWriter
{
public:
    using Rep = std::uint64_t;
    using Entries = std::vector<std::pair<std::string, Rep>>;

    enum SpecType : std::uint32_t
    {
        Attribute = 1,
        Prim = 6,
        PseudoRoot = 7,
        Relationship = 8,
        Variant = 10,
        VariantSet = 11,
    };

    /// A reference or payload: an asset path (empty for an internal one), a prim path
    /// (empty for the default prim) and, for references, custom data.
    struct Arc
    {
        std::string asset;
        std::string prim;
        Entries custom_data;
    };
    struct ArcListOp
    {
        bool is_explicit = false;
        std::vector<Arc> explicit_items, added, prepended, appended, deleted, ordered;
    };

    /// Writes to a seekable binary stream, from its start.
    CrateWriter(std::ostream& out, int minor, int patch = 0);

    Rep asset(std::string_view path);
    Rep asset_array(const std::vector<std::string>& paths);
    Rep string(std::string_view text);
    Rep token(std::string_view text);
    Rep string_vector(const std::vector<std::string>& texts);
    Rep token_vector(const std::vector<std::string>& texts);
    Rep specifier_def();
    Rep block();
    Rep dictionary(const Entries& entries);
    Rep time_samples(const std::vector<std::pair<double, Rep>>& samples);
    Rep references(const ArcListOp& op);
    /// A PayloadListOp (crate 0.8.0 and later).
    Rep payloads(const ArcListOp& op);
    /// A single payload (every version).
    Rep payload(const Arc& arc);
    /// An UnregisteredValue holding `inner`: a string (the value as text) or a dictionary.
    Rep unregistered(Rep inner);
    /// An UnregisteredValueListOp with explicit items, each written as a nested value.
    Rep unregistered_list_op(const std::vector<Rep>& items);
    /// A float3 array of `count` points, written in chunks (layers of any size).
    Rep points(std::uint64_t count);
    /// Any representation: a type the reader may not know, a corrupt offset.
    static Rep raw(int type, std::uint64_t payload, bool inlined, bool array = false);

    /// Adds a owner; fields are (name, value) in order.
    void owner(std::string_view path, SpecType type, const Entries& fields);

    /// Writes the sections, the table of contents and the header. Nothing may be added
    /// afterwards.
    void finish();

private:
    struct PathNode
    {
        std::uint32_t slot = 0;
        std::string element;
        bool property = false;
        std::vector<std::size_t> children;
    };

    bool at_least(int minor) const { return m_minor >= minor; }
    std::uint32_t token_index(std::string_view text);
    std::uint32_t string_index(std::string_view text);
    std::uint32_t path_index(std::string_view path);
    std::size_t path_node(const std::string& path);

    std::uint64_t here() const { return m_pos; }
    void put(std::string_view bytes);
    template <typename T>
    void put_value(T value);
    void put_array_count(std::uint64_t count);
    void put_arc(const Arc& arc, bool reference);
    Rep list_op(const ArcListOp& op, int type, bool reference);

    std::string compressed_ints(const std::vector<std::uint32_t>& values) const;
    std::string section_bytes(const std::string& name);

    std::ostream& m_out;
    int m_minor;
    int m_patch;
    std::uint64_t m_pos = 0;
    std::vector<std::string> m_tokens;
    std::map<std::string, std::uint32_t, std::less<>> m_token_index;
    std::vector<std::uint32_t> m_strings;
    std::map<std::uint32_t, std::uint32_t> m_string_index;
    std::vector<PathNode> m_nodes;  // node 0 is "/"
    std::map<std::string, std::size_t, std::less<>> m_node_index;
    std::uint32_t m_slots = 0;
    std::int64_t m_empty_path_slot = -1;
    std::vector<std::pair<std::uint32_t, Rep>> m_fields;
    std::vector<std::uint32_t> m_field_sets;
    struct SpecRecord
    {
        std::uint32_t path, field_set, type;
    };
    std::vector<SpecRecord> m_owners;
};

}  // namespace script::testing
