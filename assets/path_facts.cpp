#include "assets/path_facts.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/json_doc.h"
#include "common/platform.h"
#include "common/pypath.h"
#include "common/pyutil.h"
#include "common/text_match.h"

namespace script::assets {

namespace {

constexpr std::string_view k_report_excluded[] = {",", ";", "Program Files", "\xc2\xb8\xc2\xb1\xc2\xb1\xc2\xbe",
                                                  "xgen_procedural.dll"};
constexpr std::string_view k_upload_excluded[] = {",", ";", "Program Files"};

// A path the asset report keeps holds no text that keeps it out of the upload list.
constexpr bool report_excludes_all_upload_excluded()
{
    for (const std::string_view text : k_upload_excluded) {
        bool listed = false;
        for (const std::string_view reported : k_report_excluded)
            listed = listed || reported == text;
        if (!listed)
            return false;
    }
    return true;
}
static_assert(report_excludes_all_upload_excluded());

const AnyOfTexts& report_excluded_texts()
{
    static const AnyOfTexts texts(k_report_excluded);
    return texts;
}

const AnyOfTexts& upload_excluded_texts()
{
    static const AnyOfTexts texts(k_upload_excluded);
    return texts;
}

#if defined(__SSE2__)
// True when no byte of the path (of 17 bytes or more) can change any fact from what an
// ordinary path has: no byte outside printable ASCII, no quote, backslash, "," or ";", no
// first two bytes of an excluded text ("Pr", "xg"; the third starts with a byte above
// ASCII), and no "/" before a "/" or a "." (an empty, "." or ".." component). Sixteen places
// at a time, each with the byte after it; the last block overlaps the one before it.
bool ordinary_bytes(std::string_view path)
{
    const __m128i below_space = _mm_set1_epi8(0x20);
    __m128i marked = _mm_setzero_si128();
    for (std::size_t at = 0;; at += 16) {
        at = std::min(at, path.size() - 17);
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(path.data() + at));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(path.data() + at + 1));
        const auto is = [](__m128i bytes, char c) { return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)); };
        __m128i bad = _mm_or_si128(_mm_cmplt_epi8(here, below_space), is(here, 0x7f));
        bad = _mm_or_si128(bad, _mm_or_si128(is(here, '\''), is(here, '"')));
        bad = _mm_or_si128(bad, _mm_or_si128(is(here, '\\'), is(here, ',')));
        bad = _mm_or_si128(bad, is(here, ';'));
        bad = _mm_or_si128(bad, _mm_and_si128(is(here, 'P'), is(next, 'r')));
        bad = _mm_or_si128(bad, _mm_and_si128(is(here, 'x'), is(next, 'g')));
        bad = _mm_or_si128(bad, _mm_and_si128(is(here, '/'), _mm_or_si128(is(next, '/'), is(next, '.'))));
        marked = _mm_or_si128(marked, bad);
        if (at + 17 == path.size())
            break;
    }
    // The last byte has no byte after it: a trailing "/" is an empty component, and the
    // byte itself must be plain.
    const auto last = static_cast<unsigned char>(path.back());
    return _mm_movemask_epi8(marked) == 0 && last != '/' && last >= 0x20 && last < 0x7f &&
           last != '\'' && last != '"' && last != '\\' && last != ',' && last != ';';
}
#endif

}  // namespace

bool report_excluded(std::string_view path)
{
    return report_excluded_texts().found_in(path);
}

bool upload_excluded(std::string_view path)
{
    return upload_excluded_texts().found_in(path);
}

bool own_upload_form(std::string_view path)
{
    return pypath::abspath_keeps(path) && path.find('\\') == std::string_view::npos;
}

PathFacts path_facts(std::string_view path)
{
#if defined(__SSE2__)
    if (path.size() >= 17 && ordinary_bytes(path))
        return PathFacts{false, path.front() == '/' && !platform::is_windows(), true, true};
#endif
    return PathFacts{report_excluded(path), own_upload_form(path), plain_repr_ascii(path),
                     json_string_is_plain(path)};
}

PathFactTable::PathFactTable(const PathTable& table) : PathFactTable(table, Shared{})
{
    complete();
}

PathFactTable::PathFactTable(const PathTable& table, Shared)
    : m_table(table), m_bits(table.size(), 0)
{
}

const PathFactTable& PathFactTable::complete()
{
    const std::size_t count = m_bits.size();
    if (m_done.load() == count && !m_failed.load())
        return *this;
    for (std::size_t first = m_next.fetch_add(k_run); first < count;
         first = m_next.fetch_add(k_run)) {
        const std::size_t end = std::min(first + k_run, count);
        try {
            for (std::size_t id = first; id < end; ++id) {
                const PathFacts facts = path_facts(m_table.text(static_cast<PathId>(id)));
                m_bits[id] = static_cast<std::uint8_t>(
                    (facts.report_excluded ? k_report_excluded : 0) |
                    (facts.own_upload_form ? k_own_upload_form : 0) |
                    (facts.plain_repr ? k_plain_repr : 0) | (facts.plain_json ? k_plain_json : 0));
            }
        } catch (...) {
            // The run counts as done, so that no thread waits for it, and every thread
            // that waits gets the failure.
            const std::lock_guard lock(m_mutex);
            if (!m_failure)
                m_failure = std::current_exception();
            m_failed = true;
        }
        if (m_done.fetch_add(end - first) + (end - first) == count) {
            const std::lock_guard lock(m_mutex);
            m_all_done.notify_all();
        }
    }
    std::unique_lock lock(m_mutex);
    m_all_done.wait(lock, [this, count] { return m_done.load() == count; });
    if (m_failure)
        std::rethrow_exception(m_failure);
    return *this;
}

}  // namespace script::assets
