#include "driver/process_exit.h"

namespace script {

void end_process(int status, std::string message)
{
    throw ProcessExit(status, std::move(message));
}

} // namespace script
