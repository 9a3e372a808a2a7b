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

#include <array>
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
// The marker that starts a block, matched in any letter case.
constexpr std::string_view k_marker = "PD94bWwgdmVyc2lvbj0iMS4wIj8";

// The characters a block runs over: the Base64 alphabet with "=", "_" and "?".
bool is_block_char(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=' || c == '_' || c == '?';
}

char lower_ascii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Position of the first marker in a run, letter case ignored; npos when there is none.
std::size_t find_marker(std::string_view run)
{
    if (run.size() < k_marker.size()) {
        return std::string_view::npos;
    }
    for (std::size_t at = 0; at + k_marker.size() <= run.size(); ++at) {
        std::size_t i = 0;
        while (i < k_marker.size() && lower_ascii(run[at + i]) == lower_ascii(k_marker[i])) {
            ++i;
        }
        if (i == k_marker.size()) {
            return at;
        }
    }
    return std::string_view::npos;
}

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
    // A block lies inside one run of the characters a block may hold, from the first marker
    // of the run to the run's end (line feeds are no such character, so runs never cross
    // lines). The cache is read through a fixed buffer and only the current run is kept,
    // so a cache of gigabytes without a line feed is read in bounded memory.
    std::vector<std::string> found;
    std::string run;
    bool run_too_long = false;
    bool warned_too_long = false;
    const auto read_block = [&](std::string_view block) {
        const std::optional<std::string> text = decode_base64(block);
        if (!text) {
            print_line("Warnning: skip a yeti graph block that is not valid base64 in cache : " +
                       std::string(source_name));
            return;
        }
        if (!is_utf8(*text)) {
            print_line("Warnning: skip a yeti graph block that is not valid utf-8 in cache : " +
                       std::string(source_name));
            return;
        }
        for (std::string& value : yeti_file_parameters(*text)) {
            found.push_back(std::move(value));
        }
    };
    const auto end_run = [&] {
        if (run_too_long) {
            if (!warned_too_long) {
                warned_too_long = true;
                print_line("Warnning: skip a yeti graph block longer than " +
                           std::to_string(k_max_yeti_block_bytes) +
                           " bytes in cache : " + std::string(source_name));
            }
        } else if (const std::size_t start = find_marker(run);
                   start != std::string::npos && run.size() > start + k_marker.size()) {
            read_block(std::string_view(run).substr(start));
        }
        run.clear();
        run_too_long = false;
    };
    static const std::array<bool, 256> block_chars = [] {
        std::array<bool, 256> table{};
        for (int c = 0; c < 256; ++c) {
            table[static_cast<std::size_t>(c)] = is_block_char(static_cast<char>(c));
        }
        return table;
    }();
    const auto is_block = [](char c) { return block_chars[static_cast<unsigned char>(c)]; };
    char buffer[65536];
    while (in) {
        in.read(buffer, sizeof buffer);
        const std::size_t got = static_cast<std::size_t>(in.gcount());
        std::size_t i = 0;
        while (i < got) {
            if (!is_block(buffer[i])) {
                if (!run.empty() || run_too_long) {
                    end_run();
                }
                ++i;
                continue;
            }
            std::size_t end = i + 1;
            while (end < got && is_block(buffer[end])) {
                ++end;
            }
            if (!run_too_long) {
                if (run.size() + (end - i) > k_max_yeti_block_bytes) {
                    run_too_long = true;
                    run = std::string();
                } else {
                    run.append(buffer + i, end - i);
                }
            }
            i = end;
        }
    }
    if (!run.empty() || run_too_long) {
        end_run();
    }
    return found;
}

}  // namespace readers

ReaderResult zel_Katana_asset::getYetiSequen(const std::string& fur_file,
                                             const std::string& nodePath)
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
    print_repr_list_line(found);
    // Graph files are written with their frame and UDIM tokens: they expand like any other
    // reference of the scene, under the label the cache was found under.
    for (const std::string& path : found) {
        AnaylseSeq(nodePath, path);
    }
    return {};
}

}  // namespace script
