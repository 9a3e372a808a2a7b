// Path helpers of the asset collector: canonical paths, node paths, folder walks, cache
// twins and folder patterns.

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <iterator>
#include <set>
#include <utility>

#include "assets/asset_collector.h"
#include "common/console.h"
#include "common/errors.h"
#include "common/fs.h"
#include "common/glob.h"
#include "common/platform.h"
#include "common/pypath.h"
#include "common/pyutil.h"
#include "common/regex.h"
#include "common/text_match.h"
#include "driver/job_paths.h"

namespace script {

namespace {

using FolderIdentity = std::pair<std::uint64_t, std::uint64_t>;

// Marks a folder as entered; false when the walk has been there already (a link cycle,
// or two links to one folder).
bool enter_once(std::set<FolderIdentity>& entered, const std::string& dir)
{
    const auto id = fs::directory_identity(dir);
    return !id || entered.insert(*id).second;
}

bool ends_with_any(const std::string& path, const std::vector<std::string>& suffixes)
{
    for (const std::string& suffix : suffixes)
        if (path.ends_with(suffix))
            return true;
    return false;
}

void collect_files(const std::string& dir_path, const std::vector<std::string>& need_types,
                   std::set<FolderIdentity>& entered, std::vector<std::string>& out)
{
    for (const fs::DirEntry& entry : fs::list_dir(dir_path)) {
        const std::string path = replace_all(pypath::join(dir_path, entry.name), "\\", "/");
        if (entry.kind == fs::EntryKind::Directory) {
            if (enter_once(entered, path))
                collect_files(path, need_types, entered, out);
        } else if (need_types.empty() || ends_with_any(path, need_types)) {
            out.push_back(path);
        }
    }
}

void visit_files(fs::DirectoryCache& cache, const std::string& path,
                 std::set<FolderIdentity>& entered, std::vector<std::string>& out)
{
    if (cache.isdir(path)) {
        const fs::DirListing* entries = cache.listing(path);
        if (!entries) {
            fs::list_dir(path);  // throws the listing error
            return;
        }
        for (const fs::DirEntry& entry : *entries) {
            const std::string child = replace_all(path + "/" + std::string(entry.name), "//", "/");
            if (entry.kind == fs::EntryKind::File) {
                out.push_back(child);
            } else if (entry.kind == fs::EntryKind::Directory && enter_once(entered, child)) {
                visit_files(cache, child, entered, out);
            }
        }
    } else if (cache.isfile(path)) {
        out.push_back(path);
    }
}

bool is_cache_extension(std::string_view extension)
{
    return std::find(std::begin(k_cache_extensions), std::end(k_cache_extensions), extension) !=
           std::end(k_cache_extensions);
}

// The bit that stands for the `kind`th cache extension in a folder's listing.
std::uint64_t cache_extension_bit(std::size_t kind)
{
    static const auto k_bits = [] {
        std::array<std::uint64_t, std::size(k_cache_extensions)> bits{};
        for (std::size_t i = 0; i < bits.size(); ++i)
            bits[i] = fs::DirectoryCache::extension_bit(k_cache_extensions[i]);
        return bits;
    }();
    return k_bits[kind];
}

// `text` with the `length` bytes at each of `places` (in order, apart) replaced by `with`,
// written from the start of `out`, which grows when it is too short. Returns the size.
std::size_t replace_at_places(std::string_view text, const std::vector<std::size_t>& places,
                              std::size_t length, std::string_view with, std::string& out)
{
    const std::size_t size = text.size() + places.size() * with.size() - places.size() * length;
    if (out.size() < size)
        out.resize(size);
    char* to = out.data();
    std::size_t kept = 0;
    for (const std::size_t at : places) {
        std::memcpy(to, text.data() + kept, at - kept);
        to += at - kept;
        std::memcpy(to, with.data(), with.size());
        to += with.size();
        kept = at + length;
    }
    std::memcpy(to, text.data() + kept, text.size() - kept);
    return size;
}

}  // namespace

std::string zel_Katana_asset::upper_one(std::string file_path) const
{
    if (file_path.find('\\') != std::string::npos)
        std::replace(file_path.begin(), file_path.end(), '\\', '/');
    if (file_path.size() >= 2 && file_path[1] == ':')
        file_path[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(file_path[0])));
    return file_path;
}

std::string zel_Katana_asset::getFullPath(host::NodeRef node) const
{
    // Names from the node up to the top, joined from the top down.
    std::vector<std::string> names;
    names.reserve(8);
    names.push_back(m_host.node_name(node));
    std::size_t length = names.back().size() + 1;
    for (std::optional<host::NodeRef> parent = m_host.node_parent(node); parent;
         parent = m_host.node_parent(*parent)) {
        names.push_back(m_host.node_name(*parent));
        length += names.back().size() + 1;
    }
    std::string path;
    path.reserve(length);
    for (auto name = names.rbegin(); name != names.rend(); ++name)
        path.append("/").append(*name);
    return path;
}

