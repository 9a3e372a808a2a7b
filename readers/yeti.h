#pragma once

// Yeti fur caches: the node graph a cache depends on is stored in the cache's bytes as a
// Base64-encoded XML document, and its file parameters name the textures and caches the
// groom reads. Base64 is RFC 4648 (https://www.rfc-editor.org/rfc/rfc4648).

#include <cstddef>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace script::readers {

/// Decodes Base64 the lenient way: characters outside the alphabet are skipped, and once
/// the padding of a group is complete the rest of the text is ignored. nullopt when the
/// data characters do not end on a whole group (a length or padding fault).
std::optional<std::string> decode_base64(std::string_view text);

/// Every Base64 block in one line of cache bytes: the encoded start of an XML declaration
/// followed by the longest run of Base64 characters (plus "_" and "?"), any letter case.
std::vector<std::string> find_yeti_blocks(std::string_view line);

/// The values of the parameters marked as files (value="..." nice="File") in decoded graph
/// text, line by line, each parameter on its own, in text order.
std::vector<std::string> yeti_file_parameters(std::string_view xml_text);

/// Longest block a cache may hold; a longer run of block characters is skipped with one
/// warning per cache instead of being held.
inline constexpr std::size_t k_max_yeti_block_bytes = std::size_t{64} << 20;

/// Reads a cache through a fixed buffer (blocks never cross line feeds) and returns the
/// file parameters of all its blocks in order, duplicates kept, as find_yeti_blocks finds
/// them line by line. A block that does not decode, or whose text is not valid UTF-8, is
/// skipped with a warning naming `source_name`; so is a run longer than
/// k_max_yeti_block_bytes, once per cache. Memory stays bounded whatever the cache holds.
std::vector<std::string> read_yeti_cache(std::istream& in, std::string_view source_name);

}  // namespace script::readers
