#include "common/text_match.h"

#include <cstring>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace script {

std::size_t find_first_byte_of(std::string_view text, std::string_view set)
{
    std::size_t first = std::string_view::npos;
    if (text.empty())
        return first;
    std::size_t before = text.size();  // where a later find must start to come first
    for (const char byte : set) {
        if (const void* at = std::memchr(text.data(), byte, before)) {
            first = static_cast<std::size_t>(static_cast<const char*>(at) - text.data());
            before = first;
        }
    }
    return first;
}

std::size_t find_last_byte(std::string_view text, char byte)
{
#if defined(__GLIBC__)
    if (text.empty())
        return std::string_view::npos;
    const void* at = ::memrchr(text.data(), byte, text.size());
    return at ? static_cast<std::size_t>(static_cast<const char*>(at) - text.data())
              : std::string_view::npos;
#else
    return text.rfind(byte);
#endif
}

std::size_t find_text(std::string_view text, std::string_view needle, std::size_t from)
{
#if defined(__SSE2__)
    if (needle.size() >= 2 && text.size() >= 17 && from < text.size()) {
        const __m128i first = _mm_set1_epi8(needle[0]);
        const __m128i second = _mm_set1_epi8(needle[1]);
        const std::string_view rest = needle.substr(2);
        // The places in the block at `start` holding the needle's first two bytes, from
        // `skip` places in.
        const auto match_in = [&](std::size_t start, unsigned skip) -> std::size_t {
            const __m128i here =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + start));
            const __m128i next =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + start + 1));
            unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(
                _mm_and_si128(_mm_cmpeq_epi8(here, first), _mm_cmpeq_epi8(next, second))));
            mask &= ~((1u << skip) - 1);
            for (; mask != 0; mask &= mask - 1) {
                const std::size_t place = start + static_cast<std::size_t>(__builtin_ctz(mask));
                if (place + needle.size() <= text.size() &&
                    text.substr(place + 2, rest.size()) == rest)
                    return place;
            }
            return std::string_view::npos;
        };
        std::size_t at = from;
        for (; at + 17 <= text.size(); at += 16) {
            if (const std::size_t place = match_in(at, 0); place != std::string_view::npos)
                return place;
        }
        // The last block ends where the text does, over places already looked at.
        const std::size_t last = text.size() - 17;
        if (at < text.size() - 1)
            return match_in(last, static_cast<unsigned>(at - last));
        return std::string_view::npos;
    }
#endif
    return text.find(needle, from);
}

AnyOfTexts::AnyOfTexts(std::span<const std::string_view> texts) : m_texts(texts)
{
    if (texts.size() > 8)
        throw std::logic_error("AnyOfTexts holds at most eight texts");
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (texts[i].empty())
            throw std::logic_error("AnyOfTexts cannot hold an empty text");
        m_starting[static_cast<unsigned char>(texts[i].front())] |= static_cast<std::uint8_t>(1u << i);
        for (unsigned char& byte : m_firsts[i].bytes)
            byte = static_cast<unsigned char>(texts[i][0]);
        for (unsigned char& byte : m_seconds[i].bytes)
            byte = texts[i].size() > 1 ? static_cast<unsigned char>(texts[i][1]) : 0;
        for (unsigned char& byte : m_any_second[i].bytes)
            byte = texts[i].size() > 1 ? 0 : 0xff;
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
    // Sixteen places at a time, each against every text's first two bytes (its only byte
    // for a text of one), so that nearly every place marked holds a text. The last block
    // overlaps the one before it rather than leaving a tail of single bytes.
    const std::size_t count = m_texts.size();
    const auto load = [](const Block& b) { return _mm_load_si128(reinterpret_cast<const __m128i*>(b.bytes)); };
    const auto block_holds_text = [&](std::size_t start) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(path.data() + start));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(path.data() + start + 1));
        __m128i hits = _mm_setzero_si128();
        for (std::size_t i = 0; i < count; ++i) {
            const __m128i second = _mm_or_si128(_mm_cmpeq_epi8(next, load(m_seconds[i])), load(m_any_second[i]));
            hits = _mm_or_si128(hits, _mm_and_si128(_mm_cmpeq_epi8(here, load(m_firsts[i])), second));
        }
        for (unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits)); mask != 0; mask &= mask - 1) {
            if (found_at(path, start + static_cast<std::size_t>(__builtin_ctz(mask))))
                return true;
        }
        return false;
    };
    if (path.size() >= 17) {
        for (; at + 17 <= path.size(); at += 16) {
            if (block_holds_text(at))
                return true;
        }
        if (at + 1 < path.size() && block_holds_text(path.size() - 17))
            return true;
        at = path.size() - 1;  // the last byte, which only a text of one byte can start
    }
#endif
    for (; at < path.size(); ++at) {
        if (m_starting[static_cast<unsigned char>(path[at])] != 0 && found_at(path, at))
            return true;
    }
    return false;
}

}  // namespace script
