"""dem_change by tiles on a dask.distributed cluster.

    import skarnovelt.dask
    budget = skarnovelt.dask.change("before.tif", "after.tif", "slide", chunks=2048)

Each task reads one tile of both surveys and the cells around it with GDAL
(no process holds the whole grid), runs dem_change's own pass over the
tile's cells (the C++ of skarnovelt's module), writes the tile's 2D and 3D
differences as GeoTIFFs and returns the tile's budget as exact words. The
run merges those budgets exactly (any order gives the same bytes), assembles
the tiles as OUT_2D.vrt and OUT_3D.vrt (or, with ``single_file=True``, one
tiled GeoTIFF each, OUT_2D.tif and OUT_3D.tif, written by GDAL from the
tiles) and writes the JSON that dem_change writes for the same inputs. The
sign is dem_change's: d = AFTER - BEFORE.
"""

import json as _json
import os
import re
import shutil
import tempfile

from osgeo import gdal

from . import SkarnoveltError, _skarnovelt

# dem_change's options that a tiled run takes; the others (errors,
# classes, distributions, pictures, alignment, resampling) need the whole
# grid in one pass: dem_change itself, skarnovelt.change().
TILED_OPTIONS = ("band_before", "band_after", "unit_before", "unit_after", "z_scale_before", "z_scale_after",
                 "pixel", "lod", "type", "compress", "level", "co", "threads")


def _failure(error):
    return SkarnoveltError("dem_change", 1, "dem_change: " + str(error))


def _tile_task(options, tile, out_2D, out_3D):
    """A cluster's task: one tile's differences written, its PartialBudget."""
    try:
        return _skarnovelt.change_tile(options, *tile, out_2D, out_3D)
    except (RuntimeError, ValueError) as e:
        raise _failure(e) from None


def _base(out):
    """OUT without a final .tif or .tiff, as dem_change names its outputs."""
    out = os.fspath(out)
    root, ext = os.path.splitext(out)
    return root if ext.lower() in (".tif", ".tiff") and os.path.basename(root) else out


def tiles(lines, columns, chunks):
    """The tiles (line, column, lines, columns) of a grid, by rows, for chunks
    of chunks cells on a side (an int, or (lines, columns))."""
    tl, tc = (chunks, chunks) if isinstance(chunks, int) else (int(chunks[0]), int(chunks[1]))
    if tl < 1 or tc < 1:
        raise ValueError("chunks: at least one cell on a side")
    return [(i, j, min(tl, lines - i), min(tc, columns - j)) for i in range(0, lines, tl)
            for j in range(0, columns, tc)]


def _vsimem_text(path):
    f = gdal.VSIFOpenL(path, "rb")
    try:
        gdal.VSIFSeekL(f, 0, 2)
        size = gdal.VSIFTellL(f)
        gdal.VSIFSeekL(f, 0, 0)
        return gdal.VSIFReadL(1, size, f).decode("utf-8")
    finally:
        gdal.VSIFCloseL(f)


def _mosaic(paths, name, nodata):
    """A VRT of the tiles (absolute paths), in GDAL's memory: its path. Its
    nodata value written as the shortest text that reads back exactly
    (GDAL's own text of float64's lowest value reads back as -inf)."""
    vrt = f"/vsimem/skarnovelt-{os.getpid()}-{id(paths)}-{name}.vrt"
    ds = gdal.BuildVRT(vrt, paths)
    if ds is None:
        raise _failure(f"cannot assemble the tiles of {name}: {gdal.GetLastErrorMsg()}")
    ds = None
    text = re.sub(r"<NoDataValue>[^<]*</NoDataValue>", f"<NoDataValue>{nodata!r}</NoDataValue>", _vsimem_text(vrt))
    gdal.FileFromMemBuffer(vrt, text.encode("utf-8"))
    return vrt


def _old_tile_folders(vrt_path, prefix):
    """The tile folders an earlier run's VRT at vrt_path uses (to remove once
    this run's outputs replace it)."""
    try:
        with open(vrt_path, encoding="utf-8") as f:
            text = f.read()
    except OSError:
        return set()
    return set(re.findall(r'relativeToVRT="1">(' + re.escape(prefix) + r'[A-Za-z0-9_]+)/', text))


