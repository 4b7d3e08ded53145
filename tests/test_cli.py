"""The `rastrel` command end to end on GeoTIFFs made here: bands found by description, by number or
one file per band, several indices in one pass, nodata, the cloud-optimised layout, a raster
larger than the memory the process may use, and the exit statuses of mistakes."""
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

rasterio = pytest.importorskip("rasterio")

import rastrel_tools as rt  # noqa: E402
from rastrel_testing import UNDER_SANITIZER, assert_bits_equal, random_band  # noqa: E402
from rasterio.transform import from_origin  # noqa: E402
from rastrel_tools.cli import blocks, main  # noqa: E402

ROWS, COLS = 700, 1100
TRANSFORM = from_origin(500000.0, 5300000.0, 10.0, 10.0)
ROLES = ("blue", "green", "red", "nir")


@pytest.fixture(scope="module")
def bands():
    rng = np.random.default_rng(21)
    return {role: random_band(rng, (ROWS, COLS)) for role in ROLES}


def write_tif(path, planes, descriptions=None, nodata=None, block=256, dtype="uint16"):
    with rasterio.open(path, "w", driver="GTiff", width=planes[0].shape[1],
                       height=planes[0].shape[0], count=len(planes), dtype=dtype,
                       crs="EPSG:32633", transform=TRANSFORM, nodata=nodata, tiled=True,
                       blockxsize=block, blockysize=block) as dst:
        dst.write(np.stack(planes))
        if descriptions:
            dst.descriptions = tuple(descriptions)
    return str(path)


@pytest.fixture
def scene(tmp_path, bands):
    return write_tif(tmp_path / "scene.tif", [bands[r] for r in ROLES], ROLES)


@pytest.fixture(autouse=True)
def small_windows(monkeypatch):
    # Several windows per raster, some cut by its edges.
    monkeypatch.setattr(blocks, "WINDOW_PIXELS", 1 << 16)


def calc(*args):
    status = main(["calc", *map(str, args)])
    assert status == 0
    return status


def expected(name, bands):
    return rt.compile(name).evaluate(bands)


def test_several_indices_in_one_pass_carry_the_grid(scene, tmp_path, bands, capsys):
    calc("NDVI,NDWI,EVI,wet=(green - nir) / 2", scene, "-o", tmp_path / "out.tif")
    with rasterio.open(tmp_path / "out.tif") as out:
        assert out.count == 4 and out.dtypes == ("float32",) * 4
        assert out.descriptions == ("NDVI", "NDWI", "EVI", "wet")
        assert out.crs == "EPSG:32633" and out.transform == TRANSFORM
        assert np.isnan(out.nodata) and out.block_shapes[0] == (512, 512)
        assert out.tags(4)["formula"] == "(green - nir) / 2"
        for band, name in enumerate(("NDVI", "NDWI", "EVI"), 1):
            assert_bits_equal(out.read(band), expected(name, bands))
        assert_bits_equal(out.read(4), rt.compile("(green - nir) / 2").evaluate(bands))
    assert capsys.readouterr().err == ""  # no progress bar when standard error is no terminal


@pytest.mark.parametrize("how", ["descriptions", "numbers", "files by option",
                                 "files by description", "files by name", "sensor"])
def test_the_bands_found_every_way(how, tmp_path, bands):
    out = tmp_path / "ndvi.tif"
    if how == "sensor":
        scene = write_tif(tmp_path / "s.tif", [bands["red"], bands["nir"]], ["B04", "B08"])
        calc("NDVI", scene, "--sensor", "sentinel2-l2a", "-o", out)
        with rasterio.open(out) as result:
            want = rt.compile("NDVI", sensor="sentinel2-l2a").evaluate(B04=bands["red"],
                                                                       B08=bands["nir"])
            assert_bits_equal(result.read(1), want)
        return
    if how == "descriptions":
        calc("NDVI", write_tif(tmp_path / "s.tif", [bands["red"], bands["nir"]],
                               ["Red", "NIR"]), "-o", out)
    elif how == "numbers":
        scene = write_tif(tmp_path / "s.tif", [bands[r] for r in ROLES])
        calc("NDVI", scene, "--band", "nir=4", "--band", "red=3", "-o", out)
    elif how == "files by option":
        red = write_tif(tmp_path / "r.tif", [bands["red"]])
        nir = write_tif(tmp_path / "n.tif", [bands["nir"], bands["blue"]])
        calc("NDVI", "--band", f"red={red}", "--band", f"nir={nir}:1", "-o", out)
    elif how == "files by description":
        red = write_tif(tmp_path / "r.tif", [bands["red"]], ["red"])
        nir = write_tif(tmp_path / "n.tif", [bands["nir"]], ["nir"])
        calc("NDVI", red, nir, "-o", out)
    else:
        red = write_tif(tmp_path / "T33UUP_20240704_red_10m.tif", [bands["red"]])
        nir = write_tif(tmp_path / "T33UUP_20240704_nir_10m.tif", [bands["nir"]])
        calc("NDVI", red, nir, "-o", out)
    with rasterio.open(out) as result:
        assert_bits_equal(result.read(1), expected("NDVI", bands))


def test_one_cloud_optimised_file_per_index(scene, tmp_path, bands):
    calc("NDVI,SR", scene, "--cog", "-o", tmp_path / "{index}.tif")
    for name in ("NDVI", "SR"):
        with rasterio.open(tmp_path / f"{name}.tif") as out:
            assert out.profile["tiled"] and out.block_shapes[0] == (512, 512)
            assert out.compression.name == "deflate"
            assert out.tags(ns="IMAGE_STRUCTURE").get("LAYOUT") == "COG"
            assert out.descriptions == (name,)
            assert_bits_equal(out.read(1), expected(name, bands))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["NDVI.tif", "SR.tif", "scene.tif"]


