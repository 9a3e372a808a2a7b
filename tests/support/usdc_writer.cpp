#include "tests/support/usdc_writer.h"

#include <cstring>
#include <functional>
#include <stdexcept>

namespace script::testing {

namespace {

constexpr std::uint64_t k_array_bit = 1ull << 63;
constexpr std::uint64_t k_inlined_bit = 1ull << 62;
constexpr std::uint64_t k_header_size = 88;
constexpr std::uint32_t k_field_set_end = 0xFFFFFFFFu;
constexpr std::uint64_t k_points_chunk = 1 << 20;

enum Type : int
{
    k_string = 10,
    k_token = 11,
    k_asset_path = 12,
    k_vec3f = 24,
    k_dictionary = 31,
    k_reference_list_op = 35,
    k_token_vector = 41,
    k_specifier = 42,
    k_time_samples = 46,
    k_payload = 47,
    k_double_vector = 48,
    k_string_vector = 50,
    k_value_block = 51,
    k_unregistered_value = 53,
    k_unregistered_value_list_op = 54,
    k_payload_list_op = 55,
};

template <typename T>
std::string bytes_of(T value)
{
    std::string out(sizeof value, '\0');
    std::memcpy(out.data(), &value, sizeof value);
    return out;
}

// One LZ4 block of literals only, in the crate wrapper (a leading 0: one block).
std::string lz4_wrapped(std::string_view data)
{
    std::string out(1, '\0');
    const std::size_t n = data.size();
    if (n < 15) {
        out += static_cast<char>(n << 4);
    } else {
        out += static_cast<char>(0xF0);
        std::size_t rest = n - 15;
        while (rest >= 255) {
            out += static_cast<char>(0xFF);
            rest -= 255;
        }
        out += static_cast<char>(rest);
    }
    out += data;
    return out;
}

// Splits "/A/B{v=x}C.attr" into its parent and last element.
struct LastElement
{
    std::string parent, element;
    bool property = false;
};

LastElement last_element(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    const std::size_t brace = path.rfind('}');
    const std::size_t boundary = slash == std::string::npos ? brace
                                 : brace == std::string::npos ? slash
                                                              : std::max(slash, brace);
    const std::size_t dot = path.rfind('.');
    if (dot != std::string::npos && (boundary == std::string::npos || dot > boundary)) {
        return {path.substr(0, dot), path.substr(dot + 1), true};
    }
    if (!path.empty() && path.back() == '}') {
        const std::size_t open = path.rfind('{');
        return {path.substr(0, open), path.substr(open), false};
    }
    if (boundary == slash) {
        return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1), false};
    }
    return {path.substr(0, brace + 1), path.substr(brace + 1), false};
}

}  // namespace

CrateWriter::CrateWriter(std::ostream& out, int minor, int patch)
    : m_out(out), m_minor(minor), m_patch(patch)
{
    put(std::string(k_header_size, '\0'));
    m_nodes.push_back(PathNode{m_slots++, "", false, {}});
    m_node_index.emplace("/", 0);
}

void CrateWriter::put(std::string_view bytes)
{
    m_out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    m_pos += bytes.size();
}

template <typename T>
void CrateWriter::put_value(T value)
{
    put(bytes_of(value));
}

std::uint32_t CrateWriter::token_index(std::string_view text)
{
    const auto it = m_token_index.find(text);
    if (it != m_token_index.end()) {
        return it->second;
    }
    const auto index = static_cast<std::uint32_t>(m_tokens.size());
    m_tokens.emplace_back(text);
    m_token_index.emplace(std::string(text), index);
    return index;
}

std::uint32_t CrateWriter::string_index(std::string_view text)
{
    const std::uint32_t token = token_index(text);
    const auto it = m_string_index.find(token);
    if (it != m_string_index.end()) {
        return it->second;
    }
    const auto index = static_cast<std::uint32_t>(m_strings.size());
    m_strings.push_back(token);
    m_string_index.emplace(token, index);
    return index;
}

