#!/usr/bin/python3
"""The change between two surveys by tiles on a Dask cluster, and one block
of it on NumPy arrays, with the toolkit's module.

    PYTHONPATH=build/python /usr/bin/python3 examples/python_dask_change.py BEFORE AFTER OUT \
        [--scheduler tcp://HOST:8786] [--workers N] [--chunks CELLS] [--single-file]

Runs dem_change's own pass by tiles of CELLS x CELLS (2048 by default) on
the cluster of the scheduler given, or on a LocalCluster of N worker
processes: writes OUT_2D.vrt and OUT_3D.vrt over the tiles (OUT_2D.tif and
OUT_3D.tif with --single-file) and OUT_budget.json, dem_change's JSON, and
prints the net volumes (d = AFTER - BEFORE). Then works out the block of 100
x 100 cells at the grid's centre from arrays read with GDAL and prints its
own net volume.
"""
import argparse
import sys

from osgeo import gdal

import skarnovelt
import skarnovelt.dask


def centre_block(before, after, size=100):
    """The block of size x size cells at the centre, read with the cells
    around it, through skarnovelt.change_block."""
    b, a = gdal.Open(before), gdal.Open(after)
    lines, columns = b.RasterYSize, b.RasterXSize
    line, column = max(0, lines // 2 - size // 2), max(0, columns // 2 - size // 2)
    n, m = min(size, lines - line), min(size, columns - column)
    l0, c0 = max(line - 1, 0), max(column - 1, 0)
    l1, c1 = min(line + n + 1, lines), min(column + m + 1, columns)
    window = (c0, l0, c1 - c0, l1 - l0)
    heights = [d.GetRasterBand(1).ReadAsArray(*window) for d in (b, a)]
    nodata = [d.GetRasterBand(1).GetNoDataValue() for d in (b, a)]
    r = skarnovelt.change_block(heights[0], heights[1], nodata[0], nodata[1], geotransform=b.GetGeoTransform(),
                                position=(l0, c0), frame=(lines, columns), block=(line - l0, column - c0, n, m))
    return (line, column, n, m), r


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("before")
    p.add_argument("after")
    p.add_argument("out")
    p.add_argument("--scheduler", help="address of a dask.distributed scheduler (default: a LocalCluster)")
    p.add_argument("--workers", type=int, help="worker processes of the LocalCluster (default: the cores)")
    p.add_argument("--chunks", type=int, default=2048, help="cells on a side of a tile")
    p.add_argument("--single-file", action="store_true", help="one GeoTIFF per difference instead of a VRT")
    a = p.parse_args()
    client = None
    if a.scheduler:
        from distributed import Client
        client = Client(a.scheduler)
    try:
        budget = skarnovelt.dask.change(a.before, a.after, a.out, chunks=a.chunks, client=client, workers=a.workers,
                                        single_file=a.single_file, json=a.out + "_budget.json")
    except skarnovelt.SkarnoveltError as e:
        sys.exit(str(e))
    finally:
        if client is not None:
            client.close()
    for b in budget["budgets"]:
        net = b["net"]
        print(f"{b['difference']}: net {net['volume_m3']:.3f} m3 over {net['area_m2']:.1f} m2 "
              f"(AFTER - BEFORE, {net['cells']} cells)")
    (line, column, n, m), block = centre_block(a.before, a.after)
    net = block.budget.budget()["3D"]["net"]
    print(f"block of lines {line}..{line + n - 1}, columns {column}..{column + m - 1}: 3D net "
          f"{net['volume_m3']:.3f} m3 over {net['cells']} cells; without a 3D difference: {block.counts['no_3D']}")


if __name__ == "__main__":
    main()
