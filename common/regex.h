#pragma once

// Perl-compatible regular expressions (PCRE2, UTF-8 off: patterns and subjects are bytes),
// with the Python re operations the analyser needs.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace script {

class Match
{
public:
    /// Text of group i (0 is the whole match); "" for a group that did not take part.
    std::string group(int i = 0) const;
    bool matched(int i) const;
    std::size_t start(int i = 0) const;
    std::size_t end(int i = 0) const;
    int group_count() const { return static_cast<int>(m_spans.size()) - 1; }

private:
    friend class Regex;
    std::string_view m_subject;
    std::vector<std::pair<std::size_t, std::size_t>> m_spans;  // npos for unset groups
};

class Regex
{
public:
    enum Flags : unsigned
    {
        None = 0,
        IgnoreCase = 1,
    };

    /// Compiles the pattern; throws script::Error with PCRE2's message when it is invalid.
    explicit Regex(std::string_view pattern, unsigned flags = None);
    ~Regex();
    Regex(Regex&&) noexcept;
    Regex& operator=(Regex&&) noexcept;

    /// re.search: the first match at or after position `from`.
    std::optional<Match> search(std::string_view text, std::size_t from = 0) const;
    /// re.match: a match starting exactly at the start of the text.
    std::optional<Match> match_start(std::string_view text) const;
    /// re.finditer: every non-overlapping match, left to right (an empty match advances
    /// by one character, as Python does).
    std::vector<Match> find_all(std::string_view text) const;
    /// re.findall: the texts Python returns when the pattern has at most one group (the
    /// whole match without groups, group 1 with one group).
    std::vector<std::string> findall(std::string_view text) const;
    /// True when search() finds something.
    bool contains(std::string_view text) const { return search(text).has_value(); }
    /// re.sub with a literal replacement (no group references).
    std::string replace_all(std::string_view text, std::string_view replacement) const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace script
