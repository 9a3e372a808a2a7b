// A look description names its files in element attributes:
//
//     <look name="hero">
//       <material name="skin" diffuse="D:/show/tex/skin_diff.1001.tx"/>
//       <assign cache="geo/hero_body.abc">
//         <look file="//10.0.0.5/show/look/hero_eyes.xml"/>
//       </assign>
//     </look>
//
// Drive, POSIX absolute and address paths are dependencies as they are, and a nested look document
// is read into the same lists; a relative ".abc" lies beside the document that names it.

#include "readers/look_xml.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <set>

#include <pugixml.hpp>

#include "assets/asset_collector.h"
#include "common/console.h"
#include "common/errors.h"
#include "common/fs.h"
#include "common/json_doc.h"
#include "common/pypath.h"
#include "common/pyutil.h"
#include "common/regex.h"

namespace script {

namespace readers {

namespace {

constexpr std::string_view k_path_like_pattern = R"([a-zA-Z]\:[\\\/]|[\\/]+[0-9\.]+)";
// A POSIX absolute path: the value starts with "/" (or "//") and a name.
constexpr std::string_view k_posix_absolute_pattern = R"(^/{1,2}[^/\s])";
constexpr std::string_view k_relative_cache_pattern = R"(\.abc$)";
constexpr std::array<std::string_view, 5> k_predefined_entities = {"lt", "gt", "amp", "quot",
                                                                   "apos"};

// Line number (from 1) of a byte offset into the text.
int line_of_offset(std::string_view text, std::ptrdiff_t offset)
{
    const std::string_view before =
        text.substr(0, static_cast<std::size_t>(std::max<std::ptrdiff_t>(offset, 0)));
    return 1 + static_cast<int>(std::count(before.begin(), before.end(), '\n'));
}

ParseError malformed(std::string_view source_name, std::string_view text, std::ptrdiff_t offset,
                     std::string_view problem)
{
    return ParseError(std::string(source_name), line_of_offset(text, offset),
                      "malformed XML: " + std::string(problem));
}

// Calls `visit` for every node below `root` in document order. Iterative, so deeply nested
// documents cannot exhaust the stack.
template <typename Visit> void for_each_descendant(pugi::xml_node root, Visit visit)
{
    pugi::xml_node node = root.first_child();
    while (node) {
        visit(node);
        if (pugi::xml_node child = node.first_child()) {
            node = child;
            continue;
        }
        while (node != root && !node.next_sibling()) {
            node = node.parent();
        }
        node = node == root ? pugi::xml_node() : node.next_sibling();
    }
}

template <typename Pred> bool all_chars(std::string_view text, Pred pred)
{
    return std::all_of(text.begin(), text.end(),
                       [&](char c) { return pred(static_cast<unsigned char>(c)); });
}

bool is_name_char(unsigned char c)
{
    return std::isalnum(c) || c == '_' || c == '-' || c == '.' || c == ':' || c >= 0x80;
}

// True when every "&" of undecoded text starts a reference: a character reference, a
// predefined entity, or any named entity when the document declares entities of its own.
bool references_are_valid(std::string_view raw, bool declared_entities)
{
    for (std::size_t at = raw.find('&'); at != std::string_view::npos; at = raw.find('&', at + 1)) {
        const std::size_t end = raw.find(';', at + 1);
        if (end == std::string_view::npos) {
            return false;
        }
        const std::string_view name = raw.substr(at + 1, end - at - 1);
        bool valid = false;
        if (name.starts_with("#x")) {
            valid = name.size() > 2 && all_chars(name.substr(2), ::isxdigit);
        } else if (name.starts_with('#')) {
            valid = name.size() > 1 && all_chars(name.substr(1), ::isdigit);
        } else if (!name.empty() && all_chars(name, is_name_char)) {
            valid = declared_entities ||
                    std::find(k_predefined_entities.begin(), k_predefined_entities.end(), name) !=
                        k_predefined_entities.end();
        }
        if (!valid) {
            return false;
        }
    }
    return true;
}

// The parser builds trees from some text a conforming XML parser refuses: several top-level
// elements, text outside the root, a repeated attribute, "<" in an attribute value, an
// undefined entity. Look documents with such faults fail as malformed too. The text is
// parsed undecoded and as a fragment here, so all of these stay visible.
void check_well_formed(std::string_view text, std::string_view source_name)
{
    pugi::xml_document raw;
    const unsigned options =
        (pugi::parse_default & ~pugi::parse_escapes) | pugi::parse_fragment | pugi::parse_doctype;
    const pugi::xml_parse_result parsed = raw.load_buffer(text.data(), text.size(), options);
    if (!parsed) {
        throw malformed(source_name, text, parsed.offset, parsed.description());
    }

    bool declared_entities = false;
    int top_elements = 0;
    for (const pugi::xml_node node : raw.children()) {
        if (node.type() == pugi::node_doctype) {
            declared_entities =
                std::string_view(node.value()).find("<!ENTITY") != std::string_view::npos;
        } else if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) {
            // The text node starts with the white space before the text itself.
            const std::string_view value = node.value();
            const std::size_t first = std::min(value.find_first_not_of(" \t\r\n"), value.size());
            throw malformed(source_name, text,
                            node.offset_debug() + static_cast<std::ptrdiff_t>(first),
                            "text outside the root element");
        } else if (node.type() == pugi::node_element && ++top_elements > 1) {
            throw malformed(source_name, text, node.offset_debug(), "junk after document element");
        }
    }
    if (top_elements == 0) {
        throw malformed(source_name, text, static_cast<std::ptrdiff_t>(text.size()),
                        "no element found");
    }

