"""skarnovelt: the DEMs of difference of two surveys and their budget, and
the co-registration of one survey onto another, from Python.

change() and coregister() run the programs dem_change and dem_coreg
themselves (their C++ code, in this process): the options are the programs'
long options, with "-" written "_" (``sigma_before=0.3`` for
``--sigma-before 0.3``; ``True`` for a flag; a list for a repeatable option
such as ``co``). change_block() runs dem_change's pass over a block of NumPy
arrays; skarnovelt.dask.change() runs it by tiles on a dask.distributed
cluster. The sign is the programs': d = AFTER - BEFORE.
"""

import collections
import json
import os
import sys
import tempfile

import numpy as np

from . import _skarnovelt

PartialBudget = _skarnovelt.PartialBudget


class SkarnoveltError(RuntimeError):
    """A run that failed, with the program's own message."""

    def __init__(self, program, status, message):
        super().__init__(message.strip() or f"{program} failed with status {status}")
        self.program = program
        self.status = status
        self.message = message

    def __reduce__(self):
        # Raised in a cluster's worker, it reaches the caller pickled.
        return (SkarnoveltError, (self.program, self.status, self.message))


def _command_line(program, positional, options):
    args = [program]
    for name, value in options.items():
        flag = "--" + name.replace("_", "-")
        if value is True:
            args.append(flag)
        elif value is False or value is None:
            continue
        elif isinstance(value, (list, tuple)):
            for v in value:
                args += [flag, str(v)]
        else:
            args += [flag, str(value)]
    return args + [os.fspath(p) for p in positional]


def _run(runner, program, positional, options, json_option="json"):
    """Runs a program with its JSON written (to a temporary file unless the
    caller names one) and returns (its JSON as a dictionary, standard output)."""
    with tempfile.TemporaryDirectory(prefix="skarnovelt-") as scratch:
        options = dict(options)
        if not options.get(json_option):
            options[json_option] = os.path.join(scratch, "budget.json")
        status, out, err = runner(_command_line(program, positional, options))
        if status != 0:
            raise SkarnoveltError(program, status, err)
        if err:
            sys.stderr.write(err)  # the program's warnings
        with open(options[json_option], encoding="utf-8") as f:
            return json.load(f), out


def change(before, after, out, **options):
    """The signed differences AFTER - BEFORE of two DEMs and their budget, as
    ``dem_change BEFORE AFTER OUT`` computes them: writes OUT_2D.tif and
    OUT_3D.tif (and whatever the options ask for) and returns the budget as
    the dictionary of dem_change's JSON. Raises SkarnoveltError with
    dem_change's message when the run fails."""
    budget, _ = _run(_skarnovelt.run_dem_change, "dem_change", [before, after, out], options)
    return budget


def coregister(reference, to_align, out, **options):
    """Aligns TO_ALIGN onto REFERENCE as ``dem_coreg REFERENCE TO_ALIGN OUT``
    does (horizontal shift and vertical bias on stable ground, Nuth and Kääb
    2011) and returns the figures of dem_coreg's JSON as a dictionary.
    Raises SkarnoveltError with dem_coreg's message when the run fails."""
    figures, _ = _run(_skarnovelt.run_dem_coreg, "dem_coreg", [reference, to_align, out], options)
    return figures


BlockChange = collections.namedtuple("BlockChange", "d2 d3 counts budget")
BlockChange.__doc__ = """A block's differences AFTER - BEFORE (float64 arrays, NaN where a cell
has none), its cells without a difference and why (a dictionary), and its
PartialBudget (merge it with the other blocks' into the whole's)."""


def _valid(heights, nodata):
    """1 where a cell holds data: not NaN and not the nodata value (compared in
    the array's own type, as dem_change compares a band's values)."""
    valid = ~np.isnan(heights) if heights.dtype.kind == "f" else np.ones(heights.shape, bool)
    if nodata is not None:
        valid &= heights != heights.dtype.type(nodata)
    return valid.astype(np.uint8)


def change_block(before, after, nodata_before=None, nodata_after=None, *, cell_size=None, geotransform=None,
                 lod=0.0, position=None, frame=None, block=None):
    """dem_change's pass over one block of two DEMs held as NumPy arrays.

    BEFORE and AFTER (2D arrays of heights in metres, the same shape) hold the
    block and the cells around it that its 3 x 3 windows need: one cell on
    each side, except where the block touches the frame's border. Nodata: NaN,
    and the nodata value given (compared in the array's type).

    Without position and frame the arrays have that one-cell halo on every
    side and the block is ``[1:-1, 1:-1]``. With ``position=(line, column)``,
    the frame's line and column of the arrays' first cell, and
    ``frame=(lines, columns)``, the whole grid's size, the frame's border
    rules apply (no 3D difference on its border), and the block is the
    arrays less one cell on each side where they do not reach the frame's
    border, unless ``block=(line, column, lines, columns)`` places it within
    the arrays (a block that ends one cell short of the frame's border, its
    halo on that border). The arrays must hold a cell on each side of the
    block where the frame has one.

    Cell areas: ``geotransform`` (GDAL's six numbers, a projected grid in
    metres: |determinant|) or ``cell_size`` (metres, as dem_change's
    --pixel). ``lod``: the level of detection of the thresholded rows, m.

    Returns BlockChange(d2, d3, counts, budget): the block's 2D and 3D
    differences d = AFTER - BEFORE (NaN where none), computed by dem_change's
    own C++ pass, the counts of its cells without a difference, and its
    PartialBudget, which merges exactly, in any order, with the other
    blocks' into the budget of a whole dem_change run. The interpreter's lock
    is released during the work.
    """
    before = np.asarray(before)
    after = np.asarray(after)
    if before.ndim != 2 or before.shape != after.shape:
        raise ValueError("BEFORE and AFTER must be 2D arrays of the same shape")
    lines, columns = before.shape
    if (position is None) != (frame is None):
        raise ValueError("give both position and frame, or neither")
    if position is None:
        frame_size, at = (lines + 2, columns + 2), (1, 1)
    else:
        frame_size, at = tuple(int(v) for v in frame), tuple(int(v) for v in position)
    if block is None:
        first_line = 0 if at[0] == 0 else 1
        first_column = 0 if at[1] == 0 else 1
        last_line = lines if at[0] + lines == frame_size[0] else lines - 1
        last_column = columns if at[1] + columns == frame_size[1] else columns - 1
    else:
        first_line, first_column = int(block[0]), int(block[1])
        last_line, last_column = first_line + int(block[2]), first_column + int(block[3])
    if (geotransform is None) == (cell_size is None):
        raise ValueError("give the cells' areas by geotransform or by cell_size (one of them)")
    if geotransform is not None:
        transform, has_transform = [float(v) for v in geotransform], True
    else:
        transform, has_transform = [0.0, float(cell_size), 0.0, 0.0, 0.0, -float(cell_size)], False
    try:
        d2, d3, budget = _skarnovelt.change_block(
            before.astype(np.float64, copy=False), after.astype(np.float64, copy=False),
            _valid(before, nodata_before), _valid(after, nodata_after),
            [frame_size[0], frame_size[1], at[0], at[1]],
            [first_line, first_column, last_line - first_line, last_column - first_column],
            transform, has_transform, float(lod))
    except ValueError as e:
        raise SkarnoveltError("dem_change", 1, str(e)) from None
    return BlockChange(d2, d3, budget.counts, budget)
