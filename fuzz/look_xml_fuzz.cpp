// Look documents through the XML reader: well-formedness checks, the walk below the root
// and the path tests of every attribute value. Malformed text must fail as a parse error
// naming the document, nothing else.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/console.h"
#include "common/errors.h"
#include "readers/look_xml.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    script::console().begin_capture();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        for (const script::readers::LookXmlValue& found :
             script::readers::read_look_xml(text, "fuzz.xml")) {
            if (found.kind == script::readers::LookXmlValue::Kind::RelativeCache) {
                (void)script::readers::relative_cache_path("/show/look/fuzz.xml", found.value);
            }
        }
    } catch (const script::ParseError&) {
    }
    script::console().end_capture();
    return 0;
}
