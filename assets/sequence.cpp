// AnaylseSeq: one file reference becomes recorded files. Environment references are
// expanded, frame, UDIM and range tokens become a wildcard, the matches are listed with
// their texture cache twins, container formats go to their readers, and the result is
// merged into the asset record under the source label.

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <string_view>
#include <unordered_set>

#include "assets/asset_collector.h"
#include "common/console.h"
#include "common/fs.h"
#include "common/glob.h"
#include "common/platform.h"
#include "common/pypath.h"
#include "common/pyutil.h"
#include "common/regex.h"
#include "common/text_match.h"

namespace script {

namespace {

// The width of the rule printed before a layer tree's files.
constexpr std::size_t k_usd_rule_width = 100;

// Replaced in this order, so "####" becomes one "*" before single "#" are replaced.
constexpr std::array<std::string_view, 6> k_sequence_markers = {"<udim>", "<UDIM>", "%04d",
                                                                "%03d",   "####",   "#"};

void append(std::vector<std::string>& to, const std::vector<std::string>& from)
{
    to.insert(to.end(), from.begin(), from.end());
}

void merge_reader_result(ReaderResult& result, const ReaderResult& found)
{
    append(result.asset, found.asset);
    if (!found.miss.empty())
        append(result.miss, found.miss);
}

// Distinct entries in first-met order, each filed as found or missing.
void file_by_existence(fs::DirectoryCache& cache, const std::vector<std::string>& paths,
                       ReaderResult& result)
{
    std::unordered_set<std::string> seen;
    for (const std::string& path : paths) {
        if (!seen.insert(path).second)
            continue;
        (cache.exists(path) ? result.asset : result.miss).push_back(path);
    }
}

// What a found file of a container kind adds to the working record. The label is the
// source label of the reference being expanded.
using ReaderHandler = void (*)(zel_Katana_asset& collector, const std::string& label,
                               const std::string& path, ReaderResult& result);

struct DispatchRow
{
    std::array<std::string_view, 3> suffixes;  // empty entries unused
    ReaderHandler handler;                     // nullptr: recorded as an ordinary file
};

void read_arnold_scene(zel_Katana_asset& c, const std::string&, const std::string& path,
                       ReaderResult& result)
{
    merge_reader_result(result, c.getAssSequen(path));
}

void read_redshift_proxy(zel_Katana_asset& c, const std::string&, const std::string& path,
                         ReaderResult& result)
{
    merge_reader_result(result, c.get_rs_file_from_cmd(path));
}

void read_yeti_cache(zel_Katana_asset& c, const std::string& label, const std::string& path,
                     ReaderResult& result)
{
    merge_reader_result(result, c.getYetiSequen(path, label));
}

void read_look_xml(zel_Katana_asset& c, const std::string&, const std::string& path,
                   ReaderResult& result)
{
    c.xmlAssets.clear();
    c.xmlMissFile.clear();
    c.getXmlAssets(path);
    append(result.asset, c.xmlAssets);
    if (!c.xmlMissFile.empty())
        append(result.miss, c.xmlMissFile);
}

void read_klf(zel_Katana_asset& c, const std::string& label, const std::string& path,
              ReaderResult&)
{
    print_line("klfFile:" + path);
    c.getKlfAssets(label, path);
}

// The caller's side of the USD walk: the layer tree of a found layer, each member filed as
// found or missing.
void read_usd_layers(zel_Katana_asset& c, const std::string&, const std::string& path,
                     ReaderResult& result)
{
    c.reset_usd_walk();
    c.get_all_usd(path);
    append(c.usdFiles, c.usd_list);
    print_line(std::string(k_usd_rule_width, '&'));
    print_repr_list_line(c.usdFiles);
    for (std::string& file : c.usdFiles)
        file = replace_all(pypath::normpath(file), "\\", "/");
    print_repr_list_line(c.usdFiles);
    c.usdFiles = unique_in_order(c.usdFiles);
    print_repr_list_line(c.usdFiles);
    file_by_existence(c.directory_cache(), c.usdFiles, result);
}

void read_xgen_collection(zel_Katana_asset& c, const std::string&, const std::string& path,
                          ReaderResult& result)
{
    c.xgenfiles.clear();
    c.get_files_from_xgen_file(path);
    file_by_existence(c.directory_cache(), c.xgenfiles, result);
}

void read_ocio_config(zel_Katana_asset& c, const std::string&, const std::string& path,
                      ReaderResult& result)
{
    file_by_existence(c.directory_cache(), c.get_ocio_files(path), result);
}

// First matching row wins. A file goes to a reader only when its name ends in the
// format's dotted suffix: a texture named ".../colors" is no Redshift proxy.
constexpr std::array<DispatchRow, 8> k_dispatch = {{
    {{".ass", ".ass.gz", ""}, read_arnold_scene},
    {{".rs", "", ""}, read_redshift_proxy},
    {{".fur", "", ""}, read_yeti_cache},
    {{".xml", "", ""}, read_look_xml},
    {{".klf", "", ""}, read_klf},
    {{".xgen", "", ""}, read_xgen_collection},
    {{".usd", ".usda", ".usdc"}, read_usd_layers},
    {{".ocio", ".OCIO", ""}, read_ocio_config},
}};

// The last two bytes of the dispatch suffixes, each as one set: most found files end in
// bytes that no suffix ends in.
constexpr std::array<std::array<bool, 256>, 2> k_dispatch_ends = [] {
    std::array<std::array<bool, 256>, 2> ends{};
    for (const DispatchRow& row : k_dispatch)
        for (std::string_view suffix : row.suffixes)
            for (std::size_t back = 0; back < 2 && back < suffix.size(); ++back)
                ends[back][static_cast<unsigned char>(suffix[suffix.size() - 1 - back])] = true;
    return ends;
}();

const DispatchRow* dispatch_row(std::string_view path)
{
    if (path.size() < 2 || !k_dispatch_ends[0][static_cast<unsigned char>(path.back())] ||
        !k_dispatch_ends[1][static_cast<unsigned char>(path[path.size() - 2])])
        return nullptr;
    for (const DispatchRow& row : k_dispatch)
        for (std::string_view suffix : row.suffixes)
            if (!suffix.empty() && path.ends_with(suffix))
                return &row;
    return nullptr;
}

// Every run of digits in the file name becomes "<UDIM>".
std::string digits_to_udim(const std::string& name)
{
    static const Regex k_digits(R"([\d]+)");
    std::string out = name;
    for (const std::string& run : k_digits.findall(name))
        out = replace_all(out, run, "<UDIM>");
    return out;
}

void expand_dollar_variable(std::string& reference)
{
    static const Regex k_dollar(R"(\$\w+[^\\/])");
    if (reference.find('$') == std::string::npos)
        return;
    const std::optional<Match> first = k_dollar.search(reference);
    if (!first)
        return;
    const std::string text = first->group();
    if (const std::optional<std::string> value = platform::get_env(replace_all(text, "$", "")))
        reference = replace_all(reference, text, *value);
}

void expand_bracket_variable(std::string& reference)
{
    static const Regex k_bracket(R"(\[(.*)\])");
    if (reference.find('[') == std::string::npos)
        return;
    const std::optional<Match> first = k_bracket.search(reference);
    if (!first)
        return;
    if (const std::optional<std::string> value = platform::get_env(first->group(1)))
        reference = replace_all(reference, first->group(), *value);
}

// True when splitting the reference into folder and name and joining them again gives
// the same text, which POSIX path rules guarantee unless slashes repeat before the name.
bool split_join_keeps(const std::string& reference)
{
    if (platform::is_windows())
        return false;
    const std::size_t slash = reference.rfind('/');
    return slash == std::string::npos || slash == 0 || reference[slash - 1] != '/';
}

}  // namespace

std::optional<ReaderResult> zel_Katana_asset::AnaylseSeq(const std::string& nodePath,
                                                         std::string_view filePath)
{
    static const Regex k_range_token(R"(\(\d+\-\d+\)%(\d).d)", Regex::IgnoreCase);
    static const Regex k_printf_field(R"(%\d+d)");

    if (filePath.empty())
        return std::nullopt;
    if (const std::optional<assets::PathId> written = m_written.find(filePath)) {
        const WrittenReference& known = m_written_references[*written];
        if (m_analysed->surely_unrecorded(known.bytes)) {
            replay(nodePath, m_expansions[known.expansion]);
            return std::nullopt;
        }
    }
    ReaderResult result;

    // A reference already recorded is filed again under this label without the disk.
    const assets::ByteSet bytes = assets::ByteSet::of(filePath);
    if (const int status = m_analysed->status(filePath, bytes); status != 0) {
        result.asset = {std::string(filePath)};
        if (status == 2)
            result.miss = {std::string(filePath)};
        record(nodePath, result);
        return std::nullopt;
    }

    std::string reference(filePath);
    expand_dollar_variable(reference);
    expand_bracket_variable(reference);

    const std::size_t name_start =
        (platform::is_windows() ? reference.find_last_of("/\\:") : reference.rfind('/')) + 1;
    if (reference.find('(', name_start) != std::string::npos || !split_join_keeps(reference)) {
        auto [dir, name] = pypath::split(reference);
        name = k_range_token.replace_all(name, "<UDIM>");
        reference = pypath::join(dir, name);
    }

    if (reference.ends_with("vdb")) {
        const auto [dir, name] = pypath::split(reference);
        reference = pypath::join(dir, digits_to_udim(name));
    }

    if (reference.ends_with(".ass") || reference.ends_with(".ass.gz")) {
        auto [dir, name] = pypath::split(reference);
        if (!k_printf_field.contains(name))
            name = digits_to_udim(name);
        const std::string alternate = reference.ends_with(".ass")
                                          ? reference + ".gz"
                                          : reference.substr(0, reference.size() - 3);
        if (!m_fs->exists(reference) && m_fs->exists(alternate))
            reference = alternate;
        else
            reference = pypath::join(dir, name);
    }

    // Absolute normal references name the same files for the whole run: the folder
    // listings never change, so a reference met again gives what it gave before (and is
    // still no folder, or it would not have been kept).
    const bool keepable = pypath::abspath_keeps(reference);
    if (keepable) {
        if (const std::optional<assets::PathId> kept = m_expanded.find(reference)) {
            replay(nodePath, m_expansions[*kept]);
            note_written(filePath, bytes, *kept);
            return std::nullopt;
        }
    }

    if (m_fs->isdir(reference)) {
        result.asset = {reference};
        return result;
    }

    // Each marker in turn, as str.replace does: no "*" put in starts another.
    std::string pattern = reference;
    for (std::string_view marker : k_sequence_markers)
        if (pattern.find(marker) != std::string::npos)
            pattern = replace_all(pattern, marker, "*");
    // Each line is quoted once, for the console and for the expansion kept.
    std::string line;
    append_repr_line(line, pattern);
    console().lines(line);

    m_matches.clear();
    m_matches_regular.clear();
    glob_into(pattern, m_fs.get(), m_matches, &m_matches_regular);
    Expansion expansion;
    if (keepable) {
        // Room for the pattern's line and a plain line for each match, made once.
        expansion.console.reserve(line.size() + m_matches.text().size() + 3 * m_matches.size());
        expansion.console += line;
    }
    if (m_matches.empty())
        result.miss.push_back(std::move(pattern));

    // Matches that are all ordinary files, named without a backslash, are recorded with
    // their twins from one list; the others go one by one (below).
    bool ordinary = true;
    for (std::size_t i = 0; i < m_matches.size() && ordinary; ++i)
        ordinary = m_matches[i].find('\\') == std::string_view::npos && !dispatch_row(m_matches[i]);
    if (ordinary) {
        m_found.clear();
        m_found.reserve(m_matches.size() * (1 + std::size(k_cache_extensions)));
        m_found_regular.clear();
        // The matches' lines are quoted straight into the text kept (or a text of their
        // own) and printed together: the twins print nothing.
        line.clear();
        std::string& lines = keepable ? expansion.console : line;
        const std::size_t first_line = lines.size();
        list_matches(lines);
        console().lines(std::string_view(lines).substr(first_line));
        if (!keepable) {
            record(nodePath, m_found, result.miss, nullptr, &m_found_regular);
            return std::nullopt;
        }
        record(nodePath, m_found, result.miss, &expansion, &m_found_regular);
        keep_expansion(filePath, bytes, reference, expansion);
        return std::nullopt;
    }
    // Readers may expand references of their own, which takes the lists above again.
    std::vector<std::string> matches;
    matches.reserve(m_matches.size());
    for (std::size_t i = 0; i < m_matches.size(); ++i)
        matches.emplace_back(m_matches[i]);

    // An expansion is kept only when it is all listing: readers have effects of their own
    // and a name holding a backslash is printed in another form than it is recorded.
    bool plain = keepable;
    result.asset.reserve(matches.size() * (1 + std::size(k_cache_extensions)));  // twins too
    for (std::string& match : matches) {
        line.clear();
        append_repr_line(line, match);
        console().lines(line);
        if (match.find('\\') != std::string::npos) {
            match = replace_all(match, "\\", "/");
            plain = false;
        }
        result.asset.push_back(std::move(match));
        const std::string& path = result.asset.back();
        const DispatchRow* row = dispatch_row(path);
        const std::string dispatched = row && row->handler ? path : std::string();
        if (plain)
            expansion.console += line;  // the printed line: no backslash, so the same path
        add_cache_twins(path, result.asset);
        if (!dispatched.empty()) {
            plain = false;
            row->handler(*this, nodePath, dispatched, result);
        }
    }

    if (!plain) {
        record(nodePath, result);
        return std::nullopt;
    }
    record(nodePath, result, &expansion);
    keep_expansion(filePath, bytes, reference, expansion);
    return std::nullopt;
}

void zel_Katana_asset::keep_expansion(std::string_view filePath, const assets::ByteSet& bytes,
                                      const std::string& reference, const Expansion& expansion)
{
    const auto [kept, added] = m_expanded.intern(reference);
    if (added)
        m_expansions.push_back(store_expansion(expansion));
    note_written(filePath, bytes, kept);
}

zel_Katana_asset::KeptExpansion zel_Katana_asset::store_expansion(const Expansion& expansion)
{
    // The paths' numbers first, where they are aligned, then the console text.
    const std::size_t ids = expansion.asset.size() + expansion.miss.size();
    auto* at = static_cast<assets::PathId*>(m_kept_store.allocate(
        ids * sizeof(assets::PathId) + expansion.console.size(), alignof(assets::PathId)));
    KeptExpansion kept;
    kept.asset = {at, expansion.asset.size()};
    at = std::copy(expansion.asset.begin(), expansion.asset.end(), at);
    kept.miss = {at, expansion.miss.size()};
    at = std::copy(expansion.miss.begin(), expansion.miss.end(), at);
    char* const text = reinterpret_cast<char*>(at);
    std::memcpy(text, expansion.console.data(), expansion.console.size());
    kept.console = {text, expansion.console.size()};
    return kept;
}

void zel_Katana_asset::note_written(std::string_view filePath, const assets::ByteSet& bytes,
                                    std::size_t expansion)
{
    // "$VAR" and "[VAR]" are expanded from the environment each time they are met.
    if (find_first_byte_of(filePath, "$[") != std::string::npos)
        return;
    if (m_written.intern(filePath).second)
        m_written_references.push_back({expansion, bytes});
}

void zel_Katana_asset::replay(const std::string& nodePath, const KeptExpansion& expansion)
{
    console().lines(expansion.console);
    ASSET_JSON.asset.extend(nodePath, expansion.asset);
    if (!expansion.miss.empty())
        ASSET_JSON.missing.extend(nodePath, expansion.miss);
}

}  // namespace script
