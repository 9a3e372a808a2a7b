#pragma once

#include <string>

#include "host/host.h"

namespace script {

/// The host's run mode: "ui", "batch", "shell" or "script" (also when no flag is set),
/// testing the mode flags in that order and printing the mode found.
std::string get_katana_run_model(const host::Host& host);

}  // namespace script