void zel_Katana_asset::get_file_from_dir(const std::string& dir_path,
                                         const std::vector<std::string>& need_types)
{
    std::set<FolderIdentity> entered;
    enter_once(entered, dir_path);
    collect_files(dir_path, need_types, entered, xgenfiles);
}

std::vector<std::string> zel_Katana_asset::checkCacheFile(const std::string& string)
{
    std::vector<std::string> twins;
    add_cache_twins(string, twins);
    return twins;
}

bool zel_Katana_asset::find_twin_places(std::string_view path)
{
    // Copied first: `path` may be an entry of the list the twins go to, which they may move.
    m_twin_source.assign(path);
    const std::string& string = m_twin_source;
    const std::size_t dot = find_last_byte(string, '.');
    m_twin_extension = dot == std::string::npos ? std::string_view(string)
                                                : std::string_view(string).substr(dot + 1);
    if (m_twin_extension.empty() || is_cache_extension(m_twin_extension))
        return false;
    // Every place of the extension is replaced, as str.replace does; the places are found
    // once for all cache extensions. The last is the extension itself: no place before it
    // can reach over its dot.
    m_twin_places.clear();
    m_twin_folder_end = std::string::npos;
    if (dot == std::string::npos) {
        m_twin_places.push_back(0);
        return true;
    }
    const std::string_view before = std::string_view(string).substr(0, dot);
    const std::size_t slash = find_last_byte(before, '/');
    // An extension without a "/" has no place reaching over the folder's last slash: a
    // folder known not to hold the extension leaves only the name to search.
    std::size_t from = 0;
    if (slash != std::string::npos && find_last_byte(m_twin_extension, '/') == std::string::npos) {
        const std::string_view folder = before.substr(0, slash);
        if (folder == m_twin_folder.folder && m_twin_extension == m_twin_folder.extension) {
            if (m_twin_folder.clean)
                from = slash + 1;
        } else {
            m_twin_folder.folder.assign(folder);
            m_twin_folder.extension.assign(m_twin_extension);
            m_twin_folder.clean = find_text(folder, m_twin_extension) == std::string::npos;
            m_twin_folder.extensions.reset();
            if (m_twin_folder.clean)
                from = slash + 1;
        }
    }
    for (std::size_t at = find_text(before, m_twin_extension, from); at != std::string::npos;
         at = find_text(before, m_twin_extension, at + m_twin_extension.size()))
        m_twin_places.push_back(at);
    m_twin_places.push_back(dot + 1);
    // When every place lies in the name, the twins lie in the source's folder.
    if (slash != std::string::npos && m_twin_places.front() > slash)
        m_twin_folder_end = slash;
    return true;
}

bool zel_Katana_asset::twin_exists(std::size_t kind)
{
    const std::string_view cache_ext = k_cache_extensions[kind];
    const std::string& string = m_twin_source;
    // Most folders hold no file of a given cache kind: their listing tells at once. What
    // it tells is kept with the folder, as listings do not change during the run.
    m_candidate_regular = false;
    if (m_twin_folder_end != std::string::npos) {
        if (!m_twin_folder.extensions)
            m_twin_folder.extensions =
                m_fs->extensions_of_last(std::string_view(string).substr(0, m_twin_folder_end));
        if (m_twin_folder.extensions &&
            (*m_twin_folder.extensions & cache_extension_bit(kind)) == 0)
            return false;
    }
    m_candidate.resize(
        replace_at_places(string, m_twin_places, m_twin_extension.size(), cache_ext, m_candidate));
    return m_fs->exists(m_candidate, m_candidate_regular);
}

template <typename Out>
void zel_Katana_asset::add_twins(std::string_view path, Out& out,
                                 std::vector<std::uint8_t>* regular_files)
{
    if (!find_twin_places(path))
        return;
    for (std::size_t kind = 0; kind < std::size(k_cache_extensions); ++kind) {
        if (twin_exists(kind)) {
            out.push_back(m_candidate);
            if (regular_files)
                regular_files->push_back(m_candidate_regular ? 1 : 0);
        }
    }
}

void zel_Katana_asset::add_cache_twins(std::string_view path, std::vector<std::string>& out)
{
    add_twins(path, out, nullptr);
}

void zel_Katana_asset::add_cache_twins(std::string_view path, TextList& out,
                                       std::vector<std::uint8_t>* regular_files)
{
    add_twins(path, out, regular_files);
}

