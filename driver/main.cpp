#include "driver/driver.h"

int main(int argc, char** argv)
{
    return script::run_command_line(argc, argv);
}
