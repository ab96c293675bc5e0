// The memory a run of the tool takes for a frame, counted the way the
// allocation library hands it out, so that a frame the host cannot hold is
// refused before anything is allocated.
#ifndef RUN_MEMORY_H
#define RUN_MEMORY_H

// Bytes the allocation library takes for one block of n bytes: a header
// and 16-byte alignment for small blocks, whole pages for large ones (glibc's
// layout; other hosts' allocators are alike within a few bytes a block).
unsigned long long block_cost(unsigned long long n);

// Bytes of a matrix of nb_lig rows of nb_col values of elem_size bytes
// (NRUTIL: a table of row pointers, one block per row, at least one value).
unsigned long long matrix_cost(int nb_lig, int nb_col, unsigned long long elem_size);

// Peak of what a run allocates for its frame: the six frame matrices for the
// whole run, plus the largest of what comes and goes beside them (the 2-byte
// staging matrix of reading and writing, the line buffers of the conversion
// and of the difference pass on the fast path), plus the buffers of the
// streams.
unsigned long long run_memory_estimate(int nb_lig, int nb_col);

#endif
