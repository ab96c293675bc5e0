// What the tool needs from its host: where DEM folders lie, the single-key
// read used for pauses, safe replacement of files, the memory the host can
// give, and the clean end of a run (temporary files removed, terminal
// restored) also when the run is interrupted.
#ifndef HOST_H
#define HOST_H

#include <cstdio>
#include <string>

// Base directory under which the DEM folders lie, ending with the separator:
// "c:\images\" on Windows, "images/" (relative to the working directory)
// elsewhere, unless the build chose another one.
const char *base_directory();
// Separator placed between a folder name and a file name.
const char *path_separator();

// Installs the handlers that, on Ctrl-C, a termination request, the loss of
// the terminal, Ctrl-\, a closed output (SIGPIPE) or a file-size limit
// (SIGXFSZ), restore the terminal and remove the run's temporary files before
// the process dies of that signal, and sets the arithmetic's precision
// (set_extended_precision).
void host_start();

// Between hold_signals and release_signals no catchable signal takes effect:
// one that arrives waits until release_signals, so that steps done in
// between (the renames of a set of results) happen all or not at all.
void hold_signals();
void release_signals();

// Expressions are evaluated in long double, which on x86 is the x87 unit
// with its 64-bit significand; but the unit rounds every result to the
// significand its control word selects, and some runtimes start with 53 bits
// (MinGW's with CRT_fp8.o, MSVCRT's _fpreset, FreeBSD on i386), which would
// round each intermediate result to double. Selects the 64-bit significand
// and rounding to nearest for the rest of the run. Returns true when they
// were already selected, false when they had to be set. Nothing to do on
// other processors.
bool set_extended_precision();

// The pause: flushes standard output, then waits for one key press without
// echo when standard input is a terminal (the terminal is left as it was
// found), or consumes one character of standard input otherwise (nothing at
// its end), so that a scripted run never blocks. The key is discarded.
void getch();

// Temporary files of the run: removed by end_run and by the interrupt
// handlers unless forgotten first (once they have replaced their targets).
void register_temp_file(const std::string &path);
void forget_temp_file(const std::string &path);
// Removes one temporary file now (its lock released first, which Windows
// needs) and forgets it.
void discard_temp_file(const std::string &path);
void remove_temp_files();
// A folder of the run's temporary files (a private folder of its outputs):
// removed after the files, by end_run and the interrupt handlers, when it
// is empty by then (a later run removes what a killed one left).
void register_temp_folder(const std::string &path);
void forget_temp_folder(const std::string &path);
// True when path is still the temporary file this run created under that
// name: a regular file, the same device and inode as the one it holds. A
// name swapped for another file or a link since its creation is not.
bool is_own_temp_file(const std::string &path);

// Ends the run with the given exit status: flushes the console and removes
// the temporary files still registered (on Windows, which cannot remove an
// open file, after closing every stream but the standard ones).
[[noreturn]] void end_run(int status);

// Creates a temporary file beside target (same folder, so that it can
// replace target by a rename), registered for removal. Its name is short
// and unpredictable ("skarnovelt-" and eight random letters, ".tmp"); it is
// created exclusively, so that nothing already under that name, a link
// least of all, is ever opened, with the permissions of any new file of the
// user. The run holds a lock on it while it is a temporary file, and the
// first creation in a folder removes the temporary files of that pattern no
// live run holds (left by killed runs). Null, errno set, on failure.
FILE *create_temp_file(const std::string &target, const char *mode, std::string *temp_path);
// Creates a file that does not exist yet (nothing under its name, not even a
// link) and opens it for writing. Null, errno set (EEXIST when the name is
// taken), on failure.
FILE *create_new_file(const std::string &path, const char *mode);
// Opens an existing regular file for reading, without waiting on a FIFO.
// Null on failure, errno set; *not_regular tells that the name exists but is
// not a regular file (folder, FIFO, device).
FILE *open_regular_file(const std::string &path, const char *mode, bool *not_regular);
// What keeps a named input from being read as a file, "" when nothing
// does: a FIFO or a socket (reading it would wait for a writer for ever), a
// device. Names that are not in the file system (GDAL's /vsi paths) and
// folders (some raster formats are folders) are left to the reader.
std::string input_file_problem(const std::string &path);
// True when both paths name the same file: the same text, or the same
// existing file reached another way.
bool same_file(const std::string &a, const std::string &b);

// Writes the stream's buffers and asks the host to put them on disk.
bool flush_to_disk(FILE *f);
// Renames from over to, replacing an existing file of that name in one step.
// A temporary file of the run is renamed only while it is still the file
// the run created (is_own_temp_file); otherwise nothing is renamed and
// errno is EEXIST.
bool replace_file(const std::string &from, const std::string &to);

// Memory the host can give this process now, in bytes: the physical memory
// available, or less when a limit on the process (address space, data)
// leaves less. 0 when it cannot be told.
unsigned long long available_memory();

#endif
