#include "driver/check_flow.h"

#include "common/platform.h"
#include "common/pypath.h"

namespace script {

std::string program_file_name()
{
    return pypath::basename(platform::program_path());
}

void fail_wrapped_step(const std::string& func_name, const std::string& what)
{
    print_line(what);
    print_line(k_bang_line);
    end_process(1, "[ERROR] failed: " + program_file_name() + "  " + func_name);
}

} // namespace script
