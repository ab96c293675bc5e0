// dem_coreg's main: the host layer started, then the program.
#include "dem_coreg_program.h"
#include "host.h"

int main(int argc, char **argv)
{
    host_start();
    return dem_coreg_program(argc, argv);
}
