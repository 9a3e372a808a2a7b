// A text layer names the files it depends on in many places:
//
//     #usda 1.0
//     (
//         subLayers = [@./anim.usda@ (offset = 10), @./layout.usdc@]
//     )
//     def Xform "Tree" (
//         prepend references = @./tree.usd@</Tree>
//         clips = { dictionary default = { string templateAssetPath = "./clip.###.usd" } }
//     )
//     {
//         asset inputs:file = @./tex/bark.<UDIM>.tex@    # "@x@" in a comment is no path
//         variantSet "lod" = { "high" (payload = @./high.usdc@) { } }
//     }
//
// The reader tokenises the whole layer (strings, asset paths, path references and
// comments are whole tokens, so brackets and "@" inside them never count) and follows the
// bracket structure far enough to know which prim, variant and field each asset path
// belongs to. Values it does not need are consumed token by token, never held.

#include "readers/usda.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "common/errors.h"

namespace script::readers {

namespace {

using namespace std::string_view_literals;

constexpr std::size_t k_buffer_size = 64 * 1024;
// Longer strings and asset paths are consumed but only this much of them is kept.
constexpr std::size_t k_max_token_text = 64 * 1024;
constexpr std::size_t k_max_nesting = 4096;
constexpr std::size_t k_recent_words = 4;
// Bracketed values of plain numbers are passed over whole when they lie in this much of
// the buffer, nested at most this deep.
constexpr std::size_t k_plain_lookahead = 4096;
constexpr std::size_t k_max_plain_nesting = 8;

constexpr std::string_view k_header = "#usda ";
constexpr std::string_view k_bom = "\xEF\xBB\xBF";

enum class Tok : std::uint8_t
{
    End,
    Ident,
    Number,
    String,
    Asset,
    PathRef,
    Punct,
};

// One token. Only words, strings and asset paths keep their text: numbers and path
// references are consumed. The text is the layer's own bytes when they are in memory and
// the token is written in them as it reads (no escapes, line ends as they are), and
// otherwise a copy the lexer keeps until the next token.
struct Token
{
    Tok kind = Tok::End;
    char punct = 0;  // Punct: the byte
    std::string_view text;
    bool stable = false; // text lies in the layer's bytes, there for the whole read
    int line = 0;
    bool after_newline = false;  // a line ended between the previous token and this one
};

// Bytes of a stream through a fixed buffer, with a few bytes of look-ahead; or bytes
// already in memory, looked at where they are.
class Bytes
{
public:
    // The buffer is not cleared: only bytes read into it are ever looked at.
    explicit Bytes(std::istream& in)
        : m_in(&in), m_buffer(new char[k_buffer_size]), m_data(m_buffer.get())
    {
    }
    explicit Bytes(std::string_view text) : m_data(text.data()), m_len(text.size()), m_eof(true) {}

    int peek(std::size_t ahead = 0)
    {
        if (m_pos + ahead >= m_len) {
            fill(ahead);
        }
        return m_pos + ahead < m_len ? static_cast<unsigned char>(m_data[m_pos + ahead]) : -1;
    }

    int get()
    {
        const int c = peek();
        if (c >= 0) {
            ++m_pos;
        }
        return c;
    }

    /// The bytes buffered from the current position on, at least `want` of them unless the
    /// stream ends first; empty only at the end.
    std::string_view window(std::size_t want = 1)
    {
        if (m_len - m_pos < want) {
            fill(want - 1);
        }
        return {m_data + m_pos, m_len - m_pos};
    }

    /// Consumes `n` bytes of window().
    void skip(std::size_t n) { m_pos += n; }

    /// True when the bytes are all in memory: views of window() stay valid to the end.
    bool in_memory() const { return m_in == nullptr; }

private:
    void fill(std::size_t ahead)
    {
        if (m_eof) {
            return;
        }
        std::memmove(m_buffer.get(), m_buffer.get() + m_pos, m_len - m_pos);
        m_len -= m_pos;
        m_pos = 0;
        while (m_len <= ahead && !m_eof) {
            m_in->read(m_buffer.get() + m_len, static_cast<std::streamsize>(k_buffer_size - m_len));
            const std::streamsize got = m_in->gcount();
            if (got <= 0) {
                m_eof = true;
            }
            m_len += static_cast<std::size_t>(got > 0 ? got : 0);
        }
    }

    std::istream* m_in = nullptr;
    std::unique_ptr<char[]> m_buffer;
    const char* m_data;
    std::size_t m_pos = 0;
    std::size_t m_len = 0;
    bool m_eof = false;
};

// The bytes of a bracketed value of plain numbers: 1, -2.5e+3, ".5", "(1, 2)", "[[0]]".
enum class Plain : std::uint8_t
{
    Other,
    Value,    // digits, signs, '.', 'e', 'E', ',', ' ', '\t'
    Newline,  // '\n'
    Open,     // '(' '['
    Close,    // ')' ']'
};

constexpr std::array<Plain, 256> k_plain_class = [] {
    std::array<Plain, 256> table{};
    for (const char c : std::string_view("0123456789+-.eE, \t")) {
        table[static_cast<unsigned char>(c)] = Plain::Value;
    }
    table['\n'] = Plain::Newline;
    table['('] = Plain::Open;
    table['['] = Plain::Open;
    table[')'] = Plain::Close;
    table[']'] = Plain::Close;
    return table;
}();

constexpr bool ident_start(int c)
{
    return c == '_' || ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) || c >= 0x80;
}

// Looked up rather than worked out: words are most of a layer's tokens.
constexpr std::array<bool, 256> k_ident_char = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[static_cast<std::size_t>(c)] = ident_start(c) || (c >= '0' && c <= '9');
    }
    return table;
}();

