// Fur cache bytes through the cache reader: blocks are found, decoded and scanned for
// file parameters whatever the bytes hold.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "common/console.h"
#include "readers/yeti.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    script::console().begin_capture();
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    (void)script::readers::read_yeti_cache(in, "fuzz.fur");
    script::console().end_capture();
    return 0;
}
