// dem_change as a function of its command line: what the program does,
// for its main (dem_change_main.cpp) and for the Python module, which
// hands it the options as the command line would give them.
#ifndef DEM_CHANGE_PROGRAM_H
#define DEM_CHANGE_PROGRAM_H

// Runs dem_change on argv[0..argc-1] (argv[0] the program's name): the
// outputs, the table on standard output, the messages on standard error;
// returns the exit status. The caller starts the host layer (host_start).
int dem_change_program(int argc, char **argv);

#endif
