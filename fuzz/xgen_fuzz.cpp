// Collection bytes through the collection reader: blocks, value patterns, variable
// expansion and archive groups run over whatever the bytes hold; nothing touches the disk
// or the environment.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "common/console.h"
#include "readers/xgen.h"

namespace {

class DiscardingSink final : public script::readers::XgenSink
{
public:
    void variable(const std::string&, const std::string&) override {}
    void candidates(const std::vector<std::string>&) override {}
    void archives(const std::vector<script::readers::XgenArchive>&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    script::console().begin_capture();
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    DiscardingSink sink;
    // A small line limit lets the fuzzer reach the long-line path.
    script::readers::read_xgen(in, "fuzz.xgen", sink, 512);
    script::console().end_capture();
    return 0;
}
