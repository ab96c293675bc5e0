#!/usr/bin/python3
"""dem_change by tiles on a dask.distributed LocalCluster against dem_change
itself, on one float32 GeoTIFF pair (by hand, from `make bench`; never a test).

    PYTHONPATH=BUILD/python bench_dask.py --dem-change BUILD/tools/change/dem_change --work DIR [--out DIR]
        [--size 10000x10000] [--chunks 2048] [--workers 1,2] [--keep-data]

Measures, each run once in this order: dem_change --threads 1 and --threads
2 (wall time, the child's user and system time, its peak RSS), then
skarnovelt.dask.change on fresh LocalClusters of 1 and of 2 worker processes
of one thread each (the call's wall time, the cluster's start apart, each
worker's peak RSS and the workers' user and system time during the call),
writing VRTs over the tiles. Prints a Markdown table
and writes bench_dask.csv. The figures: the speed-up of 2 workers over 1,
and the overhead of 1 worker over dem_change --threads 1 (the same single
thread of arithmetic and compression).
"""
import argparse
import csv
import os
import shutil
import subprocess
import sys
import time

import numpy as np
from osgeo import gdal

gdal.UseExceptions()


def make_pair(folder, lines, columns):
    """before.tif and after.tif: float32, tiled, DEFLATE (as bench_change writes
    its pairs), a smooth relief and a noisy change, nodata in a few bands of
    lines and columns; written by blocks of lines."""
    paths = [os.path.join(folder, n) for n in ("before.tif", "after.tif")]
    if all(os.path.exists(p) for p in paths):
        return paths
    options = ["TILED=YES", "COMPRESS=DEFLATE", "BIGTIFF=IF_SAFER"]
    ds = [gdal.GetDriverByName("GTiff").Create(p + ".part", columns, lines, 1, gdal.GDT_Float32, options)
          for p in paths]
    for d in ds:
        d.SetGeoTransform((500000.0, 2.0, 0.0, 6000000.0, 0.0, -2.0))
        d.SetProjection("EPSG:32633")
        d.GetRasterBand(1).SetNoDataValue(-9999.0)
    rng = np.random.default_rng(1)
    x = np.arange(columns)
    for first in range(0, lines, 512):
        n = min(512, lines - first)
        y = np.arange(first, first + n)[:, None]
        before = (500 + 0.01 * x + 20 * np.sin(x / 300.0) * np.cos(y / 250.0)).astype(np.float32)
        after = (before + rng.normal(0, 0.3, before.shape)).astype(np.float32)
        before[(y % 1777 == 5).ravel(), :] = -9999.0
        after[:, x % 2311 == 7] = -9999.0
        ds[0].GetRasterBand(1).WriteArray(before, 0, first)
        ds[1].GetRasterBand(1).WriteArray(after, 0, first)
    ds = None
    for p in paths:
        os.replace(p + ".part", p)
    return paths


