// getAssSequen: everything a scene description depends on. The file and every scene
// description it nests (procedurals, included graphs) are read depth-first, each once per
// run; the other files they name go to the sequence expansion under the top-level file's
// path as source label; the folders of crowd procedurals are listed once per call:
//
//     options   { texture_searchpath "[SHOW]/tex" procedural_searchpath "sets" }
//     image     { name wood filename "wood.<udim>.tx" }              -> AnaylseSeq
//     procedural{ name tree filename "tree.ass.gz" }                 -> read in turn
//     m_a5_proc { name crowd G_assetsPath "D:\crowd\agents" }        -> folder listed
//     driver_exr{ name out filename "beauty.exr" }                   -> an output: skipped

#include "readers/arnold_scene.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <unordered_set>

#include "assets/asset_collector.h"
#include "common/console.h"
#include "common/errors.h"
#include "common/fs.h"
#include "common/glob.h"
#include "common/platform.h"
#include "common/pypath.h"
#include "common/pyutil.h"
#include "readers/ocio.h"

namespace script {

namespace readers {

namespace {

constexpr std::string_view k_filename = "filename";
constexpr std::string_view k_crowd_folder = "G_assetsPath";
constexpr std::string_view k_alembic_layers = "layers";
constexpr std::string_view k_ocio_config = "config";
constexpr std::string_view k_procedural_dso = "dso";
constexpr std::string_view k_texture_searchpath = "texture_searchpath";
constexpr std::string_view k_procedural_searchpath = "procedural_searchpath";
constexpr std::string_view k_asset_searchpath = "asset_searchpath";

constexpr std::string_view k_options_type = "options";
constexpr std::string_view k_crowd_type = "m_a5_proc";
constexpr std::string_view k_alembic_type = "alembic";
constexpr std::string_view k_ocio_type = "color_manager_ocio";
constexpr std::string_view k_procedural_type = "procedural";
constexpr std::string_view k_usd_type = "usd";
constexpr std::string_view k_polymesh_type = "polymesh";
constexpr std::string_view k_output_driver_prefix = "driver_";

constexpr std::string_view k_cannot_open = "cannot open arnold scene description: ";
constexpr std::string_view k_warning =
    "Warnning: arnold scene description read as far as it parses: ";
constexpr std::string_view k_not_a_scene = "Warnning: not an arnold scene description, not read: ";
constexpr std::string_view k_start = "start analyse arnold scene description : ";
constexpr std::string_view k_filename_line = "filename: ";

bool is_drive_path(std::string_view path)
{
    return path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
}

bool is_absolute_name(std::string_view path)
{
    return path.starts_with('/') || path.starts_with('\\') || is_drive_path(path);
}

std::string join_folder(std::string_view folder, std::string_view name)
{
    if (folder.empty()) {
        return std::string(name);
    }
    std::string path(folder);
    if (!path.ends_with('/')) {
        path += '/';
    }
    return path.append(name);
}

bool equals_lower(std::string_view text, std::string_view lower)
{
    if (text.size() != lower.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != lower[i]) {
            return false;
        }
    }
    return true;
}

// The name as a wildcard pattern: every <token>, run of "#" and printf field ("%04d") is
// "*".
std::string wildcard_form(std::string_view name)
{
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '<') {
            const std::size_t close = name.find('>', i);
            if (close != std::string_view::npos) {
                out += '*';
                i = close;
                continue;
            }
        } else if (c == '#') {
            while (i + 1 < name.size() && name[i + 1] == '#') {
                ++i;
            }
            out += '*';
            continue;
        } else if (c == '%') {
            std::size_t j = i + 1;
            while (j < name.size() && std::isdigit(static_cast<unsigned char>(name[j]))) {
                ++j;
            }
            if (j < name.size() && name[j] == 'd') {
                out += '*';
                i = j;
                continue;
            }
        }
        out += c;
    }
    return out;
}

