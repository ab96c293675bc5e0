#!/usr/bin/python3
"""The change between two surveys from Python, with the toolkit's module.

    PYTHONPATH=build/python /usr/bin/python3 examples/python_change.py BEFORE AFTER OUT

Runs dem_change's own code on BEFORE and AFTER (any GDAL raster), writes
OUT_2D.tif and OUT_3D.tif (d = AFTER - BEFORE) and prints the net volumes
of both differences from the budget it returns.
"""
import sys

import skarnovelt


def main(argv):
    if len(argv) != 4:
        sys.exit(__doc__)
    before, after, out = argv[1:]
    try:
        budget = skarnovelt.change(before, after, out, lod=0.1)
    except skarnovelt.SkarnoveltError as e:
        sys.exit(str(e))
    for b in budget["budgets"]:
        net = b["net"]
        print(f"{b['difference']}: net {net['volume_m3']:.3f} m3 over {net['area_m2']:.1f} m2 "
              f"(AFTER - BEFORE, {net['cells']} cells)")


if __name__ == "__main__":
    main(sys.argv)
