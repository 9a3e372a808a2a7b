// A fur cache is binary; somewhere in its bytes sits a run such as
//
//     ...HEAP\0PD94bWwgdmVyc2lvbj0iMS4wIj8+PGdyYXBoPi4uLjwvZ3JhcGg+\0TREE...
//
// which decodes to the graph:
//
//     <?xml version="1.0"?>
//     <graph>
//       <param name="file_name" value="/show/tex/density.tif" nice="File"/>
//     </graph>

#include "readers/yeti.h"

#include <fstream>

#include "assets/asset_collector.h"
#include "common/console.h"
#include "common/errors.h"
#include "common/fs.h"
#include "common/pyutil.h"
#include "common/regex.h"

namespace script {

namespace readers {

namespace {

// The encoded form of `<?xml version="1.0"?` and the characters a block may run over.
constexpr std::string_view k_block_pattern = R"(PD94bWwgdmVyc2lvbj0iMS4wIj8[a-zA-Z0-9_+?=/]+)";
// [^"]* keeps several parameters of one line apart; a value cannot hold a '"' in XML.
constexpr std::string_view k_file_parameter_pattern = R"re(value="([^"]*)" nice="File")re";

constexpr char k_pad = '=';

int base64_value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

}  // namespace

std::optional<std::string> decode_base64(std::string_view text)
{
    std::string out;
    out.reserve(text.size() / 4 * 3);
    unsigned buffer = 0;
    int group_pos = 0;  // data characters of the current 4-character group
    int pads = 0;
    for (const char c : text) {
        if (c == k_pad) {
            // Padding counts only after two or three data characters; a complete group
            // ends the data.
            if (group_pos >= 2 && group_pos + ++pads >= 4) {
                return out;
            }
            continue;
        }
        const int value = base64_value(c);
        if (value < 0) {
            continue;
        }
        pads = 0;
        buffer = (buffer << 6) | static_cast<unsigned>(value);
        ++group_pos;
        if (group_pos == 2) {
            out += static_cast<char>((buffer >> 4) & 0xFF);
        } else if (group_pos == 3) {
            out += static_cast<char>((buffer >> 2) & 0xFF);
        } else if (group_pos == 4) {
            out += static_cast<char>(buffer & 0xFF);
            group_pos = 0;
            buffer = 0;
        }
    }
    if (group_pos != 0) {
        return std::nullopt;
    }
    return out;
}

std::vector<std::string> find_yeti_blocks(std::string_view line)
{
    static const Regex block(k_block_pattern, Regex::IgnoreCase);
    return block.findall(line);
}

std::vector<std::string> yeti_file_parameters(std::string_view xml_text)
{
    static const Regex file_parameter(k_file_parameter_pattern);
    std::vector<std::string> values;
    for (const std::string& piece : split(xml_text, "\n")) {
        for (const Match& m : file_parameter.find_all(piece)) {
            values.push_back(m.group(1));
        }
    }
    return values;
}

std::vector<std::string> read_yeti_cache(std::istream& in, std::string_view source_name)
{
    std::vector<std::string> found;
    std::string line;
    while (std::getline(in, line)) {
        for (const std::string& block : find_yeti_blocks(line)) {
            const std::optional<std::string> text = decode_base64(block);
            if (!text) {
                print_line(
                    "Warnning: skip a yeti graph block that is not valid base64 in cache : " +
                    std::string(source_name));
                continue;
            }
            if (!is_utf8(*text)) {
                print_line("Warnning: skip a yeti graph block that is not valid utf-8 in cache : " +
                           std::string(source_name));
                continue;
            }
            for (std::string& value : yeti_file_parameters(*text)) {
                found.push_back(std::move(value));
            }
        }
    }
    return found;
}

}  // namespace readers

ReaderResult zel_Katana_asset::getYetiSequen(const std::string& fur_file, const std::string& nodePath)
{
    if (!yeti_read.insert(fur_file).second) {
        return {};
    }
    print_line("start analyse yeti cache : " + fur_file);
    std::ifstream in(fur_file, std::ios::binary);
    if (!in) {
        throw Error("cannot open yeti cache: " + fur_file);
    }
    const std::vector<std::string> found = readers::read_yeti_cache(in, fur_file);
    print_line(py_repr(found));
    // Graph files are written with their frame and UDIM tokens: they expand like any other
    // reference of the scene, under the label the cache was found under.
    for (const std::string& path : found) {
        AnaylseSeq(nodePath, path);
    }
    return {};
}

}  // namespace script