std::size_t CrateWriter::path_node(const std::string& path)
{
    const auto it = m_node_index.find(path);
    if (it != m_node_index.end()) {
        return it->second;
    }
    const LastElement last = last_element(path);
    const std::size_t parent = path_node(last.parent);
    token_index(last.element);
    const std::size_t node = m_nodes.size();
    m_nodes.push_back(PathNode{m_slots++, last.element, last.property, {}});
    m_nodes[parent].children.push_back(node);
    m_node_index.emplace(path, node);
    return node;
}

std::uint32_t CrateWriter::path_index(std::string_view path)
{
    if (path.empty()) {
        // The empty path has a slot that the path tree never fills.
        if (m_empty_path_slot < 0) {
            m_empty_path_slot = m_slots++;
        }
        return static_cast<std::uint32_t>(m_empty_path_slot);
    }
    return m_nodes[path_node(std::string(path))].slot;
}

CrateWriter::Rep CrateWriter::raw(int type, std::uint64_t payload, bool inlined, bool array)
{
    return (array ? k_array_bit : 0) | (inlined ? k_inlined_bit : 0) |
           (static_cast<std::uint64_t>(type & 0xFF) << 48) | (payload & ((1ull << 48) - 1));
}

CrateWriter::Rep CrateWriter::asset(std::string_view path)
{
    return raw(k_asset_path, token_index(path), true);
}

void CrateWriter::put_array_count(std::uint64_t count)
{
    if (!at_least(5)) {
        put_value<std::uint32_t>(1);
        put_value(static_cast<std::uint32_t>(count));
    } else if (!at_least(7)) {
        put_value(static_cast<std::uint32_t>(count));
    } else {
        put_value(count);
    }
}

CrateWriter::Rep CrateWriter::asset_array(const std::vector<std::string>& paths)
{
    const std::uint64_t at = here();
    put_array_count(paths.size());
    for (const std::string& path : paths) {
        put_value(string_index(path));
    }
    return raw(k_asset_path, at, false, true);
}

CrateWriter::Rep CrateWriter::string(std::string_view text)
{
    return raw(k_string, string_index(text), true);
}

CrateWriter::Rep CrateWriter::token(std::string_view text)
{
    return raw(k_token, token_index(text), true);
}

CrateWriter::Rep CrateWriter::string_vector(const std::vector<std::string>& texts)
{
    const std::uint64_t at = here();
    put_value<std::uint64_t>(texts.size());
    for (const std::string& text : texts) {
        put_value(string_index(text));
    }
    return raw(k_string_vector, at, false);
}

CrateWriter::Rep CrateWriter::token_vector(const std::vector<std::string>& texts)
{
    const std::uint64_t at = here();
    put_value<std::uint64_t>(texts.size());
    for (const std::string& text : texts) {
        put_value(token_index(text));
    }
    return raw(k_token_vector, at, false);
}

CrateWriter::Rep CrateWriter::specifier_def()
{
    return raw(k_specifier, 0, true);
}

CrateWriter::Rep CrateWriter::block()
{
    return raw(k_value_block, 0, true);
}

CrateWriter::Rep CrateWriter::dictionary(const Entries& entries)
{
    if (entries.empty()) {
        return raw(k_dictionary, 0, true);
    }
    const std::uint64_t at = here();
    put_value<std::uint64_t>(entries.size());
    for (const auto& [key, rep] : entries) {
        put_value(string_index(key));
        put_value<std::int64_t>(8);  // the value's representation follows its jump
        put_value(rep);
    }
    return raw(k_dictionary, at, false);
}

CrateWriter::Rep CrateWriter::unregistered(Rep inner)
{
    const std::uint64_t at = here();
    put_value<std::int64_t>(8);
    put_value(inner);
    return raw(k_unregistered_value, at, false);
}

