// Text layer bytes through the text layer reader: tokens, brackets and asset paths are
// followed whatever the bytes hold, and a fault ends in the layer's error, never a crash.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "common/console.h"
#include "readers/usda.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    script::console().begin_capture();
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::istringstream in(bytes);
    const script::readers::UsdLayer streamed = script::readers::read_usda(in, "fuzz.usda");
    // Read from memory, the same bytes give the same layer.
    const script::readers::UsdLayer in_memory =
        script::readers::read_usda(std::string_view(bytes), "fuzz.usda");
    if (in_memory.refs != streamed.refs || in_memory.path_text != streamed.path_text ||
        in_memory.owner_text != streamed.owner_text || in_memory.error != streamed.error ||
        in_memory.version != streamed.version) {
        std::abort();
    }
    script::console().end_capture();
    return 0;
}
