"""dem_change by blocks: the array API and the tiled run on a dask.distributed
cluster against whole dem_change runs of the same inputs."""
import itertools
import json
import math
import os
import pickle
import subprocess

import numpy as np
import pytest
from osgeo import gdal

import skarnovelt
import skarnovelt.dask
from conftest import DEM_CHANGE, NODATA, write_dem

LINES, COLUMNS = 300, 250


def cli(args, cwd):
    r = subprocess.run([DEM_CHANGE, "--threads", "1"] + args, cwd=cwd, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    return r


def raster(path):
    ds = gdal.Open(str(path))
    band = ds.GetRasterBand(1)
    return band.ReadAsArray().astype(np.float64), band.GetNoDataValue(), ds.GetGeoTransform()


@pytest.fixture(scope="module")
def surveys(tmp_path_factory):
    """A 300 x 250 pair with nodata across the edges of the tiles used below
    (lines 63/64, 99/100; columns 56/57, 99/100), at a tile corner, on the
    frame's border and scattered; and dem_change's own run of it in cli/
    (float32) and cli64/ (float64, the differences exactly)."""
    root = tmp_path_factory.mktemp("surveys")
    rng = np.random.default_rng(11)
    y, x = np.mgrid[0:LINES, 0:COLUMNS]
    before = (300 + 0.4 * x - 0.25 * y + 3 * np.sin(x / 17.0) + rng.normal(0, 0.05, (LINES, COLUMNS))).astype(np.float32)
    after = (before + rng.normal(0, 0.4, before.shape)).astype(np.float32)
    after[120:140, 60:90] -= 5.0
    before[63:65, 10:200] = NODATA          # across the edge of tiles 64 lines high
    after[30:250, 56:58] = NODATA           # across the edge of tiles 57 columns wide
    before[99:101, 98:102] = NODATA         # a corner of tiles of 100
    after[99, 150] = NODATA
    before[0, ::7] = NODATA                 # the frame's border
    after[:, COLUMNS - 1][::5] = NODATA
    before[rng.integers(0, LINES, 200), rng.integers(0, COLUMNS, 200)] = NODATA
    write_dem(root / "before.tif", before)
    write_dem(root / "after.tif", after)
    for folder, extra in (("cli", []), ("cli64", ["--type", "float64"])):
        (root / folder).mkdir()
        cli(extra + ["--lod", "0.2", "--json", "budget.json", "../before.tif", "../after.tif", "out"], root / folder)
    return root


def run_dask(root, name, chunks, workers, by_address=False, **options):
    """skarnovelt.dask.change in root/name, named as dem_change was in cli/;
    the client connected to the cluster's scheduler by its address, as to a
    cluster started elsewhere, when by_address."""
    (root / name).mkdir()
    cwd = os.getcwd()
    os.chdir(root / name)
    try:
        from distributed import Client, LocalCluster
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
                Client(cluster.scheduler_address if by_address else cluster) as client:
            assert len(client.scheduler_info()["workers"]) == workers
            budget = skarnovelt.dask.change("../before.tif", "../after.tif", "out", chunks=chunks, client=client,
                                            lod=0.2, json="budget.json", **options)
    finally:
        os.chdir(cwd)
    return budget


def assert_same_cells(ours, theirs):
    a, nodata_a, gt_a = raster(ours)
    b, nodata_b, gt_b = raster(theirs)
    assert gt_a == gt_b and nodata_a == nodata_b and a.shape == b.shape
    assert np.array_equal(a, b), np.argwhere(a != b)[:5]


def test_two_workers_uneven_tiles_give_dem_change_cells_and_json(surveys):
    budget = run_dask(surveys, "dask2", (64, 57), 2)
    for k in ("2D", "3D"):
        assert_same_cells(surveys / "dask2" / f"out_{k}.vrt", surveys / "cli" / f"out_{k}.tif")
    ours = (surveys / "dask2" / "budget.json").read_text()
    theirs = (surveys / "cli" / "budget.json").read_text()
    # The outputs' names are the one difference: VRTs instead of GeoTIFFs.
    assert '"2D": "out_2D.vrt"' in ours and '"3D": "out_3D.vrt"' in ours
    assert ours.replace("out_2D.vrt", "out_2D.tif").replace("out_3D.vrt", "out_3D.tif") == theirs
    assert budget == json.loads(ours)
    assert budget["nodata_cells"]["2D"] > 0 and budget["budgets"][1]["net"]["cells"] > 0
    # No tile of the grid was left out, none counted twice.
    assert budget["cells"] == LINES * COLUMNS
    tiles = [f for f in os.listdir(surveys / "dask2") if f.startswith("out_tiles_")]
    assert len(tiles) == 1 and len(os.listdir(surveys / "dask2" / tiles[0])) == 2 * 5 * 5


@pytest.mark.parametrize("workers, chunks", [(1, 100), (3, (37, 128))])
def test_one_and_three_workers_one_file_each_give_dem_change_bytes(surveys, workers, chunks):
    name = f"dask{workers}"
    run_dask(surveys, name, chunks, workers, by_address=workers == 3, single_file=True, type="float64")
    for k in ("2D", "3D"):
        assert_same_cells(surveys / name / f"out_{k}.tif", surveys / "cli64" / f"out_{k}.tif")
    # One GeoTIFF per difference: the JSON is dem_change's, byte for byte,
    # and no tile is left.
    assert (surveys / name / "budget.json").read_bytes() == (surveys / "cli64" / "budget.json").read_bytes()
    assert sorted(os.listdir(surveys / name)) == ["budget.json", "out_2D.tif", "out_3D.tif"]


def blocks(lines, columns, cuts_l, cuts_c):
    edges_l = [0] + cuts_l + [lines]
    edges_c = [0] + cuts_c + [columns]
    return [(a, c, b - a, d - c) for a, b in zip(edges_l, edges_l[1:]) for c, d in zip(edges_c, edges_c[1:])]


def test_array_blocks_give_the_cells_and_budget_of_a_whole_run(surveys):
    before, nodata, gt = raster(surveys / "before.tif")
    after, _, _ = raster(surveys / "after.tif")
    d2_cli, out_nodata, _ = raster(surveys / "cli64" / "out_2D.tif")
    d3_cli, _, _ = raster(surveys / "cli64" / "out_3D.tif")
    whole = json.loads((surveys / "cli64" / "budget.json").read_text())
    total = skarnovelt.PartialBudget()
    for line, column, n, m in blocks(LINES, COLUMNS, [1, 64, 170], [57, 100, 249]):
        l0, c0 = max(line - 1, 0), max(column - 1, 0)
        l1, c1 = min(line + n + 1, LINES), min(column + m + 1, COLUMNS)
        r = skarnovelt.change_block(before[l0:l1, c0:c1], after[l0:l1, c0:c1], nodata, nodata, geotransform=gt,
                                    lod=0.2, position=(l0, c0), frame=(LINES, COLUMNS),
                                    block=(line - l0, column - c0, n, m))
        for ours, theirs in ((r.d2, d2_cli), (r.d3, d3_cli)):
            cells = theirs[line:line + n, column:column + m]
            assert ours.shape == (n, m)
            assert np.array_equal(np.isnan(ours), cells == out_nodata)
            assert np.array_equal(ours[~np.isnan(ours)], cells[cells != out_nodata])
        assert r.counts["cells"] == n * m
        total.merge(r.budget)
    c = total.counts
    assert c["cells"] == whole["cells"]
    assert [c["nodata_before"], c["nodata_after"], c["no_2D"], c["no_3D"]] == \
        [whole["nodata_cells"][k] for k in ("before", "after", "2D", "3D")]
    assert [c["no_3D_cell"], c["no_3D_border"], c["no_3D_window"]] == \
        [whole["cells_without_3D"][k] for k in ("nodata_at_cell", "frame_border", "window_incomplete")]
    rows = total.budget()
    for b, name in zip(whole["budgets"], ("2D", "3D")):
        for ours, theirs in (("lowering", "lowering"), ("raising", "raising"), ("net", "net"),
                             ("raising_detected", "raising_detected")) if "raising_detected" in b else \
                (("lowering", "lowering"), ("raising", "raising"), ("net", "net")):
            assert rows[name][ours]["cells"] == b[theirs]["cells"]
            assert rows[name][ours]["volume_m3"] == b[theirs]["volume_m3"]
            assert rows[name][ours]["area_m2"] == b[theirs]["area_m2"]
    assert rows["2D_all_cells"]["net"]["volume_m3"] == whole["net_2D_all_cells"]["volume_m3"]
    # A block with its halo on every side (no position): the inner cells.
    r = skarnovelt.change_block(before[99:160, 49:120], after[99:160, 49:120], nodata, nodata, geotransform=gt)
    assert np.array_equal(np.nan_to_num(r.d3, nan=out_nodata), d3_cli[100:159, 50:119])


def test_blocks_refuse_a_window_without_the_cells_around_them(surveys):
    before, nodata, gt = raster(surveys / "before.tif")
    with pytest.raises(skarnovelt.SkarnoveltError, match="cells around the block"):
        # Lines 10 .. 19 as the block's window, said to start at line 10 of the
        # frame, leaves its first line without the line above it.
        skarnovelt.change_block(before[10:20, :], before[10:20, :], nodata, nodata, geotransform=gt,
                                position=(10, 0), frame=(LINES, COLUMNS), block=(0, 0, 9, COLUMNS))
    with pytest.raises(ValueError, match="not of one run"):
        part = skarnovelt.change_block(before[:5, :5], before[:5, :5], cell_size=1.0).budget
        part.merge(skarnovelt.change_block(before[:5, :5], before[:5, :5], cell_size=2.0).budget)
    with pytest.raises(ValueError, match="by geotransform or by cell_size"):
        skarnovelt.change_block(before[:5, :5], before[:5, :5])


def test_budgets_merge_exactly_in_any_order():
    """Parts whose volumes cancel across many magnitudes (a sum in scan order
    loses the small ones): every order of merging, and the parts handed over
    pickled, give the same words, and the net is the correctly rounded sum of
    the cells' volumes."""
    d = np.array([1e16, 1.0, -1e16, 3e-9, 2.5e300, 1e-300, -2.5e300, 7.0, 1.0, -1e16, 1e16, 0.5] * 3)
    cells = d.size
    before = np.zeros((3, cells + 2))
    after = before.copy()
    after[1, 1:-1] = d
    parts = []
    for k in range(1, cells + 1, 6):
        window = slice(k - 1, k + 7)
        parts.append(skarnovelt.change_block(before[:, window], after[:, window], cell_size=1.0).budget)
    parts = [pickle.loads(pickle.dumps(p)) for p in parts]
    words = None
    for order in itertools.islice(itertools.permutations(range(len(parts))), 0, 720, 7):
        total = skarnovelt.PartialBudget()
        for k in order:
            total.merge(parts[k])
        if words is None:
            words = total.words()
        assert total.words() == words
    net = total.budget()["3D"]["net"]
    assert net["cells"] == cells
    # Each cell's 2D difference is d (3 lines: the middle one's cells); its
    # volume d x 1 m2; the net their exact sum rounded once.
    assert total.budget()["2D"]["net"]["volume_m3"] == math.fsum(d)
    whole = skarnovelt.change_block(before, after, cell_size=1.0)
    assert whole.budget.words() == words


def test_a_failed_run_leaves_the_earlier_outputs(tmp_path):
    lines, columns = 40, 30
    heights = np.full((lines, columns), 100.0)
    write_dem(tmp_path / "before.tif", heights)
    write_dem(tmp_path / "after.tif", heights + 1)
    out = tmp_path / "out"
    first = skarnovelt.dask.change(tmp_path / "before.tif", tmp_path / "after.tif", out, chunks=16, workers=1,
                                   json=tmp_path / "budget.json")
    assert first["budgets"][0]["net"]["volume_m3"] == 4.0 * (lines - 2) * (columns - 2)
    earlier = {name: (tmp_path / name).read_bytes() for name in ("out_2D.vrt", "out_3D.vrt", "budget.json")}
    listing = sorted(os.listdir(tmp_path))
    # A difference beyond float32 fails in a tile's task.
    ds = gdal.GetDriverByName("GTiff").Create(str(tmp_path / "huge.tif"), columns, lines, 1, gdal.GDT_Float64)
    ds.SetGeoTransform((500000.0, 2.0, 0.0, 6000000.0, 0.0, -2.0))
    ds.SetProjection("EPSG:32633")
    ds.GetRasterBand(1).WriteArray(heights + np.where(np.arange(columns) == 20, 1e300, 0.0))
    ds = None
    with pytest.raises(skarnovelt.SkarnoveltError, match="dem_change: .*huge|fit|float32"):
        skarnovelt.dask.change(tmp_path / "before.tif", tmp_path / "huge.tif", out, chunks=16, workers=1,
                               json=tmp_path / "budget.json")
    assert sorted(os.listdir(tmp_path)) == sorted(listing + ["huge.tif"])
    for name, text in earlier.items():
        assert (tmp_path / name).read_bytes() == text
    assert np.array_equal(raster(out.with_name("out_2D.vrt"))[0][1:-1, 1:-1], np.ones((lines - 2, columns - 2)))
    with pytest.raises(skarnovelt.SkarnoveltError, match="takes none of sigma_before"):
        skarnovelt.dask.change(tmp_path / "before.tif", tmp_path / "after.tif", out, sigma_before=0.1)


def test_a_grid_in_degrees_has_each_lines_areas_in_every_tile(tmp_path):
    """Cell areas per line (a grid in degrees): the tiles' lines are the
    frame's, so the budget is dem_change's to the byte."""
    lines, columns = 61, 70
    rng = np.random.default_rng(3)
    for name, shift in (("before.tif", 0.0), ("after.tif", 1.0)):
        ds = gdal.GetDriverByName("GTiff").Create(str(tmp_path / name), columns, lines, 1, gdal.GDT_Float32)
        ds.SetGeoTransform((10.0, 0.01, 0.0, 47.0, 0.0, -0.01))
        ds.SetProjection("EPSG:4326")
        ds.GetRasterBand(1).SetNoDataValue(NODATA)
        ds.GetRasterBand(1).WriteArray((500 + shift * rng.normal(0, 1, (lines, columns))).astype(np.float32))
        ds = None
    (tmp_path / "cli").mkdir()
    cli(["--lod", "0.2", "--json", "budget.json", "../before.tif", "../after.tif", "out"], tmp_path / "cli")
    run_dask(tmp_path, "dask", (17, 23), 1, single_file=True)
    assert (tmp_path / "dask" / "budget.json").read_bytes() == (tmp_path / "cli" / "budget.json").read_bytes()
    assert json.loads((tmp_path / "cli" / "budget.json").read_text())["grid"]["geographic"] is True
