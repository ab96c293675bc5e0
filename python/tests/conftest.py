"""What the Python tests share: the programs as built, and small surveys
written with GDAL (nodata inside the grid and on its edges)."""
import os
import sys

import numpy as np
from osgeo import gdal

gdal.UseExceptions()

DEM_CHANGE = os.environ.get("DEM_CHANGE", "dem_change")
DEM_COREG = os.environ.get("DEM_COREG", "dem_coreg")
NODATA = -9999.0


def write_dem(path, heights, nodata=NODATA):
    """A float32 GeoTIFF on a 2 m projected grid (UTM 33N)."""
    ds = gdal.GetDriverByName("GTiff").Create(str(path), heights.shape[1], heights.shape[0], 1, gdal.GDT_Float32)
    ds.SetGeoTransform((500000.0, 2.0, 0.0, 6000000.0, 0.0, -2.0))
    ds.SetProjection("EPSG:32633")
    band = ds.GetRasterBand(1)
    band.SetNoDataValue(nodata)
    band.WriteArray(heights)
    ds = None


def survey_pair(folder, lines=23, columns=31, seed=5):
    """before.tif and after.tif in folder: a slope and its change, nodata
    cells scattered, in a run across the grid and on its border."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:lines, 0:columns]
    before = (100 + 0.3 * x + 0.2 * y + rng.normal(0, 0.05, (lines, columns))).astype(np.float32)
    after = (before + rng.normal(0, 0.5, before.shape)).astype(np.float32)
    before[5, 7] = NODATA
    after[11, 15] = NODATA
    after[16, 3:20] = NODATA
    before[:, 0][::3] = NODATA
    after[0, 10] = NODATA
    write_dem(os.path.join(folder, "before.tif"), before)
    write_dem(os.path.join(folder, "after.tif"), after)
    return before, after
