// dem_coreg's main: the host layer started, the allocator told to keep freed
// memory (tool_support.h), then the program.
#include "dem_coreg_program.h"
#include "host.h"
#include "tool_support.h"

int main(int argc, char **argv)
{
    host_start();
    keep_freed_memory();
    return dem_coreg_program(argc, argv);
}
