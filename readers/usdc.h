#pragma once

// The USD binary "crate" layer format: an 88-byte header ("PXR-USDC", version bytes, the
// offset of a table of contents), structural sections (TOKENS, STRINGS, FIELDS, FIELDSETS,
// PATHS, SPECS; LZ4-compressed and integer-coded from version 0.4.0 on) and out-of-line
// value data reached by offset. Only the structural sections and the values that can name
// files are decoded; geometry arrays are never touched.
// https://openusd.org/release/api/sdf_page_front.html, LZ4 block format:
// https://github.com/lz4/lz4/blob/dev/doc/lz4_Block_format.md

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "readers/usd_layer.h"

namespace script::readers {

/// Reads a crate layer from a seekable stream (only the sections and values it needs are
/// read, never the whole file) and returns every external file it authors, in owner order:
/// sublayers, reference and payload list operations (all six lists, single payloads),
/// asset-valued defaults and time samples, asset values in dictionaries and metadata, and
/// value clip templates. Internal references name no file. An unknown value type is
/// skipped; a malformed file never throws: `error` is "source_name: what is wrong".
UsdLayer read_usdc(std::istream& in, std::string_view source_name);
/// The same over a layer's whole bytes, in memory.
UsdLayer read_usdc(std::string_view bytes, std::string_view source_name);

/// Decodes the integer coding of crate files: `count` integers of `width` bytes (4 or 8)
/// from an encoded buffer (common difference, 2-bit codes, differences). Throws
/// script::Error when the buffer is too short.
std::vector<std::uint64_t> decode_usdc_integers(std::string_view encoded, std::size_t count,
                                                int width);

/// Decompresses the LZ4 wrapper of crate files (a chunk count byte, then LZ4 blocks) into
/// exactly `size` bytes. Throws script::Error when the data is corrupt or does not fill
/// `size` bytes.
std::string decompress_usdc(std::string_view wrapped, std::size_t size);

}  // namespace script::readers
