#pragma once

// Python's os.path rules, reproduced exactly. posixpath is the default flavour; ntpath is
// the Windows one, used when the process runs as Windows (see platform.h). Nothing else
// in the analyser re-implements path text rules.

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace script::pypath {

namespace posix {
std::string dirname(std::string_view path);
std::string basename(std::string_view path);
/// (head, tail) as posixpath.split.
std::pair<std::string, std::string> split(std::string_view path);
/// The same as views of `path`.
std::pair<std::string_view, std::string_view> split_view(std::string_view path);
/// posixpath.join: an absolute later part discards what came before.
std::string join(std::string_view a, std::string_view b);
/// Appends join(a, b) to `out`.
void append_join(std::string& out, std::string_view a, std::string_view b);
std::string normpath(std::string_view path);
/// normpath(join(dir, name)), without working through `dir` again when it is normal.
std::string normpath_join(std::string_view dir, std::string_view name);
/// True only when normpath returns the path unchanged: non-empty, single "/" separators, no
/// empty, "." or ".." component, no trailing "/" (paths on the farm nearly always are). A
/// leading "//" is left to the full rules.
bool is_normal(std::string_view path);
bool isabs(std::string_view path);
/// (root, ext) as posixpath.splitext.
std::pair<std::string, std::string> splitext(std::string_view path);
}  // namespace posix

namespace nt {
std::string dirname(std::string_view path);
std::string basename(std::string_view path);
std::pair<std::string, std::string> split(std::string_view path);
/// ntpath.join, drive letters included ("C:" + "a" gives "C:a").
std::string join(std::string_view a, std::string_view b);
std::string normpath(std::string_view path);
bool isabs(std::string_view path);
}  // namespace nt

// The flavour of the running platform (ntpath when platform::is_windows()).
std::string dirname(std::string_view path);
std::string basename(std::string_view path);
std::pair<std::string, std::string> split(std::string_view path);
std::string join(std::string_view a, std::string_view b);
std::string join(std::initializer_list<std::string_view> parts);
/// Appends join(a, b) to `out`.
void append_join(std::string& out, std::string_view a, std::string_view b);
std::string normpath(std::string_view path);
/// normpath(join(dir, name)) in the platform's flavour.
std::string normpath_join(std::string_view dir, std::string_view name);

/// A folder that many names are joined to and normalised against, as normpath_join does,
/// with what the folder's text allows worked out once.
class NormalJoin
{
public:
    explicit NormalJoin(std::string dir);
    std::string operator()(std::string_view name) const;
    /// The same, added to `out`.
    void append_to(std::string& out, std::string_view name) const;
    const std::string& dir() const { return m_dir; }

private:
    std::string m_dir;
    bool m_normal = false;   // POSIX flavour and the folder is its own normal form
    std::size_t m_root = 0;  // its leading slashes
    std::size_t m_kept = 0;  // its components
};
bool isabs(std::string_view path);

/// os.path.abspath: normpath of the path joined under the current working directory.
std::string abspath(std::string_view path);
/// True when abspath would return the path as it is, found without building anything:
/// an absolute POSIX path in normal form (false on Windows, where the full rules apply).
bool abspath_keeps(std::string_view path);
/// os.path.realpath: symbolic links resolved as far as they exist, then normalised.
std::string realpath(std::string_view path);

}  // namespace script::pypath
