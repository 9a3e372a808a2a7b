#include "common/json_scan.h"

#include <array>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/pyutil.h"

namespace script {

namespace {

// Bytes that stand for themselves inside a JSON string: printable ASCII but the quote and
// the backslash.
constexpr std::array<bool, 256> k_plain_in_string = [] {
    std::array<bool, 256> table{};
    for (int c = 0x20; c < 0x80; ++c)
        table[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
    return table;
}();

// The first byte from `at` that a string cannot hold as it is: a quote, a backslash, a
// control character or the start of a multi-byte character; `end` when there is none.
const char* end_of_plain_run(const char* at, const char* end)
{
#if defined(__SSE2__)
    // Sixteen bytes at a time. Compared as signed numbers, the bytes below 0x20 and those
    // from 0x80 up are exactly the ones less than 0x20.
    const __m128i space = _mm_set1_epi8(0x20);
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    for (; end - at >= 16; at += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        const __m128i stop = _mm_or_si128(
            _mm_cmplt_epi8(bytes, space),
            _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)));
        if (const int mask = _mm_movemask_epi8(stop); mask != 0)
            return at + __builtin_ctz(static_cast<unsigned>(mask));
    }
#endif
    while (at != end && k_plain_in_string[static_cast<unsigned char>(*at)])
        ++at;
    return at;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, std::uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

JsonCursor::JsonCursor(std::string_view text, std::size_t max_depth)
    : m_at(text.data()), m_end(text.data() + text.size()), m_max_depth(max_depth)
{
}

void JsonCursor::skip_space_run()
{
    while (m_at != m_end && (*m_at == ' ' || *m_at == '\n' || *m_at == '\r' || *m_at == '\t'))
        ++m_at;
}

void JsonCursor::enter()
{
    if (++m_depth > m_max_depth)
        refuse();
    m_started += '\0';
}

void JsonCursor::begin_object()
{
    if (peek_value() != '{')
        refuse();
    ++m_at;
    enter();
}

bool JsonCursor::next_item(char close)
{
    skip_space();
    if (m_at == m_end || m_started.empty())
        refuse();
    if (*m_at == close) {
        ++m_at;
        m_started.pop_back();
        --m_depth;
        return false;
    }
    if (m_started.back() != '\0') {
        if (*m_at != ',')
            refuse();
        ++m_at;
    }
    m_started.back() = '\1';
    return true;
}

bool JsonCursor::next_member(std::string& key)
{
    if (!next_item('}'))
        return false;
    skip_space();
    if (m_at == m_end || *m_at != '"')
        refuse();
    ++m_at;
    key.clear();
    scan_string(&key);
    skip_space();
    if (m_at == m_end || *m_at != ':')
        refuse();
    ++m_at;
    return true;
}

void JsonCursor::begin_array()
{
    if (peek_value() != '[')
        refuse();
    ++m_at;
    enter();
}

bool JsonCursor::next_element()
{
    return next_item(']');
}

void JsonCursor::read_string(std::string& out)
{
    if (peek_value() != '"')
        refuse();
    ++m_at;
    out.clear();
    scan_string(&out);
}

// From just after the opening quote to just after the closing one; `out` may be null when
// the text is only checked.
void JsonCursor::scan_string(std::string* out)
{
    for (;;) {
        const char* run = m_at;
        m_at = end_of_plain_run(m_at, m_end);
        if (out != nullptr && m_at != run)
            out->append(run, static_cast<std::size_t>(m_at - run));
        if (m_at == m_end)
            refuse();
        const auto c = static_cast<unsigned char>(*m_at);
        if (c == '"') {
            ++m_at;
            return;
        }
        if (c >= 0x80) {
            const std::size_t length =
                utf8_sequence_length(std::string_view(m_at, static_cast<std::size_t>(m_end - m_at)), 0);
            if (length == 0)
                refuse();
            if (out != nullptr)
                out->append(m_at, length);
            m_at += length;
            continue;
        }
        if (c != '\\')
            refuse();  // a control character
        if (m_end - m_at < 2)
            refuse();
        const char escape = m_at[1];
        m_at += 2;
        char plain = 0;
        switch (escape) {
        case '"': plain = '"'; break;
        case '\\': plain = '\\'; break;
        case '/': plain = '/'; break;
        case 'b': plain = '\b'; break;
        case 'f': plain = '\f'; break;
        case 'n': plain = '\n'; break;
        case 'r': plain = '\r'; break;
        case 't': plain = '\t'; break;
        case 'u': break;
        default: refuse();
        }
        if (escape != 'u') {
            if (out != nullptr)
                *out += plain;
            continue;
        }
        const auto hex4 = [this]() -> std::uint32_t {
            if (m_end - m_at < 4)
                refuse();
            std::uint32_t value = 0;
            for (int i = 0; i < 4; ++i) {
                const int digit = hex_value(m_at[i]);
                if (digit < 0)
                    refuse();
                value = value * 16 + static_cast<std::uint32_t>(digit);
            }
            m_at += 4;
            return value;
        };
        std::uint32_t code = hex4();
        if (code >= 0xDC00 && code <= 0xDFFF)
            refuse();  // a low surrogate alone
        if (code >= 0xD800 && code <= 0xDBFF) {
            if (m_end - m_at < 2 || m_at[0] != '\\' || m_at[1] != 'u')
                refuse();
            m_at += 2;
            const std::uint32_t low = hex4();
            if (low < 0xDC00 || low > 0xDFFF)
                refuse();
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        if (out != nullptr)
            append_utf8(*out, code);
    }
}

std::string_view JsonCursor::read_number()
{
    const char c = peek_value();
    if (c != '-' && !is_digit(c))
        refuse();
    const char* start = m_at;
    if (*m_at == '-')
        ++m_at;
    if (m_at == m_end || !is_digit(*m_at))
        refuse();
    if (*m_at == '0') {
        ++m_at;
    } else {
        while (m_at != m_end && is_digit(*m_at))
            ++m_at;
    }
    if (m_at != m_end && *m_at == '.') {
        ++m_at;
        if (m_at == m_end || !is_digit(*m_at))
            refuse();
        while (m_at != m_end && is_digit(*m_at))
            ++m_at;
    }
    if (m_at != m_end && (*m_at == 'e' || *m_at == 'E')) {
        ++m_at;
        if (m_at != m_end && (*m_at == '+' || *m_at == '-'))
            ++m_at;
        if (m_at == m_end || !is_digit(*m_at))
            refuse();
        while (m_at != m_end && is_digit(*m_at))
            ++m_at;
    }
    return {start, static_cast<std::size_t>(m_at - start)};
}

std::string_view JsonCursor::read_literal()
{
    peek_value();
    for (const std::string_view literal : {std::string_view("true"), std::string_view("false"),
                                           std::string_view("null")}) {
        if (static_cast<std::size_t>(m_end - m_at) >= literal.size()
            && std::string_view(m_at, literal.size()) == literal) {
            m_at += literal.size();
            return literal;
        }
    }
    refuse();
}

std::string_view JsonCursor::skip_value()
{
    const char c = peek_value();
    const char* start = m_at;
    switch (c) {
    case '{':
        begin_object();
        while (next_member(m_skipped_key))
            skip_value();
        break;
    case '[':
        begin_array();
        while (next_element())
            skip_value();
        break;
    case '"':
        ++m_at;
        scan_string(nullptr);
        break;
    case 't':
    case 'f':
    case 'n':
        read_literal();
        break;
    default:
        read_number();
        break;
    }
    return {start, static_cast<std::size_t>(m_at - start)};
}

void JsonCursor::expect_end()
{
    skip_space();
    if (m_at != m_end || m_depth != 0)
        refuse();
}

}  // namespace script