std::string scene_twin(const std::string& path)
{
    return path.ends_with(".ass") ? path + ".gz" : path.substr(0, path.size() - 3);
}

} // namespace

const AssKeep& arnold_kept_parameters()
{
    static const AssKeep keep{{std::string(k_filename), std::string(k_crowd_folder),
                               std::string(k_alembic_layers), std::string(k_ocio_config),
                               std::string(k_procedural_dso), std::string(k_texture_searchpath),
                               std::string(k_procedural_searchpath),
                               std::string(k_asset_searchpath)}};
    return keep;
}

ArnoldUniverse AssFileScene::load(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw Error(std::string(k_cannot_open) + path);
    }
    ArnoldUniverse universe = read_ass(in, path, m_keep);
    if (!universe.scene) {
        print_line(std::string(k_not_a_scene) + path);
    } else if (universe.problems > 0) {
        std::string line = std::string(k_warning) + universe.problem;
        if (universe.problems > 1) {
            line += " (" + std::to_string(universe.problems) + " problems in all)";
        }
        print_line(line);
    }
    return universe;
}

std::string normalise_arnold_path(std::string_view path)
{
    std::string out;
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        const char c = path[i] == '\\' ? '/' : path[i];
        // Repeated slashes collapse, except the leading pair of a network path.
        if (c == '/' && !out.empty() && out.back() == '/' && !(i == 1 && out.size() == 1)) {
            continue;
        }
        out += c;
    }
    return out;
}

std::string expand_arnold_variables(std::string_view text)
{
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t open = text.find('[', i);
        if (open == std::string_view::npos) {
            break;
        }
        const std::size_t close = text.find_first_of("[]", open + 1);
        if (close == std::string_view::npos) {
            break;
        }
        if (text[close] == '[' || close == open + 1) {
            out.append(text.substr(i, close - i));
            i = close;
            continue;
        }
        out.append(text.substr(i, open - i));
        const std::string name(text.substr(open + 1, close - open - 1));
        if (const std::optional<std::string> value = platform::get_env(name)) {
            out += *value;
        } else {
            out.append(text.substr(open, close - open + 1));
        }
        i = close + 1;
    }
    out.append(text.substr(i));
    return out;
}

std::vector<std::string> arnold_search_folders(std::string_view value, std::string_view file_dir)
{
    std::vector<std::string> folders;
    for (const std::string& item : split_search_folders(expand_arnold_variables(value))) {
        std::string folder = normalise_arnold_path(item);
        if (!is_absolute_name(folder)) {
            folder = join_folder(file_dir, folder);
        }
        folders.push_back(std::move(folder));
    }
    return folders;
}

std::string arnold_tokens_for_expansion(std::string_view name)
{
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '<') {
            const std::size_t close = name.find('>', i);
            if (close != std::string_view::npos) {
                const std::string_view token = name.substr(i, close - i + 1);
                if (token == "<UDIM>" || token == "<udim>") {
                    out.append(token);
                } else if (equals_lower(token, "<udim>")) {
                    out += "<udim>";
                } else if (equals_lower(token, "<tile>")) {
                    out += "_u<udim>_v<udim>";
                } else if (token.starts_with("<attr:")) {
                    out += "<udim>";
                } else {
                    out.append(token);
                }
                i = close;
                continue;
            }
        }
        out += name[i];
    }
    return out;
}

bool is_scene_description(std::string_view name)
{
    return name.ends_with(".ass") || name.ends_with(".ass.gz");
}

} // namespace readers

