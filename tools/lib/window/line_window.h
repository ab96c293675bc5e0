// The 3 × 3 neighbourhood of the cells of a grid read by lines: the lines
// walked in order, three at a time, each handed over with the line above
// and the line below it.
//
// One rule for the edges: beyond the frame there is no line (above is null
// on the first line, below on the last) and no column (c − 1 < 0, c + 1 ≥
// nb_col). One rule for nodata: a cell without data holds NaN (or is
// flagged). A kernel on the neighbourhood (BEFORE's slope and curvature in
// stable_error.h, the reference's gradient of the co-registration) decides
// what it does with a neighbour that is missing either way.
//
// Memory: three lines, whatever the number of lines.
#ifndef LINE_WINDOW_H
#define LINE_WINDOW_H

#include <cmath>

// Reads lines 0 … nb_lig − 1 in order into a ring of three of the
// caller's lines (read(k, Line *) fills line k; false stops the walk) and
// hands each line l, once the line below it has been read, to
// visit(l, above, line, below), above and below null beyond the frame.
// Returns false when a read failed (its error is the caller's).
template <typename Line, typename Read, typename Visit>
bool walk_line_windows(int nb_lig, Line ring[3], Read read, Visit visit)
{
    Line *prev = &ring[0], *cur = &ring[1], *next = &ring[2];
    for (int k = 0; k <= nb_lig; ++k) {
        if (k < nb_lig && !read(k, next))
            return false;
        const int l = k - 1; // cur holds line l, prev line l − 1, next line l + 1
        if (l >= 0)
            visit(l, l > 0 ? static_cast<const Line *>(prev) : nullptr, static_cast<const Line &>(*cur),
                  k < nb_lig ? static_cast<const Line *>(next) : nullptr);
        Line *spare = prev;
        prev = cur;
        cur = next;
        next = spare;
    }
    return true;
}

// The step of a bounded sample on a regular pattern: one cell in step ×
// step (the cells at offset step / 2 of each), so that a grid of cells
// cells gives at most about max_cells (1 when it holds fewer, or when
// max_cells is 0: every cell).
inline int sample_step(long long cells, long long max_cells)
{
    if (max_cells <= 0 || cells <= max_cells)
        return 1;
    return static_cast<int>(std::ceil(std::sqrt(static_cast<long double>(cells) / max_cells)));
}

#endif
