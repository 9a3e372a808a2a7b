#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "host/host.h"

namespace script {

using Json = nlohmann::ordered_json;

/// The callable entry: analyses `file` into the job folder named by `task` (its text form;
/// on Windows a folder name under "C:/RovevoDodi/Project/"). A requested process end
/// propagates as script::ProcessExit.
void main(host::Host& host, const std::string& file, const Json& task);

/// Same, with the standalone host; outside script mode the scene document is loaded
/// before the analysis, as a host would already have it.
void main(const std::string& file, const Json& task);

/// The executable: parses the command line, runs the analysis and returns the exit status.
int run_command_line(int argc, char** argv);

}  // namespace script