namespace {

using readers::AssNode;

enum class SearchKind
{
    Texture,
    Procedural,
};

// The search paths of one file's options node.
struct SearchPaths
{
    std::vector<std::string> texture;
    std::vector<std::string> procedural;
    std::vector<std::string> asset;
};

SearchPaths search_paths_of(const readers::ArnoldUniverse& universe, const std::string& dir)
{
    SearchPaths paths;
    for (const AssNode& node : universe.nodes) {
        if (node.is(readers::k_options_type)) {
            paths.texture =
                readers::arnold_search_folders(node.get_str(readers::k_texture_searchpath), dir);
            paths.procedural =
                readers::arnold_search_folders(node.get_str(readers::k_procedural_searchpath), dir);
            paths.asset =
                readers::arnold_search_folders(node.get_str(readers::k_asset_searchpath), dir);
            break;
        }
    }
    return paths;
}

// One call of getAssSequen: the files found and missing, and the crowd folders listed.
class AssVisit
{
public:
    AssVisit(zel_Katana_asset& collector, readers::ArnoldSceneApi& api, const std::string& top)
        : m_collector(collector), m_api(api), m_top(top)
    {
    }

    void visit(const std::string& path)
    {
        m_read.insert(pypath::realpath(path));
        m_collector.AssLists.insert(path);
        add_found(path);
        print_line(std::string(readers::k_start) + path);
        const readers::ArnoldUniverse universe = m_api.load(path);
        const std::string dir = pypath::dirname(path);
        const SearchPaths paths = search_paths_of(universe, dir);
        for (const AssNode& node : universe.nodes) {
            if (node.type.starts_with(readers::k_output_driver_prefix) ||
                node.is(readers::k_polymesh_type)) {
                continue;
            }
            for (const readers::AssValue& value : node.values) {
                take_value(node, value, dir, paths);
            }
        }
    }

    ReaderResult result() &&
    {
        ReaderResult result;
        result.asset = std::move(m_found);
        result.miss = std::move(m_missing);
        return result;
    }

private:
    void take_value(const AssNode& node, const readers::AssValue& value, const std::string& dir,
                    const SearchPaths& paths)
    {
        if (value.value.empty()) {
            return;
        }
        const bool file =
            value.parameter == readers::k_filename ||
            (value.parameter == readers::k_alembic_layers && node.is(readers::k_alembic_type)) ||
            (value.parameter == readers::k_ocio_config && node.is(readers::k_ocio_type));
        const bool scene_dso =
            value.parameter == readers::k_procedural_dso && node.is(readers::k_procedural_type);
        if (value.parameter == readers::k_crowd_folder && node.is(readers::k_crowd_type)) {
            list_crowd_folder(value.value, dir);
            return;
        }
        if (!file && !scene_dso) {
            return;
        }
        const std::string name = readers::normalise_arnold_path(value.value);
        if (readers::is_scene_description(name)) {
            nested(name, dir, paths);
        } else if (file) {
            const bool procedural = node.is(readers::k_procedural_type) ||
                                    node.is(readers::k_usd_type) ||
                                    node.is(readers::k_alembic_type);
            print_line(std::string(readers::k_filename_line) + name);
            const std::string path = resolve(
                name, dir, paths, procedural ? SearchKind::Procedural : SearchKind::Texture, false);
            m_collector.AnaylseSeq(m_top, readers::arnold_tokens_for_expansion(path));
        }
    }

    // A nested scene description is read when it exists in either form, once per run.
    void nested(const std::string& name, const std::string& dir, const SearchPaths& paths)
    {
        fs::DirectoryCache& cache = m_collector.directory_cache();
        // Normalised, so that names climbing out of a folder and back ("../set/a.ass") cannot
        // make one file look new at every visit.
        const std::string path = replace_all(
            pypath::normpath(resolve(name, dir, paths, SearchKind::Procedural, true)), "\\", "/");
        std::string actual = path;
        if (!cache.exists(actual)) {
            actual = readers::scene_twin(path);
            if (!cache.exists(actual)) {
                add_missing(path);
                return;
            }
        }
        // A file reached again through links is not read again either.
        if (m_collector.AssLists.contains(actual) || m_read.contains(pypath::realpath(actual))) {
            return;
        }
        visit(actual);
    }

