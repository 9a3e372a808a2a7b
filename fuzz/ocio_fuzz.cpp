// Configuration text through the search-path reader: the key line, its inline value or
// list, variables and relative folders, whatever the bytes hold.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/console.h"
#include "readers/ocio.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    script::console().begin_capture();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)script::readers::ocio_search_folders(text, "/show/ocio");
    script::console().end_capture();
    return 0;
}
