// dem_change's main: the host layer started, then the program.
#include "dem_change_program.h"
#include "host.h"

int main(int argc, char **argv)
{
    host_start();
    return dem_change_program(argc, argv);
}