    void list_crowd_folder(const std::string& value, const std::string& dir)
    {
        const std::string folder = replace_all(value, "\\", "/");
        if (std::find(m_crowd_folders.begin(), m_crowd_folders.end(), folder) !=
            m_crowd_folders.end()) {
            return;
        }
        m_crowd_folders.push_back(folder);
        std::string listed = readers::expand_arnold_variables(folder);
        if (!readers::is_absolute_name(listed)) {
            listed = readers::join_folder(dir, listed);
        }
        fs::DirectoryCache& cache = m_collector.directory_cache();
        if (!cache.exists(listed)) {
            add_missing(listed);
            return;
        }
        for (const std::string& file : m_collector.getDirFiles(listed)) {
            if (cache.exists(file)) {
                add_found(file);
            } else {
                add_missing(file);
            }
            if (readers::is_scene_description(file)) {
                m_collector.AssLists.insert(file);
            }
        }
    }

    // The path the renderer would read for a name: as it is when absolute; else the
    // first of the file's folder and the search folders where it matches an existing
    // file (tokens as wildcards; a scene description in either form); else beside the
    // file, where it is missing.
    std::string resolve(const std::string& name, const std::string& dir, const SearchPaths& paths,
                        SearchKind kind, bool scene)
    {
        const std::string expanded = readers::expand_arnold_variables(name);
        if (readers::is_absolute_name(expanded) || expanded.starts_with('$') ||
            expanded.starts_with('[')) {
            return name;
        }
        if (matches(readers::join_folder(dir, expanded), scene)) {
            return readers::join_folder(dir, name);
        }
        for (const std::vector<std::string>* folders :
             {kind == SearchKind::Texture ? &paths.texture : &paths.procedural, &paths.asset}) {
            for (const std::string& folder : *folders) {
                if (matches(readers::join_folder(folder, expanded), scene)) {
                    return readers::join_folder(folder, name);
                }
            }
        }
        return readers::join_folder(dir, name);
    }

    bool matches(const std::string& path, bool scene)
    {
        fs::DirectoryCache& cache = m_collector.directory_cache();
        const std::string pattern = readers::wildcard_form(path);
        if (has_magic(pattern)) {
            return !glob(pattern, &cache).empty();
        }
        return cache.exists(path) || (scene && cache.exists(readers::scene_twin(path)));
    }

    void add_found(const std::string& path)
    {
        if (m_found_set.insert(path).second) {
            m_found.push_back(path);
        }
    }

    void add_missing(const std::string& path)
    {
        if (std::find(m_missing.begin(), m_missing.end(), path) == m_missing.end()) {
            m_missing.push_back(path);
        }
    }

    zel_Katana_asset& m_collector;
    readers::ArnoldSceneApi& m_api;
    const std::string& m_top;
    std::vector<std::string> m_found; // ass_files, in the order met
    std::unordered_set<std::string> m_found_set;
    std::vector<std::string> m_missing;       // missingFiles
    std::vector<std::string> m_crowd_folders; // miarmyFiles
    std::unordered_set<std::string> m_read;   // real paths of the files read by this call
};

// Ends the session on every way out of a call.
class Session
{
public:
    explicit Session(readers::ArnoldSceneApi& api) : m_api(api) { m_api.begin(); }
    ~Session() { m_api.end(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

private:
    readers::ArnoldSceneApi& m_api;
};

} // namespace

ReaderResult zel_Katana_asset::getAssSequen(const std::string& filePath)
{
    readers::AssFileScene api(readers::arnold_kept_parameters());
    return getAssSequen(filePath, api);
}

ReaderResult zel_Katana_asset::getAssSequen(const std::string& filePath,
                                            readers::ArnoldSceneApi& api)
{
    AssVisit visit(*this, api, filePath);
    {
        const Session session(api);
        visit.visit(filePath);
    }
    return std::move(visit).result();
}

} // namespace script