bool ident_char(int c)
{
    return c >= 0 && k_ident_char[static_cast<std::size_t>(c)];
}

// What the first byte of a token says of it, for a layer in memory.
enum class Lead : std::uint8_t
{
    Other, // read the general way: blanks and comments of other kinds, signs, escapes
    Blank, // ' ' '\t'
    Newline,
    Hash, // a comment to the line's end
    Word,
    Digit,
    Quote,
    At,
    Path, // '<'
    Punct,
};

constexpr std::array<Lead, 256> k_lead = [] {
    std::array<Lead, 256> table{};
    for (int c = 0x21; c < 0x7F; ++c) {
        table[static_cast<std::size_t>(c)] = Lead::Punct;
    }
    for (int c = 0; c < 256; ++c) {
        if (ident_start(c)) {
            table[static_cast<std::size_t>(c)] = Lead::Word;
        }
    }
    for (int c = '0'; c <= '9'; ++c) {
        table[static_cast<std::size_t>(c)] = Lead::Digit;
    }
    // Numbers with a sign or a leading '.', and "//" and "/*" comments.
    for (const char c : std::string_view("+-./")) {
        table[static_cast<unsigned char>(c)] = Lead::Other;
    }
    table[' '] = Lead::Blank;
    table['\t'] = Lead::Blank;
    table['\n'] = Lead::Newline;
    table['#'] = Lead::Hash;
    table['"'] = Lead::Quote;
    table['\''] = Lead::Quote;
    table['@'] = Lead::At;
    table['<'] = Lead::Path;
    return table;
}();

bool digit(int c)
{
    return c >= '0' && c <= '9';
}

