#pragma once

// Look descriptions written as XML: the file paths a look depends on sit in the attributes
// of its elements, absolute or by network address, with Alembic caches also given relative
// to the document. XML 1.0: https://www.w3.org/TR/xml/

#include <cstdint>
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

/// Largest look document the reader holds (the parser keeps several copies of the text);
/// larger ones are refused, not read.
inline constexpr std::uint64_t k_max_look_xml_bytes = std::uint64_t{256} << 20;

/// Why a look document cannot be read whole: "" when it can (or cannot be measured, and
/// reading it will tell), else the reason, naming its size and the limit.
std::string look_xml_size_problem(const std::string& path);

/// Reads the file and calls read_look_xml on it; throws script::Error naming the file and
/// the reason when it cannot be read or is above k_max_look_xml_bytes.
std::vector<LookXmlValue> read_look_xml_file(const std::string& path);

/// The path of a cache given relative to a look document: the document's folder joined
/// with the value, every "\" turned into "/".
std::string relative_cache_path(std::string_view xml_file, std::string_view value);

} // namespace script::readers
