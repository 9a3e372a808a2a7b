// The collector's walk over a USD layer tree. A scene names one root layer, say
//
//     /show/sets/forest.usda      subLayers = [@./layout.usdc@]
//     /show/sets/layout.usdc      references @../assets/tree.usd@, asset @./tex/bark.<UDIM>.exr@
//
// and the render needs the whole tree: every layer is read on its own (both encodings give
// the same list of named files), each named path is anchored to the folder of the layer
// that names it, layers are followed through the dispatch (usdFiles is its visited list)
// and every other file goes to AnaylseSeq under the naming layer's path, so texture tokens
// and cache twins are expanded as for any scene reference.

#include <algorithm>
#include <cctype>
#include <deque>
#include <memory>
#include <optional>
#include <system_error>

#include "assets/asset_collector.h"
#include "common/console.h"
#include "common/fs.h"
#include "common/glob.h"
#include "common/platform.h"
#include "common/pypath.h"
#include "common/pyutil.h"
#include "common/text_match.h"
#include "readers/usd_layer.h"

namespace script {

namespace {

constexpr std::string_view k_sublayer_marker = "subLayerPaths  ";
constexpr int k_sublayer_marker_repeats = 10;
constexpr std::string_view k_relative_before = "13 13 13 13 13 13 13 13 13 13 ";
constexpr std::string_view k_relative_after = "14 14 14 14 14 14 14 14 14 14 ";
constexpr std::string_view k_unread_layer = "Warnning: usd layer not fully read: ";
constexpr std::string_view k_unresolvable = "Warnning: usd asset path is no file path: ";

bool is_layer_name(std::string_view path)
{
    return path.ends_with(".usd") || path.ends_with(".usda") || path.ends_with(".usdc");
}

// "http://", "omniverse://" ...: a resolver's scheme, not a drive letter.
bool has_scheme(std::string_view path)
{
    const std::size_t colon = path.find(':');
    if (colon == std::string_view::npos || colon < 2) {
        return false;
    }
    if (!std::isalpha(static_cast<unsigned char>(path[0]))) {
        return false;
    }
    for (std::size_t i = 1; i < colon; ++i) {
        const char c = path[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

constexpr std::string_view k_search_path_variable = "PXR_AR_DEFAULT_SEARCH_PATH";

// "assets/a.usd": a relative name that neither starts with "./" or "../" nor is a pattern
// of files (tokens are expanded later, against the layer's folder).
bool is_search_path_name(std::string_view name)
{
    return !name.starts_with("./") && !name.starts_with("../") &&
           find_first_byte_of(name, "<>#%*?") == std::string_view::npos;
}

// POSIX, drive ("C:/", "C:\") and network ("//", "\\") paths.
bool is_absolute(std::string_view path)
{
    if (path.starts_with('/') || path.starts_with('\\')) {
        return true;
    }
    return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
           path[1] == ':' && (path[2] == '/' || path[2] == '\\');
}

// Each run of '#' stands for that many frame digits.
std::string clip_pattern(std::string_view tmpl)
{
    std::string pattern;
    for (const char c : tmpl) {
        if (c == '#') {
            pattern += "[0-9]";
        } else {
            pattern += c;
        }
    }
    return pattern;
}

}  // namespace

std::string zel_Katana_asset::usd_layer_folder(const std::string& layer)
{
    return pypath::dirname(replace_all(layer, "\\", "/"));
}

std::string zel_Katana_asset::resolve_ref(const std::string& layer,
                                          const std::string& reference) const
{
    return resolve_ref_in(pypath::NormalJoin(usd_layer_folder(layer)), reference);
}

std::string zel_Katana_asset::resolve_ref_in(const pypath::NormalJoin& folder,
                                             std::string_view reference) const
{
    return resolve_anchored(reference, anchor_ref(folder, reference));
}

std::string zel_Katana_asset::anchor_ref(const pypath::NormalJoin& folder,
                                         std::string_view reference) const
{
    std::string anchored;
    anchor_ref_into(anchored, folder, reference);
    return anchored;
}

void zel_Katana_asset::anchor_ref_into(std::string& out, const pypath::NormalJoin& folder,
                                       std::string_view reference) const
{
    if (reference.empty()) {
        return;
    }
    if (reference.front() == '$' || reference.front() == '[') {
        out += reference;
        return;
    }
    if (has_scheme(reference)) {
        return;
    }
    const std::size_t start = out.size();
    if (is_absolute(reference)) {
        out += pypath::normpath(reference);
    } else if (reference.find('\\') != std::string_view::npos) {
        folder.append_to(out, replace_all(reference, "\\", "/"));
    } else {
        folder.append_to(out, reference);
    }
    // Backslashes and a drive letter, as everywhere else (nearly never).
    const std::string_view added = std::string_view(out).substr(start);
    if (added.find('\\') != std::string_view::npos || (added.size() >= 2 && added[1] == ':')) {
        out.replace(start, std::string::npos, upper_one(std::string(added)));
    }
}

std::string zel_Katana_asset::resolve_anchored(std::string_view reference,
                                               std::string anchored) const
{
    std::optional<std::string> found = search_path_file(reference, anchored);
    return found ? std::move(*found) : std::move(anchored);
}

std::optional<std::string> zel_Katana_asset::search_path_file(std::string_view reference,
                                                              std::string_view anchored) const
{
    // Only a relative name can be a search-path name.
    if (anchored.empty() || reference.front() == '$' || reference.front() == '[' ||
        is_absolute(reference)) {
        return std::nullopt;
    }
    std::string slashed;
    if (reference.find('\\') != std::string_view::npos) {
        slashed = replace_all(reference, "\\", "/");
    }
    const std::string_view name = slashed.empty() ? std::string_view(reference) : slashed;
    if (!is_search_path_name(name) || m_fs->isfile(std::string(anchored))) {
        return std::nullopt;
    }
    // USD's default resolver looks for a search-path name that is not beside its layer in
    // the folders of PXR_AR_DEFAULT_SEARCH_PATH, in order.
    const std::optional<std::string> search =
        platform::get_env(std::string(k_search_path_variable));
    if (!search) {
        return std::nullopt;
    }
    for (const std::string& dir : split(*search, platform::is_windows() ? ";" : ":")) {
        if (dir.empty()) {
            continue;
        }
        std::string found =
            upper_one(pypath::normpath(pypath::join(replace_all(dir, "\\", "/"), name)));
        if (m_fs->isfile(found)) {
            return found;
        }
    }
    return std::nullopt;
}

void zel_Katana_asset::reset_usd_walk()
{
    usd_list.clear();
    usdFiles.clear();
    usd_links.clear();
    usd_listed.clear();
    usd_entered.clear();
}

void zel_Katana_asset::get_all_usd(const std::string& usd_path)
{
    if (usd_path.empty()) {
        return;
    }
    const std::string path = upper_one(pypath::normpath(usd_path));
    usd_list.push_back(path);
    // A layer already entered in this walk has been walked: this ends reference cycles.
    if (!usd_entered.insert(path).second) {
        return;
    }
    if (!directory_cache().isfile(path)) {
        return;
    }
    get_files_from_usd_file(path);
    const auto links = usd_links.find(path);
    if (links == usd_links.end()) {
        return;
    }
    std::string marker;
    for (int i = 0; i < k_sublayer_marker_repeats; ++i) {
        marker += k_sublayer_marker;
    }
    for (const std::string& sublayer : links->second.sublayers) {
        print_line(marker);
        print_line(sublayer);
    }
    // Copied: the walk below adds layers to usd_links.
    const std::vector<std::pair<std::string, std::string>> layers = links->second.layers;
    for (const auto& [authored, resolved] : layers) {
        if (!is_absolute(authored)) {
            print_line(std::string(k_relative_before) + " " + authored);
            print_line(resolved + " " + std::string(k_relative_after));
        }
        get_all_usd(resolved);
    }
}

void zel_Katana_asset::get_files_from_usd_file(const std::string& usd_file)
{
    if (usd_file.empty()) {
        return;
    }
    const std::string path = upper_one(pypath::normpath(usd_file));
    if (!usd_listed.insert(path).second) {
        return;
    }
    usdFiles.push_back(path);
    if (!directory_cache().isfile(path)) {
        return;
    }
    if (path.ends_with(".usd") || path.ends_with(".usdc")) {
        handle_usd_file(path);
    } else if (path.ends_with(".usda")) {
        handle_usda_file(path);
    }
}

void zel_Katana_asset::handle_usda_file(const std::string& usd_file)
{
    usdFiles.push_back(usd_file);
    handle_usd_file(usd_file);
}

readers::UsdLayerReadAhead* zel_Katana_asset::usd_read_ahead()
{
    if (!m_usd_read_ahead && !m_usd_read_ahead_failed) {
        // The reading thread also anchors each layer's paths to its folder: that needs
        // no disk and nothing of the walk's, and the walk is the busier thread.
        // The layers it names are read next: the walk will most likely enter them.
        auto anchor = [this](const std::string& path, readers::UsdLayer& layer) {
            const std::string folder_text = usd_layer_folder(path);
            const pypath::NormalJoin folder(folder_text);
            layer.prepared_text.clear();
            layer.prepared_text.reserve(layer.path_text.size() +
                                        layer.refs.size() * (folder_text.size() + 1));
            layer.prepared_ends.clear();
            layer.prepared_ends.reserve(layer.refs.size());
            std::vector<std::string> layers;
            for (const readers::UsdAssetRef& ref : layer.refs) {
                const std::size_t start = layer.prepared_text.size();
                if (ref.kind != readers::UsdRefKind::ClipTemplate) {
                    anchor_ref_into(layer.prepared_text, folder, layer.path_of(ref));
                }
                layer.end_prepared();
                const std::string_view anchored =
                    std::string_view(layer.prepared_text).substr(start);
                if (is_layer_name(anchored)) {
                    layers.emplace_back(anchored);
                }
            }
            return layers;
        };
        try {
            m_usd_read_ahead = std::make_shared<readers::UsdLayerReadAhead>(anchor);
        } catch (const std::system_error&) {
            m_usd_read_ahead_failed = true;  // no thread: layers are read when entered
        }
    }
    return m_usd_read_ahead.get();
}

void zel_Katana_asset::handle_usd_file(const std::string& usd_file)
{
    readers::UsdLayerReadAhead* const ahead = usd_read_ahead();
    readers::UsdLayer layer =
        ahead ? ahead->take(usd_file) : readers::read_usd_layer_file(usd_file);
    if (!layer.error.empty()) {
        print_line(std::string(k_unread_layer) + layer.error);
    }
    // A map keeps its elements in place while the walk below adds layers.
    UsdLayerLinks& links = usd_links[usd_file];
    const pypath::NormalJoin folder(usd_layer_folder(usd_file));

    // Every path is resolved first, so that the layers named here can be read ahead while
    // the walk below enters the first of them and expands the other files.
    // The paths anchored on the reading thread are looked at where they lie in the layer;
    // those made here are kept in `made` (whose elements stay in place).
    const bool anchored = layer.prepared_ends.size() == layer.refs.size();
    std::vector<std::string_view> resolved_refs(layer.refs.size());
    std::deque<std::string> made;
    std::vector<std::string> wanted;
    // The anchored layers the reading thread went on to, that are not wanted here.
    std::vector<std::string> unwanted;
    for (std::size_t i = 0; i < layer.refs.size(); ++i) {
        const readers::UsdAssetRef& ref = layer.refs[i];
        if (ref.kind == readers::UsdRefKind::ClipTemplate) {
            continue;
        }
        const std::string_view path = layer.path_of(ref);
        const std::string_view anchored_ref =
            anchored ? layer.prepared(i) : made.emplace_back(anchor_ref(folder, path));
        const bool read_on = anchored && is_layer_name(anchored_ref);
        if (read_on) {
            unwanted.emplace_back(anchored_ref);
        }
        std::optional<std::string> found = search_path_file(path, anchored_ref);
        const std::string_view resolved =
            found ? made.emplace_back(std::move(*found)) : anchored_ref;
        resolved_refs[i] = resolved;
        if (ahead && is_layer_name(resolved)) {
            std::string layer_path(resolved);
            if (!usd_listed.contains(layer_path) && directory_cache().isfile(layer_path)) {
                if (read_on && unwanted.back() == layer_path) {
                    unwanted.pop_back();
                }
                wanted.push_back(std::move(layer_path));
            }
        }
    }
    if (!wanted.empty()) {
        ahead->want(wanted);
    }
    if (!unwanted.empty()) {
        ahead->forget_unwanted(unwanted);
    }
    // Layers wanted here but entered nowhere below (named twice, say) are let go, and the
    // layer itself goes back to the reading thread to be freed.
    struct LetGo
    {
        readers::UsdLayerReadAhead* ahead;
        const std::vector<std::string>& paths;
        readers::UsdLayer& layer;
        ~LetGo()
        {
            if (!ahead) {
                return;
            }
            if (!paths.empty()) {
                ahead->forget(paths);
            }
            ahead->dispose(std::move(layer));
        }
    } let_go{ahead, wanted, layer};

    for (std::size_t i = 0; i < layer.refs.size(); ++i) {
        const readers::UsdAssetRef& ref = layer.refs[i];
        if (ref.kind == readers::UsdRefKind::ClipTemplate) {
            const std::string pattern = resolve_ref_in(folder, layer.path_of(ref));
            if (pattern.empty()) {
                continue;
            }
            const std::vector<std::string> clips = glob(clip_pattern(pattern), &directory_cache());
            if (clips.empty() && is_layer_name(pattern)) {
                usdFiles.push_back(pattern);  // listed as missing
            } else if (clips.empty()) {
                AnaylseSeq(usd_file, pattern);
            }
            for (const std::string& clip : clips) {
                if (is_layer_name(clip)) {
                    get_files_from_usd_file(clip);
                } else {
                    AnaylseSeq(usd_file, clip);
                }
            }
            continue;
        }
        const std::string_view resolved = resolved_refs[i];
        if (resolved.empty()) {
            print_line(std::string(k_unresolvable) + usd_file + " " +
                       std::string(layer.owner_of(ref)) + " " + ref.field + " @" +
                       std::string(layer.path_of(ref)) + "@");
            continue;
        }
        const bool arc = ref.kind == readers::UsdRefKind::SubLayer ||
                         ref.kind == readers::UsdRefKind::Reference ||
                         ref.kind == readers::UsdRefKind::Payload;
        if (ref.kind == readers::UsdRefKind::SubLayer) {
            links.sublayers.emplace_back(layer.path_of(ref));
        }
        if (arc) {
            links.layers.emplace_back(layer.path_of(ref), resolved);
        }
        if (is_layer_name(resolved)) {
            get_files_from_usd_file(std::string(resolved));
        } else {
            AnaylseSeq(usd_file, resolved);
        }
    }
}

}  // namespace script
