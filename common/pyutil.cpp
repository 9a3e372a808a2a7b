#include "common/pyutil.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace script {

std::string py_float_str(double value)
{
    if (std::isnan(value))
        return "nan";
    if (std::isinf(value))
        return value < 0 ? "-inf" : "inf";
    if (value == 0.0)
        return std::signbit(value) ? "-0.0" : "0.0";

    // Shortest round-trip digits in scientific form: "-d.ddde+XX".
    char buffer[64];
    const auto res = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string sci(buffer, res.ptr);
    std::string sign;
    if (sci[0] == '-') {
        sign = "-";
        sci.erase(0, 1);
    }
    const std::size_t e_pos = sci.find('e');
    std::string digits = sci.substr(0, e_pos);
    const int exponent = std::atoi(sci.c_str() + e_pos + 1);
    if (digits.size() > 1)
        digits.erase(1, 1);  // drop the decimal point

    std::string out;
    if (exponent >= -4 && exponent < 16) {
        if (exponent < 0) {
            out = "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
        } else {
            const std::size_t int_len = static_cast<std::size_t>(exponent) + 1;
            if (digits.size() <= int_len)
                out = digits + std::string(int_len - digits.size(), '0') + ".0";
            else
                out = digits.substr(0, int_len) + "." + digits.substr(int_len);
        }
    } else {
        out = digits.substr(0, 1);
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1);
        }
        char exp_text[16];
        std::snprintf(exp_text, sizeof exp_text, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
        out += exp_text;
    }
    return sign + out;
}

namespace {

std::string escaped_repr(std::string_view text)
{
    const bool has_single = text.find('\'') != std::string_view::npos;
    const bool has_double = text.find('"') != std::string_view::npos;
    const char quote = (has_single && !has_double) ? '"' : '\'';
    std::string out(1, quote);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char ch = text[i];
        const auto c = static_cast<unsigned char>(ch);
        // U+0080..U+00A0 and U+00AD are not printable for Python and come out as \xNN.
        if (c == 0xC2 && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + 1]);
            if ((next >= 0x80 && next <= 0xA0) || next == 0xAD) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", next);
                out += hex;
                ++i;
                continue;
            }
        }
        switch (ch) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (ch == quote) {
                out += '\\';
                out += ch;
            } else if (c < 0x20 || c == 0x7f) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            } else {
                out += ch;
            }
        }
    }
    out += quote;
    return out;
}

}  // namespace

void append_py_repr(std::string& out, std::string_view text)
{
    // Plain printable ASCII without quotes or backslashes comes out between single quotes.
    if (plain_repr_ascii(text)) {
        out += '\'';
        out += text;
        out += '\'';
        return;
    }
    out += escaped_repr(text);
}

std::string py_repr(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 2);
    append_py_repr(out, text);
    return out;
}

std::string py_repr(const Json& value)
{
    switch (value.type()) {
    case Json::value_t::string:
        return py_repr(std::string_view(value.get_ref<const std::string&>()));
    case Json::value_t::boolean:
        return value.get<bool>() ? "True" : "False";
    case Json::value_t::null:
    case Json::value_t::discarded:
        return "None";
    case Json::value_t::number_integer:
        return std::to_string(value.get<std::int64_t>());
    case Json::value_t::number_unsigned:
        return std::to_string(value.get<std::uint64_t>());
    case Json::value_t::number_float:
        return py_float_str(value.get<double>());
    case Json::value_t::array: {
        std::string out = "[";
        bool first = true;
        for (const Json& item : value) {
            if (!first)
                out += ", ";
            first = false;
            out += py_repr(item);
        }
        return out + "]";
    }
    case Json::value_t::object: {
        std::string out = "{";
        bool first = true;
        for (const auto& [key, item] : value.items()) {
            if (!first)
                out += ", ";
            first = false;
            out += py_repr(std::string_view(key));
            out += ": ";
            out += py_repr(item);
        }
        return out + "}";
    }
    case Json::value_t::binary:
        break;
    }
    return "None";
}

std::string py_repr(const std::vector<std::string>& list)
{
    std::string out = "[";
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i)
            out += ", ";
        out += py_repr(std::string_view(list[i]));
    }
    return out + "]";
}

std::string py_str(const Json& value)
{
    if (value.is_string())
        return value.get<std::string>();
    return py_repr(value);
}

bool truthy(const Json& value)
{
    switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
        return false;
    case Json::value_t::boolean:
        return value.get<bool>();
    case Json::value_t::number_integer:
        return value.get<std::int64_t>() != 0;
    case Json::value_t::number_unsigned:
        return value.get<std::uint64_t>() != 0;
    case Json::value_t::number_float:
        return value.get<double>() != 0.0;
    case Json::value_t::string:
        return !value.get_ref<const std::string&>().empty();
    case Json::value_t::array:
    case Json::value_t::object:
    case Json::value_t::binary:
        return !value.empty();
    }
    return true;
}

std::string py_lstrip(std::string_view text, std::string_view chars)
{
    const std::size_t start = text.find_first_not_of(chars);
    return start == std::string_view::npos ? std::string() : std::string(text.substr(start));
}

std::string py_rstrip(std::string_view text, std::string_view chars)
{
    const std::size_t last = text.find_last_not_of(chars);
    return last == std::string_view::npos ? std::string() : std::string(text.substr(0, last + 1));
}