int hex_value(int c)
{
    if (digit(c)) {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

class Lexer
{
public:
    template <typename Source>
    Lexer(Source& source, std::string_view source_name) : m_bytes(source), m_source(source_name)
    {
    }

    /// Checks and consumes the header line; returns the version text.
    std::string header()
    {
        std::string line;
        for (int c = m_bytes.peek(); c >= 0 && c != '\n' && c != '\r'; c = m_bytes.peek()) {
            if (line.size() < 256) {
                line += static_cast<char>(c);
            }
            m_bytes.get();
        }
        std::string_view text = line;
        if (text.starts_with(k_bom)) {
            text.remove_prefix(k_bom.size());
        }
        if (!text.starts_with(k_header)) {
            fail(1, "expected the header \"#usda 1.0\", found \"" + std::string(text.substr(0, 32)) +
                        "\"");
        }
        text.remove_prefix(k_header.size());
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
            text.remove_suffix(1);
        }
        return std::string(text);
    }

    /// Reads the next token into `token`; its kind is End at the end of the layer.
    // Inlined into the loops that take tokens, with the common case: a call per token
    // costs more than most tokens.
    [[gnu::always_inline]] void next(Token& token)
    {
        const int line_before = m_line;
        if (!m_bytes.in_memory() || !next_in_memory(token, line_before)) {
            next_any(token, line_before);
        }
    }

    /// next() for any token, streamed or in memory.
    [[gnu::noinline]] void next_any(Token& token, int line_before)
    {
        skip_blanks_and_comments();
        token.text = {};
        m_viewing = m_bytes.in_memory();
        token.line = m_line;
        token.after_newline = m_line != line_before;
        const int c = m_bytes.peek();
        if (c < 0) {
            token.kind = Tok::End;
        } else if (c == '"' || c == '\'') {
            token.kind = Tok::String;
            read_string(token);
        } else if (c == '@') {
            token.kind = Tok::Asset;
            read_asset(token);
        } else if (c == '<') {
            token.kind = Tok::PathRef;
            skip_path();
        } else if (starts_number(c)) {
            token.kind = Tok::Number;
            skip_number();
        } else if (ident_start(c)) {
            token.kind = Tok::Ident;
            read_ident(token);
        } else {
            token.kind = Tok::Punct;
            token.punct = static_cast<char>(c);
            m_bytes.skip(1);
        }
        token.stable = m_viewing;
    }

    /// After an opening bracket whose closing one is `close`: when everything up to that
    /// closing bracket is buffered and is only numbers, commas, blanks, "\n" and brackets
    /// nested properly (at most k_max_plain_nesting deep), consumes it through `close` and
    /// returns true. Otherwise consumes nothing.
    bool skip_plain_values(char close)
    {
        const std::string_view w = m_bytes.window(k_plain_lookahead);
        char expected[k_max_plain_nesting + 1];
        std::size_t depth = 0;
        expected[0] = close;
        int lines = 0;
        for (std::size_t i = 0; i < w.size(); ++i) {
            // Runs of digits, signs, commas and blanks are most of the bytes.
            while (k_plain_class[static_cast<unsigned char>(w[i])] == Plain::Value) {
                if (++i == w.size()) {
                    return false;
                }
            }
            switch (k_plain_class[static_cast<unsigned char>(w[i])]) {
            case Plain::Value:
                continue;
            case Plain::Newline:
                ++lines;
                continue;
            case Plain::Open:
                if (depth == k_max_plain_nesting) {
                    return false;
                }
                expected[++depth] = w[i] == '(' ? ')' : ']';
                continue;
            case Plain::Close:
                if (w[i] != expected[depth]) {
                    return false;
                }
                if (depth-- == 0) {
                    m_bytes.skip(i + 1);
                    m_line += lines;
                    return true;
                }
                continue;
            case Plain::Other:
                return false;
            }
        }
        return false;
    }

    [[noreturn]] void fail(int line, const std::string& message) const
    {
        throw ParseError(m_source, line, message);
    }

private:
    // The common tokens of a layer in memory, read where they lie: words, numbers that
    // begin with a digit, punctuation, and strings, asset paths and path references
    // without escapes or line ends in them. Blanks, "\n" and "#" comments before the token
    // are passed over in any case; false when the token is another kind, which the general
    // path then reads from its first byte.
    [[gnu::always_inline]] bool next_in_memory(Token& token, int line_before)
    {
        // In memory, the window is all the rest of the layer.
        const std::string_view rest = m_bytes.window();
        const char* const begin = rest.data();
        const char* const end = begin + rest.size();
        const char* p = begin;
        const auto lead = [](const char* at) { return k_lead[static_cast<unsigned char>(*at)]; };
        for (;;) {
            if constexpr (std::endian::native == std::endian::little) {
                // Indentation, eight spaces at a time.
                constexpr std::uint64_t k_spaces = 0x2020202020202020;
                while (end - p >= 8) {
                    std::uint64_t word;
                    std::memcpy(&word, p, sizeof word);
                    if ((word ^ k_spaces) != 0) {
                        p += std::countr_zero(word ^ k_spaces) / 8;
                        break;
                    }
                    p += 8;
                }
            }
            while (p != end && lead(p) == Lead::Blank) {
                ++p;
            }
            if (p == end) {
                break;
            }
            if (lead(p) == Lead::Newline) {
                ++m_line;
                ++p;
            } else if (lead(p) == Lead::Hash) {
                while (p != end && *p != '\n' && *p != '\r') {
                    ++p;
                }
            } else {
                break;
            }
        }
        m_bytes.skip(static_cast<std::size_t>(p - begin));
        if (p == end) {
            return false;
        }
        const char* q = p + 1; // the end of the token
        switch (lead(p)) {
        case Lead::Word:
            token.kind = Tok::Ident;
            for (;;) {
                while (q != end && k_ident_char[static_cast<unsigned char>(*q)]) {
                    ++q;
                }
                // inputs:file, Foo::Bar
                if (q + 1 < end && *q == ':' &&
                    (ident_start(static_cast<unsigned char>(q[1])) || q[1] == ':')) {
                    q += q[1] == ':' ? 2 : 1;
                    continue;
                }
                break;
            }
            token.text = view(p, q);
            break;
        case Lead::Digit: {
            // 1, 2.5e+3, 0x1F, 1.5.2: the text is never needed.
            token.kind = Tok::Number;
            char last = *p;
            for (;;) {
                while (q != end && (k_ident_char[static_cast<unsigned char>(*q)] || *q == '.')) {
                    last = *q++;
                }
                if (q != end && (*q == '+' || *q == '-') && (last == 'e' || last == 'E')) {
                    last = *q++;
                    continue;
                }
                break;
            }
            token.text = {};
            break;
        }
        case Lead::Punct:
            token.kind = Tok::Punct;
            token.punct = *p;
            token.text = {};
            break;
        case Lead::Quote: {
            const char quote = *p;
            if (q != end && *q == quote && q + 1 != end && q[1] == quote) {
                return false; // """long strings"""
            }
            q = quote == '"' ? find_on_line<'"', '\\'>(q, end) : find_on_line<'\'', '\\'>(q, end);
            if (q == end || *q != quote) {
                return false;
            }
            token.kind = Tok::String;
            token.text = view(p + 1, q++);
            break;
        }
        case Lead::At:
            if (q != end && *q == '@' && q + 1 != end && q[1] == '@') {
                return false; // @@@paths with '@' in them@@@
            }
            q = find_on_line<'@', '@'>(q, end);
            if (q == end || *q != '@') {
                return false;
            }
            token.kind = Tok::Asset;
            token.text = view(p + 1, q++);
            break;
        case Lead::Path:
            q = find_on_line<'>', '>'>(q, end);
            if (q == end || *q != '>') {
                return false;
            }
            token.kind = Tok::PathRef;
            token.text = {};
            ++q;
            break;
        default:
            return false;
        }
        token.line = m_line;
        token.after_newline = m_line != line_before;
        token.stable = true;
        m_bytes.skip(static_cast<std::size_t>(q - p));
        return true;
    }

    // The first of `close`, `other`, "\n" or "\r" from `p` on; `end` when there is none.
    template <char close, char other>
    static const char* find_on_line(const char* p, const char* end)
    {
        static constexpr std::array<bool, 256> k_stop = [] {
            std::array<bool, 256> table{};
            for (const char c : {close, other, '\n', '\r'}) {
                table[static_cast<unsigned char>(c)] = true;
            }
            return table;
        }();
        while (p != end && !k_stop[static_cast<unsigned char>(*p)]) {
            ++p;
        }
        return p;
    }

    // A token's text where it lies, no longer than any text is kept.
    static std::string_view view(const char* first, const char* last)
    {
        return std::string_view(first,
                                std::min(static_cast<std::size_t>(last - first), k_max_token_text));
    }

    void newline(int c)
    {
        if (c == '\r' && m_bytes.peek() == '\n') {
            m_bytes.get();
        }
        ++m_line;
    }

    void skip_to_line_end()
    {
        for (std::string_view w = m_bytes.window(); !w.empty(); w = m_bytes.window()) {
            const std::size_t end = w.find_first_of("\n\r");
            m_bytes.skip(end == std::string_view::npos ? w.size() : end);
            if (end != std::string_view::npos) {
                return;
            }
        }
    }

    void skip_blanks_and_comments()
    {
        for (;;) {
            // Spaces, tabs and "\n" line ends: the run between two tokens nearly always.
            // Indentation is passed over four spaces at a time.
            const std::string_view w = m_bytes.window();
            std::size_t i = 0;
            while (i < w.size()) {
                if (w.size() - i >= 4 && std::memcmp(w.data() + i, "    ", 4) == 0) {
                    i += 4;
                } else if (w[i] == ' ' || w[i] == '\t') {
                    ++i;
                } else if (w[i] == '\n') {
                    ++m_line;
                    ++i;
                } else {
                    break;
                }
            }
            m_bytes.skip(i);
            if (i == w.size()) {
                if (w.empty()) {
                    return;
                }
                continue;
            }
            const int c = static_cast<unsigned char>(w[i]);
            if (c == '\f' || c == '\v') {
                m_bytes.get();
            } else if (c == '\r') {
                newline(m_bytes.get());
            } else if (c == '#' || (c == '/' && m_bytes.peek(1) == '/')) {
                skip_to_line_end();
            } else if (c == '/' && m_bytes.peek(1) == '*') {
                const int start = m_line;
                m_bytes.get();
                m_bytes.get();
                for (;;) {
                    const int d = m_bytes.get();
                    if (d < 0) {
                        fail(start, "unterminated comment");
                    }
                    if (d == '*' && m_bytes.peek() == '/') {
                        m_bytes.get();
                        break;
                    }
                    if (d == '\n' || d == '\r') {
                        newline(d);
                    }
                }
            } else {
                return;
            }
        }
    }

    bool starts_number(int c)
    {
        if (digit(c)) {
            return true;
        }
        if (c == '-' || c == '+' || c == '.') {
            const int d = m_bytes.peek(1);
            if (digit(d) || (c != '.' && d == '.' && digit(m_bytes.peek(2)))) {
                return true;
            }
            // -inf, -nan
            return c == '-' && (d == 'i' || d == 'n');
        }
        return false;
    }

    // The length of the run at the start of `w` whose bytes pass `accept`.
    template <typename Accept> static std::size_t run_length(std::string_view w, Accept accept)
    {
        std::size_t i = 0;
        while (i < w.size() && accept(static_cast<unsigned char>(w[i]))) {
            ++i;
        }
        return i;
    }

    // From here on the token's text is a copy.
    void copy_text(Token& token)
    {
        if (m_viewing) {
            m_text.assign(token.text);
            m_viewing = false;
        } else if (token.text.empty()) {
            m_text.clear();
        }
    }

    // Adds `bytes` to the token's text, whatever its length.
    void append_text(Token& token, std::string_view bytes)
    {
        copy_text(token);
        m_text.append(bytes);
        token.text = m_text;
    }

    void keep(Token& token, int c)
    {
        if (token.text.size() < k_max_token_text) {
            const char byte = static_cast<char>(c);
            append_text(token, std::string_view(&byte, 1));
        }
    }

    // Keeps and consumes a run of window().
    void keep_run(Token& token, std::string_view bytes)
    {
        if (token.text.size() < k_max_token_text) {
            const std::string_view kept = bytes.substr(0, k_max_token_text - token.text.size());
            if (m_viewing && token.text.empty()) {
                token.text = kept;
            } else if (m_viewing && token.text.data() + token.text.size() == kept.data()) {
                token.text = std::string_view(token.text.data(), token.text.size() + kept.size());
            } else {
                append_text(token, kept);
            }
        }
        m_bytes.skip(bytes.size());
    }

    // A number's text is never needed: 1, -2.5e+3, 0x1F, inf, 1.5.2.
    void skip_number()
    {
        int last = m_bytes.get();
        for (std::string_view w = m_bytes.window(); !w.empty(); w = m_bytes.window()) {
            const std::size_t digits =
                run_length(w, [](int b) { return ident_char(b) || b == '.'; });
            if (digits > 0) {
                last = static_cast<unsigned char>(w[digits - 1]);
                m_bytes.skip(digits);
                continue;
            }
            if ((w[0] == '+' || w[0] == '-') && (last == 'e' || last == 'E')) {
                last = w[0];
                m_bytes.skip(1);
            } else {
                return;
            }
        }
    }

    void read_ident(Token& token)
    {
        for (std::string_view w = m_bytes.window(); !w.empty(); w = m_bytes.window()) {
            const std::size_t word = run_length(w, ident_char);
            keep_run(token, w.substr(0, word));
            if (word == w.size()) {
                continue;
            }
            const int c = static_cast<unsigned char>(w[word]);
            if (c == ':' && (ident_start(m_bytes.peek(1)) || m_bytes.peek(1) == ':')) {
                // inputs:file, Foo::Bar
                const std::string_view colons = m_bytes.window(2);
                keep_run(token, colons.substr(0, colons.size() > 1 && colons[1] == ':' ? 2 : 1));
            } else {
                return;
            }
        }
    }

    void read_escape(Token& token)
    {
        const int e = m_bytes.get();
        switch (e) {
        case 'n':
            keep(token, '\n');
            return;
        case 't':
            keep(token, '\t');
            return;
        case 'r':
            keep(token, '\r');
            return;
        case 'a':
            keep(token, '\a');
            return;
        case 'b':
            keep(token, '\b');
            return;
        case 'f':
            keep(token, '\f');
            return;
        case 'v':
            keep(token, '\v');
            return;
        case 'x': {
            int value = 0;
            for (int i = 0; i < 2 && hex_value(m_bytes.peek()) >= 0; ++i) {
                value = value * 16 + hex_value(m_bytes.get());
            }
            keep(token, value);
            return;
        }
        default:
            break;
        }
        if (e >= '0' && e <= '7') {
            int value = e - '0';
            for (int i = 0; i < 2 && m_bytes.peek() >= '0' && m_bytes.peek() <= '7'; ++i) {
                value = value * 8 + (m_bytes.get() - '0');
            }
            keep(token, value & 0xFF);
            return;
        }
        if (e == '\n' || e == '\r') {
            newline(e);
        }
        keep(token, e);
    }

    void read_string(Token& token)
    {
        const int start = m_line;
        const int quote = m_bytes.get();
        const bool triple = m_bytes.peek() == quote && m_bytes.peek(1) == quote;
        if (triple) {
            m_bytes.get();
            m_bytes.get();
        }
        for (;;) {
            const std::string_view w = m_bytes.window();
            const std::size_t plain = run_length(
                w, [quote](int b) { return b != quote && b != '\\' && b != '\n' && b != '\r'; });
            if (plain > 0) {
                keep_run(token, w.substr(0, plain));
                continue;
            }
            const int c = m_bytes.get();
            if (c < 0) {
                fail(start, "unterminated string");
            }
            if (c == '\\') {
                if (m_bytes.peek() < 0) {
                    fail(start, "unterminated string");
                }
                read_escape(token);
            } else if (c == quote) {
                if (!triple) {
                    return;
                }
                if (m_bytes.peek() == quote && m_bytes.peek(1) == quote) {
                    m_bytes.get();
                    m_bytes.get();
                    return;
                }
                keep(token, c);
            } else if (c == '\n' || c == '\r') {
                if (!triple) {
                    fail(start, "unterminated string");
                }
                newline(c);
                keep(token, '\n');
            } else {
                keep(token, c);
            }
        }
    }

    void read_asset(Token& token)
    {
        const int start = m_line;
        m_bytes.get();
        if (m_bytes.peek() == '@' && m_bytes.peek(1) == '@') {
            m_bytes.get();
            m_bytes.get();
            for (;;) {
                const int c = m_bytes.peek();
                if (c < 0 || c == '\n' || c == '\r') {
                    fail(start, "unterminated asset path");
                }
                if (c == '\\' && m_bytes.peek(1) == '@' && m_bytes.peek(2) == '@' &&
                    m_bytes.peek(3) == '@') {
                    for (int i = 0; i < 4; ++i) {
                        m_bytes.get();
                    }
                    append_text(token, "@@@");
                    continue;
                }
                if (c == '@' && m_bytes.peek(1) == '@' && m_bytes.peek(2) == '@') {
                    // The last three of a run of three to five close the path.
                    int run = 3;
                    while (run < 5 && m_bytes.peek(static_cast<std::size_t>(run)) == '@') {
                        ++run;
                    }
                    for (int i = 0; i < run; ++i) {
                        m_bytes.get();
                    }
                    append_text(token, std::string_view("@@", static_cast<std::size_t>(run - 3)));
                    return;
                }
                keep(token, m_bytes.get());
            }
        }
        if (!read_through_on_line('@', &token)) {
            fail(start, "unterminated asset path");
        }
    }

    // A path reference (</Prim.prop>) names nothing outside the layer.
    void skip_path()
    {
        const int start = m_line;
        m_bytes.skip(1);
        if (!read_through_on_line('>', nullptr)) {
            fail(start, "unterminated path reference");
        }
    }

    // Consumes the bytes up to and including `close`, kept in `token` when one is given;
    // false when the line or the layer ends first.
    bool read_through_on_line(char close, Token* token)
    {
        for (std::string_view w = m_bytes.window(); !w.empty(); w = m_bytes.window()) {
            const std::size_t plain = run_length(w, [close](int b) {
                return b != static_cast<unsigned char>(close) && b != '\n' && b != '\r';
            });
            if (token) {
                keep_run(*token, w.substr(0, plain));
            } else {
                m_bytes.skip(plain);
            }
            if (plain < w.size()) {
                m_bytes.skip(1);
                return w[plain] == close;
            }
        }
        return false;
    }

    Bytes m_bytes;
    std::string m_source;
    int m_line = 1;
    std::string m_text;     // the token's text when it is a copy
    bool m_viewing = false; // the token's text is a view of the bytes in memory
};

enum class FrameKind : std::uint8_t
{
    Layer,       // the file itself
    Prim,        // a prim body { ... }
    VariantSet,  // variantSet "name" = { ... }
    Variant,     // "name" { ... } inside a variant set
    Metadata,    // ( ... ) of the layer, a prim or a variant
    Group,       // any other bracket
};

// A word a frame keeps while it is open: where it lies when it stays in the layer's bytes
// for the whole read, a copy otherwise.
class KeptWord
{
public:
    std::string_view text() const { return m_is_copy ? std::string_view(m_copy) : m_view; }
    bool empty() const { return text().empty(); }
    void clear()
    {
        m_view = {};
        m_is_copy = false;
    }
    /// `stable`: the word stays where it is for the whole read.
    void assign(std::string_view word, bool stable)
    {
        m_is_copy = !stable;
        if (stable) {
            m_view = word;
        } else {
            m_copy.assign(word);
        }
    }

private:
    std::string_view m_view;
    std::string m_copy; // keeps its room from one word to the next
    bool m_is_copy = false;
};

struct Frame
{
    FrameKind kind = FrameKind::Group;
    char close = 0;
    int line = 0;
    std::string owner_path;    // the owner the contents belong to
    std::string variant_set;  // VariantSet: its name
    KeptWord key;             // the name before the last "=" directly in this frame
    KeptWord attribute;       // the attribute of that "=" (property statements)
    bool string_paths = false;  // strings after the "=" name files
    bool clip_template = false;
    bool expression_variables = false;  // the frame is the expressionVariables dictionary
};

// Sets `path` to the path of the child `name` of `parent`.
void set_child_path(std::string& path, const std::string& parent, std::string_view name)
{
    path.assign(parent);
    if (parent != "/" && (parent.empty() || parent.back() != '}')) {
        path += '/';
    }
    path += name;
}

// Sets `path` to the path of the variant `set`=`variant` of `parent`: /A{lod=high}.
void set_variant_path(std::string& path, const std::string& parent, std::string_view set,
                      std::string_view variant)
{
    path.assign(parent);
    path += '{';
    path += set;
    path += '=';
    path += variant;
    path += '}';
}

// The open brackets, innermost last. Frames are kept when closed and reused, so their
// strings keep their capacity.
class FrameStack
{
public:
    std::size_t size() const { return m_size; }
    Frame& back() { return m_frames[m_size - 1]; }
    const Frame& operator[](std::size_t i) const { return m_frames[i]; }

    /// A new innermost frame, cleared. References to other frames may be invalidated.
    Frame& push()
    {
        if (m_size == m_frames.size()) {
            m_frames.emplace_back();
        }
        Frame& frame = m_frames[m_size++];
        frame.kind = FrameKind::Group;
        frame.close = 0;
        frame.line = 0;
        frame.owner_path.clear();
        frame.variant_set.clear();
        frame.key.clear();
        frame.attribute.clear();
        frame.string_paths = false;
        frame.clip_template = false;
        frame.expression_variables = false;
        return frame;
    }

    void pop() { --m_size; }

private:
    std::vector<Frame> m_frames;
    std::size_t m_size = 0;
};

// The last few words of the statement being read, oldest first. A word that lies in the
// layer's bytes is kept as a view of them, any other one as a copy.
class RecentWords
{
public:
    bool empty() const { return m_count == 0; }
    std::size_t size() const { return m_count; }
    std::string_view operator[](std::size_t i) const
    {
        return m_words[(m_first + i) % k_recent_words];
    }
    std::string_view back() const { return (*this)[m_count - 1]; }
    /// Whether word `i` stays where it is for the whole read.
    bool stable(std::size_t i) const { return m_stable[(m_first + i) % k_recent_words]; }
    void clear() { m_count = 0; }

    /// `stable`: the word stays where it is for the whole read.
    void push_back(std::string_view word, bool stable)
    {
        if (m_count == k_recent_words) {
            m_first = (m_first + 1) % k_recent_words;
            --m_count;
        }
        const std::size_t slot = (m_first + m_count) % k_recent_words;
        m_stable[slot] = stable;
        if (stable) {
            m_words[slot] = word;
        } else {
            m_copies[slot].assign(word);
            m_words[slot] = m_copies[slot];
        }
        ++m_count;
    }

private:
    std::array<std::string_view, k_recent_words> m_words;
    std::array<std::string, k_recent_words> m_copies;
    std::array<bool, k_recent_words> m_stable{};
    std::size_t m_first = 0;
    std::size_t m_count = 0;
};

class Scanner
{
public:
    template <typename Source>
    Scanner(Source& source, std::string_view source_name, UsdLayer& layer)
        : m_lexer(source, source_name), m_source(source_name), m_layer(layer)
    {
    }

    void run()
    {
        m_layer.version = m_lexer.header();
        Frame& layer = m_frames.push();
        layer.kind = FrameKind::Layer;
        layer.line = 1;
        layer.owner_path.assign(1, '/');
        Token token;
        for (m_lexer.next(token); token.kind != Tok::End; m_lexer.next(token)) {
            take(token);
        }
        if (m_frames.size() > 1) {
            const Frame& open = m_frames.back();
            m_lexer.fail(open.line, std::string("unterminated block: expected '") + open.close +
                                        "' before the end of the layer");
        }
    }

    const std::map<std::string, std::string>& variables() const { return m_variables; }

private:
    void take(const Token& token)
    {
        const FrameKind top = m_frames.back().kind;
        if (token.after_newline &&
            (top == FrameKind::Layer || top == FrameKind::Prim || top == FrameKind::Variant)) {
            // A property declared without a value ends at its line.
            m_recent.clear();
        }
        const bool value_word = m_after_equals;
        m_after_equals = false;
        if (token.kind == Tok::Ident && value_word) {
            return;  // None, true, an identifier value
        }
        switch (token.kind) {
        case Tok::Ident:
            take_word(token);
            return;
        case Tok::String:
            take_string(token);
            return;
        case Tok::Asset:
            if (!token.text.empty()) {
                add_ref(kind_for_key(), usd_file_part(token.text));
            }
            m_recent.clear();
            return;
        case Tok::Number:
        case Tok::PathRef:
            m_recent.clear();
            return;
        case Tok::Punct:
            take_punct(token);
            return;
        case Tok::End:
            return;
        }
    }

    void take_word(const Token& token)
    {
        const FrameKind top = m_frames.back().kind;
        const bool statement_start = m_recent.empty();
        if (statement_start &&
            (top == FrameKind::Layer || top == FrameKind::Prim || top == FrameKind::Variant) &&
            (token.text == "def"sv || token.text == "over"sv || token.text == "class"sv)) {
            m_prim_pending = true;
            m_prim_level = m_frames.size();
            m_prim_name.reset();
            return;
        }
        if (statement_start && (top == FrameKind::Prim || top == FrameKind::Variant) &&
            token.text == "variantSet"sv) {
            m_set_pending = true;
            m_set_name.reset();
            return;
        }
        m_recent.push_back(token.text, token.stable);
    }

    void take_string(const Token& token)
    {
        Frame& top = m_frames.back();
        if (m_prim_pending && !m_prim_name) {
            m_prim_name.emplace(token.text);
            return;
        }
        if (m_set_pending && !m_set_name) {
            m_set_name.emplace(token.text);
            return;
        }
        if (top.kind == FrameKind::VariantSet) {
            m_variant_name.emplace(token.text);
            return;
        }
        m_recent.clear();
        if (top.expression_variables && !top.key.empty()) {
            m_variables[std::string(top.key.text())] = std::string(token.text);
        }
        const Frame* keyed = keyed_frame();
        if (keyed && keyed->string_paths && !token.text.empty()) {
            add_ref(keyed->clip_template ? UsdRefKind::ClipTemplate : UsdRefKind::Asset,
                    keyed->clip_template ? token.text : usd_file_part(token.text));
        }
    }

    void take_punct(const Token& token)
    {
        const char c = token.punct;
        switch (c) {
        case '=':
            take_equals();
            return;
        case '(':
        case '[':
        case '{':
            open(c, token.line);
            return;
        case ')':
        case ']':
        case '}':
            close(c, token.line);
            return;
        case ',':
        case ';':
            m_recent.clear();
            return;
        default:
            return;
        }
    }

    void take_equals()
    {
        if (m_set_pending) {
            return;  // variantSet "name" = {
        }
        if (m_frames.size() == m_prim_level) {
            m_prim_pending = false;
        }
        Frame& top = m_frames.back();
        if (m_recent.empty()) {
            top.key.clear();
        } else {
            top.key.assign(m_recent.back(), m_recent.stable(m_recent.size() - 1));
        }
        top.attribute.clear();
        if ((top.kind == FrameKind::Prim || top.kind == FrameKind::Variant) && !m_recent.empty()) {
            // A property statement: "type name = ..." or "type name.timeSamples = ...".
            const bool samples = top.key.text() == "timeSamples"sv && m_recent.size() >= 2;
            if (samples) {
                top.attribute.assign(m_recent[m_recent.size() - 2],
                                     m_recent.stable(m_recent.size() - 2));
            } else {
                top.attribute = top.key;
            }
            top.key.assign(samples ? "timeSamples"sv : "default"sv, true);
        }
        const std::string_view name = (top.attribute.empty() ? top.key : top.attribute).text();
        top.clip_template = name == "templateAssetPath"sv || name == "clipTemplateAssetPath"sv;
        const bool geometry_string = m_recent.size() >= 3 &&
                                     m_recent[m_recent.size() - 3] == "custom"sv &&
                                     m_recent[m_recent.size() - 2] == "string"sv &&
                                     (name.starts_with("geom") || name.starts_with("delta"));
        top.string_paths = top.clip_template || geometry_string;
        m_recent.clear();
        m_after_equals = true;
    }

    void open(char c, int line)
    {
        if (m_frames.size() >= k_max_nesting) {
            m_lexer.fail(line, "brackets nested too deeply");
        }
        const bool prim_pending = m_prim_pending && m_prim_name && m_frames.size() == m_prim_level;
        const std::size_t parent = m_frames.size() - 1;
        const bool variant_pending =
            m_frames[parent].kind == FrameKind::VariantSet && m_variant_name.has_value();
        const bool layer_metadata =
            c == '(' && m_frames[parent].kind == FrameKind::Layer && m_layer_metadata_open;
        const char close = c == '(' ? ')' : c == '[' ? ']' : '}';
        m_layer_metadata_open = false;
        m_recent.clear();
        // Numbers in brackets (extents, points, matrices) are most of a layer's bytes and
        // name nothing: such a value is passed over whole when it is all buffered. Inside
        // it only plain brackets could open, which leave nothing behind once closed, unless
        // a prim or variant set waits for its body or metadata.
        if (c != '{' && !m_prim_pending && !m_set_pending && !(c == '(' && variant_pending) &&
            !layer_metadata && m_frames.size() + 1 + k_max_plain_nesting < k_max_nesting &&
            m_lexer.skip_plain_values(close)) {
            return;
        }
        Frame& frame = m_frames.push();
        const Frame& top = m_frames[parent];
        // Group frames keep no owner path of their own: it is the one below them.
        const std::string& owner = m_frames[owner_frame(m_frames.size() - 1)].owner_path;
        frame.close = close;
        frame.line = line;
        if (c == '{' && prim_pending) {
            frame.kind = FrameKind::Prim;
            set_child_path(frame.owner_path, owner, *m_prim_name);
            m_prim_pending = false;
            m_prim_name.reset();
        } else if (c == '{' && m_set_pending && m_set_name) {
            frame.kind = FrameKind::VariantSet;
            frame.owner_path.assign(owner);
            frame.variant_set.assign(*m_set_name);
            m_set_pending = false;
            m_set_name.reset();
        } else if (c == '{' && variant_pending) {
            frame.kind = FrameKind::Variant;
            set_variant_path(frame.owner_path, owner, top.variant_set, *m_variant_name);
            m_variant_name.reset();
        } else if (c == '(' && prim_pending) {
            frame.kind = FrameKind::Metadata;
            set_child_path(frame.owner_path, owner, *m_prim_name);
        } else if (c == '(' && variant_pending) {
            frame.kind = FrameKind::Metadata;
            set_variant_path(frame.owner_path, owner, top.variant_set, *m_variant_name);
        } else if (layer_metadata) {
            frame.kind = FrameKind::Metadata;
            frame.owner_path.assign(owner);
        } else {
            frame.kind = FrameKind::Group;
            frame.expression_variables = c == '{' && top.key.text() == "expressionVariables"sv;
        }
    }

    // The innermost frame below `end` that is not a Group: the owner of what is inside.
    std::size_t owner_frame(std::size_t end) const
    {
        std::size_t i = end - 1;
        while (i > 0 && m_frames[i].kind == FrameKind::Group) {
            --i;
        }
        return i;
    }

    void close(char c, int line)
    {
        if (m_frames.size() == 1) {
            m_lexer.fail(line, std::string("unexpected '") + c + "'");
        }
        if (m_frames.back().close != c) {
            m_lexer.fail(line, std::string("expected '") + m_frames.back().close + "', found '" +
                                   c + "'");
        }
        m_frames.pop();
        m_recent.clear();
    }

    // The innermost frame whose last "=" named a field.
    const Frame* keyed_frame() const
    {
        for (std::size_t i = m_frames.size(); i-- > 0;) {
            if (!m_frames[i].key.empty()) {
                return &m_frames[i];
            }
        }
        return nullptr;
    }

    UsdRefKind kind_for_key() const
    {
        const Frame* keyed = keyed_frame();
        if (!keyed) {
            return UsdRefKind::Asset;
        }
        if (keyed->key.text() == "subLayers"sv) {
            return UsdRefKind::SubLayer;
        }
        if (keyed->key.text() == "references"sv) {
            return UsdRefKind::Reference;
        }
        if (keyed->key.text() == "payload"sv) {
            return UsdRefKind::Payload;
        }
        return UsdRefKind::Asset;
    }

    void add_ref(UsdRefKind kind, std::string_view path)
    {
        // The field is named by the outermost "=" below the owner the value belongs to.
        const std::size_t owner = owner_frame(m_frames.size());
        const Frame* field_frame = nullptr;
        for (std::size_t i = owner; i < m_frames.size(); ++i) {
            if (!m_frames[i].key.empty()) {
                field_frame = &m_frames[i];
                break;
            }
        }
        UsdAssetRef& ref = m_layer.add_ref(kind, path);
        std::string& owners = m_layer.owner_text;
        ref.owner_start = owners.size();
        owners.append(m_frames[owner].owner_path);
        if (field_frame) {
            ref.field = field_frame->key.text();
            if (!field_frame->attribute.empty()) {
                owners.append(1, '.').append(field_frame->attribute.text());
            }
        }
        ref.owner_size = owners.size() - ref.owner_start;
    }

    Lexer m_lexer;
    std::string m_source;
    UsdLayer& m_layer;
    FrameStack m_frames;
    RecentWords m_recent;  // words of the current statement so far
    std::map<std::string, std::string> m_variables;
    bool m_prim_pending = false;
    std::size_t m_prim_level = 0;  // the nesting the pending prim statement began at
    std::optional<std::string> m_prim_name;
    bool m_set_pending = false;
    std::optional<std::string> m_set_name;
    std::optional<std::string> m_variant_name;
    bool m_layer_metadata_open = true;  // the first "(" of a layer holds its metadata
    bool m_after_equals = false;
};

}  // namespace

std::vector<std::string> usda_asset_paths(std::string_view text)
{
    std::vector<std::string> paths;
    Lexer lexer(text, "value");
    Token token;
    try {
        for (lexer.next(token); token.kind != Tok::End; lexer.next(token)) {
            if (token.kind == Tok::Asset && !token.text.empty()) {
                paths.emplace_back(token.text);
            }
        }
    } catch (const ParseError&) {
        // the paths before the fault are kept
    }
    return paths;
}

namespace {

template <typename Source> UsdLayer read_usda_from(Source& source, std::string_view source_name)
{
    UsdLayer layer;
    layer.encoding = UsdEncoding::Text;
    Scanner scanner(source, source_name, layer);
    try {
        scanner.run();
    } catch (const ParseError& e) {
        layer.error = e.what();
    }
    resolve_usd_expressions(layer, scanner.variables(), source_name);
    return layer;
}

} // namespace

UsdLayer read_usda(std::istream& in, std::string_view source_name)
{
    return read_usda_from(in, source_name);
}

UsdLayer read_usda(std::string_view text, std::string_view source_name)
{
    return read_usda_from(text, source_name);
}

}  // namespace script::readers
