#include "driver/run_mode.h"

#include <array>
#include <string_view>

#include "common/console.h"
#include "common/pyutil.h"

namespace script {

namespace {

struct ModeFlag
{
    std::string_view flag;
    std::string_view message;
    std::string_view mode;
};

// Tested in this order; the first flag that is set wins.
constexpr std::array<ModeFlag, 4> k_mode_flags = {{
    {"KATANA_UI_MODE", "In UI mode.", "ui"},
    {"KATANA_BATCH_MODE", "In BATCH mode.", "batch"},
    {"KATANA_SHELL_MODE", "In SHELL mode.", "shell"},
    {"KATANA_SCRIPT_MODE", "In SCRIPT mode.", "script"},
}};

constexpr std::string_view k_default_mode = "script";

} // namespace

std::string get_katana_run_model(const host::Host& host)
{
    for (const ModeFlag& flag : k_mode_flags) {
        if (truthy(host.configuration(flag.flag))) {
            print_line(flag.message);
            return std::string(flag.mode);
        }
    }
    return std::string(k_default_mode);
}

} // namespace script
