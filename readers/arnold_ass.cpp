// A scene description is a flat run of node blocks:
//
//     ### exported: Mon Dec 17 21:54:24 2018
//     options
//     {
//      texture_searchpath "[SHOW]/tex;maps"
//     }
//     image
//     {
//      name file1
//      filename "textures/wood.<udim>.tx"
//     }
//     polymesh
//     {
//      name /set/ground
//      vlist 4 1 b85VECTOR
//     b)ua[z8s0108s010z8s010b)ua[zb)ua[8s010zb)ua[
//     }
//
// Parameter types live in the renderer's node definitions, which the reader does not
// have; values are told apart by their shape: an array is "COUNT KEYS TYPE" followed by its
// elements (or by one encoded word for a "b85"/"b64" type), a plain value is a run of
// numbers, or one string or word on the parameter's own line followed by any numbers.

#include "readers/arnold_ass.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_set>
#include <utility>

#include "readers/byte_input.h"

namespace script::readers {

namespace {

// ---------------------------------------------------------------------------------------
// Limits and fixed texts

constexpr std::size_t k_buffer_size = 256u * 1024;
// Kept of one string value; a path is far shorter, inline shader code rarely longer.
constexpr std::size_t k_max_string = 1u << 20;
// Kept of one bare word (encoded array data is skipped, never kept).
constexpr std::size_t k_max_word = 64u * 1024;

constexpr std::array<std::string_view, 4> k_geometry_types = {"polymesh", "curves", "points",
                                                              "nurbs"};
constexpr std::string_view k_declare = "declare";
constexpr std::string_view k_include = "include";
constexpr std::string_view k_include_parameter = "filename";
constexpr std::string_view k_name_parameter = "name";
constexpr unsigned char k_bom[3] = {0xEF, 0xBB, 0xBF};

struct ArrayType
{
    std::string_view keyword;
    std::uint64_t components;
    bool strings; // elements are strings a caller may keep
};

constexpr std::array<ArrayType, 19> k_array_types = {{
    {"BYTE", 1, false},   {"INT", 1, false},     {"UINT", 1, false},    {"USHORT", 1, false},
    {"HALF", 1, false},   {"FLOAT", 1, false},   {"BOOL", 1, false},    {"RGB", 3, false},
    {"VECTOR", 3, false}, {"POINT", 3, false},   {"RGBA", 4, false},    {"VECTOR2", 2, false},
    {"POINT2", 2, false}, {"MATRIX", 16, false}, {"STRING", 1, true},   {"NODE", 1, false},
    {"ENUM", 1, false},   {"POINTER", 1, false}, {"CLOSURE", 1, false},
}};

// ---------------------------------------------------------------------------------------
// Byte classes

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool ends_word(char c)
{
    return is_blank(c) || c == '"' || c == '{' || c == '}';
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool all_digits(std::string_view text)
{
    if (text.empty() || text.size() > 19) {
        return false;
    }
    for (const char c : text) {
        if (!is_digit(c)) {
            return false;
        }
    }
    return true;
}

bool equals_lower(std::string_view text, std::string_view lower)
{
    if (text.size() != lower.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c =
            text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != lower[i]) {
            return false;
        }
    }
    return true;
}

// A decimal integer or float, exponents, "inf" and "nan" included.
bool is_number(std::string_view text)
{
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    const std::string_view rest = text.substr(i);
    if (equals_lower(rest, "inf") || equals_lower(rest, "infinity") || equals_lower(rest, "nan")) {
        return true;
    }
    std::size_t digits = 0;
    while (i < text.size() && is_digit(text[i])) {
        ++i;
        ++digits;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && is_digit(text[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0) {
        return false;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            ++i;
        }
        std::size_t exponent_digits = 0;
        while (i < text.size() && is_digit(text[i])) {
            ++i;
            ++exponent_digits;
        }
        if (exponent_digits == 0) {
            return false;
        }
    }
    return i == text.size();
}

std::uint64_t to_count(std::string_view digits)
{
    std::uint64_t value = 0;
    for (const char c : digits) {
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b)
{
    if (a != 0 && b > UINT64_MAX / a) {
        return UINT64_MAX;
    }
    return a * b;
}

std::optional<ArrayType> array_type(std::string_view keyword, bool* encoded)
{
    *encoded = keyword.starts_with("b85") || keyword.starts_with("b64");
    if (*encoded) {
        keyword.remove_prefix(3);
    }
    for (const ArrayType& type : k_array_types) {
        if (type.keyword == keyword) {
            return type;
        }
    }
    return std::nullopt;
}

bool is_geometry(std::string_view type)
{
    for (std::string_view geometry : k_geometry_types) {
        if (type == geometry) {
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------
// Fast scan of geometry bodies: the few bytes that matter there ('"', '}', '#') are found
// with memchr, and so are the line feeds between them where they are far apart; where they
// are close they are counted sixteen bytes at a time through the compiler's portable
// vector types, which become SIMD instructions where the target has them.

using Bytes16 = unsigned char __attribute__((vector_size(16)));

Bytes16 splat(unsigned char c)
{
    Bytes16 v;
    for (int i = 0; i < 16; ++i) {
        v[i] = c;
    }
    return v;
}

long lane_sum(Bytes16 v)
{
    long sum = 0;
    for (int i = 0; i < 16; ++i) {
        sum += v[i];
    }
    return sum;
}

// Line feeds of [p, end) sixteen bytes at a time.
long count_line_feeds_densely(const char* p, const char* end)
{
    const Bytes16 feed = splat('\n');
    long lines = 0;
    while (end - p >= 64) {
        // A lane gains at most 4 a round: sum before it can pass 255.
        Bytes16 counts{};
        for (int round = 0; round < 63 && end - p >= 64; ++round, p += 64) {
            Bytes16 v[4];
            std::memcpy(v, p, sizeof v);
            counts -= reinterpret_cast<Bytes16>(v[0] == feed);
            counts -= reinterpret_cast<Bytes16>(v[1] == feed);
            counts -= reinterpret_cast<Bytes16>(v[2] == feed);
            counts -= reinterpret_cast<Bytes16>(v[3] == feed);
        }
        lines += lane_sum(counts);
    }
    for (; p < end; ++p) {
        lines += *p == '\n';
    }
    return lines;
}

// Line feeds of [p, end): hopping from one to the next while they are far apart (encoded
// arrays are one long line), counting whole stretches where they are close (numbers
// written as text).
long count_line_feeds(const char* p, const char* end)
{
    constexpr std::ptrdiff_t k_close = 256;
    constexpr std::ptrdiff_t k_stretch = 16 * 1024;
    long lines = 0;
    while (const void* found = std::memchr(p, '\n', static_cast<std::size_t>(end - p))) {
        const char* feed = static_cast<const char*>(found);
        ++lines;
        const bool close = feed - p < k_close;
        p = feed + 1;
        if (close) {
            const char* stretch_end = end - p > k_stretch ? p + k_stretch : end;
            lines += count_line_feeds_densely(p, stretch_end);
            p = stretch_end;
        }
    }
    return lines;
}

// ---------------------------------------------------------------------------------------
// Tokens

enum class Kind : std::uint8_t
{
    End,
    Open,
    Close,
    String,
    Word,
};

struct Token
{
    Kind kind = Kind::End;
    std::string text;
    long line = 0;
    bool too_long = false; // text was cut at the kept limit
    bool unclosed = false; // a string the input ended inside
};

class Scanner
{
public:
    explicit Scanner(ByteInput& input) : m_input(input), m_buffer(new char[k_buffer_size]) {}

    long line() const { return m_line; }

    void skip_byte_order_mark()
    {
        if (fill() && m_end - m_p >= 3 && std::memcmp(m_p, k_bom, 3) == 0) {
            m_p += 3;
        }
    }

    // Skips blanks and comments; the next byte, not consumed, or -1 at the end.
    int skip_blanks()
    {
        while (fill()) {
            const char c = *m_p;
            if (c == '\n') {
                ++m_line;
                ++m_p;
            } else if (c == '\r') {
                ++m_p;
                // A CR LF pair counts once, at its LF; a lone CR ends a line too.
                if (!(fill() && *m_p == '\n')) {
                    ++m_line;
                }
            } else if (c == ' ' || c == '\t' || c == '\v' || c == '\f') {
                ++m_p;
            } else if (c == '#') {
                skip_comment();
            } else {
                return static_cast<unsigned char>(c);
            }
        }
        return -1;
    }

    void read_token(Token& t, bool keep)
    {
        t.text.clear();
        t.too_long = false;
        t.unclosed = false;
        const int c = skip_blanks();
        t.line = m_line;
        if (c < 0) {
            t.kind = Kind::End;
        } else if (c == '{' || c == '}') {
            t.kind = c == '{' ? Kind::Open : Kind::Close;
            ++m_p;
        } else if (c == '"') {
            t.kind = Kind::String;
            ++m_p;
            read_string(t, keep);
        } else {
            t.kind = Kind::Word;
            read_word(t, keep);
        }
    }

    // After a geometry block's "{": passes over its body up to and with its "}". False
    // when the input ends first (a string never closing or the block itself).
    bool skip_geometry_body(bool* unclosed_string, long* string_line)
    {
        Token scratch;
        while (fill()) {
            const char* stop = next_geometry_stop();
            m_line += count_line_feeds(m_p, stop);
            if (stop == m_end) {
                m_p = m_end;
                continue;
            }
            const char before = stop > m_buffer.get() ? stop[-1] : m_last;
            m_p = stop + 1;
            if (*stop == '}') {
                return true;
            }
            if (*stop == '"') {
                scratch.line = m_line;
                read_string(scratch, false);
                if (scratch.unclosed) {
                    *unclosed_string = true;
                    *string_line = scratch.line;
                    return false;
                }
            } else if (is_blank(before) || before == '{' || before == '}' || before == '"') {
                skip_comment();
            }
        }
        return false;
    }

private:
    bool fill()
    {
        if (m_p != m_end) {
            return true;
        }
        if (m_done) {
            return false;
        }
        if (m_end != nullptr) {
            m_last = m_end[-1];
        }
        const std::size_t n = m_input.read(m_buffer.get(), k_buffer_size);
        if (n == 0) {
            m_done = true;
            return false;
        }
        m_p = m_buffer.get();
        m_end = m_p + n;
        m_stops.fill(nullptr);
        return true;
    }

    // The first '"', '}' or '#' at or after m_p in the buffer, or m_end. Each byte's next
    // position is looked up once and kept until the scan passes it.
    const char* next_geometry_stop()
    {
        static constexpr std::array<char, 3> k_stop_bytes = {'"', '}', '#'};
        const char* nearest = m_end;
        for (std::size_t i = 0; i < k_stop_bytes.size(); ++i) {
            const char*& stop = m_stops[i];
            if (stop == nullptr || (stop < m_p && stop != m_end)) {
                const void* found =
                    std::memchr(m_p, k_stop_bytes[i], static_cast<std::size_t>(m_end - m_p));
                stop = found != nullptr ? static_cast<const char*>(found) : m_end;
            }
            nearest = std::min(nearest, stop);
        }
        return nearest;
    }

    // From "#" to the end of its line (the line end is left for skip_blanks).
    void skip_comment()
    {
        while (fill()) {
            const char* q = m_p;
            while (q < m_end && *q != '\n' && *q != '\r') {
                ++q;
            }
            m_p = q;
            if (q != m_end) {
                return;
            }
        }
    }

    static void keep_text(Token& t, const char* from, std::size_t n, std::size_t limit)
    {
        const std::size_t room = limit - t.text.size();
        if (n > room) {
            t.too_long = true;
            n = room;
        }
        t.text.append(from, n);
    }

    // After the opening quote. `\"` stands for a quote; every other backslash is kept.
    void read_string(Token& t, bool keep)
    {
        while (true) {
            if (!fill()) {
                t.unclosed = true;
                return;
            }
            const char* q = m_p;
            while (q < m_end && *q != '"' && *q != '\\' && *q != '\n') {
                ++q;
            }
            if (keep) {
                keep_text(t, m_p, static_cast<std::size_t>(q - m_p), k_max_string);
            }
            m_p = q;
            if (q == m_end) {
                continue;
            }
            const char c = *m_p++;
            if (c == '"') {
                return;
            }
            if (c == '\n') {
                ++m_line;
                if (keep) {
                    keep_text(t, "\n", 1, k_max_string);
                }
                continue;
            }
            const bool escaped_quote = fill() && *m_p == '"';
            if (escaped_quote) {
                ++m_p;
            }
            if (keep) {
                keep_text(t, escaped_quote ? "\"" : "\\", 1, k_max_string);
            }
        }
    }

    void read_word(Token& t, bool keep)
    {
        while (fill()) {
            const char* q = m_p;
            while (q < m_end && !ends_word(*q)) {
                ++q;
            }
            if (keep) {
                keep_text(t, m_p, static_cast<std::size_t>(q - m_p), k_max_word);
            }
            m_p = q;
            if (q != m_end) {
                return;
            }
        }
    }

    ByteInput& m_input;
    std::unique_ptr<char[]> m_buffer;
    const char* m_p = nullptr;
    const char* m_end = nullptr;
    char m_last = '\n';                      // the byte before the buffer's first one
    std::array<const char*, 3> m_stops = {}; // see next_geometry_stop
    bool m_done = false;
    long m_line = 1;
};

// ---------------------------------------------------------------------------------------
// Blocks and values

class Parser
{
public:
    Parser(std::istream& in, std::string_view source_name, const AssKeep& keep)
        : m_input(in), m_scanner(m_input), m_source(source_name), m_keep(keep)
    {
    }

    AssContents run()
    {
        m_scanner.skip_byte_order_mark();
        if (m_scanner.skip_blanks() == '[') {
            m_contents.scene = false;
            return std::move(m_contents);
        }
        read_top_level();
        drop_links();
        if (!m_input.problem().empty()) {
            // Corrupt or cut compressed data explains whatever went wrong after it.
            const int earlier = m_contents.problems;
            m_contents.problems = 0;
            problem(m_scanner.line(), m_input.problem());
            m_contents.problems += earlier;
        }
        return std::move(m_contents);
    }

private:
    struct Block
    {
        std::string type;
        long line = 0;
    };

    // -- token queue: up to three tokens of look-ahead, kept in full -------------------

    Token& slot(std::size_t i) { return m_queue[(m_head + i) % m_queue.size()]; }

    const Token& peek(std::size_t i)
    {
        while (m_queued <= i) {
            Token& t = slot(m_queued);
            m_scanner.read_token(t, true);
            note_unclosed(t);
            ++m_queued;
        }
        return slot(i);
    }

    void take(Token& out)
    {
        peek(0);
        std::swap(out, slot(0));
        m_head = (m_head + 1) % m_queue.size();
        --m_queued;
    }

    // The kind of the next token, without reading it.
    Kind next_kind()
    {
        if (m_queued > 0) {
            return slot(0).kind;
        }
        const int c = m_scanner.skip_blanks();
        if (c < 0) {
            return Kind::End;
        }
        if (c == '{') {
            return Kind::Open;
        }
        if (c == '}') {
            return Kind::Close;
        }
        return c == '"' ? Kind::String : Kind::Word;
    }

    // Passes over the next token without keeping its text.
    void skip()
    {
        if (m_queued > 0) {
            m_head = (m_head + 1) % m_queue.size();
            --m_queued;
            return;
        }
        m_scanner.read_token(m_scratch, false);
        note_unclosed(m_scratch);
    }

    // -- problems ----------------------------------------------------------------------

    void problem(long line, const std::string& what)
    {
        if (m_contents.problems++ == 0) {
            m_contents.problem = std::string(m_source) + ":" + std::to_string(line) + ": " + what;
        }
    }

    void note_unclosed(const Token& t)
    {
        if (t.unclosed) {
            problem(t.line, "a string that starts here never closes");
        }
    }

    // -- structure ---------------------------------------------------------------------

    bool kept(std::string_view parameter) const
    {
        for (const std::string& wanted : m_keep.parameters) {
            if (wanted == parameter) {
                return true;
            }
        }
        return false;
    }

    void read_top_level()
    {
        Token t;
        while (true) {
            take(t);
            std::optional<Block> block;
            switch (t.kind) {
            case Kind::End:
                return;
            case Kind::Word:
                if (peek(0).kind == Kind::Open) {
                    skip();
                    block = Block{t.text, t.line};
                } else if (t.text == k_include && peek(0).kind == Kind::String) {
                    read_include();
                } else {
                    problem(t.line, "unexpected \"" + t.text + "\" outside a node block");
                }
                break;
            case Kind::Open:
                problem(t.line, "a block without a node type");
                block = Block{std::string(), t.line};
                break;
            case Kind::Close:
                problem(t.line, "a \"}\" that closes no block");
                break;
            case Kind::String:
                problem(t.line, "a string outside a node block");
                break;
            }
            // A block that runs into the next one's "type {" hands that block on, so a
            // file of unclosed blocks is read without recursion.
            while (block) {
                block = read_block(*block);
            }
        }
    }

    void read_include()
    {
        Token file;
        take(file);
        if (!kept(k_include_parameter) || file.text.empty()) {
            return;
        }
        AssNode node{std::string(k_include), file.line, {}};
        keep_value(node, k_include_parameter, file);
        finish(std::move(node));
    }

    // Reads a block after its "{". Returns the next block when this one ran into it.
    std::optional<Block> read_block(const Block& block)
    {
        if (is_geometry(block.type)) {
            bool unclosed_string = false;
            long string_line = 0;
            if (!m_scanner.skip_geometry_body(&unclosed_string, &string_line)) {
                if (unclosed_string) {
                    problem(string_line, "a string that starts here never closes");
                }
                problem(block.line, "the " + block.type + " block that starts here never closes");
            }
            return std::nullopt;
        }
        AssNode node{block.type, block.line, {}};
        Token t;
        while (true) {
            take(t);
            switch (t.kind) {
            case Kind::End:
                problem(block.line,
                        "the " + describe(block) + " block that starts here never closes");
                finish(std::move(node));
                return std::nullopt;
            case Kind::Close:
                finish(std::move(node));
                return std::nullopt;
            case Kind::Open:
                problem(t.line, "unexpected \"{\" inside the " + describe(block) + " block");
                break;
            case Kind::String:
                problem(t.line, "a string where a parameter name was expected");
                break;
            case Kind::Word:
                if (t.text == k_declare) {
                    // declare NAME SCOPE [ARRAY] TYPE, on one line
                    for (int i = 0; i < 4 && peek(0).kind == Kind::Word && peek(0).line == t.line;
                         ++i) {
                        skip();
                    }
                } else if (peek(0).kind == Kind::Open) {
                    problem(block.line, "the " + describe(block) +
                                            " block that starts here is not closed before \"" +
                                            t.text + " {\"");
                    finish(std::move(node));
                    skip();
                    return Block{t.text, t.line};
                } else {
                    read_value(node, t.text, t.line);
                }
                break;
            }
        }
    }

    static std::string describe(const Block& block)
    {
        return block.type.empty() ? std::string("untyped") : block.type;
    }

    void read_value(AssNode& node, const std::string& parameter, long line)
    {
        const bool keep = kept(parameter);
        if (peek(0).kind == Kind::Word && all_digits(slot(0).text) && peek(1).kind == Kind::Word &&
            all_digits(slot(1).text) && peek(2).kind == Kind::Word) {
            bool encoded = false;
            if (const std::optional<ArrayType> type = array_type(slot(2).text, &encoded)) {
                const std::uint64_t count = to_count(slot(0).text);
                const std::uint64_t keys = to_count(slot(1).text);
                skip();
                skip();
                skip();
                read_array(node, parameter, line, *type, encoded, count, keys, keep);
                return;
            }
        }
        if (peek(0).kind == Kind::Word && is_number(slot(0).text)) {
            skip_numbers();
            return;
        }
        if ((peek(0).kind == Kind::String || peek(0).kind == Kind::Word) && slot(0).line == line) {
            Token value;
            take(value);
            if (parameter == k_name_parameter) {
                note_name(value);
            }
            if (keep) {
                keep_value(node, parameter, value);
            }
            skip_numbers();
        }
        // Otherwise the parameter has no value and the next word starts the next one.
    }

    void skip_numbers()
    {
        while (peek(0).kind == Kind::Word && is_number(slot(0).text)) {
            skip();
        }
    }

    void read_array(AssNode& node, const std::string& parameter, long line, const ArrayType& type,
                    bool encoded, std::uint64_t count, std::uint64_t keys, bool keep)
    {
        if (count == 0 || keys == 0) {
            return;
        }
        const std::uint64_t tokens =
            encoded ? 1 : saturating_product(saturating_product(count, keys), type.components);
        const bool keep_elements = keep && type.strings && !encoded;
        for (std::uint64_t i = 0; i < tokens; ++i) {
            const Kind kind = next_kind();
            if (kind != Kind::Word && kind != Kind::String) {
                if (kind != Kind::End) {
                    problem(line, "the array of \"" + parameter + "\" ends early");
                }
                return;
            }
            if (keep_elements) {
                Token value;
                take(value);
                keep_value(node, parameter, value);
            } else {
                skip();
            }
        }
    }

    void keep_value(AssNode& node, std::string_view parameter, Token& value)
    {
        if (value.unclosed) {
            return; // the rest of the file, not a value
        }
        if (value.too_long) {
            problem(value.line,
                    "a value of \"" + std::string(parameter) + "\" longer than " +
                        std::to_string(value.kind == Kind::String ? k_max_string : k_max_word) +
                        " bytes is left out");
            return;
        }
        if (value.kind == Kind::Word && value.text.find_first_of("./") == std::string::npos) {
            m_bare.emplace_back(node.values.size());
        }
        node.values.push_back(AssValue{std::string(parameter), std::move(value.text)});
    }

    void note_name(const Token& value)
    {
        if (!value.too_long && value.text.find_first_of("./") == std::string::npos) {
            m_names.insert(value.text);
        }
    }

    void finish(AssNode&& node)
    {
        if (!node.values.empty()) {
            for (const std::size_t value : m_bare) {
                m_links.emplace_back(m_contents.nodes.size(), value);
            }
            m_contents.nodes.push_back(std::move(node));
        }
        m_bare.clear();
    }

    // Bare values that name a node of the file are links to that node's output.
    void drop_links()
    {
        bool dropped = false;
        for (const auto& [node, value] : m_links) {
            AssValue& v = m_contents.nodes[node].values[value];
            if (m_names.contains(v.value)) {
                v.parameter.clear();
                dropped = true;
            }
        }
        if (!dropped) {
            return;
        }
        std::vector<AssNode> nodes;
        for (AssNode& node : m_contents.nodes) {
            std::erase_if(node.values, [](const AssValue& v) { return v.parameter.empty(); });
            if (!node.values.empty()) {
                nodes.push_back(std::move(node));
            }
        }
        m_contents.nodes = std::move(nodes);
    }

    ByteInput m_input;
    Scanner m_scanner;
    std::string_view m_source;
    const AssKeep& m_keep;
    AssContents m_contents;

    std::array<Token, 4> m_queue;
    std::size_t m_head = 0;
    std::size_t m_queued = 0;
    Token m_scratch;

    std::unordered_set<std::string> m_names;
    std::vector<std::size_t> m_bare;                          // of the node being read
    std::vector<std::pair<std::size_t, std::size_t>> m_links; // (node, value) candidates
};

} // namespace

AssContents read_ass(std::istream& in, std::string_view source_name, const AssKeep& keep)
{
    return Parser(in, source_name, keep).run();
}

} // namespace script::readers
