// dem_coreg as a function of its command line, for its main
// (dem_coreg_main.cpp) and for the Python module.
#ifndef DEM_COREG_PROGRAM_H
#define DEM_COREG_PROGRAM_H

// Runs dem_coreg on argv[0..argc-1] (argv[0] the program's name): the
// outputs, the figures on standard output, the messages on standard error;
// returns the exit status. The caller starts the host layer (host_start).
int dem_coreg_program(int argc, char **argv);

#endif
