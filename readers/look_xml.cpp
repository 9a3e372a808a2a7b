// A look description names its files in element attributes:
//
//     <look name="hero">
//       <material name="skin" diffuse="D:/show/tex/skin_diff.1001.tx"/>
//       <assign cache="geo/hero_body.abc">
//         <look file="//10.0.0.5/show/look/hero_eyes.xml"/>
//       </assign>
//     </look>
//
// Drive and address paths are dependencies as they are, and a nested look document is read
// into the same lists; a relative ".abc" lies beside the document that names it.

#include "readers/look_xml.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>

#include <pugixml.hpp>

#include "assets/asset_collector.h"
#include "common/errors.h"
#include "common/fs.h"
#include "common/pypath.h"
#include "common/pyutil.h"
#include "common/regex.h"

namespace script {

namespace readers {

namespace {

constexpr std::string_view k_path_like_pattern = R"([a-zA-Z]\:[\\\/]|[\\/]+[0-9\.]+)";
constexpr std::string_view k_relative_cache_pattern = R"(\.abc$)";

// Line number (from 1) of a byte offset into the text.
int line_of_offset(std::string_view text, std::ptrdiff_t offset)
{
    const std::string_view before =
        text.substr(0, static_cast<std::size_t>(std::max<std::ptrdiff_t>(offset, 0)));
    return 1 + static_cast<int>(std::count(before.begin(), before.end(), '\n'));
}

} // namespace

bool is_path_like(std::string_view value)
{
    static const Regex path_like(k_path_like_pattern);
    return path_like.contains(value);
}

std::vector<LookXmlValue> read_look_xml(std::string_view text, std::string_view source_name)
{
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer(text.data(), text.size());
    if (!parsed) {
        throw ParseError(std::string(source_name), line_of_offset(text, parsed.offset),
                         std::string("malformed XML: ") + parsed.description());
    }
    const pugi::xml_node root = document.document_element();
    if (!root) {
        throw ParseError(std::string(source_name),
                         line_of_offset(text, static_cast<std::ptrdiff_t>(text.size())),
                         "malformed XML: no element found");
    }

    static const Regex relative_cache(k_relative_cache_pattern);
    std::vector<LookXmlValue> values;
    // Pre-order walk below the root without recursion: deep documents cannot exhaust the
    // stack.
    pugi::xml_node node = root.first_child();
    while (node && node != root) {
        if (node.type() == pugi::node_element) {
            for (const pugi::xml_attribute attribute : node.attributes()) {
                const std::string_view value = attribute.value();
                if (is_path_like(value)) {
                    values.push_back({std::string(value), LookXmlValue::Kind::PathLike});
                } else if (relative_cache.contains(value)) {
                    values.push_back({std::string(value), LookXmlValue::Kind::RelativeCache});
                }
            }
            if (pugi::xml_node child = node.first_child(); child) {
                node = child;
                continue;
            }
        }
        while (node != root && !node.next_sibling()) {
            node = node.parent();
        }
        if (node != root) {
            node = node.next_sibling();
        }
    }
    return values;
}

std::vector<LookXmlValue> read_look_xml_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw Error("cannot open look XML: " + path);
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return read_look_xml(text, path);
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
