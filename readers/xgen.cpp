// A collection names its data folders in the Palette block and its maps, caches and
// archives in the blocks that follow (tabs shown as "->"):
//
//     Palette
//     ->name->->->hairColl
//     ->xgDataPath->->${PROJECT}xgen/collections/hairColl
//     ->xgProjectPath->->/show/groom/
//     ->endAttrs
//
//     Description
//     ->name->->->hairDesc
//     ->endAttrs
//
//     RandomGenerator
//     ->mask->->->$a=map('${DESC}/Region/');#3dpaint,5.0\n$a
//     ->endAttrs
//
// Here the data folder is /show/groom/xgen/collections/hairColl and the region maps lie in
// its hairDesc/Region/ folder.

#include "readers/xgen.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <optional>

#include "assets/asset_collector.h"
#include "common/console.h"
#include "common/errors.h"
#include "common/fs.h"
#include "common/platform.h"
#include "common/pypath.h"
#include "common/pyutil.h"
#include "common/regex.h"

namespace script {

namespace readers {

namespace {

// Value patterns. The first finds the folder of a map() assignment followed by a comment,
// the second a value that is a path as a whole, the third path-like runs ending in an
// extension anywhere in a value. The second also takes a value that begins with "/":
// without it a POSIX folder (or a "//server" root) written as a value is never found.
constexpr std::string_view k_map_assignment_pattern =
    R"(\$\w+\s*=\s*map\(["']([\w${}/:]+)["']\);\s*#)";
constexpr std::string_view k_leading_path_pattern =
    R"(^(?:[a-z][:][\\/]|[\\\\/]|[\${?])(?:[\w_\-.:()\\/$/+{}])+(?![ \t\r\n=]))";
constexpr std::string_view k_embedded_path_pattern =
    R"((?:[a-z][:][\\/]|(?:/\.)|(?:\.\./)|(?:\.\.\\)|(?:\.\\)|(?:\./)|[\\\\/]){1}[\w _\-\~.:<>() \\/$+]+\.[\w]+)";
// The painted maps of a spline primitive's width expression (letter case kept).
constexpr std::string_view k_width_map_pattern = R"(map\(\'(.*?)\'\))";

// Archive patterns; an archive file may also be a POSIX absolute path.
constexpr std::string_view k_archive_name_pattern = R"((?<=name\=\")[\w _\-.:()\\/$/+{}']+(?=\"))";
constexpr std::string_view k_archive_thumbnail_pattern =
    R"((?<=thumbnail\=\")[\w _\-.:()\\/$/+{}']+(?=\"))";
constexpr std::string_view k_archive_file_pattern =
    R"((?<=")(?:[a-z][:][\\/]|[\\\\/]|[\${?])(?:[\w _\-.:()\\/$/+{}\'])+(?=\"))";
constexpr std::string_view k_archive_group = "#ArchiveGroup";
constexpr std::string_view k_archive_group_split = "#ArchiveGroup ";

constexpr std::string_view k_reference_pattern = R"(\$\{(\w+)\})";

// Block headers and attribute names.
constexpr std::string_view k_spline_primitive = "SplinePrimitive";
constexpr std::string_view k_palette = "Palette";
constexpr std::string_view k_description = "Description";
constexpr std::string_view k_archive_primitive = "ArchivePrimitive";
constexpr std::string_view k_fx_module = "FXModule";
constexpr std::string_view k_map_textures = "MapTextures";
constexpr std::string_view k_mel_renderer = "MelRenderer";
constexpr std::string_view k_end_attrs = "endAttrs";
constexpr std::string_view k_cache_file_name = "cacheFileName";
constexpr std::string_view k_width = "width";
constexpr std::string_view k_data_path = "xgDataPath";
constexpr std::string_view k_project_path = "xgProjectPath";
constexpr std::string_view k_files = "files";
constexpr std::string_view k_name = "name";
constexpr std::string_view k_xgen_folder = "xgen";

constexpr std::string_view k_env_project = k_xgen_env_project;
constexpr std::string_view k_env_desc = k_xgen_env_desc;
constexpr std::string_view k_env_fx_module = k_xgen_env_fx_module;

constexpr std::string_view k_line_blanks = " \t\r\n";
constexpr std::string_view k_blanks = " \t";
constexpr std::string_view k_separators = "/\\";
constexpr std::size_t k_read_chunk = 64 * 1024;
// Offending text quoted in a warning is cut to this length.
constexpr std::size_t k_quoted_text_limit = 80;

bool is_word_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_drive_rooted(std::string_view path)
{
    return path.size() >= 2 && path[1] == ':' &&
           ((path[0] >= 'a' && path[0] <= 'z') || (path[0] >= 'A' && path[0] <= 'Z'));
}

bool is_rooted(std::string_view path)
{
    return path.starts_with('/') || path.starts_with('\\') || is_drive_rooted(path);
}

bool holds_reference(std::string_view text)
{
    static const Regex reference(k_reference_pattern);
    return text.find("${") != std::string_view::npos && reference.contains(text);
}

std::string quote_text(std::string_view text)
{
    const bool cut = text.size() > k_quoted_text_limit;
    std::string quoted(1, '"');
    quoted.append(text.substr(0, k_quoted_text_limit));
    quoted.append(cut ? "...\"" : "\"");
    return quoted;
}

// str.split(sep, max_splits): at most max_splits + 1 fields.
std::vector<std::string> split_n(std::string_view text, char sep, std::size_t max_splits)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (fields.size() < max_splits) {
        const std::size_t at = text.find(sep, start);
        if (at == std::string_view::npos) {
            break;
        }
        fields.emplace_back(text.substr(start, at - start));
        start = at + 1;
    }
    fields.emplace_back(text.substr(start));
    return fields;
}

// The text after the last occurrence of `key`, without surrounding blanks.
std::string value_after_last(std::string_view line, std::string_view key)
{
    const std::size_t at = line.rfind(key);
    return py_strip(line.substr(at + key.size()), k_blanks);
}

// The text with its ${NAME} references replaced from the environment; nullopt when one
// is not set or names one of the collection's own variables.
std::optional<std::string> environment_expanded(std::string_view text)
{
    static const Regex reference(k_reference_pattern);
    if (text.find("${") == std::string_view::npos) {
        return std::string(text);
    }
    std::string result;
    std::size_t pos = 0;
    for (const Match& m : reference.find_all(text)) {
        const std::string name = m.group(1);
        if (name == k_xgen_env_project || name == k_xgen_env_desc || name == k_xgen_env_fx_module) {
            return std::nullopt;
        }
        const std::optional<std::string> value = platform::get_env(name);
        if (!value) {
            return std::nullopt;
        }
        result.append(text.substr(pos, m.start() - pos)).append(*value);
        pos = m.end();
    }
    return result.append(text.substr(pos));
}

// The project folder ${PROJECT} stands for; "" when there is none or it cannot be expanded.
std::string project_folder(const XgenVariables& vars)
{
    return environment_expanded(vars.project).value_or("");
}

// A relative data root lies below the project.
std::string below_project(std::string root, const XgenVariables& vars)
{
    const std::string project = project_folder(vars);
    if (project.empty() || is_rooted(root)) {
        return root;
    }
    return py_rstrip(project, k_separators) + "/" + root;
}

// The third value pattern matches runs of these characters only, so every match lies inside
// one run of them.
bool is_embedded_path_char(char c)
{
    return is_word_char(c) || std::string_view(" -~.:<>()\\/$+").find(c) != std::string_view::npos;
}

// The end of the last "." + word characters in [start, end), or start when there is none.
// Nothing of a run can match after that point, so the search stops there: without the cut
// a long run without an extension costs the search quadratic time.
std::size_t last_extension_end(std::string_view text, std::size_t start, std::size_t end)
{
    for (std::size_t i = end; i-- > start + 1;) {
        if (text[i - 1] == '.' && is_word_char(text[i])) {
            std::size_t stop = i;
            while (stop < end && is_word_char(text[stop])) {
                ++stop;
            }
            return stop;
        }
    }
    return start;
}

// A run that begins with a single "/" inside an expression is a piece of a longer token
// ("${DESC}/a.ptx", "$a/2.0", "$a / 2.0"), not a path. It counts as a POSIX path when it
// stands on its own and names something below a folder.
bool is_standalone_path(std::string_view value, std::size_t start, std::string_view match)
{
    if (!match.starts_with('/') || match.starts_with("//")) {
        return true;
    }
    const bool token_start = start == 0 || std::string_view(" \t\"'(=,;").find(value[start - 1]) !=
                                               std::string_view::npos;
    return token_start && match.size() > 1 && match[1] != ' ' &&
           match.find('/', 2) != std::string_view::npos;
}

std::vector<std::string> embedded_paths(std::string_view value)
{
    static const Regex embedded(k_embedded_path_pattern, Regex::IgnoreCase);
    std::vector<std::string> found;
    std::size_t i = 0;
    while (i < value.size()) {
        if (!is_embedded_path_char(value[i])) {
            ++i;
            continue;
        }
        std::size_t run_end = i;
        while (run_end < value.size() && is_embedded_path_char(value[run_end])) {
            ++run_end;
        }
        const std::size_t cut = last_extension_end(value, i, run_end);
        const std::string_view run = value.substr(i, cut - i);
        for (const Match& m : embedded.find_all(run)) {
            const std::string text = m.group();
            if (is_standalone_path(value, i + m.start(), text)) {
                found.push_back(text);
            }
        }
        i = run_end;
    }
    return found;
}

// The text with every run between two quotes that is longer than a path can be replaced by
// "#", which no archive file contains. An archive file is such a run as a whole, so nothing
// that could be kept is lost, and the pattern (which keeps a frame per character it
// repeats) never runs over megabytes.
std::string without_long_quoted_texts(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    for (std::size_t quote; (quote = text.find('"', start)) != std::string_view::npos;
         start = quote + 1) {
        const std::string_view run = text.substr(start, quote - start);
        out.append(run.size() > k_xgen_max_path_bytes ? std::string_view("#") : run).append(1, '"');
    }
    return out.append(text.substr(start));
}

std::vector<std::string> width_maps(std::string_view line)
{
    static const Regex width_map(k_width_map_pattern);
    // No match can end after the last "')": cutting there keeps the search linear.
    const std::size_t last_close = line.rfind("')");
    if (last_close == std::string_view::npos) {
        return {};
    }
    std::vector<std::string> maps;
    for (const std::string& capture : width_map.findall(line.substr(0, last_close + 2))) {
        std::string folder = py_strip(capture);
        if (!folder.empty()) {
            maps.push_back(std::move(folder));
        }
    }
    return maps;
}

// One line of input: its text without the line end, and whether it was cut off.
struct Line
{
    std::string text;
    bool overlong = false;
    bool indented = false; // begins with a blank
    int number = 0;
};

// Lines from a stream through a fixed buffer; "\n", "\r\n" and "\r" end a line. A line
// longer than the limit is read to its end but not kept.
class LineReader
{
public:
    LineReader(std::istream& in, std::size_t max_bytes)
        : m_in(in), m_max_bytes(max_bytes), m_buffer(k_read_chunk)
    {
    }

    bool next(Line& line)
    {
        line.text.clear();
        line.overlong = false;
        bool started = false;
        for (;;) {
            if (m_pos == m_end && !refill()) {
                if (started) {
                    line.number = ++m_line_no;
                }
                return started;
            }
            const char c = m_buffer[m_pos++];
            if (m_skip_lf) {
                m_skip_lf = false;
                if (c == '\n') {
                    continue;
                }
            }
            started = true;
            if (c == '\n' || c == '\r') {
                m_skip_lf = c == '\r';
                line.number = ++m_line_no;
                return true;
            }
            if (line.text.size() < m_max_bytes) {
                line.text += c;
            } else {
                line.overlong = true;
            }
        }
    }

private:
    bool refill()
    {
        if (!m_in) {
            return false;
        }
        m_in.read(m_buffer.data(), static_cast<std::streamsize>(m_buffer.size()));
        m_pos = 0;
        m_end = static_cast<std::size_t>(m_in.gcount());
        return m_end > 0;
    }

    std::istream& m_in;
    std::size_t m_max_bytes;
    std::vector<char> m_buffer;
    std::size_t m_pos = 0;
    std::size_t m_end = 0;
    bool m_skip_lf = false;
    int m_line_no = 0;
};

// A block the reader cannot make sense of; it is skipped from the line named.
class SkipBlock : public ParseError
{
public:
    using ParseError::ParseError;
};

class CollectionParser
{
public:
    CollectionParser(std::istream& in, std::string_view source_name, XgenSink& sink,
                     std::size_t max_line_bytes)
        : m_reader(in, max_line_bytes), m_source(source_name), m_sink(sink),
          m_max_line_bytes(max_line_bytes)
    {
    }

    void run()
    {
        while (read_line()) {
            try {
                dispatch();
            } catch (const SkipBlock& skip) {
                print_line("Warnning: skip xgen block: " + std::string(skip.what()));
                while (!ends_block(m_current)) {
                    read();
                }
            }
        }
    }

private:
    // The next line, stripped, into m_current; false at the end of the input.
    bool read_line()
    {
        if (!m_reader.next(m_current)) {
            m_current = Line{};
            return false;
        }
        m_current.indented =
            !m_current.text.empty() && (m_current.text[0] == ' ' || m_current.text[0] == '\t');
        if (m_current.overlong) {
            print_line("Warnning: skip xgen line longer than " + std::to_string(m_max_line_bytes) +
                       " bytes: " + m_source + ":" + std::to_string(m_current.number));
            m_current.text.clear();
        } else {
            m_current.text = py_strip(m_current.text, k_line_blanks);
        }
        return true;
    }

    // Within a block: the end of the input reads as an empty line, which ends the block.
    const Line& read()
    {
        read_line();
        return m_current;
    }

    static bool ends_block(const Line& line)
    {
        return !line.overlong && (line.text.empty() || line.text == k_end_attrs);
    }

    [[noreturn]] void skip(const Line& line, const std::string& message) const
    {
        throw SkipBlock(m_source, line.number, message);
    }

    bool is_fx_module_header(const Line& line) const
    {
        // Modifier blocks are headed "FXModule" or by their class name ("ClumpingFXModule").
        return line.text == k_fx_module || (!line.indented && line.text.ends_with(k_fx_module) &&
                                            line.text.find_first_of(k_blanks) == std::string::npos);
    }

    void dispatch()
    {
        const std::string& header = m_current.text;
        if (m_current.overlong) {
            return;
        }
        if (header == k_spline_primitive) {
            spline_primitive();
        } else if (header == k_palette) {
            palette();
        } else if (header == k_description) {
            description();
        } else if (header == k_archive_primitive) {
            archive_primitive();
        } else if (is_fx_module_header(m_current)) {
            fx_module();
        } else if (header == k_map_textures) {
            map_textures();
        } else if (header == k_mel_renderer) {
            while (!ends_block(m_current)) {
                read();
            }
        } else {
            scan_value(header, false);
        }
    }

    void spline_primitive()
    {
        read();
        while (!ends_block(m_current)) {
            const Line& line = read();
            if (line.text.starts_with(k_cache_file_name)) {
                const std::vector<std::string> fields = split(line.text, "\t");
                if (fields.size() > 2) {
                    emit({fields[2]});
                }
            }
            if (line.text.starts_with(k_width)) {
                emit(width_maps(line.text));
            }
        }
    }

    // The name field of a Palette or Description name line.
    std::string block_name(std::string_view block) const
    {
        const std::vector<std::string> fields = split_n(m_current.text, '\t', 3);
        if (fields.size() < 4) {
            skip(m_current, std::string(block) +
                                " name line needs four tab-separated fields, found " +
                                quote_text(m_current.text));
        }
        return py_strip(fields[3], k_blanks);
    }

    void set_data_path(const Line& line)
    {
        m_data_path = value_after_last(line.text, k_data_path);
        m_vars.data_roots = split(m_data_path, ";");
    }

    void set_project(const std::string& project)
    {
        m_vars.project = project;
        m_sink.variable(std::string(k_env_project), project);
    }

    std::string project_xgen_folder() const
    {
        return pypath::join(py_rstrip(m_palette_project.value_or(""), k_separators), k_xgen_folder);
    }

    // Each data root as a candidate: variables expanded, relative roots below the project.
    void emit_data_roots()
    {
        std::vector<std::string> roots;
        for (const std::string& part : split(m_data_path, ";")) {
            const std::string written = py_strip(part);
            if (written.empty()) {
                continue;
            }
            for (std::string& root : expand_xgen_variables(written, m_vars)) {
                roots.push_back(holds_reference(root) ? std::move(root)
                                                      : below_project(std::move(root), m_vars));
            }
        }
        pass(roots);
    }

    void palette()
    {
        read();
        block_name(k_palette);
        bool project_seen = false;
        while (!ends_block(m_current)) {
            const Line& line = read();
            if (line.text.starts_with(k_data_path)) {
                set_data_path(line);
                // A data path written after the project path is not left out.
                if (project_seen) {
                    emit_data_roots();
                }
            } else if (line.text.starts_with(k_project_path)) {
                const std::string project = value_after_last(line.text, k_project_path);
                m_palette_project = project;
                project_seen = true;
                set_project(project);
                emit({project_xgen_folder()});
                emit_data_roots();
            }
        }
    }

    void description()
    {
        read();
        const std::string name = block_name(k_description);
        m_vars.description = name;
        std::string desc = name;
        m_sink.variable(std::string(k_env_desc), desc);
        while (!ends_block(m_current)) {
            const Line& line = read();
            if (line.text.starts_with(k_data_path)) {
                set_data_path(line);
            } else if (line.text.starts_with(k_project_path)) {
                set_project(value_after_last(line.text, k_project_path));
                if (!m_palette_project) {
                    skip(line, "Description xgProjectPath before any Palette xgProjectPath");
                }
                emit({project_xgen_folder()});
                for (const std::string& part : split(m_data_path, ";")) {
                    desc += ';';
                    desc += pypath::join(part, name);
                }
                m_sink.variable(std::string(k_env_desc), desc);
            }
        }
    }

    void archive_primitive()
    {
        read();
        while (!ends_block(m_current)) {
            const std::string& text = m_current.text;
            const std::size_t tab = text.find('\t');
            if (tab != std::string::npos &&
                py_strip(std::string_view(text).substr(0, tab)) == k_files) {
                archive_files(py_strip(std::string_view(text).substr(tab + 1)));
            }
            const Line& next = read();
            scan_value(next.text, false);
        }
    }

    void archive_files(const std::string& value)
    {
        std::vector<XgenArchive> entries;
        try {
            entries = xgen_archive_entries(value);
        } catch (const Error& e) {
            skip(m_current, e.what());
        }
        std::vector<XgenArchive> expanded;
        for (const XgenArchive& entry : entries) {
            for (const std::string& file : expand_xgen_variables(entry.file, m_vars)) {
                if (!path_length_fits(file)) {
                    continue;
                }
                expanded.push_back({entry.name, entry.thumbnail, replace_all(file, "\\", "/")});
            }
        }
        if (!expanded.empty()) {
            m_sink.archives(expanded);
        }
    }

    void fx_module()
    {
        while (!ends_block(m_current)) {
            const std::string& text = m_current.text;
            const std::size_t tab = text.find('\t');
            if (py_strip(std::string_view(text).substr(0, tab)).starts_with(k_name)) {
                if (tab == std::string::npos) {
                    skip(m_current, "FXModule name line without a tab: " + quote_text(text));
                }
                m_vars.fx_module = py_strip(std::string_view(text).substr(tab + 1));
                m_sink.variable(std::string(k_env_fx_module), m_vars.fx_module);
            }
            const Line& next = read();
            scan_value(next.text, false);
        }
    }

    void map_textures()
    {
        while (!ends_block(m_current)) {
            const Line& next = read();
            scan_value(next.text, true);
        }
    }

    // The value of an attribute line (after its first tab, or its last) through the three
    // value patterns, each pattern's results to the filter on their own.
    void scan_value(const std::string& line, bool after_last_tab)
    {
        static const Regex map_assignment(k_map_assignment_pattern, Regex::IgnoreCase);
        static const Regex leading_path(k_leading_path_pattern, Regex::IgnoreCase);
        const std::size_t tab = after_last_tab ? line.rfind('\t') : line.find('\t');
        if (tab == std::string::npos) {
            return;
        }
        const std::string value = py_strip(std::string_view(line).substr(tab + 1), k_line_blanks);
        emit(map_assignment.findall(value));
        // The second pattern keeps a frame per character it repeats; a match is a prefix of
        // the value, and one longer than a path is dropped whatever it is, so the search
        // stops two characters past that length (the character after a match decides it).
        emit(leading_path.findall(std::string_view(value).substr(0, k_xgen_max_path_bytes + 2)));
        emit(embedded_paths(value));
    }

    // Candidates with their variables expanded, to the filter.
    void emit(const std::vector<std::string>& candidates)
    {
        std::vector<std::string> expanded;
        for (const std::string& candidate : candidates) {
            const std::string written = py_strip(candidate);
            if (written.empty()) {
                continue;
            }
            for (std::string& path : expand_xgen_variables(written, m_vars)) {
                expanded.push_back(std::move(path));
            }
        }
        pass(expanded);
    }

    // False, with one warning for the line, when the path is too long to be one.
    bool path_length_fits(std::string_view path)
    {
        if (path.size() <= k_xgen_max_path_bytes) {
            return true;
        }
        if (m_long_path_line != m_current.number) {
            m_long_path_line = m_current.number;
            print_line("Warnning: skip xgen path longer than " +
                       std::to_string(k_xgen_max_path_bytes) + " bytes: " + m_source + ":" +
                       std::to_string(m_current.number));
        }
        return false;
    }

    void pass(const std::vector<std::string>& paths)
    {
        std::vector<std::string> kept;
        for (const std::string& path : paths) {
            if (path_length_fits(path)) {
                kept.push_back(path);
            }
        }
        if (!kept.empty()) {
            m_sink.candidates(kept);
        }
    }

    LineReader m_reader;
    std::string m_source;
    XgenSink& m_sink;
    std::size_t m_max_line_bytes;
    Line m_current;
    XgenVariables m_vars;
    std::string m_data_path;
    std::optional<std::string> m_palette_project;
    int m_long_path_line = 0; // the line a too long path was last reported for
};

} // namespace

std::vector<std::string> xgen_data_folders(const XgenVariables& vars)
{
    XgenVariables root_vars = vars;
    root_vars.data_roots.clear(); // a root cannot name ${DESC}
    std::vector<std::string> folders;
    for (const std::string& part : vars.data_roots) {
        const std::string root = py_strip(part, k_blanks);
        if (root.empty()) {
            continue;
        }
        for (std::string& folder : expand_xgen_variables(root, root_vars)) {
            if (!holds_reference(folder)) {
                folders.push_back(below_project(std::move(folder), vars));
            }
        }
    }
    return folders;
}

std::vector<std::string> expand_xgen_variables(std::string_view text, const XgenVariables& vars)
{
    static const Regex reference(k_reference_pattern);
    if (text.find("${") == std::string_view::npos) {
        return {std::string(text)};
    }
    const std::vector<Match> references = reference.find_all(text);
    std::vector<std::string> desc_values;
    const bool uses_desc = std::any_of(references.begin(), references.end(),
                                       [](const Match& m) { return m.group(1) == k_env_desc; });
    if (uses_desc && !vars.description.empty()) {
        for (const std::string& folder : xgen_data_folders(vars)) {
            desc_values.push_back(py_rstrip(folder, k_separators) + "/" + vars.description);
        }
    }

    std::vector<std::string> results;
    const std::size_t alternatives = std::max<std::size_t>(desc_values.size(), 1);
    for (std::size_t i = 0; i < alternatives; ++i) {
        std::string result;
        std::size_t pos = 0;
        bool expanded = true;
        for (const Match& m : references) {
            result.append(text.substr(pos, m.start() - pos));
            pos = m.end();
            const std::string name = m.group(1);
            std::optional<std::string> value;
            if (name == k_env_project) {
                if (const std::string project = project_folder(vars); !project.empty()) {
                    // Exactly one "/" between the project and what follows it.
                    value = py_rstrip(project, k_separators) + "/";
                    while (pos < text.size() && (text[pos] == '/' || text[pos] == '\\')) {
                        ++pos;
                    }
                }
            } else if (name == k_env_desc) {
                if (!desc_values.empty()) {
                    value = desc_values[i];
                }
            } else if (name == k_env_fx_module) {
                if (!vars.fx_module.empty()) {
                    value = vars.fx_module;
                }
            } else {
                value = platform::get_env(name);
            }
            if (!value) {
                expanded = false;
                break;
            }
            result += *value;
        }
        if (expanded) {
            result.append(text.substr(pos));
        } else {
            result = std::string(text);
        }
        if (std::find(results.begin(), results.end(), result) == results.end()) {
            results.push_back(std::move(result));
        }
    }
    return results;
}

std::vector<XgenArchive> xgen_archive_entries(std::string_view files_value)
{
    static const Regex archive_name(k_archive_name_pattern, Regex::IgnoreCase);
    static const Regex archive_thumbnail(k_archive_thumbnail_pattern, Regex::IgnoreCase);
    static const Regex archive_file(k_archive_file_pattern, Regex::IgnoreCase);
    if (files_value.find(k_archive_group) == std::string_view::npos) {
        return {};
    }
    const std::string value = py_strip(py_strip(py_strip(files_value), k_files));
    std::optional<std::string> name;
    std::string thumbnail;
    std::vector<XgenArchive> entries;
    for (const std::string& group : split(value, k_archive_group_split)) {
        if (group.empty()) {
            continue;
        }
        if (const std::optional<Match> m = archive_name.search(group)) {
            name = m->group();
            const std::optional<Match> t = archive_thumbnail.search(group);
            if (!t) {
                throw Error("archive group names " + quote_text(*name) + " without a thumbnail");
            }
            thumbnail = t->group();
        }
        const std::string files = without_long_quoted_texts(group);
        std::size_t counted_to = 0;
        std::ptrdiff_t quotes = 0;
        for (const Match& m : archive_file.find_all(files)) {
            // Only a whole quoted text is a file: a match that begins after a closing quote
            // is the text between two quoted values.
            quotes += std::count(files.begin() + static_cast<std::ptrdiff_t>(counted_to),
                                 files.begin() + static_cast<std::ptrdiff_t>(m.start()), '"');
            counted_to = m.start();
            if (quotes % 2 == 0) {
                continue;
            }
            if (!name) {
                throw Error("archive file " + quote_text(m.group()) + " before any archive name");
            }
            entries.push_back({*name, thumbnail, m.group()});
        }
    }
    return entries;
}

void read_xgen(std::istream& in, std::string_view source_name, XgenSink& sink,
               std::size_t max_line_bytes)
{
    CollectionParser(in, source_name, sink, max_line_bytes).run();
}

} // namespace readers

