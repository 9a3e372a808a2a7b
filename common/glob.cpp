#include "common/glob.h"

#include <array>
#include <cstdint>
#include <span>
#include <tuple>
#include <utility>

#include "common/errors.h"
#include "common/fs.h"
#include "common/platform.h"
#include "common/pypath.h"
#include "common/text_match.h"

namespace script {

namespace {

// The bytes a "[...]" set matches, one bit each.
using ByteBits = std::array<std::uint64_t, 4>;

// One compiled element of a wildcard pattern; a set's bytes are kept beside the tokens.
struct Token
{
    enum Kind : std::uint8_t { Literal, AnyChar, AnyRun, Set } kind = Literal;
    char ch = 0;
    std::uint32_t set = 0; // Set: its place among the pattern's sets

    bool matches(char c, const std::vector<ByteBits>& sets) const
    {
        switch (kind) {
        case Literal: return c == ch;
        case AnyChar: return true;
        case AnyRun: return true;
        case Set: {
            const auto u = static_cast<unsigned char>(c);
            return (sets[set][u >> 6] >> (u & 63) & 1) != 0;
        }
        }
        return false;
    }
};

std::vector<Token> compile(std::string_view pat, std::vector<ByteBits>& sets)
{
    std::vector<Token> tokens;
    tokens.reserve(pat.size());
    const std::size_t n = pat.size();
    std::size_t i = 0;
    while (i < n) {
        const char c = pat[i++];
        Token t;
        if (c == '*') {
            if (!tokens.empty() && tokens.back().kind == Token::AnyRun)
                continue;
            t.kind = Token::AnyRun;
        } else if (c == '?') {
            t.kind = Token::AnyChar;
        } else if (c == '[') {
            // The set runs to the next "]"; a "]" right after "[" or "[!" is a member.
            std::size_t j = i;
            if (j < n && pat[j] == '!')
                ++j;
            if (j < n && pat[j] == ']')
                ++j;
            while (j < n && pat[j] != ']')
                ++j;
            if (j >= n) {
                t.ch = '[';  // unterminated: a literal bracket
            } else {
                std::string_view stuff = pat.substr(i, j - i);
                i = j + 1;
                t.kind = Token::Set;
                bool negated = false;
                if (!stuff.empty() && stuff.front() == '!') {
                    negated = true;
                    stuff.remove_prefix(1);
                }
                ByteBits bits{};
                // Each member is a byte or an inclusive range; one whose low end is above
                // its high end matches nothing.
                const auto add = [&bits](unsigned lo, unsigned hi) {
                    for (unsigned u = lo; u <= hi; ++u)
                        bits[u >> 6] |= std::uint64_t{1} << (u & 63);
                };
                std::size_t k = 0;
                while (k < stuff.size()) {
                    const auto lo = static_cast<unsigned char>(stuff[k]);
                    if (k + 2 < stuff.size() && stuff[k + 1] == '-') {
                        add(lo, static_cast<unsigned char>(stuff[k + 2]));
                        k += 3;
                    } else {
                        add(lo, lo);
                        ++k;
                    }
                }
                if (negated)
                    for (std::uint64_t& word : bits)
                        word = ~word;
                t.set = static_cast<std::uint32_t>(sets.size());
                sets.push_back(bits);
            }
        } else {
            t.ch = c;
        }
        tokens.push_back(t);
    }
    return tokens;
}

bool match_tokens(std::string_view name, std::span<const Token> tokens,
                  const std::vector<ByteBits>& sets)
{
    std::size_t ni = 0, ti = 0;
    std::size_t star_t = std::string::npos, star_n = 0;
    while (ni < name.size()) {
        if (ti < tokens.size() && tokens[ti].kind == Token::AnyRun) {
            star_t = ti++;
            star_n = ni;
        } else if (ti < tokens.size() && tokens[ti].matches(name[ni], sets)) {
            ++ti;
            ++ni;
        } else if (star_t != std::string::npos) {
            ti = star_t + 1;
            ni = ++star_n;
        } else {
            return false;
        }
    }
    while (ti < tokens.size() && tokens[ti].kind == Token::AnyRun)
        ++ti;
    return ti == tokens.size();
}

// A compiled pattern as the literal text it starts with, the literal text it ends with, and
// the tokens between them. A literal token matches one character of its own, so the two
// texts can only sit at the ends of a matching name, and only the middle of the name is
// left to match token by token.
class NameMatcher
{
public:
    explicit NameMatcher(std::string_view pattern)
        : m_tokens(compile(pattern, m_sets)), m_last(m_tokens.size())
    {
        // A literal token is one byte of the pattern, so the literal tokens at either end
        // are the pattern's own first and last bytes.
        while (m_first < m_last && m_tokens[m_first].kind == Token::Literal)
            ++m_first;
        std::size_t tail = m_last;
        while (tail > m_first && m_tokens[tail - 1].kind == Token::Literal)
            --tail;
        m_prefix.assign(pattern.substr(0, m_first));
        m_suffix.assign(pattern.substr(pattern.size() - (m_last - tail)));
        m_last = tail;
    }