void zel_Katana_asset::add_match_twins(std::string_view path, std::size_t slash)
{
    const std::string_view folder = path.substr(0, slash);
    const std::string_view name = path.substr(slash + 1);
    // Names end in a short extension: its dot is looked for from the end, byte by byte.
    std::size_t dot = name.size();
    while (dot > 0 && name[dot - 1] != '.')
        --dot;
    if (dot == 0) {
        add_cache_twins(path, m_found, &m_found_regular); // the extension starts in the folder
        return;
    }
    --dot;
    const std::string_view extension = name.substr(dot + 1);
    if (extension.empty() || is_cache_extension(extension))
        return;
    if (folder != m_twin_folder.folder || extension != m_twin_folder.extension) {
        m_twin_folder.folder.assign(folder);
        m_twin_folder.extension.assign(extension);
        m_twin_folder.clean = find_text(folder, extension) == std::string_view::npos;
        m_twin_folder.extensions.reset();
    }
    if (!m_twin_folder.clean) {
        add_cache_twins(path, m_found, &m_found_regular);
        return;
    }
    // Every place of the extension lies in the name, so the twins lie in the same folder
    // and are looked up there by name.
    const std::string_view stem = name.substr(0, dot);
    m_twin_places.clear();
    for (std::size_t at = find_text(stem, extension); at != std::string_view::npos;
         at = find_text(stem, extension, at + extension.size()))
        m_twin_places.push_back(at);
    m_twin_places.push_back(dot + 1);
    if (!m_twin_folder.extensions)
        m_twin_folder.extensions = m_fs->extensions_of_last(folder);
    for (std::size_t kind = 0; kind < std::size(k_cache_extensions); ++kind) {
        if (m_twin_folder.extensions &&
            (*m_twin_folder.extensions & cache_extension_bit(kind)) == 0)
            continue;
        const std::size_t size = replace_at_places(name, m_twin_places, extension.size(),
                                                   k_cache_extensions[kind], m_twin_name);
        const std::string_view twin(m_twin_name.data(), size);
        bool regular = false;
        if (m_fs->exists_in(folder, twin, regular)) {
            std::string& text = m_found.text();
            const std::size_t start = text.size();
            text.resize(start + folder.size() + 1 + size);
            char* to = text.data() + start;
            std::memcpy(to, folder.data(), folder.size());
            to[folder.size()] = '/';
            std::memcpy(to + folder.size() + 1, twin.data(), size);
            m_found.end_text();
            m_found_regular.push_back(regular ? 1 : 0);
        }
    }
}

void zel_Katana_asset::list_matches(std::string& lines)
{
    for (std::size_t i = 0; i < m_matches.size(); ++i) {
        const std::string_view match = m_matches[i];
        const std::size_t slash = find_last_byte(match, '/');
        // A match of a plain folder is printed as it is when its name is plain too.
        bool plain = false;
        if (slash != std::string_view::npos) {
            const std::string_view folder = match.substr(0, slash);
            if (folder != m_match_folder) {
                m_match_folder.assign(folder);
                m_match_folder_plain = plain_repr_ascii(folder);
            }
            plain = m_match_folder_plain && plain_repr_ascii(match.substr(slash + 1));
        }
        if (plain) {
            lines += '\'';
            lines.append(match).append("'\n", 2);
        } else {
            append_repr_line(lines, match);
        }
        m_found.push_back(match);
        m_found_regular.push_back(m_matches_regular[i]);
        if (slash != std::string_view::npos)
            add_match_twins(match, slash);
        else
            add_cache_twins(match, m_found, &m_found_regular);
    }
}

std::vector<std::string> zel_Katana_asset::getDirFiles(const std::string& path)
{
    std::vector<std::string> files;
    std::set<FolderIdentity> entered;
    enter_once(entered, path);
    visit_files(*m_fs, path, entered, files);
    return files;
}

std::string zel_Katana_asset::project_dir() const
{
    if (!given_proj_dir.empty())
        return given_proj_dir;
    const std::string project = platform::get_env("PROJECT").value_or("");
    if (!project.empty())
        return project;
    return pypath::dirname(pypath::abspath(job_paths().katana_scene));
}

std::vector<std::string> zel_Katana_asset::get_files_from_folder(const std::string& folder,
                                                                 const std::string& prefix,
                                                                 const std::string& ext)
{
    static const Regex k_absolute(R"(^(?:[a-z][:][\\/]|[\\\\]|(?:\${?)))", Regex::IgnoreCase);
    static const Regex k_frame_token(R"(\$F\d+\$T\d+)");

    // Drive paths, network paths, variable references and POSIX absolute paths are used
    // as they are; anything else lies below the project folder.
    std::string base = folder;
    if (!k_absolute.contains(folder) && !pypath::posix::isabs(folder))
        base = pypath::join(project_dir(), folder);

    std::string name_pattern;
    const std::vector<Match> tokens = k_frame_token.find_all(prefix);
    if (tokens.size() == 1) {
        name_pattern = prefix.substr(0, tokens[0].start()) + "*." + prefix.substr(tokens[0].end()) + ext;
    } else {
        name_pattern = prefix + "*." + ext;
    }

    std::vector<std::string> paths = glob(pypath::normpath(pypath::join(base, name_pattern)), m_fs.get());
    if (m_fs->isfile(base))
        paths.push_back(base);
    return paths;
}

}  // namespace script
