#pragma once

// Runs the built katana-analyse executable from a test and collects what it printed.

#include <string>

#include "tests/support/temp_dir.h"

namespace script::testing {

struct RunResult
{
    int status = -1;
    std::string out, err;
};

/// Runs the executable with `arguments` (already quoted for the shell), its output logged
/// into files of `dir`; `prefix` is shell text put before the program (a cd, variables).
RunResult run_analyser(const TempDir& dir, const std::string& arguments, const std::string& prefix = {});

}  // namespace script::testing