    bool matches(std::string_view name) const
    {
        return name.starts_with(m_prefix) && matches_after(name, m_prefix.size());
    }

    /// matches() for a name known to begin with the first `known` bytes of the pattern's
    /// literal prefix.
    bool matches_after(std::string_view name, std::size_t known) const
    {
        if (name.size() < m_prefix.size() + m_suffix.size() || !name.ends_with(m_suffix) ||
            name.substr(known, m_prefix.size() - known) != std::string_view(m_prefix).substr(known))
            return false;
        name.remove_prefix(m_prefix.size());
        name.remove_suffix(m_suffix.size());
        return match_tokens(
            name, std::span<const Token>(m_tokens).subspan(m_first, m_last - m_first), m_sets);
    }

private:
    std::vector<ByteBits> m_sets; // made before the tokens, which refer to them
    std::vector<Token> m_tokens;
    std::size_t m_first = 0;  // the middle tokens, [m_first, m_last)
    std::size_t m_last;
    std::string m_prefix;
    std::string m_suffix;
};

bool is_hidden(std::string_view name)
{
    return !name.empty() && name.front() == '.';
}

struct Globber
{
    fs::DirectoryCache* cache;
    std::vector<std::uint8_t>* regular_files = nullptr; // a mark per path of a TextList

    bool lexists(const std::string& p) const { return cache ? cache->lexists(p) : fs::lexists(p); }
    bool isdir(const std::string& p) const { return cache ? cache->isdir(p) : fs::isdir(p); }

    // Each name found is added to `out` as it is, or joined under `join_dir` when given;
    // `regular` tells whether it is known to be a regular file.
    void emit(std::vector<std::string>& out, const std::string_view* join_dir,
              std::string_view name, bool) const
    {
        if (join_dir)
            out.push_back(pypath::join(*join_dir, name));
        else
            out.emplace_back(name);
    }
    void emit(TextList& out, const std::string_view* join_dir, std::string_view name,
              bool regular) const
    {
        if (join_dir) {
            pypath::append_join(out.text(), *join_dir, name);
            out.end_text();
        } else {
            out.push_back(name);
        }
        if (regular_files)
            regular_files->push_back(regular ? 1 : 0);
    }
    static bool regular(const fs::DirEntry& e) { return e.kind == fs::EntryKind::File; }

