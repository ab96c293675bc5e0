// The one way a companion program puts its outputs in place: every output
// of a run (rasters, pictures, JSON, CSV, report, sidecars) is written into
// a private folder that the run creates in the target's folder (mode 0700,
// so that nobody else can enter it and swap a name that GDAL reopens), and
// only once all are complete are they moved onto their targets, together,
// with the signals held. A failure on the way restores every target it had
// already replaced, so that a run leaves either its whole set or the
// earlier files.
//
// Also: a lock on the run's base name (a second run writing the same OUT
// stops with a message), every target checked before the work starts (its
// folder exists and can be written, it is not a folder, not an input, not
// named twice), each staged file checked before its rename to be the very
// file the run created (same device and inode, a regular file), and the
// private folders of killed runs removed by the next run in that folder.
//
// On Windows, which has neither mode bits nor these locks, the outputs are
// the host's temporary files beside their targets (created exclusively and
// held open, so that nobody deletes or renames them), renamed together with
// the console signals held; no lock on OUT, no put-back of a failed set.
#ifndef OUTPUT_SET_H
#define OUTPUT_SET_H

#include <string>
#include <vector>

struct StagedOutput {
    std::string target; // where it goes
    std::string staged; // where the run writes it
    unsigned long long device = 0, inode = 0;
};

struct PrivateFolder {
    std::string folder;  // the target folder, with its separator ("" for the working folder)
    std::string path;    // the private folder in it
    std::string lock;    // its lock file, held while the run lives
    int lock_fd = -1;
};

struct OutputSet {
    std::string program;
    std::vector<std::string> inputs;       // no output may be one of them
    std::vector<PrivateFolder> folders;
    std::vector<StagedOutput> outputs;
    std::vector<std::string> scratch;      // working files (Windows: beside their target)
    std::string base_lock;                 // lock of the run's base name
    int base_lock_fd = -1;

    OutputSet() = default;
    OutputSet(const OutputSet &) = delete;
    OutputSet &operator=(const OutputSet &) = delete;
    ~OutputSet(); // abandons what was not committed: no way out of a run leaves a staged file
};

// Starts the set: takes the lock of base (OUT, the name every output
// derives from), failing with a message naming it when another run holds
// it. inputs are the files the run reads.
bool begin_outputs(const std::string &base, const std::vector<std::string> &inputs, OutputSet *set,
                   std::string *error);

// Declares an output and gives the path to write it at, in the private
// folder of its target's folder, created empty (so that its inode is the
// run's) and registered for removal on interruption. Fails when the target
// cannot be an output: its folder missing or not writable, the target a
// folder or an input, or already declared.
bool stage_output(OutputSet *set, const std::string &target, std::string *staged, std::string *error);

// Withdraws a declared output the run turns out not to write (a picture of
// a model that could not be fitted): its staged file is removed, its target
// left as it is.
void drop_output(OutputSet *set, const std::string &target);

// The staged path of a declared target ("" when not declared).
std::string staged_path(const OutputSet &set, const std::string &target);

// Writes the whole text (or bytes) of a declared output at its staged path.
bool write_staged_text(const OutputSet &set, const std::string &target, const std::string &text, std::string *error);

// A file of the run's own in the private folder beside near (a working
// raster, a picture drawn only for the report), created empty; never put
// in place, removed with the folder.
bool stage_scratch(OutputSet *set, const std::string &near, const std::string &name, std::string *path,
                   std::string *error);

// Puts every staged file on disk, checks that each is the file the run
// created, and moves them all onto their targets with the signals held;
// on any failure the targets are as they were and *error says why. The
// private folders and the lock are removed in either case.
bool commit_outputs(OutputSet *set, std::string *error);

// Removes everything staged, the private folders and the lock; the targets
// are left as they were. Safe to call more than once.
void abandon_outputs(OutputSet *set);

#endif
