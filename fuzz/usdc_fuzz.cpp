// Crate layer bytes through the crate reader: sections, offsets, counts and compressed
// blocks are checked against the data, and a fault ends in the layer's error, never a crash.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "common/console.h"
#include "readers/usdc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    script::console().begin_capture();
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::istringstream in(bytes);
    const script::readers::UsdLayer streamed = script::readers::read_usdc(in, "fuzz.usdc");
    // Read from memory, the same bytes give the same layer.
    const script::readers::UsdLayer in_memory =
        script::readers::read_usdc(std::string_view(bytes), "fuzz.usdc");
    if (in_memory.refs != streamed.refs || in_memory.path_text != streamed.path_text ||
        in_memory.owner_text != streamed.owner_text || in_memory.error != streamed.error ||
        in_memory.version != streamed.version) {
        std::abort();
    }
    script::console().end_capture();
    return 0;
}