    template <typename Out>
    void glob1(std::string_view dir, std::string_view pattern, bool dironly,
               const std::string_view* join_dir, Out& out) const
    {
        const NameMatcher matcher(pattern);
        const bool hidden_ok = is_hidden(pattern);
        const std::string_view folder = dir.empty() ? std::string_view(".") : dir;
        auto consider = [&](const fs::DirEntry& e) {
            if (dironly && e.kind != fs::EntryKind::Directory)
                return;
            if ((hidden_ok || !is_hidden(e.name)) && matcher.matches(e.name))
                emit(out, join_dir, e.name, regular(e));
        };
        if (!cache) {
            try {
                for (const fs::DirEntry& e : fs::list_dir(std::string(folder)))
                    consider(e);
            } catch (const Error&) {
            }
            return;
        }
        // Only the names that begin with the pattern's literal prefix can match; they are
        // found by binary search and kept in listing order.
        const std::string_view prefix = pattern.substr(0, find_first_byte_of(pattern, "*?["));
        if (prefix.empty()) {
            if (const auto* entries = cache->listing(folder))
                for (const fs::DirEntry& e : *entries)
                    consider(e);
            return;
        }
        thread_local std::vector<std::uint32_t> positions;  // reused: one glob per reference
        if (const auto* entries = cache->listing_with_prefix(folder, prefix, positions)) {
            out.reserve(out.size() + positions.size());  // the names that can match
            // Every name found begins with the prefix, so only the rest is matched; and it
            // is a hidden name only when the pattern is one too.
            for (const std::uint32_t i : positions) {
                const fs::DirEntry& e = (*entries)[i];
                if (dironly && e.kind != fs::EntryKind::Directory)
                    continue;
                if (matcher.matches_after(e.name, prefix.size()))
                    emit(out, join_dir, e.name, regular(e));
            }
        }
    }

    template <typename Out>
    void glob0(std::string_view dir, std::string_view base, const std::string_view* join_dir,
               Out& out) const
    {
        if (!base.empty()) {
            if (lexists(pypath::join(dir, base)))
                emit(out, join_dir, base, false);
        } else if (isdir(std::string(dir))) {
            emit(out, join_dir, base, false);
        }
    }

    template <typename Out> void run(std::string_view pathname, bool dironly, Out& out) const
    {
        // POSIX names are split as views of the pattern; others by the platform's rules.
        std::pair<std::string, std::string> owned;
        std::string_view dirname, basename;
        if (platform::is_windows()) {
            owned = pypath::split(pathname);
            dirname = owned.first;
            basename = owned.second;
        } else {
            std::tie(dirname, basename) = pypath::posix::split_view(pathname);
        }
        // The split drops only separators, which are no wildcards: the pattern has one
        // exactly when one of its parts has.
        const bool magic_base = has_magic(basename);
        const bool magic_dir = has_magic(dirname);
        if (!magic_dir && !magic_base) {
            if (!basename.empty()) {
                if (lexists(std::string(pathname)))
                    emit(out, nullptr, pathname, false);
            } else if (isdir(std::string(dirname))) {
                emit(out, nullptr, pathname, false);
            }
            return;
        }
        if (dirname.empty()) {
            glob1(dirname, basename, dironly, nullptr, out);
            return;
        }
        const auto in_dir = [&](std::string_view dir) {
            if (magic_base)
                glob1(dir, basename, dironly, &dir, out);
            else
                glob0(dir, basename, &dir, out);
        };
        if (dirname == pathname || !magic_dir) {
            in_dir(dirname);
            return;
        }
        std::vector<std::string> dirs;
        run(dirname, true, dirs);
        for (const std::string& dir : dirs)
            in_dir(dir);
    }
};

}  // namespace

bool has_magic(std::string_view pattern)
{
    return find_first_byte_of(pattern, "*?[") != std::string_view::npos;
}

bool fnmatch(std::string_view name, std::string_view pattern)
{
    return NameMatcher(pattern).matches(name);
}

std::vector<std::string> glob(std::string_view pattern, fs::DirectoryCache* cache)
{
    std::vector<std::string> out;
    Globber{cache}.run(pattern, false, out);
    return out;
}

void glob_into(std::string_view pattern, fs::DirectoryCache* cache, TextList& out,
               std::vector<std::uint8_t>* regular_files)
{
    Globber{cache, regular_files}.run(pattern, false, out);
}

}  // namespace script
