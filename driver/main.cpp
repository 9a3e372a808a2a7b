#include "common/platform.h"
#include "driver/driver.h"

int main(int argc, char** argv)
{
    script::platform::tune_heap_for_run();
    script::platform::set_run_ends_process(true);
    return script::run_command_line(argc, argv);
}
