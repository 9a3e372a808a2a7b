#pragma once

// Look descriptions written as XML: the file paths a look depends on sit in the attributes
// of its elements, absolute or by network address, with Alembic caches also given relative
// to the document. XML 1.0: https://www.w3.org/TR/xml/

#include <string>
#include <string_view>
#include <vector>

namespace script::readers {

/// One attribute value of a look document that names a file.
struct LookXmlValue
{
    enum class Kind
    {
        /// A drive path ("C:/..."), a POSIX absolute path ("/show/..."), or slashes
        /// followed by digits and dots (an address).
        PathLike,
        /// Not path-like but ending in ".abc": a cache relative to the document's folder.
        RelativeCache,
    };
    std::string value;
    Kind kind = Kind::PathLike;
    friend bool operator==(const LookXmlValue&, const LookXmlValue&) = default;
};

/// True when the value holds a drive letter with ":" and a slash or backslash, or a run of
/// slashes or backslashes followed by digits and dots, anywhere in it; or when it is a POSIX
/// absolute path (it starts with one or two "/" and a name).
bool is_path_like(std::string_view value);

/// The attribute values that name files, from every element below the root element in
/// document order (an element's attributes before its children's); the root element's own
/// attributes are not examined. Throws script::ParseError naming `source_name` and the line
/// when the text is not well-formed XML or holds no element.
std::vector<LookXmlValue> read_look_xml(std::string_view text, std::string_view source_name);

/// Reads the file and calls read_look_xml on it; throws script::Error when it cannot be
/// read.
std::vector<LookXmlValue> read_look_xml_file(const std::string& path);

/// The path of a cache given relative to a look document: the document's folder joined
/// with the value, every "\" turned into "/".
std::string relative_cache_path(std::string_view xml_file, std::string_view value);

} // namespace script::readers
