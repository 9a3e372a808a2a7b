#pragma once

// Arnold scene descriptions (.ass, and the same text gzip-compressed as .ass.gz): a flat
// sequence of node blocks "type { parameter value ... }". The reader keeps, of each block,
// its type and the string values of the parameters it is asked for, and nothing else, so
// its memory does not grow with the file. Format: the Arnold User Guide, "Arnold Scene
// Source (ass)" (https://help.autodesk.com/view/ARNOL/ENU/).

#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace script::readers {

/// One kept string value of a node.
struct AssValue
{
    std::string parameter;
    std::string value;
};

/// One node block: its type (the word before "{"), the line its block starts on, and its
/// kept string values in file order (an array parameter gives one entry per element).
struct AssNode
{
    std::string type;
    long line = 0;
    std::vector<AssValue> values;

    /// True when the node's type is `node_type` (exact and case-sensitive, like the
    /// renderer's own test).
    bool is(std::string_view node_type) const { return type == node_type; }
    /// The first kept value of a parameter; empty when the node does not set it.
    std::string_view get_str(std::string_view parameter) const
    {
        for (const AssValue& v : values) {
            if (v.parameter == parameter) {
                return v.value;
            }
        }
        return {};
    }
};

/// What a read kept of a file.
struct AssContents
{
    /// Nodes that hold at least one kept value, in file order. A top-level
    /// `include "file"` line is kept as a node of type "include" with a "filename" value.
    std::vector<AssNode> nodes;
    /// False when the bytes are no scene description at all (a subtitle file, which
    /// shares the suffix and begins with a "[Section]" line); nothing is read then.
    bool scene = true;
    /// Empty, or the first problem met ("source:line: what"), and how many there were.
    std::string problem;
    int problems = 0;
};

/// The parameters whose string values a read keeps.
struct AssKeep
{
    std::vector<std::string> parameters;
};

/// Reads a scene description, plain or gzip-compressed (told by its first bytes), through
/// a fixed buffer. The bodies of geometry blocks (polymesh, curves, points, nurbs) are
/// passed over unread. Malformed text (an unclosed string or block, stray tokens, a
/// truncated array, corrupt or truncated compressed data) is read as far as it parses;
/// the first problem is kept in AssContents::problem, named by `source_name` and line.
/// A bare (unquoted) value without "." or "/" that names a node of the file is a link to
/// that node's output, not a file, and is not kept. A value longer than the kept limit
/// is dropped and counted as a problem. Never throws for content.
AssContents read_ass(std::istream& in, std::string_view source_name, const AssKeep& keep);

} // namespace script::readers