    for_each_descendant(raw, [&](pugi::xml_node node) {
        if (node.type() == pugi::node_pcdata &&
            !references_are_valid(node.value(), declared_entities)) {
            throw malformed(source_name, text, node.offset_debug(), "undefined entity");
        }
        if (node.type() != pugi::node_element) {
            return;
        }
        std::set<std::string_view> names;
        for (const pugi::xml_attribute attribute : node.attributes()) {
            const std::string_view value = attribute.value();
            if (!names.insert(attribute.name()).second) {
                throw malformed(source_name, text, node.offset_debug(),
                                "duplicate attribute " +
                                    py_repr(std::string_view(attribute.name())));
            }
            if (value.find('<') != std::string_view::npos) {
                throw malformed(source_name, text, node.offset_debug(),
                                "\"<\" in the value of attribute " +
                                    py_repr(std::string_view(attribute.name())));
            }
            if (!references_are_valid(value, declared_entities)) {
                throw malformed(source_name, text, node.offset_debug(), "undefined entity");
            }
        }
    });
}

} // namespace

bool is_path_like(std::string_view value)
{
    static const Regex path_like(k_path_like_pattern);
    static const Regex posix_absolute(k_posix_absolute_pattern);
    return path_like.contains(value) || posix_absolute.contains(value);
}

std::vector<LookXmlValue> read_look_xml(std::string_view text, std::string_view source_name)
{
    check_well_formed(text, source_name);
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer(text.data(), text.size());
    if (!parsed) {
        throw malformed(source_name, text, parsed.offset, parsed.description());
    }

    static const Regex relative_cache(k_relative_cache_pattern);
    std::vector<LookXmlValue> values;
    for_each_descendant(document.document_element(), [&](pugi::xml_node node) {
        for (const pugi::xml_attribute attribute : node.attributes()) {
            const std::string_view value = attribute.value();
            if (is_path_like(value)) {
                values.push_back({std::string(value), LookXmlValue::Kind::PathLike});
            } else if (relative_cache.contains(value)) {
                values.push_back({std::string(value), LookXmlValue::Kind::RelativeCache});
            }
        }
    });
    return values;
}

std::string look_xml_size_problem(const std::string& path)
{
    const std::optional<std::uint64_t> size = fs::file_size(path);
    if (!size || *size <= k_max_look_xml_bytes) {
        return {};
    }
    return "the look XML holds " + std::to_string(*size) + " bytes, more than the " +
           std::to_string(k_max_look_xml_bytes) + " a look document may have";
}

std::vector<LookXmlValue> read_look_xml_file(const std::string& path)
{
    if (const std::string problem = look_xml_size_problem(path); !problem.empty()) {
        throw Error("cannot read look XML " + path + ": " + problem);
    }
    return read_look_xml(read_file(path), path);
}

std::string relative_cache_path(std::string_view xml_file, std::string_view value)
{
    return replace_all(pypath::join(pypath::dirname(xml_file), value), "\\", "/");
}

} // namespace readers

namespace {

// One top-level read of a look document with the documents it names. Each document is
// read once per top-level read, so documents that name each other, or themselves, end.
class LookXmlRead
{
public:
    explicit LookXmlRead(zel_Katana_asset& collector) : m_collector(collector) {}

    void read(const std::string& xmlFile)
    {
        fs::DirectoryCache& cache = m_collector.directory_cache();
        if (!cache.exists(xmlFile)) {
            m_collector.xmlMissFile.push_back(xmlFile);
            return;
        }
        if (!m_read.insert(document_key(xmlFile)).second) {
            return;
        }
        m_collector.xmlAssets.push_back(xmlFile);
        // A document too large to hold exists, so it is found; what it names stays unknown.
        if (const std::string problem = readers::look_xml_size_problem(xmlFile); !problem.empty()) {
            print_line("Warnning: skip reading look XML " + xmlFile + ": " + problem);
            return;
        }
        for (const readers::LookXmlValue& found : readers::read_look_xml_file(xmlFile)) {
            const std::string& v = found.value;
            if (found.kind == readers::LookXmlValue::Kind::PathLike) {
                m_collector.xmlAssets.push_back(v);
                if (!cache.exists(v)) {
                    m_collector.xmlMissFile.push_back(v);
                }
                if (v.ends_with("xml")) {
                    read(v);
                }
            } else {
                const std::string cache_path = readers::relative_cache_path(xmlFile, v);
                (cache.exists(cache_path) ? m_collector.xmlAssets : m_collector.xmlMissFile)
                    .push_back(cache_path);
            }
        }
    }

private:
    // Spellings of one document ("a/./b.xml", "a\\b.xml", relative) share a key.
    static std::string document_key(const std::string& path)
    {
        return pypath::abspath(replace_all(path, "\\", "/"));
    }

    zel_Katana_asset& m_collector;
    std::set<std::string> m_read;
};

} // namespace

void zel_Katana_asset::getXmlAssets(const std::string& xmlFile)
{
    LookXmlRead(*this).read(xmlFile);
}

} // namespace script