namespace {

constexpr std::string_view k_xgen_suffix = ".xgen";
constexpr std::string_view k_cache_suffix = ".abc";

// Folder names in an archive file's path (separators already "/") and what is looked up
// beside the file for each.
constexpr std::string_view k_mi_folder = "/mi/";
constexpr std::string_view k_rib_folder = "/rib/";
constexpr std::string_view k_rib_archives = "ribarchives";
constexpr std::string_view k_ass_folder = "/ass/";
constexpr std::string_view k_materials_folder = "/materials/";
constexpr std::string_view k_abc_folder = "/abc/";
constexpr std::string_view k_mi_extension = "mi.gz";
constexpr std::string_view k_rib_extension = "zip";
constexpr std::string_view k_ass_extensions[] = {"gz", "asstoc", "ass"};
constexpr std::string_view k_materials_extension = "ma";
constexpr std::string_view k_abc_extension = "abc";
constexpr std::string_view k_archive_side_extensions[] = {"xarc", "log"};

// Every file of the archives' folders, in order, without duplicates.
std::vector<std::string> archive_folder_files(zel_Katana_asset& collector,
                                              const std::vector<readers::XgenArchive>& entries)
{
    std::vector<std::string> found;
    const auto add = [&](const std::string& folder, const std::string& prefix,
                         std::string_view ext) {
        for (std::string& path :
             collector.get_files_from_folder(folder, prefix, std::string(ext))) {
            found.push_back(std::move(path));
        }
    };
    for (const readers::XgenArchive& entry : entries) {
        const std::string& file = entry.file;
        if (file.find("${") != std::string::npos) {
            found.push_back(file); // a variable that cannot be expanded: reported missing
            continue;
        }
        const std::string dir = pypath::dirname(file);
        const std::string parent = pypath::dirname(dir);
        const std::string prefix = entry.name + "*";
        const auto names = [&](std::string_view part) {
            return file.find(part) != std::string::npos;
        };
        if (names(k_mi_folder)) {
            add(dir, prefix, k_mi_extension);
        }
        if (names(k_rib_folder) || names(k_rib_archives)) {
            add(dir, prefix, k_rib_extension);
            add(pypath::join(dir, prefix), "*", "*");
        }
        if (names(k_ass_folder)) {
            for (std::string_view ext : k_ass_extensions) {
                add(dir, prefix, ext);
            }
        }
        if (names(k_materials_folder)) {
            add(dir, prefix, k_materials_extension);
        }
        if (names(k_abc_folder)) {
            add(dir, prefix, k_abc_extension);
        }
        for (std::string_view ext : k_archive_side_extensions) {
            add(parent, prefix, ext);
        }
        if (!entry.thumbnail.empty()) {
            // The thumbnail is looked for beside the archive file and in the archive root,
            // where an archive export writes it.
            const auto [root, ext] = pypath::posix::splitext(entry.thumbnail);
            const std::string thumbnail_ext = ext.empty() ? std::string() : ext.substr(1);
            add(dir, root + "*", thumbnail_ext);
            add(parent, root + "*", thumbnail_ext);
        }
    }
    return unique_in_order(found);
}

// Hands what the collection names to the collector: variables to the environment,
// candidates to the filter, archives to the folder lookups.
class CollectorSink final : public readers::XgenSink
{
public:
    CollectorSink(zel_Katana_asset& collector, std::string label)
        : m_collector(collector), m_label(std::move(label))
    {
    }

