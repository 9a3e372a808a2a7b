#include "tests/support/run_analyser.h"

#include <sys/wait.h>

#include <cstdlib>

namespace script::testing {

RunResult run_analyser(const TempDir& dir, const std::string& arguments, const std::string& prefix)
{
    const std::string command = prefix + "'" + ANALYSER_BIN_DIR + "/katana-analyse' " + arguments + " >'" +
                                dir.file("out.txt") + "' 2>'" + dir.file("err.txt") + "'";
    const int raw = std::system(command.c_str());
    RunResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = read_text(dir.file("out.txt"));
    result.err = read_text(dir.file("err.txt"));
    return result;
}

}  // namespace script::testing
