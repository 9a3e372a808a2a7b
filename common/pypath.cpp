#include "common/pypath.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/platform.h"
#include "common/text_match.h"

namespace script::pypath {

namespace {

std::string rstrip_chars(std::string_view text, std::string_view chars)
{
    const std::size_t last = text.find_last_not_of(chars);
    return last == std::string_view::npos ? std::string() : std::string(text.substr(0, last + 1));
}

std::string lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

namespace posix {

std::pair<std::string, std::string> split(std::string_view path)
{
    const auto [head, tail] = split_view(path);
    return {std::string(head), std::string(tail)};
}

std::pair<std::string_view, std::string_view> split_view(std::string_view path)
{
    const std::size_t slash = find_last_byte(path, '/');
    const std::size_t cut = slash == std::string_view::npos ? 0 : slash + 1;
    std::string_view head = path.substr(0, cut);
    // Trailing slashes go, unless the head is nothing but slashes.
    const std::size_t last = head.find_last_not_of('/');
    if (last != std::string_view::npos)
        head = head.substr(0, last + 1);
    return {head, path.substr(cut)};
}

std::string dirname(std::string_view path)
{
    return split(path).first;
}

std::string basename(std::string_view path)
{
    const std::size_t slash = find_last_byte(path, '/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

void append_join(std::string& out, std::string_view a, std::string_view b)
{
    if (!b.empty() && b.front() == '/') {
        out.append(b);
        return;
    }
    out.append(a);
    if (!a.empty() && a.back() != '/')
        out += '/';
    out.append(b);
}

std::string join(std::string_view a, std::string_view b)
{
    std::string out;
    out.reserve(a.size() + 1 + b.size());
    append_join(out, a, b);
    return out;
}

bool is_normal(std::string_view path)
{
    if (path.empty())
        return false;
    if (path == "/")
        return true;
    // An empty component: "//" anywhere (a leading one included) or a trailing "/".
    if (path.back() == '/')
        return false;
#if defined(__SSE2__)
    // Sixteen places at a time, each with the byte after it: a "/" before a "/" is an empty
    // component, and only a "/" before a "." (or a leading ".") can start a "." or ".."
    // component, which most paths never have. The last block overlaps the one before it.
    if (path.size() >= 17) {
        const __m128i slash = _mm_set1_epi8('/');
        const __m128i dot = _mm_set1_epi8('.');
        bool dot_starts_component = path.front() == '.';
        for (std::size_t at = 0;; at += 16) {
            at = std::min(at, path.size() - 17);
            const __m128i here =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(path.data() + at));
            const __m128i next =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(path.data() + at + 1));
            const __m128i slashes = _mm_cmpeq_epi8(here, slash);
            if (_mm_movemask_epi8(_mm_and_si128(slashes, _mm_cmpeq_epi8(next, slash))) != 0)
                return false;
            dot_starts_component =
                dot_starts_component ||
                _mm_movemask_epi8(_mm_and_si128(slashes, _mm_cmpeq_epi8(next, dot))) != 0;
            if (at + 17 == path.size())
                break;
        }
        if (!dot_starts_component)
            return true;
    }
#endif
    if (path.find("//") != std::string_view::npos)
        return false;
    // A "." or ".." component: a dot that starts a component and ends it, or is followed
    // by one more dot that does.
    for (std::size_t dot = path.find('.'); dot != std::string_view::npos;
         dot = path.find('.', dot + 1)) {
        if (dot > 0 && path[dot - 1] != '/')
            continue;
        std::size_t end = dot + 1;
        if (end < path.size() && path[end] == '.')
            ++end;
        if (end == path.size() || path[end] == '/')
            return false;
    }
    return true;
}

namespace {

// Adds one component of a path being normalised to o[0, n): "", "." and a ".." that drops
// a kept component leave nothing (the last cuts o back to the "/" before that component);
// anything else is appended, one "/" after the component before. `root` is the number of
// leading slashes, `kept` the components in o.
void add_component(char* o, std::size_t& n, std::size_t root, std::size_t& kept,
                   std::string_view comp)
{
    if (comp.empty() || comp == ".")
        return;
    if (comp == "..") {
        if (kept == 0 && root > 0)
            return;  // ".." of the root is the root
        if (kept > 0) {
            std::size_t start = n;
            while (start > root && o[start - 1] != '/')
                --start;
            if (std::string_view(o + start, n - start) != "..") {
                --kept;
                n = kept == 0 ? root : start - 1;
                return;
            }
        }
    }
    if (kept++ > 0)
        o[n++] = '/';
    std::memcpy(o + n, comp.data(), comp.size());
    n += comp.size();
}

void add_components(char* o, std::size_t& n, std::size_t root, std::size_t& kept,
                    std::string_view path)
{
    for (std::size_t i = 0; i < path.size();) {
        std::size_t j = i;
        while (j < path.size() && path[j] != '/')
            ++j;
        add_component(o, n, root, kept, path.substr(i, j - i));
        i = j + 1;
    }
}

}  // namespace

std::string normpath(std::string_view path)
{
    if (path.empty())
        return ".";
    if (is_normal(path))
        return std::string(path);
    std::size_t root = 0;
    if (path.front() == '/') {
        root = 1;
        // POSIX leaves the meaning of exactly two leading slashes to the system.
        if (path.substr(0, 2) == "//" && path.substr(0, 3) != "///")
            root = 2;
    }
    // The result is never longer than `path`.
    std::string out(path.size() + 1, '\0');
    std::size_t n = 0;
    for (; n < root; ++n)
        out[n] = '/';
    std::size_t kept = 0;
    add_components(out.data(), n, root, kept, path);
    out.resize(n);
    return out.empty() ? "." : out;
}

namespace {

std::size_t leading_slashes_of_normal(std::string_view dir)
{
    return dir.front() == '/' ? 1 : 0;
}

std::size_t components_of_normal(std::string_view dir)
{
    const std::size_t root = leading_slashes_of_normal(dir);
    return dir.size() == root
               ? 0
               : 1 + static_cast<std::size_t>(std::count(
                         dir.begin() + static_cast<std::ptrdiff_t>(root), dir.end(), '/'));
}

// normpath(join(dir, name)) for a relative name and a folder that is_normal, whose leading
// slashes and components are given, added to `out`: only the components of `name` are
// worked through.
void append_join_normal(std::string& out, std::string_view dir, std::size_t root, std::size_t kept,
                        std::string_view name)
{
    // Most names are normal once their leading "./" and "../" go ("../tex/a.exr"): each
    // "../" takes a component off an absolute folder (or is the root's own), and the rest
    // is appended.
    std::string_view rest = name;
    std::size_t up = 0;
    for (;;) {
        if (rest.starts_with("./")) {
            rest.remove_prefix(2);
        } else if (rest.starts_with("../")) {
            rest.remove_prefix(3);
            ++up;
        } else {
            break;
        }
    }
    if (!rest.empty() && rest.front() != '/' && (up == 0 || root > 0) && is_normal(rest)) {
        std::string_view head = dir;
        for (; up > 0 && kept > 0; --up) {
            --kept;
            head = kept == 0 ? dir.substr(0, root) : head.substr(0, head.rfind('/'));
        }
        out.reserve(out.size() + head.size() + 1 + rest.size());
        out.append(head);
        if (kept > 0)
            out += '/';
        out.append(rest);
        return;
    }
    const std::size_t start = out.size();
    out.resize(start + dir.size() + 1 + name.size());
    std::memcpy(out.data() + start, dir.data(), dir.size());
    std::size_t n = dir.size();
    add_components(out.data() + start, n, root, kept, name);
    out.resize(start + n);
    if (n == 0)
        out += '.';
}

std::string normpath_join_normal(std::string_view dir, std::size_t root, std::size_t kept,
                                 std::string_view name)
{
    std::string out;
    append_join_normal(out, dir, root, kept, name);
    return out;
}

}  // namespace

std::string normpath_join(std::string_view dir, std::string_view name)
{
    if (name.starts_with('/') || !is_normal(dir))
        return normpath(join(dir, name));
    return normpath_join_normal(dir, leading_slashes_of_normal(dir), components_of_normal(dir),
                                name);
}

bool isabs(std::string_view path)
{
    return !path.empty() && path.front() == '/';
}

std::pair<std::string, std::string> splitext(std::string_view path)
{
    const std::size_t sep = find_last_byte(path, '/');
    const std::size_t dot = find_last_byte(path, '.');
    const std::size_t name_start = sep == std::string_view::npos ? 0 : sep + 1;
    if (dot != std::string_view::npos && (sep == std::string_view::npos || dot > sep)) {
        // A name made only of leading dots has no extension.
        for (std::size_t i = name_start; i < dot; ++i)
            if (path[i] != '.')
                return {std::string(path.substr(0, dot)), std::string(path.substr(dot))};
    }
    return {std::string(path), std::string()};
}

}  // namespace posix

namespace nt {

namespace {

constexpr std::string_view k_seps = "\\/";

bool is_sep(char c)
{
    return c == '\\' || c == '/';
}

std::pair<std::string, std::string> splitdrive(std::string_view p)
{
    if (p.size() >= 2) {
        std::string norm(p);
        for (char& c : norm)
            if (c == '/')
                c = '\\';
        if (norm.compare(0, 2, "\\\\") == 0 && (norm.size() < 3 || norm[2] != '\\')) {
            // UNC path: \\server\share is the drive.
            const std::size_t index = norm.find('\\', 2);
            if (index == std::string::npos)
                return {"", std::string(p)};
            std::size_t index2 = norm.find('\\', index + 1);
            if (index2 == index + 1)
                return {"", std::string(p)};
            if (index2 == std::string::npos)
                index2 = p.size();
            return {std::string(p.substr(0, index2)), std::string(p.substr(index2))};
        }
        if (norm[1] == ':')
            return {std::string(p.substr(0, 2)), std::string(p.substr(2))};
    }
    return {"", std::string(p)};
}

}  // namespace

std::pair<std::string, std::string> split(std::string_view path)
{
    auto [drive, rest] = splitdrive(path);
    std::size_t i = rest.size();
    while (i > 0 && !is_sep(rest[i - 1]))
        --i;
    std::string head = rest.substr(0, i);
    std::string tail = rest.substr(i);
    const std::string stripped = rstrip_chars(head, k_seps);
    if (!stripped.empty())
        head = stripped;
    return {drive + head, tail};
}

std::string dirname(std::string_view path)
{
    return split(path).first;
}

std::string basename(std::string_view path)
{
    return split(path).second;
}

std::string join(std::string_view a, std::string_view b)
{
    auto [result_drive, result_path] = splitdrive(a);
    auto [p_drive, p_path] = splitdrive(b);
    bool done = false;
    if (!p_path.empty() && is_sep(p_path.front())) {
        if (!p_drive.empty() || result_drive.empty())
            result_drive = p_drive;
        result_path = p_path;
        done = true;
    } else if (!p_drive.empty() && p_drive != result_drive) {
        if (lower(p_drive) != lower(result_drive)) {
            result_drive = p_drive;
            result_path = p_path;
            done = true;
        } else {
            result_drive = p_drive;
        }
    }
    if (!done) {
        if (!result_path.empty() && !is_sep(result_path.back()))
            result_path += '\\';
        result_path += p_path;
    }
    if (!result_path.empty() && !is_sep(result_path.front()) && !result_drive.empty() &&
        result_drive.back() != ':')
        return result_drive + "\\" + result_path;
    return result_drive + result_path;
}

std::string normpath(std::string_view path)
{
    if (path.substr(0, 4) == "\\\\.\\" || path.substr(0, 4) == "\\\\?\\")
        return std::string(path);
    std::string text(path);
    for (char& c : text)
        if (c == '/')
            c = '\\';
    auto [prefix, rest] = splitdrive(text);
    if (!rest.empty() && rest.front() == '\\') {
        prefix += '\\';
        const std::size_t first = rest.find_first_not_of('\\');
        rest = first == std::string::npos ? std::string() : rest.substr(first);
    }
    std::vector<std::string> comps;
    std::size_t pos = 0;
    while (pos <= rest.size()) {
        std::size_t next = rest.find('\\', pos);
        if (next == std::string::npos)
            next = rest.size();
        comps.push_back(rest.substr(pos, next - pos));
        pos = next + 1;
    }
    std::size_t i = 0;
    while (i < comps.size()) {
        if (comps[i].empty() || comps[i] == ".") {
            comps.erase(comps.begin() + static_cast<long>(i));
        } else if (comps[i] == "..") {
            if (i > 0 && comps[i - 1] != "..") {
                comps.erase(comps.begin() + static_cast<long>(i - 1), comps.begin() + static_cast<long>(i + 1));
                --i;
            } else if (i == 0 && !prefix.empty() && prefix.back() == '\\') {
                comps.erase(comps.begin());
            } else {
                ++i;
            }
        } else {
            ++i;
        }
    }
    if (prefix.empty() && comps.empty())
        comps.emplace_back(".");
    std::string out = prefix;
    for (std::size_t k = 0; k < comps.size(); ++k) {
        if (k)
            out += '\\';
        out += comps[k];
    }
    return out;
}

bool isabs(std::string_view path)
{
    const std::string rest = splitdrive(path).second;
    return !rest.empty() && is_sep(rest.front());
}

}  // namespace nt

std::string dirname(std::string_view path)
{
    return platform::is_windows() ? nt::dirname(path) : posix::dirname(path);
}

std::string basename(std::string_view path)
{
    return platform::is_windows() ? nt::basename(path) : posix::basename(path);
}

std::pair<std::string, std::string> split(std::string_view path)
{
    return platform::is_windows() ? nt::split(path) : posix::split(path);
}

std::string join(std::string_view a, std::string_view b)
{
    return platform::is_windows() ? nt::join(a, b) : posix::join(a, b);
}

void append_join(std::string& out, std::string_view a, std::string_view b)
{
    if (platform::is_windows())
        out.append(nt::join(a, b));
    else
        posix::append_join(out, a, b);
}

std::string join(std::initializer_list<std::string_view> parts)
{
    std::string out;
    bool first = true;
    for (const std::string_view part : parts) {
        out = first ? std::string(part) : join(out, part);
        first = false;
    }
    return out;
}

std::string normpath(std::string_view path)
{
    return platform::is_windows() ? nt::normpath(path) : posix::normpath(path);
}

std::string normpath_join(std::string_view dir, std::string_view name)
{
    return platform::is_windows() ? nt::normpath(nt::join(dir, name))
                                  : posix::normpath_join(dir, name);
}

NormalJoin::NormalJoin(std::string dir)
    : m_dir(std::move(dir)), m_normal(!platform::is_windows() && posix::is_normal(m_dir))
{
    if (m_normal) {
        m_root = posix::leading_slashes_of_normal(m_dir);
        m_kept = posix::components_of_normal(m_dir);
    }
}

std::string NormalJoin::operator()(std::string_view name) const
{
    std::string joined;
    append_to(joined, name);
    return joined;
}

void NormalJoin::append_to(std::string& out, std::string_view name) const
{
    if (!m_normal || name.starts_with('/'))
        out += normpath_join(m_dir, name);
    else
        posix::append_join_normal(out, m_dir, m_root, m_kept, name);
}

bool isabs(std::string_view path)
{
    return platform::is_windows() ? nt::isabs(path) : posix::isabs(path);
}

std::string abspath(std::string_view path)
{
    if (isabs(path))
        return normpath(path);
    return normpath(join(platform::current_dir(), path));
}

bool abspath_keeps(std::string_view path)
{
    return !platform::is_windows() && !path.empty() && path.front() == '/' && posix::is_normal(path);
}

std::string realpath(std::string_view path)
{
    const std::string absolute = abspath(path);
    std::error_code ec;
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(absolute, ec);
    if (ec)
        return absolute;
    std::string text = resolved.string();
    if (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return normpath(text);
}

}  // namespace script::pypath