    void variable(const std::string& name, const std::string& value) override
    {
        platform::set_env(name, value);
    }

    void candidates(const std::vector<std::string>& paths) override
    {
        m_collector.get_file_xgen(paths, m_label);
    }

    void archives(const std::vector<readers::XgenArchive>& entries) override
    {
        m_collector.get_file_xgen(archive_folder_files(m_collector, entries), m_label);
    }

private:
    zel_Katana_asset& m_collector;
    std::string m_label;
};

} // namespace

void zel_Katana_asset::get_files_from_xgen_file(const std::string& xgen_file)
{
    if (std::find(xgen_files.begin(), xgen_files.end(), xgen_file) != xgen_files.end()) {
        return;
    }
    xgen_files.push_back(xgen_file);
    print_line("start analyse xgen file : " + xgen_file);

    const std::string companion = replace_all(xgen_file, k_xgen_suffix, k_cache_suffix);
    if (directory_cache().exists(companion)) {
        xgenfiles.push_back(companion);
    }
    platform::set_env(std::string(readers::k_xgen_env_desc), "");
    platform::set_env(std::string(readers::k_xgen_env_project), "");

    std::ifstream in(xgen_file, std::ios::binary);
    if (!in || directory_cache().isdir(xgen_file)) {
        throw Error("cannot open xgen file: " + xgen_file);
    }
    CollectorSink sink(*this, pypath::basename(xgen_file));
    readers::read_xgen(in, xgen_file, sink);
    if (in.bad()) {
        throw Error("cannot read xgen file: " + xgen_file);
    }
}

