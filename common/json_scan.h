#pragma once

// A pull reader over JSON text, for documents too large to be worth a tree: the caller
// walks objects and arrays member by member and takes only what it needs.
//
// The cursor accepts exactly the JSON the general parser accepts (strict RFC 8259 text,
// strings of valid UTF-8, surrogate pairs in \u escapes), but it reports no reasons: on
// anything it does not read it throws JsonCursor::Refused, and the caller reads the text
// again with the general parser, whose message then names the fault. A caller may refuse
// too, for shapes it leaves to the general reader.

#include <cstddef>
#include <string>
#include <string_view>

namespace script {

class JsonCursor
{
public:
    /// Thrown when the text is not JSON the cursor reads, or nests deeper than its limit.
    struct Refused
    {
    };

    JsonCursor(std::string_view text, std::size_t max_depth);

    /// The next value's first character, whitespace skipped: '{', '[', '"', 't', 'f',
    /// 'n', '-' or a digit; refuses anything else, end of text included.
    char peek_value()
    {
        skip_space();
        if (m_at != m_end) {
            const char c = *m_at;
            if (c == '{' || c == '[' || c == '"' || c == 't' || c == 'f' || c == 'n' || c == '-' ||
                (c >= '0' && c <= '9'))
                return c;
        }
        refuse();
    }

    /// Enters an object; then next_member() gives each key in turn and leaves the cursor
    /// on its value, which the caller must read or skip, until it returns false at '}'.
    void begin_object();
    bool next_member(std::string& key);
    /// Enters an array; next_element() leaves the cursor on each element until ']'.
    void begin_array();
    bool next_element();

    /// A string value, unescaped.
    void read_string(std::string& out);
    /// A number's text, checked against the JSON grammar.
    std::string_view read_number();
    /// true, false or null; returns the literal read.
    std::string_view read_literal();
    /// Skips one whole value (checked like any other) and returns its text.
    std::string_view skip_value();

    /// Refuses unless only whitespace is left.
    void expect_end();

private:
    // Most tokens follow another directly: that case is worked out here, in line.
    void skip_space()
    {
        if (m_at != m_end && static_cast<unsigned char>(*m_at) > ' ')
            return;
        skip_space_run();
    }
    void skip_space_run();
    void enter();
    // Past the comma before the next item of the open container, or past its closing
    // bracket (then false).
    bool next_item(char close);
    void scan_string(std::string* out);
    [[noreturn]] static void refuse() { throw Refused{}; }

    const char* m_at;
    const char* m_end;
    std::size_t m_max_depth;
    std::size_t m_depth = 0;
    // Per open container: whether an element or member has been read yet.
    std::string m_started;
    std::string m_skipped_key;
};

}  // namespace script
