// Scene-description bytes, plain or gzip-compressed, through the reader: whatever the bytes
// hold, the read ends, keeps bounded values and never crashes.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "common/console.h"
#include "readers/arnold_ass.h"
#include "readers/arnold_scene.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    script::console().begin_capture();
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    const script::readers::AssContents contents =
        script::readers::read_ass(in, "fuzz.ass", script::readers::arnold_kept_parameters());
    for (const script::readers::AssNode& node : contents.nodes) {
        for (const script::readers::AssValue& value : node.values) {
            (void)script::readers::arnold_tokens_for_expansion(
                script::readers::normalise_arnold_path(value.value));
            (void)script::readers::arnold_search_folders(value.value, "/fuzz");
        }
    }
    script::console().end_capture();
    return 0;
}