def peak_of(pid):
    """A running process's peak resident memory so far (VmHWM, bytes)."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def run_dem_change(program, threads, work):
    """dem_change's wall, user and system time, and its peak RSS read from
    /proc every 20 ms (the resource usage of a child of this process would
    count this interpreter's memory, which the child held before its exec)."""
    start = time.perf_counter()
    child = subprocess.Popen([program, "--threads", str(threads), "--json", "cli.json", "before.tif", "after.tif",
                              "cli"], cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    peak = 0
    while True:
        peak = max(peak, peak_of(child.pid))
        pid, status, usage = os.wait4(child.pid, os.WNOHANG)
        if pid != 0:
            break
        time.sleep(0.02)
    wall = time.perf_counter() - start
    if status != 0:
        sys.exit(f"dem_change failed: {child.stderr.read().decode()}")
    return {"run": f"dem_change --threads {threads}", "wall_s": wall, "user_s": usage.ru_utime,
            "sys_s": usage.ru_stime, "peak_mib": [peak / 2**20]}


def run_dask(workers, chunks, work):
    import skarnovelt.dask
    from distributed import Client, LocalCluster
    start = time.perf_counter()
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        started = time.perf_counter() - start
        cpu_before = skarnovelt.dask.worker_cpu_time(client)
        cwd = os.getcwd()
        os.chdir(work)
        try:
            start = time.perf_counter()
            skarnovelt.dask.change("before.tif", "after.tif", "dask", chunks=chunks, client=client,
                                   json="dask.json", threads=1)
            wall = time.perf_counter() - start
        finally:
            os.chdir(cwd)
        peaks = skarnovelt.dask.worker_peak_memory(client)
        cpu = skarnovelt.dask.worker_cpu_time(client)
    # The workers' time during the run (their start and imports left out).
    user = sum(cpu[k][0] - cpu_before[k][0] for k in cpu)
    system = sum(cpu[k][1] - cpu_before[k][1] for k in cpu)
    return {"run": f"dask, {workers} worker{'s' if workers > 1 else ''}, tiles {chunks}", "wall_s": wall,
            "user_s": user, "sys_s": system, "cluster_start_s": started,
            "peak_mib": [peaks[k] / 2**20 for k in sorted(peaks)]}


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--dem-change", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--out", default=".")
    p.add_argument("--size", default="10000x10000")
    p.add_argument("--chunks", type=int, default=2048)
    p.add_argument("--workers", default="1,2")
    p.add_argument("--keep-data", action="store_true")
    a = p.parse_args()
    lines, columns = (int(v) for v in a.size.split("x"))
    work = os.path.join(a.work, f"dask-{lines}x{columns}")
    os.makedirs(work, exist_ok=True)
    os.makedirs(a.out, exist_ok=True)
    start = time.perf_counter()
    # Written by a child process: GDAL's block cache would otherwise swell
    # this one, and every process it starts.
    subprocess.run([sys.executable, __file__, "--make-pair", work, f"{lines}x{columns}"], check=True)
    print(f"{lines} x {columns} pair written in {time.perf_counter() - start:.1f} s", flush=True)
    rows = [run_dem_change(a.dem_change, t, work) for t in (1, 2)]
    for workers in (int(w) for w in a.workers.split(",")):
        rows.append(run_dask(workers, a.chunks, work))
        print(f"  {rows[-1]['run']}: {rows[-1]['wall_s']:.1f} s", flush=True)
    # The same budget as dem_change's, but for the outputs' names.
    with open(os.path.join(work, "cli.json")) as f, open(os.path.join(work, "dask.json")) as g:
        same = f.read().replace("cli_2D.tif", "dask_2D.vrt").replace("cli_3D.tif", "dask_3D.vrt") == g.read()
    print(f"\nBudget JSON equal to dem_change's (but for the outputs' names): {same}\n")
    base = rows[0]["wall_s"]
    print(f"| {lines} x {columns} | wall s | user s | sys s | peak RSS MiB (each worker) | wall / dem_change --threads 1 |")
    print("|---|--:|--:|--:|--:|--:|")
    for r in rows:
        f = lambda v: "" if v is None else f"{v:.1f}"
        print(f"| {r['run']} | {r['wall_s']:.1f} | {f(r['user_s'])} | {f(r['sys_s'])} | "
              f"{', '.join(f'{m:.0f}' for m in r['peak_mib'])} | {r['wall_s'] / base:.2f} |")
    dask_rows = [r for r in rows if r["run"].startswith("dask")]
    if len(dask_rows) >= 2:
        print(f"\nSpeed-up of {a.workers.split(',')[-1]} workers over 1: {dask_rows[0]['wall_s'] / dask_rows[-1]['wall_s']:.2f}; "
              f"1 worker over dem_change --threads 1: {dask_rows[0]['wall_s'] / base:.2f} of its time; "
              "clusters started in " + ", ".join(f"{r['cluster_start_s']:.1f}" for r in dask_rows) + " s (not counted)")
    with open(os.path.join(a.out, "bench_dask.csv"), "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["lines", "columns", "run", "wall_s", "user_s", "sys_s", "peak_mib"])
        for r in rows:
            w.writerow([lines, columns, r["run"], r["wall_s"], r["user_s"], r["sys_s"],
                        " ".join(f"{m:.1f}" for m in r["peak_mib"])])
    if not a.keep_data:
        shutil.rmtree(work)
    if not same:
        sys.exit("the tiled run's budget differs from dem_change's")


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--make-pair":
        make_pair(sys.argv[2], *(int(v) for v in sys.argv[3].split("x")))
    else:
        main()
