"""The module's calls against the programs run as built: the same bytes."""
import json
import os
import subprocess

import pytest

import skarnovelt
from conftest import DEM_CHANGE, DEM_COREG, write_dem, survey_pair


def run_program(program, args, cwd):
    return subprocess.run([program] + args, cwd=cwd, capture_output=True, text=True)


def test_change_gives_dem_change_bytes(tmp_path):
    survey_pair(tmp_path)
    (tmp_path / "cli").mkdir()
    (tmp_path / "py").mkdir()
    options = ["--threads", "1", "--lod", "0.2", "--sigma-before", "0.1", "--sigma-after", "0.2",
               "--correlation-range", "20", "--csv", "budget.csv", "--json", "budget.json"]
    r = run_program(DEM_CHANGE, options + ["../before.tif", "../after.tif", "out"], tmp_path / "cli")
    assert r.returncode == 0, r.stderr
    os.chdir(tmp_path / "py")
    budget = skarnovelt.change("../before.tif", "../after.tif", "out", threads=1, lod=0.2, sigma_before=0.1,
                               sigma_after=0.2, correlation_range=20, csv="budget.csv", json="budget.json")
    for name in ["out_2D.tif", "out_3D.tif", "budget.csv", "budget.json"]:
        assert (tmp_path / "py" / name).read_bytes() == (tmp_path / "cli" / name).read_bytes(), name
    assert budget == json.loads((tmp_path / "cli" / "budget.json").read_text())
    assert budget["budgets"][0]["net"]["cells"] > 0


def test_change_returns_the_budget_without_a_json_file(tmp_path):
    survey_pair(tmp_path)
    budget = skarnovelt.change(tmp_path / "before.tif", tmp_path / "after.tif", tmp_path / "out", threads=1)
    assert not (tmp_path / "budget.json").exists()
    assert {b["difference"] for b in budget["budgets"]} == {"2D", "3D"}
    assert (tmp_path / "out_2D.tif").exists()


def test_errors_carry_the_programs_messages(tmp_path):
    survey_pair(tmp_path)
    with pytest.raises(skarnovelt.SkarnoveltError, match="cannot open it as a raster"):
        skarnovelt.change(tmp_path / "missing.tif", tmp_path / "after.tif", tmp_path / "out")
    with pytest.raises(skarnovelt.SkarnoveltError, match="give both --sigma-before and --sigma-after"):
        skarnovelt.change(tmp_path / "before.tif", tmp_path / "after.tif", tmp_path / "out", sigma_before=0.1)
    with pytest.raises(skarnovelt.SkarnoveltError, match="--not-an-option"):
        skarnovelt.change(tmp_path / "before.tif", tmp_path / "after.tif", tmp_path / "out", not_an_option=1)
    assert not (tmp_path / "out_2D.tif").exists()


def test_coregister_gives_dem_coreg_bytes(tmp_path):
    survey_pair(tmp_path)
    (tmp_path / "cli").mkdir()
    (tmp_path / "py").mkdir()
    r = run_program(DEM_COREG, ["--json", "fit.json", "--force", "../before.tif", "../after.tif", "aligned.tif"],
                    tmp_path / "cli")
    assert r.returncode == 0, r.stderr
    os.chdir(tmp_path / "py")
    figures = skarnovelt.coregister("../before.tif", "../after.tif", "aligned.tif", json="fit.json", force=True)
    for name in ["aligned.tif", "fit.json"]:
        assert (tmp_path / "py" / name).read_bytes() == (tmp_path / "cli" / name).read_bytes(), name
    assert figures == json.loads((tmp_path / "cli" / "fit.json").read_text())
