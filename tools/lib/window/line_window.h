// The 3 × 3 neighbourhood of the cells of a grid read by lines: the lines
// walked in order, three at a time, each handed over with the line above
// and the line below it; or, for lines a pass holds in memory, a line with
// the lines around it (neighbour_lines) and the nine values of a window
// (window_values).
//
// One rule for the edges: beyond the frame there is no line (above is null
// on the first line, below on the last: neighbour_lines, for the walk and
// the passes alike) and no column (c − 1 < 0, c + 1 ≥ nb_col). One rule
// for nodata: a cell without data holds NaN (or is flagged). A kernel on
// the neighbourhood (BEFORE's slope and curvature in stable_error.h, the
// reference's gradient of the co-registration, the learned σ of the change
// pass) decides what it does with a neighbour that is missing either way.
//
// Memory of the walk: three lines, whatever the number of lines.
#ifndef LINE_WINDOW_H
#define LINE_WINDOW_H

#include <cmath>
#include <type_traits>

// A line of a frame with its neighbours: above and below null beyond the
// frame (above on line 0, below on the last line).
template <typename T> struct NeighbourLines {
    T *above, *line, *below;
};

// Line l of a frame of nb_lig lines with the lines around it, row(k)
// giving a pointer to line k: the one rule for the frame's first and last
// lines, the walk below and the passes over lines held in memory alike.
template <typename Row>
auto neighbour_lines(int l, int nb_lig, Row row) -> NeighbourLines<std::remove_pointer_t<decltype(row(l))>>
{
    return {l > 0 ? row(l - 1) : nullptr, row(l), l + 1 < nb_lig ? row(l + 1) : nullptr};
}

// The 9 values of the 3 × 3 window at column j of lines with both
// neighbours (0 < j < nb_col − 1), line by line from the top left:
// window[3 (dl + 1) + dc + 1] is the value at line offset dl, column j + dc.
template <typename T> void window_values(const NeighbourLines<T> &lines, int j, std::remove_const_t<T> window[9])
{
    const T *rows[3] = {lines.above, lines.line, lines.below};
    for (int r = 0; r < 3; ++r)
        for (int dc = -1; dc <= 1; ++dc)
            window[3 * r + dc + 1] = rows[r][j + dc];
}

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
        if (l >= 0) {
            const NeighbourLines<const Line> lines = neighbour_lines(
                l, nb_lig, [&](int m) -> const Line * { return m < l ? prev : m > l ? next : cur; });
            visit(l, lines.above, *lines.line, lines.below);
        }
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
