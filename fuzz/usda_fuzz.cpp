// Text layer bytes through the text layer reader: tokens, brackets and asset paths are
// followed whatever the bytes hold, and a fault ends in the layer's error, never a crash.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "common/console.h"
#include "readers/usda.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    script::console().begin_capture();
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    (void)script::readers::read_usda(in, "fuzz.usda");
    script::console().end_capture();
    return 0;
}
