// Bytes through the layer model's text rules: the encoding told by the first bytes, the
// file part of an authored asset path and the evaluation of a variable expression.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "readers/usd_layer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)script::readers::detect_usd_encoding(text.substr(0, script::readers::k_usd_magic_size));
    (void)script::readers::usd_file_part(text);
    if (script::readers::is_usd_expression(text)) {
        const std::map<std::string, std::string> variables = {{"SHOT", "s010"}, {"ROOT", "/show"}};
        (void)script::readers::evaluate_usd_expression(text, variables);
    }
    return 0;
}
