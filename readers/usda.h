#pragma once

// The USD text layer format: a "#usda 1.0" header line, then layer metadata in
// parentheses and prims with their metadata, properties and variant sets. Asset paths are
// written between "@" signs (or "@@@" when they hold "@") and are never strings; comments
// and strings are whole tokens, so an "@" inside them names nothing.
// https://openusd.org/release/api/sdf_page_front.html

#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "readers/usd_layer.h"

namespace script::readers {

/// Reads a text layer from `in` (through a fixed buffer, so a layer of any size needs
/// little memory) and returns every external file it authors, in file order: sublayers,
/// references and payloads (every list operation, inside variants too), asset values
/// (attribute defaults, time samples, metadata, dictionaries), value clip templates, and
/// the quoted paths of "custom string geom..." and "custom string delta..." attributes.
/// Internal references (no asset path) name no file. Malformed text never throws: what was
/// read before the fault is returned and `error` is "source_name:line: what is wrong".
UsdLayer read_usda(std::istream& in, std::string_view source_name);
/// The same over a layer's whole text, in memory.
UsdLayer read_usda(std::string_view text, std::string_view source_name);

/// The asset paths written between "@" signs in a piece of layer text, such as a value a
/// crate layer keeps as text, in order and as authored. Comments and strings name nothing;
/// what follows a fault in the text is not read.
std::vector<std::string> usda_asset_paths(std::string_view text);

}  // namespace script::readers