CrateWriter::Rep CrateWriter::unregistered_list_op(const std::vector<Rep>& items)
{
    const std::uint64_t at = here();
    put_value<std::uint8_t>(0x03);  // explicit, with items
    put_value<std::uint64_t>(items.size());
    for (const Rep item : items) {
        put_value<std::int64_t>(8);
        put_value(item);
    }
    return raw(k_unregistered_value_list_op, at, false);
}

CrateWriter::Rep CrateWriter::time_samples(const std::vector<std::pair<double, Rep>>& samples)
{
    const std::uint64_t times = here();
    put_value<std::uint64_t>(samples.size());
    for (const auto& sample : samples) {
        put_value(sample.first);
    }
    const std::uint64_t at = here();
    put_value<std::int64_t>(8);
    put_value(raw(k_double_vector, times, false));
    put_value<std::int64_t>(8);
    put_value<std::uint64_t>(samples.size());
    for (const auto& sample : samples) {
        put_value(sample.second);
    }
    return raw(k_time_samples, at, false);
}

void CrateWriter::put_arc(const Arc& arc, bool reference)
{
    put_value(string_index(arc.asset));
    put_value(path_index(arc.prim));
    if (reference || at_least(8)) {
        put_value(0.0);
        put_value(1.0);
    }
    if (reference) {
        put_value<std::uint64_t>(arc.custom_data.size());
        for (const auto& [key, rep] : arc.custom_data) {
            put_value(string_index(key));
            put_value<std::int64_t>(8);
            put_value(rep);
        }
    }
}

CrateWriter::Rep CrateWriter::list_op(const ArcListOp& op, int type, bool reference)
{
    const std::uint64_t at = here();
    std::uint8_t header = op.is_explicit ? 0x01 : 0x00;
    const std::pair<std::uint8_t, const std::vector<Arc>*> lists[] = {
        {0x02, &op.explicit_items}, {0x04, &op.added},   {0x20, &op.prepended},
        {0x40, &op.appended},       {0x08, &op.deleted}, {0x10, &op.ordered}};
    for (const auto& [bit, items] : lists) {
        if (!items->empty()) {
            header |= bit;
        }
    }
    put_value(header);
    for (const auto& [bit, items] : lists) {
        if (items->empty()) {
            continue;
        }
        put_value<std::uint64_t>(items->size());
        for (const Arc& arc : *items) {
            put_arc(arc, reference);
        }
    }
    return raw(type, at, false);
}

CrateWriter::Rep CrateWriter::references(const ArcListOp& op)
{
    return list_op(op, k_reference_list_op, true);
}

CrateWriter::Rep CrateWriter::payloads(const ArcListOp& op)
{
    if (!at_least(8)) {
        throw std::logic_error("payload list operations need crate 0.8.0");
    }
    return list_op(op, k_payload_list_op, false);
}

CrateWriter::Rep CrateWriter::payload(const Arc& arc)
{
    const std::uint64_t at = here();
    put_arc(arc, false);
    return raw(k_payload, at, false);
}

CrateWriter::Rep CrateWriter::points(std::uint64_t count)
{
    const std::uint64_t at = here();
    put_array_count(count);
    std::string chunk(k_points_chunk, '\0');
    for (std::size_t i = 0; i + 4 <= chunk.size(); i += 4) {
        const float value = static_cast<float>(i % 1000) * 0.5f;
        std::memcpy(chunk.data() + i, &value, 4);
    }
    for (std::uint64_t left = count * 12; left > 0;) {
        const std::uint64_t n = std::min<std::uint64_t>(left, chunk.size());
        put(std::string_view(chunk.data(), n));
        left -= n;
    }
    return raw(k_vec3f, at, false, true);
}

