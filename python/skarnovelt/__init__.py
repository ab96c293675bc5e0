"""skarnovelt: the DEMs of difference of two surveys and their budget, and
the co-registration of one survey onto another, from Python.

Both calls run the programs dem_change and dem_coreg themselves (their C++
code, in this process): the options are the programs' long options, with
"-" written "_" (``sigma_before=0.3`` for ``--sigma-before 0.3``; ``True``
for a flag; a list for a repeatable option such as ``co``). The sign is the
programs': d = AFTER - BEFORE.
"""

import json
import os
import sys
import tempfile

from . import _skarnovelt


class SkarnoveltError(RuntimeError):
    """A run that failed, with the program's own message."""

    def __init__(self, program, status, message):
        super().__init__(message.strip() or f"{program} failed with status {status}")
        self.program = program
        self.status = status


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