@pytest.mark.parametrize("nodata_option, invalid", [
    (None, lambda nir, red: (nir == 0) | (red == 0)),  # the file's own nodata
    ("65535", lambda nir, red: (nir == 65535) | (red == 65535)),
    ("none", lambda nir, red: np.zeros(nir.shape, bool)),
])
def test_nodata_becomes_nan(nodata_option, invalid, tmp_path, bands):
    scene = write_tif(tmp_path / "s.tif", [bands["red"], bands["nir"]], ["red", "nir"], nodata=0)
    options = [] if nodata_option is None else ["--nodata", nodata_option]
    calc("NDVI", scene, *options, "-o", tmp_path / "ndvi.tif")
    want = expected("NDVI", bands)
    want[invalid(bands["nir"], bands["red"])] = np.nan
    with rasterio.open(tmp_path / "ndvi.tif") as out:
        assert_bits_equal(out.read(1), want)


# ---------------------------------------------------------------------------------------------
# Mistakes: one line on standard error, and the exit status of the kind of mistake.


@pytest.mark.parametrize("args, status, message", [
    (["calc", "NVDI", "{scene}", "-o", "{out}"], 3,
     "NVDI: unknown index 'NVDI'; did you mean 'NDVI'?"),
    (["calc", "NDVI", "{missing}", "-o", "{out}"], 4, "{missing}: no such file"),
    (["calc", "BSI", "{scene}", "-o", "{out}"], 4,
     "BSI reads band 'swir1', which the input does not name (its bands: blue, green, nir, "
     "red); give it with --band swir1=NUMBER or swir1=FILE"),
    (["calc", "NDVI", "{scene}"], 2, "the following arguments are required: -o/--output"),
    (["calc", "NDVI", "{scene}", "-o", "{scene}"], 5, "{scene} exists (--overwrite replaces it)"),
])
def test_mistakes_exit_with_their_status(args, status, message, scene, tmp_path, capsys):
    where = {"scene": scene, "out": tmp_path / "o.tif", "missing": tmp_path / "nothing.tif"}
    assert main([arg.format(**where) for arg in args]) == status
    assert capsys.readouterr().err == f"rastrel: error: {message.format(**where)}\n"
    assert not (tmp_path / "o.tif").exists()


def test_threads_that_cannot_start_are_out_of_memory(scene, tmp_path, capsys, monkeypatch):
    def refuse(thread):
        raise RuntimeError("can't start new thread")

    monkeypatch.setattr(threading.Thread, "start", refuse)
    assert main(["calc", "NDVI", str(scene), "-o", str(tmp_path / "o.tif")]) == 7
    assert capsys.readouterr().err == ("rastrel: error: cannot start the reading and writing "
                                       "threads (can't start new thread)\n")
    assert not (tmp_path / "o.tif").exists()


def test_the_catalogue_listed_for_a_files_bands(tmp_path, bands, capsys):
    scene = write_tif(tmp_path / "s.tif", [bands["red"], bands["nir"]], ["red", "nir"])
    assert main(["indices", scene]) == 0
    listed = [line.split()[0] for line in capsys.readouterr().out.splitlines()]
    assert "NDVI" in listed and "EVI" not in listed
    assert listed == [name for name, entry in rt.INDICES.items()
                      if set(entry.bands) <= {"red", "nir"}]


# ---------------------------------------------------------------------------------------------
# A raster larger than the memory the process may use: the data limit is set in a child process
# once everything is imported, to less than the input bands alone.

_LIMITED = textwrap.dedent("""
    import resource, sys
    import numpy as np, rasterio, rastrel
    from rastrel_tools.cli import main
    from rastrel_tools.cli.calc import calc  # imported before the limit
    status = open("/proc/self/status").read()
    used = int(status.split("VmData:")[1].split()[0]) * 1024
    limit = used + int(sys.argv[1])
    resource.setrlimit(resource.RLIMIT_DATA, (limit, limit))
    print(limit, flush=True)
    sys.exit(main(sys.argv[2:]))
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
@pytest.mark.skipif(UNDER_SANITIZER, reason="AddressSanitizer reserves far more address space than the limit")
def test_a_raster_larger_than_the_memory_limit(tmp_path):
    size, rows = 8192, 1024
    path = tmp_path / "big.tif"
    with rasterio.open(path, "w", driver="GTiff", width=size, height=size, count=2,
                       dtype="uint16", crs="EPSG:32633", transform=TRANSFORM, tiled=True,
                       blockxsize=256, blockysize=256, compress="deflate") as dst:
        dst.descriptions = ("red", "nir")
        cols = np.arange(size, dtype=np.int64)[None, :]
        for top in range(0, size, rows):
            at = np.arange(top, top + rows, dtype=np.int64)[:, None]
            planes = np.stack([(at * 7 + cols * 3) % 4000, (at * 5 + cols * 11) % 9000])
            dst.write(planes.astype(np.uint16), window=((top, top + rows), (0, size)))
    result = subprocess.run([sys.executable, "-c", _LIMITED, str(128 << 20), "calc", "NDVI",
                             str(path), "-o", str(tmp_path / "ndvi.tif"), "--compress", "none"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 2 * size * size * 2  # the limit is below the input bands' size
    with rasterio.open(tmp_path / "ndvi.tif") as out:
        for top in (0, 4096, size - 300):
            got = out.read(1, window=((top, top + 300), (0, size)))
            at = np.arange(top, top + 300, dtype=np.int64)[:, None]
            red = ((at * 7 + cols * 3) % 4000).astype(np.uint16)
            nir = ((at * 5 + cols * 11) % 9000).astype(np.uint16)
            assert_bits_equal(got, rt.compile("NDVI")(nir, red))
