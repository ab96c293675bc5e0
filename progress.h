// A progress line on standard error for the long stages of a run (loading,
// conversion, differences): the stage and its percentage, redrawn a few
// times a second at most and erased when the stage ends. Shown only when
// standard error is a terminal; otherwise every call does nothing, so the
// console dialogue and the files written never change.
#ifndef PROGRESS_H
#define PROGRESS_H

// Starts a stage of `total` steps (lines of a frame).
void progress_begin(const char *stage, long long total);
// Reports that `done` steps of the current stage are finished.
void progress_step(long long done);
// Erases the progress line.
void progress_end();

#endif