void zel_Katana_asset::get_file_xgen(const std::vector<std::string>& xgen_files,
                                     const std::string& xgen_name)
{
    static const Regex k_drive_or_network(R"([a-zA-Z]\:|\\\\|//)");
    (void)xgen_name;
    for (const std::string& candidate : xgen_files) {
        const std::string path = py_strip(candidate);
        if (path.empty() || path == "." || path == "/" || path == "\\") {
            continue;
        }
        if (directory_cache().isdir(path)) {
            get_file_from_dir(path);
        } else if (k_drive_or_network.match_start(path) || path.starts_with('/') ||
                   path.starts_with("${")) {
            // POSIX absolute paths count like drive paths; a path whose variables could not
            // be expanded is kept, so that it is reported missing.
            xgenfiles.push_back(replace_all(path, "\\", "/"));
        }
    }
}

std::vector<std::string> zel_Katana_asset::get_xgen_Archive_files(const std::string& Archive_attr)
{
    // Outside a collection only environment variables can be expanded.
    std::vector<readers::XgenArchive> entries;
    for (const readers::XgenArchive& entry : readers::xgen_archive_entries(Archive_attr)) {
        for (const std::string& file : readers::expand_xgen_variables(entry.file, {})) {
            entries.push_back({entry.name, entry.thumbnail, replace_all(file, "\\", "/")});
        }
    }
    return archive_folder_files(*this, entries);
}

} // namespace script
