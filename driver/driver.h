#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/host.h"

namespace script {

using Json = nlohmann::ordered_json;

/// Loading the module, once per process (later calls do nothing): appends the working
/// directory, when it exists, to the module search path. Scene descriptions and USD layers
/// are read by the analyser's own readers, so no optional scripting module is looked for.
void load_module();

/// The callable entry: analyses `file` into the job folder named by `task` (its text form;
/// on Windows a folder name under "C:/RovevoDodi/Project/"). A requested process end
/// propagates as script::ProcessExit.
void main(host::Host& host, const std::string& file, const Json& task);

/// Same, with the standalone host; outside script mode the scene document is loaded
/// before the analysis, as a host would already have it.
void main(const std::string& file, const Json& task);

/// The main program inside a host: `argv` as the host hands it over (argument zero is the
/// program as started), `host_program` the file name of the running host executable, printed
/// in lower case. In script mode the scene is loaded through `host`; otherwise the host
/// already holds it. Returns the exit status: 0 after the finish flag, 2 with the usage on
/// the error stream for fewer than three arguments, 1 or 555 for a run ended early, with its
/// report on the error stream.
int run_main_program(host::Host& host, const std::vector<std::string>& argv,
                     const std::string& host_program);

/// The executable: parses the command line, runs the analysis and returns the exit status.
int run_command_line(int argc, char** argv);

}  // namespace script