void CrateWriter::owner(std::string_view path, SpecType type, const Entries& fields)
{
    const auto field_set = static_cast<std::uint32_t>(m_field_sets.size());
    for (const auto& [name, rep] : fields) {
        m_field_sets.push_back(static_cast<std::uint32_t>(m_fields.size()));
        m_fields.emplace_back(token_index(name), rep);
    }
    m_field_sets.push_back(k_field_set_end);
    m_owners.push_back(SpecRecord{path_index(path), field_set, type});
}

// All differences stored as four-byte values (code 3), the common value unused.
std::string CrateWriter::compressed_ints(const std::vector<std::uint32_t>& values) const
{
    std::string encoded;
    if (!values.empty()) {
        encoded = bytes_of<std::int32_t>(0);
        encoded.append((2 * values.size() + 7) / 8, static_cast<char>(0xFF));
        std::uint32_t previous = 0;
        for (const std::uint32_t value : values) {
            encoded += bytes_of(value - previous);
            previous = value;
        }
    }
    const std::string wrapped = lz4_wrapped(encoded);
    return bytes_of<std::uint64_t>(wrapped.size()) + wrapped;
}

std::string CrateWriter::section_bytes(const std::string& name)
{
    std::string out;
    const bool compressed = at_least(4);
    auto u32s = [&](const std::vector<std::uint32_t>& values) {
        if (compressed) {
            out += compressed_ints(values);
        } else {
            for (const std::uint32_t v : values) {
                out += bytes_of(v);
            }
        }
    };
    if (name == "TOKENS") {
        std::string text;
        for (const std::string& token : m_tokens) {
            text += token;
            text += '\0';
        }
        out += bytes_of<std::uint64_t>(m_tokens.size());
        out += bytes_of<std::uint64_t>(text.size());
        if (compressed) {
            const std::string wrapped = lz4_wrapped(text);
            out += bytes_of<std::uint64_t>(wrapped.size()) + wrapped;
        } else {
            out += text;
        }
    } else if (name == "STRINGS") {
        out += bytes_of<std::uint64_t>(m_strings.size());
        for (const std::uint32_t s : m_strings) {
            out += bytes_of(s);
        }
    } else if (name == "FIELDS") {
        out += bytes_of<std::uint64_t>(m_fields.size());
        if (compressed) {
            std::vector<std::uint32_t> names;
            std::string reps;
            for (const auto& [field_name, rep] : m_fields) {
                names.push_back(field_name);
                reps += bytes_of(rep);
            }
            out += compressed_ints(names);
            const std::string wrapped = lz4_wrapped(reps);
            out += bytes_of<std::uint64_t>(wrapped.size()) + wrapped;
        } else {
            for (const auto& [field_name, rep] : m_fields) {
                out += bytes_of<std::uint32_t>(0) + bytes_of(field_name) + bytes_of(rep);
            }
        }
    } else if (name == "FIELDSETS") {
        out += bytes_of<std::uint64_t>(m_field_sets.size());
        u32s(m_field_sets);
    } else if (name == "SPECS") {
        out += bytes_of<std::uint64_t>(m_owners.size());
        if (compressed) {
            std::vector<std::uint32_t> paths, sets, types;
            for (const SpecRecord& s : m_owners) {
                paths.push_back(s.path);
                sets.push_back(s.field_set);
                types.push_back(s.type);
            }
            u32s(paths);
            u32s(sets);
            u32s(types);
        } else {
            for (const SpecRecord& s : m_owners) {
                if (!at_least(1)) {
                    out += bytes_of<std::uint32_t>(0);
                }
                out += bytes_of(s.path) + bytes_of(s.field_set) + bytes_of(s.type);
            }
        }
    }
    return out;
}

