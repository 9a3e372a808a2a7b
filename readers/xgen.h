#pragma once

// XGen collections (".xgen"): the groom and instancing description the DCC writes beside a
// scene. A collection is plain text made of blocks, each a header line followed by
// tab-separated attribute lines and ended by "endAttrs" or an empty line. The collection's
// data folders, painted maps, guide caches and archive primitives are named in attribute
// values, written with the collection's own variables ${PROJECT}, ${DESC} and
// ${FXMODULE}. Folder layout and variables:
// https://help.autodesk.com/cloudhelp/2024/ENU/Maya-CharEffEnvBuild/files/GUID-E4714F1D-C4F6-49FD-9B89-FDE72CF9296F.htm

#include <cstddef>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace script::readers {

/// Lines longer than this are skipped with a warning; no path the renderer reads is that
/// long, and it bounds the memory one line may take.
inline constexpr std::size_t k_xgen_max_line_bytes = 8u << 20;
/// Candidate paths longer than this (the longest path Windows accepts) are skipped with a
/// warning: no file system could find them.
inline constexpr std::size_t k_xgen_max_path_bytes = 32767;

/// The process environment variables a collection sets while it is read; later steps see
/// their last values.
inline constexpr std::string_view k_xgen_env_project = "PROJECT";
inline constexpr std::string_view k_xgen_env_desc = "DESC";
inline constexpr std::string_view k_xgen_env_fx_module = "FXMODULE";

/// What the collection's own variables stand for at a point of the file.
struct XgenVariables
{
    std::string project;                 ///< ${PROJECT}: the last xgProjectPath ("" before any)
    std::vector<std::string> data_roots; ///< the xgDataPath parts, as written
    std::string description;             ///< the current description's name
    std::string fx_module;               ///< ${FXMODULE}: the current modifier's name
};

/// The data roots as folders: ${PROJECT} and environment references expanded, relative
/// roots placed below the project. A root with a reference that cannot be expanded is
/// left out.
std::vector<std::string> xgen_data_folders(const XgenVariables& vars);

/// Expands the ${NAME} references of a candidate path: ${PROJECT} (with exactly one "/"
/// after it, whatever the project path and the text after the reference end or begin
/// with), ${DESC} (one result per data folder: the folder joined with the description
/// name), ${FXMODULE}, and any other name from the process environment. Expression
/// variables ($a) are not references. A result that would still hold a reference that
/// cannot be expanded is the text as written. Results are distinct, in data-root order.
std::vector<std::string> expand_xgen_variables(std::string_view text, const XgenVariables& vars);

/// One archive file of an archive primitive, with the archive name and thumbnail of its
/// group (carried over from earlier groups that name them).
struct XgenArchive
{
    std::string name;
    std::string thumbnail;
    std::string file; ///< as written between its quotes
};

/// The archive files of an archive primitive's "files" value: the value is split into
/// "#ArchiveGroup " groups; each group's name="..." and thumbnail="..." set the current
/// name and thumbnail, and every double-quoted drive, network, POSIX absolute or variable
/// path is an archive file. Empty when the value holds no "#ArchiveGroup". Throws
/// script::Error when an archive file comes before any archive name, or a group names an
/// archive without a thumbnail.
std::vector<XgenArchive> xgen_archive_entries(std::string_view files_value);

/// Receives what a collection names, in file order.
class XgenSink
{
public:
    virtual ~XgenSink() = default;
    /// A process environment variable the collection sets ("PROJECT", "DESC", "FXMODULE").
    virtual void variable(const std::string& name, const std::string& value) = 0;
    /// Candidate paths for the collector's filter, variables already expanded.
    virtual void candidates(const std::vector<std::string>& paths) = 0;
    /// The archive files of one archive primitive, their paths expanded with "/" separators.
    virtual void archives(const std::vector<XgenArchive>& entries) = 0;
};

/// Reads a collection line by line ("\n", "\r\n" and "\r" end lines) and hands the sink
/// every variable it sets and every candidate path it names. A block the reader cannot
/// make sense of (a Palette or Description name line of fewer than four tab-separated
/// fields, a Description xgProjectPath before any Palette one, an archive file before any
/// archive name, an archive group without a thumbnail, an FXModule name line without a
/// tab) is skipped from that line to its end with one warning naming `source_name` and
/// the line; so is a line longer than `max_line_bytes`, and a path longer than
/// k_xgen_max_path_bytes. The rest is still read.
void read_xgen(std::istream& in, std::string_view source_name, XgenSink& sink,
               std::size_t max_line_bytes = k_xgen_max_line_bytes);

} // namespace script::readers
