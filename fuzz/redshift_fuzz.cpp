// The Redshift tool's listing, line by line as the proxy reader takes it from the tool's
// output: decoding (strict UTF-8) and the dependency path of each line.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/console.h"
#include "common/errors.h"
#include "readers/redshift.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    script::console().begin_capture();
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view raw = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        try {
            (void)script::readers::dependency_path(script::readers::decode_tool_line(raw));
        } catch (const script::Error&) {
        }
    }
    script::console().end_capture();
    return 0;
}