void CrateWriter::finish()
{
    std::vector<std::pair<std::string, std::pair<std::uint64_t, std::uint64_t>>> sections;
    for (const char* name : {"TOKENS", "STRINGS", "FIELDS", "FIELDSETS"}) {
        const std::uint64_t start = here();
        put(section_bytes(name));
        sections.push_back({name, {start, here() - start}});
    }

    // The path tree, depth first; each node knows whether it has a child and a sibling.
    struct Visit
    {
        std::size_t node;
        bool has_child, has_sibling;
        std::uint64_t subtree;  // nodes in its subtree, itself included
    };
    std::vector<Visit> order;
    std::function<void(std::size_t, bool)> walk = [&](std::size_t node, bool sibling) {
        const std::size_t at = order.size();
        order.push_back(Visit{node, !m_nodes[node].children.empty(), sibling, 0});
        const std::vector<std::size_t>& children = m_nodes[node].children;
        for (std::size_t i = 0; i < children.size(); ++i) {
            walk(children[i], i + 1 < children.size());
        }
        order[at].subtree = order.size() - at;
    };
    walk(0, false);

    const std::uint64_t paths_start = here();
    std::string paths = bytes_of<std::uint64_t>(m_slots);
    auto element_token = [&](const PathNode& n) {
        const auto token = static_cast<std::int32_t>(m_token_index.find(n.element)->second);
        return static_cast<std::uint32_t>(n.property ? -token : token);
    };
    if (at_least(4)) {
        std::vector<std::uint32_t> slots, elements, jumps;
        for (const Visit& v : order) {
            const PathNode& n = m_nodes[v.node];
            slots.push_back(n.slot);
            elements.push_back(v.node == 0 ? 0 : element_token(n));
            const std::int32_t jump = v.has_child && v.has_sibling ? static_cast<std::int32_t>(v.subtree)
                                      : v.has_child                ? -1
                                      : v.has_sibling              ? 0
                                                                   : -2;
            jumps.push_back(static_cast<std::uint32_t>(jump));
        }
        paths += bytes_of<std::uint64_t>(order.size());
        paths += compressed_ints(slots);
        paths += compressed_ints(elements);
        paths += compressed_ints(jumps);
    } else {
        const std::uint64_t record = at_least(1) ? 12 : 16;
        std::vector<std::uint64_t> positions;
        std::uint64_t pos = paths_start + paths.size();
        for (const Visit& v : order) {
            positions.push_back(pos);
            pos += record + (v.has_child && v.has_sibling ? 8 : 0);
        }
        for (std::size_t i = 0; i < order.size(); ++i) {
            const Visit& v = order[i];
            const PathNode& n = m_nodes[v.node];
            if (record == 16) {
                paths += bytes_of<std::uint32_t>(0);
            }
            const std::uint8_t bits = (v.has_child ? 1 : 0) | (v.has_sibling ? 2 : 0) |
                                      (n.property ? 4 : 0);
            paths += bytes_of(n.slot) +
                     bytes_of<std::uint32_t>(v.node == 0 ? 0 : m_token_index.find(n.element)->second) +
                     bytes_of(bits) + std::string(3, '\0');
            if (v.has_child && v.has_sibling) {
                paths += bytes_of<std::uint64_t>(positions[i + v.subtree]);
            }
        }
    }
    put(paths);
    sections.push_back({"PATHS", {paths_start, here() - paths_start}});
    const std::uint64_t owners_start = here();
    put(section_bytes("SPECS"));
    sections.push_back({"SPECS", {owners_start, here() - owners_start}});

    const std::uint64_t toc = here();
    put_value<std::uint64_t>(sections.size());
    for (const auto& [name, range] : sections) {
        std::string record_name(16, '\0');
        record_name.replace(0, name.size(), name);
        put(record_name);
        put_value(range.first);
        put_value(range.second);
    }
    std::string header = "PXR-USDC";
    header += static_cast<char>(0);
    header += static_cast<char>(m_minor);
    header += static_cast<char>(m_patch);
    header += std::string(5, '\0');
    header += bytes_of(toc);
    m_out.seekp(0);
    m_out.write(header.data(), static_cast<std::streamsize>(header.size()));
    m_out.seekp(0, std::ios::end);
}

}  // namespace script::testing