def change(before, after, out, chunks=2048, client=None, *, workers=None, single_file=False, json=None, **options):
    """dem_change BEFORE AFTER OUT by tiles on a dask.distributed cluster.

    chunks: cells on a side of a tile (an int, or (lines, columns)); tiles
    of a few thousand cells keep each task's memory to some tens of MB.
    client: a dask.distributed Client (any cluster: ``Client("tcp://host:8786")``
    for a scheduler; the workers must import skarnovelt and see the inputs
    and OUT's folder at the same paths); None starts a LocalCluster of
    ``workers`` processes (default: the cores) of one thread each, closed
    at the end.
    single_file: one tiled GeoTIFF per difference (OUT_2D.tif, OUT_3D.tif)
    instead of a VRT over the tiles (OUT_2D.vrt, OUT_3D.vrt, whose tiles
    lie in the folder OUT_tiles_XXXXXXXX beside them).
    json: also write the budget there, as dem_change writes it.
    options: dem_change's band_before, band_after, unit_before,
    unit_after, z_scale_before, z_scale_after, pixel, lod, type, compress,
    level, co (a list), threads (each task's compression threads).

    The outputs (rasters and JSON) are put in place together once all are
    complete, through the companions' output transaction: a run that fails
    leaves the earlier outputs as they were. Returns the budget as the
    dictionary of dem_change's JSON. Raises SkarnoveltError.
    """
    unknown = sorted(set(options) - set(TILED_OPTIONS))
    if unknown:
        raise SkarnoveltError("dem_change", 2, "dem_change: a tiled run takes none of " + ", ".join(unknown) +
                              " (they need the whole grid in one pass: skarnovelt.change); it takes " +
                              ", ".join(TILED_OPTIONS))
    run = {k: v for k, v in options.items() if v is not None}
    run["before"], run["after"] = os.fspath(before), os.fspath(after)
    # The workers' working folders may be others: they get absolute paths
    # (the report names the inputs as given).
    task = dict(run, before=os.path.abspath(run["before"]), after=os.path.abspath(run["after"]))
    try:
        grid = _skarnovelt.open_pair(run)
    except (RuntimeError, ValueError) as e:
        raise _failure(e) from None
    base = _base(out)
    folder = os.path.dirname(base) or "."
    ext = ".tif" if single_file else ".vrt"
    targets = {"2D": base + "_2D" + ext, "3D": base + "_3D" + ext}
    layout = tiles(grid["lines"], grid["columns"], chunks)
    try:
        transaction = _skarnovelt.OutputTransaction(base, [run["before"], run["after"]])
        staged = {k: transaction.stage(t) for k, t in targets.items()}
        if json:
            transaction.stage(os.fspath(json))
    except RuntimeError as e:
        raise _failure(e) from None
    prefix = os.path.basename(base) + "_tiles_"
    tile_folder = os.path.abspath(tempfile.mkdtemp(prefix=prefix, dir=folder))
    own_cluster = None
    futures = []
    try:
        if client is None:
            from distributed import Client, LocalCluster
            own_cluster = LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                                       processes=True, dashboard_address=None)
            client = Client(own_cluster)
        names = [(os.path.join(tile_folder, f"2D_{t[0]}_{t[1]}.tif"), os.path.join(tile_folder, f"3D_{t[0]}_{t[1]}.tif"))
                 for t in layout]
        futures = [client.submit(_tile_task, task, t, n2, n3, pure=False) for t, (n2, n3) in zip(layout, names)]
        from distributed import as_completed
        total = None
        for future in as_completed(futures):
            part = future.result()
            if total is None:
                total = part
            else:
                total.merge(part)
        mosaics = {k: _mosaic([n[m] for n in names], k, grid["nodata"]) for m, k in enumerate(("2D", "3D"))}
        try:
            for k, vrt in mosaics.items():
                if single_file:
                    options_tif = ["TILED=YES", "BIGTIFF=IF_SAFER"] + list(grid["creation_options"])
                    ds = gdal.Translate(staged[k], vrt, format="GTiff", creationOptions=options_tif)
                    if ds is None:
                        raise _failure(f"cannot write {targets[k]}: {gdal.GetLastErrorMsg()}")
                    ds = None
                else:
                    # Paths of the tiles relative to the VRT's folder.
                    text = _vsimem_text(vrt).replace('relativeToVRT="0">' + tile_folder + os.sep,
                                                     'relativeToVRT="1">' + os.path.basename(tile_folder) + "/")
                    transaction.write_text(targets[k], text)
        finally:
            for vrt in mosaics.values():
                gdal.Unlink(vrt)
        text = _skarnovelt.tiles_json(run, total, targets["2D"], targets["3D"])
        if json:
            transaction.write_text(os.fspath(json), text)
        earlier = set()
        if not single_file:
            for t in targets.values():
                earlier |= _old_tile_folders(t, prefix)
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(tile_folder, 0o777 & ~umask)
        transaction.commit()
    except BaseException as e:
        transaction.abandon()
        # No task may still be writing a tile when their folder goes.
        from distributed import wait
        if futures and isinstance(e, Exception):
            wait(futures)
        elif futures:
            client.cancel(futures)
        shutil.rmtree(tile_folder, ignore_errors=True)
        if isinstance(e, (RuntimeError, ValueError)) and not isinstance(e, SkarnoveltError):
            raise _failure(e) from None
        raise
    finally:
        if own_cluster is not None:
            client.close()
            own_cluster.close()
    if single_file:
        shutil.rmtree(tile_folder, ignore_errors=True)
    else:
        for name in earlier - {os.path.basename(tile_folder)}:
            shutil.rmtree(os.path.join(folder, name), ignore_errors=True)
    return _json.loads(text)


def _own_peak():
    """This process's peak resident memory, bytes: VmHWM where Linux keeps it
    (the process's own, from its start), else the resource usage's (which on
    Linux also counts what a process had before it started this program)."""
    import resource
    import sys
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return kib if sys.platform == "darwin" else kib * 1024


def _own_cpu():
    import resource
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime, usage.ru_stime


def worker_peak_memory(client):
    """Each worker's peak resident memory (bytes), by its address."""
    return client.run(_own_peak)


def worker_cpu_time(client):
    """Each worker's user and system time so far (s), by its address."""
    return client.run(_own_cpu)
