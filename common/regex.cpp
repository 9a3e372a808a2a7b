#include "common/regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "common/errors.h"

namespace script {

std::string Match::group(int i) const
{
    if (!matched(i))
        return {};
    const auto& span = m_spans[static_cast<std::size_t>(i)];
    return std::string(m_subject.substr(span.first, span.second - span.first));
}

bool Match::matched(int i) const
{
    return i >= 0 && static_cast<std::size_t>(i) < m_spans.size() &&
           m_spans[static_cast<std::size_t>(i)].first != std::string::npos;
}

std::size_t Match::start(int i) const
{
    return matched(i) ? m_spans[static_cast<std::size_t>(i)].first : std::string::npos;
}

std::size_t Match::end(int i) const
{
    return matched(i) ? m_spans[static_cast<std::size_t>(i)].second : std::string::npos;
}

struct Regex::Impl
{
    pcre2_code* code = nullptr;
    int groups = 0;

    ~Impl()
    {
        if (code)
            pcre2_code_free(code);
    }

    std::optional<Match> run(std::string_view text, std::size_t from, std::uint32_t options) const
    {
        if (from > text.size())
            return std::nullopt;
        pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
        const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), from,
                                   options, data, nullptr);
        if (rc < 0) {
            pcre2_match_data_free(data);
            return std::nullopt;
        }
        const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
        Match m;
        m.m_subject = text;
        m.m_spans.resize(static_cast<std::size_t>(groups) + 1, {std::string::npos, std::string::npos});
        for (int i = 0; i <= groups && i < rc; ++i) {
            if (ovector[2 * i] != PCRE2_UNSET)
                m.m_spans[static_cast<std::size_t>(i)] = {ovector[2 * i], ovector[2 * i + 1]};
        }
        pcre2_match_data_free(data);
        return m;
    }
};

namespace {

// Python's "\\Z" is the very end of the text, which PCRE2 spells "\\z" (its "\\Z" also
// accepts a final newline).
std::string python_to_pcre(std::string_view pattern)
{
    std::string out;
    out.reserve(pattern.size());
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        out += pattern[i];
        if (pattern[i] == '\\' && i + 1 < pattern.size()) {
            ++i;
            out += pattern[i] == 'Z' ? 'z' : pattern[i];
        }
    }
    return out;
}

}  // namespace

Regex::Regex(std::string_view python_pattern, unsigned flags) : m_impl(std::make_unique<Impl>())
{
    const std::string pattern = python_to_pcre(python_pattern);
    std::uint32_t options = 0;
    if (flags & IgnoreCase)
        options |= PCRE2_CASELESS;
    int error = 0;
    PCRE2_SIZE offset = 0;
    m_impl->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options, &error,
                                 &offset, nullptr);
    if (!m_impl->code) {
        PCRE2_UCHAR message[256];
        pcre2_get_error_message(error, message, sizeof message);
        throw Error(std::string(reinterpret_cast<const char*>(message)) + " at position " + std::to_string(offset));
    }
    std::uint32_t count = 0;
    pcre2_pattern_info(m_impl->code, PCRE2_INFO_CAPTURECOUNT, &count);
    m_impl->groups = static_cast<int>(count);
}

Regex::~Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;

std::optional<Match> Regex::search(std::string_view text, std::size_t from) const
{
    return m_impl->run(text, from, 0);
}

std::optional<Match> Regex::match_start(std::string_view text) const
{
    return m_impl->run(text, 0, PCRE2_ANCHORED);
}

std::vector<Match> Regex::find_all(std::string_view text) const
{
    std::vector<Match> out;
    std::size_t pos = 0;
    bool last_empty = false;
    while (pos <= text.size()) {
        // After an empty match the next one may start at the same place only if it is
        // not empty, which is how Python moves on.
        auto m = m_impl->run(text, pos, last_empty ? PCRE2_NOTEMPTY_ATSTART : 0);
        if (!m)
            break;
        last_empty = m->start() == m->end();
        pos = m->end();
        out.push_back(std::move(*m));
    }
    return out;
}

std::vector<std::string> Regex::findall(std::string_view text) const
{
    std::vector<std::string> out;
    for (const Match& m : find_all(text))
        out.push_back(m_impl->groups == 0 ? m.group(0) : m.group(1));
    return out;
}

std::string Regex::replace_all(std::string_view text, std::string_view replacement) const
{
    std::string out;
    std::size_t pos = 0;
    for (const Match& m : find_all(text)) {
        out.append(text.substr(pos, m.start() - pos));
        out.append(replacement);
        pos = m.end();
    }
    out.append(text.substr(pos));
    return out;
}

}  // namespace script
