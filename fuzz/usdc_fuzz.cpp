// Crate layer bytes through the crate reader: sections, offsets, counts and compressed
// blocks are checked against the data, and a fault ends in the layer's error, never a crash.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "common/console.h"
#include "readers/usdc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    script::console().begin_capture();
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    (void)script::readers::read_usdc(in, "fuzz.usdc");
    script::console().end_capture();
    return 0;
}