std::string py_strip(std::string_view text, std::string_view chars)
{
    const std::size_t start = text.find_first_not_of(chars);
    if (start == std::string_view::npos)
        return {};
    const std::size_t last = text.find_last_not_of(chars);
    return std::string(text.substr(start, last - start + 1));
}

std::string replace_all(std::string_view text, std::string_view from, std::string_view to)
{
    std::string out;
    replace_all_into(out, text, from, to);
    return out;
}

void replace_all_into(std::string& out, std::string_view text, std::string_view from, std::string_view to)
{
    out.clear();
    if (from.empty()) {
        // Python inserts the replacement around every character.
        out.append(to);
        for (const char c : text) {
            out += c;
            out += to;
        }
        return;
    }
    std::size_t pos = 0;
    for (;;) {
        const std::size_t hit = text.find(from, pos);
        if (hit == std::string_view::npos)
            break;
        out.append(text.substr(pos, hit - pos));
        out.append(to);
        pos = hit + from.size();
    }
    out.append(text.substr(pos));
}

std::vector<std::string> split(std::string_view text, std::string_view sep)
{
    std::vector<std::string> parts;
    if (sep.empty())
        return {std::string(text)};
    std::size_t pos = 0;
    for (;;) {
        const std::size_t hit = text.find(sep, pos);
        if (hit == std::string_view::npos)
            break;
        parts.emplace_back(text.substr(pos, hit - pos));
        pos = hit + sep.size();
    }
    parts.emplace_back(text.substr(pos));
    return parts;
}

long py_find(std::string_view text, std::string_view sub)
{
    const std::size_t pos = text.find(sub);
    return pos == std::string_view::npos ? -1 : static_cast<long>(pos);
}

std::vector<std::string> unique_in_order(const std::vector<std::string>& items)
{
    std::vector<std::string> out;
    std::unordered_set<std::string> seen;
    for (const std::string& item : items)
        if (seen.insert(item).second)
            out.push_back(item);
    return out;
}

namespace {

constexpr std::uint64_t k_ones = 0x0101010101010101ull;
constexpr std::uint64_t k_highs = 0x8080808080808080ull;

// Nonzero when some byte of the word is zero.
constexpr std::uint64_t zero_byte(std::uint64_t word)
{
    return (word - k_ones) & ~word & k_highs;
}

}  // namespace

namespace {

// The test of plain_ascii over whole words, with its byte rules fixed at compile time for
// the two sets the job files and the console use, so the word loop holds no inner loop.
template <bool AllowDel, char... Excluded>
bool plain_ascii_words(const char* at, std::size_t left)
{
    static_assert(((Excluded != ' ') && ...), "short tails are filled up with spaces");
#if defined(__SSE2__)
    // Sixteen bytes at a time: a signed compare below 0x20 also catches 0x80 and above.
    const auto block_is_bad = [](const char* bytes) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
        __m128i bad = _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));
        if constexpr (!AllowDel)
            bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7f)));
        ((bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8(Excluded)))), ...);
        return _mm_movemask_epi8(bad) != 0;
    };
    constexpr std::size_t k_block = 16;
#else
    const auto block_is_bad = [](const char* bytes) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes, 8);
        // Bytes of 0x80 and above, then bytes below 0x20 (no bit of 0xe0 set).
        std::uint64_t bad = (word & k_highs) | zero_byte(word & (0xe0 * k_ones));
        if constexpr (!AllowDel)
            bad |= zero_byte(word ^ (0x7f * k_ones));
        ((bad |= zero_byte(word ^ (static_cast<unsigned char>(Excluded) * k_ones))), ...);
        return bad != 0;
    };
    constexpr std::size_t k_block = 8;
#endif
    for (; left >= k_block; at += k_block, left -= k_block)
        if (block_is_bad(at))
            return false;
    if (left == 0)
        return true;
    // The last bytes checked as one block, filled up with a byte that is always plain.
    char tail[k_block];
    std::memset(tail, ' ', sizeof tail);
    std::memcpy(tail, at, left);
    return !block_is_bad(tail);
}

}  // namespace

bool plain_json_ascii(std::string_view text)
{
    return plain_ascii_words<true, '"', '\\'>(text.data(), text.size());
}

bool plain_repr_ascii(std::string_view text)
{
    return plain_ascii_words<false, '\'', '"', '\\'>(text.data(), text.size());
}

bool plain_ascii(std::string_view text, std::string_view excluded, bool allow_del)
{
    if (excluded == "\"\\" && allow_del)
        return plain_json_ascii(text);
    if (excluded == "'\"\\" && !allow_del)
        return plain_repr_ascii(text);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c > 0x7f || (c == 0x7f && !allow_del) || excluded.find(ch) != std::string_view::npos)
            return false;
    }
    return true;
}

std::size_t utf8_sequence_length(std::string_view bytes, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(bytes[at]);
    if (lead < 0x80)
        return 1;
    // Allowed range of the second byte narrows for the leads that could form overlong
    // forms (E0, F0), surrogates (ED) or code points above U+10FFFF (F4).
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (length > bytes.size() - at)
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(bytes[at + k]);
        if (k == 1 ? (next < low || next > high) : (next < 0x80 || next > 0xBF))
            return 0;
    }
    return length;
}

bool is_utf8(std::string_view bytes)
{
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t length = utf8_sequence_length(bytes, i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

}  // namespace script
