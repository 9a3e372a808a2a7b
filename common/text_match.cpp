#include "common/text_match.h"

#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace script {

AnyOfTexts::AnyOfTexts(std::span<const std::string_view> texts) : m_texts(texts)
{
    if (texts.size() > 8)
        throw std::logic_error("AnyOfTexts holds at most eight texts");
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (texts[i].empty())
            throw std::logic_error("AnyOfTexts cannot hold an empty text");
        const auto first = static_cast<unsigned char>(texts[i].front());
        if (m_starting[first] == 0)
            m_firsts[m_first_count++] = texts[i].front();
        m_starting[first] |= static_cast<std::uint8_t>(1u << i);
    }
}

bool AnyOfTexts::found_at(std::string_view path, std::size_t at) const
{
    const std::string_view rest = path.substr(at);
    for (unsigned bits = m_starting[static_cast<unsigned char>(path[at])]; bits != 0; bits &= bits - 1) {
        if (rest.starts_with(m_texts[static_cast<std::size_t>(__builtin_ctz(bits))]))
            return true;
    }
    return false;
}

bool AnyOfTexts::found_in(std::string_view path) const
{
    std::size_t at = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time against every first byte; only marked places are compared.
    __m128i firsts[8];
    for (std::size_t i = 0; i < m_first_count; ++i)
        firsts[i] = _mm_set1_epi8(m_firsts[i]);
    for (; at + 16 <= path.size(); at += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(path.data() + at));
        __m128i hits = _mm_setzero_si128();
        for (std::size_t i = 0; i < m_first_count; ++i)
            hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, firsts[i]));
        for (unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits)); mask != 0; mask &= mask - 1) {
            if (found_at(path, at + static_cast<std::size_t>(__builtin_ctz(mask))))
                return true;
        }
    }
#endif
    for (; at < path.size(); ++at) {
        if (m_starting[static_cast<unsigned char>(path[at])] != 0 && found_at(path, at))
            return true;
    }
    return false;
}

}  // namespace script
