#pragma once

// The renderer's scene operations the collector relies on to follow what a scene
// description depends on (a session, loading one file into a universe, its nodes, a node's
// type and its string parameters), behind an interface of our own. Its one backend reads
// the files with the reader of readers/arnold_ass.h; tests put recording fakes in its place.
//
// Names inside scene descriptions follow the renderer's rules ("How Arnold handles paths"
// and "Texture search paths" in the Arnold documentation): backslashes are slashes,
// variables are written [NAME], search paths list folders separated by ":" or ";", and a
// relative name is looked for beside the file that names it, then in the search folders.

#include <string>
#include <string_view>
#include <vector>

#include "readers/arnold_ass.h"

namespace script::readers {

/// A universe: the nodes one load kept, in file order.
using ArnoldUniverse = AssContents;

class ArnoldSceneApi
{
public:
    virtual ~ArnoldSceneApi() = default;
    /// Starts a session; every load happens between begin() and end().
    virtual void begin() = 0;
    /// Ends the session.
    virtual void end() noexcept = 0;
    /// Loads one file into a new universe. Throws script::Error naming the file when it
    /// cannot be opened; malformed content is read as far as it parses.
    virtual ArnoldUniverse load(const std::string& path) = 0;
};

/// The backend reading files with read_ass. It keeps the parameters the collector asks
/// for and prints one warning per file that does not parse cleanly.
class AssFileScene : public ArnoldSceneApi
{
public:
    explicit AssFileScene(AssKeep keep) : m_keep(std::move(keep)) {}
    void begin() override {}
    void end() noexcept override {}
    ArnoldUniverse load(const std::string& path) override;

private:
    AssKeep m_keep;
};

/// The collector's parameters: file names, crowd folders and the search paths.
const AssKeep& arnold_kept_parameters();

/// A name as the renderer reads it: every "\" is "/", and repeated "/" collapse except a
/// leading "//" (a network path).
std::string normalise_arnold_path(std::string_view path);

/// Replaces each [NAME] whose variable is set; unset ones stay as written.
std::string expand_arnold_variables(std::string_view text);

/// The folders of a search-path value: variables expanded, split at ":" and ";" (not after
/// a drive letter), normalised, and relative ones joined to `file_dir`.
std::vector<std::string> arnold_search_folders(std::string_view value, std::string_view file_dir);

/// The name with its file-name tokens in the forms the sequence expansion turns into
/// wildcards: <udim> in any letter case becomes <udim> (or stays <UDIM>), <tile> (the
/// _u1_v1 tile suffix) becomes _u<udim>_v<udim>, and a per-shape <attr:...> becomes <udim>.
std::string arnold_tokens_for_expansion(std::string_view name);

/// True for a name of a scene description (".ass" or ".ass.gz").
bool is_scene_description(std::string_view name);

} // namespace script::readers
