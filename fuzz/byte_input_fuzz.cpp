// Bytes through the file input the scene-description reader uses: plain or gzip (several
// members, corrupt or cut short), read in small uneven pieces, never past the content.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "readers/byte_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    script::readers::ByteInput input(in);
    char buffer[97];
    std::size_t piece = 1;
    while (const std::size_t n = input.read(buffer, piece)) {
        if (n > piece)
            __builtin_trap();
        piece = piece % sizeof buffer + 1;
    }
    return 0;
}
