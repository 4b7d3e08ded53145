"""xarray in and out: DataArrays (NumPy- and dask-backed, 2-D and time stacks) and Datasets give a
DataArray on the bands' grid, with their coords and spatial reference, and the NumPy path's bits."""
import numpy as np
import pytest

xr = pytest.importorskip("xarray")

import rastrel_tools as rt  # noqa: E402
from rastrel_testing import assert_bits_equal, random_band  # noqa: E402

CRS_WKT = 'PROJCS["WGS 84 / UTM zone 33N",AUTHORITY["EPSG","32633"]]'
ROWS, COLS = 37, 45


def _grid(stack):
    """Coords and attrs as a GeoTIFF reader leaves them, on a map grid of 10 m pixels."""
    coords = {"y": 5300000.0 - 10.0 * np.arange(ROWS), "x": 500000.0 + 10.0 * np.arange(COLS),
              "spatial_ref": xr.DataArray(0, attrs={"crs_wkt": CRS_WKT, "spatial_ref": CRS_WKT})}
    dims = ("y", "x")
    if stack:
        coords["time"] = np.array(["2024-05-01", "2024-06-01", "2024-07-01"], "datetime64[ns]")
        dims = ("time",) + dims
    return dims, coords


def _bands(backing, stack, names=("nir", "red", "blue")):
    rng = np.random.default_rng(5)
    dims, coords = _grid(stack)
    shape = ((3,) if stack else ()) + (ROWS, COLS)
    plain = {name: random_band(rng, shape) for name in names}
    arrays = {}
    for name, values in plain.items():
        array = xr.DataArray(values, dims=dims, coords=coords,
                             attrs={"AREA_OR_POINT": "Area", "long_name": name, "units": "DN"})
        array.encoding["grid_mapping"] = "spatial_ref"
        arrays[name] = array.chunk({"y": 16, "x": 20}) if backing == "dask" else array
    return plain, arrays


def _call(way, formula, arrays):
    if way == "keywords":
        return formula.evaluate(**arrays)
    if way == "positional":
        return formula(*(arrays[name] for name in formula.bands))
    if way == "dataset":
        return formula.evaluate(xr.Dataset(arrays))
    if way == "band dimension":
        stacked = xr.concat(list(arrays.values()), dim="band")
        return formula.evaluate(stacked.assign_coords(band=list(arrays)))
    import rastrel_tools.dask as rtd

    return rtd.evaluate(formula, xr.Dataset(arrays))


@pytest.mark.parametrize("way", ["keywords", "positional", "dataset", "band dimension",
                                 "dask.evaluate"])
@pytest.mark.parametrize("backing", ["numpy", "dask"])
@pytest.mark.parametrize("stack", [False, True], ids=["2-D", "time stack"])
@pytest.mark.parametrize("text", ["EVI", "sqrt(nir) - red / (blue + 1)"])
def test_a_dataarray_on_the_bands_grid_with_the_numpy_paths_bits(text, stack, backing, way):
    if backing == "dask" or way == "dask.evaluate":
        pytest.importorskip("dask.array")
    plain, arrays = _bands(backing, stack)
    formula = rt.compile(text)
    result = _call(way, formula, arrays)
    template = arrays["nir"]
    assert isinstance(result, xr.DataArray)
    assert result.dims == template.dims
    assert set(result.coords) == set(template.coords)
    for name, coord in template.coords.items():
        assert coord.identical(result.coords[name]), name
    assert result.name == (formula.index.name if formula.index else None)
    assert result.attrs == {"AREA_OR_POINT": "Area", "formula": formula.text,
                            "long_name": formula.index.long_name if formula.index else text}
    assert result.encoding["grid_mapping"] == "spatial_ref"
    lazy = backing == "dask" or way == "dask.evaluate"
    assert (result.chunks is not None) == lazy
    assert_bits_equal(result.values, formula.evaluate(plain))


def test_apply_ufunc_runs_a_formula_blockwise():
    pytest.importorskip("dask.array")
    plain, arrays = _bands("dask", stack=True)
    formula = rt.compile("NDVI")
    result = xr.apply_ufunc(formula, arrays["nir"], arrays["red"], dask="parallelized",
                            output_dtypes=[np.float32])
    assert formula.__name__ == "NDVI" and rt.compile("nir * 2").__name__ == "formula"
    assert_bits_equal(result.values, formula.evaluate(plain))


def test_coords_that_differ_between_bands_are_dropped_and_grids_must_match():
    _, arrays = _bands("numpy", stack=False)
    # One band per selection from a multi-band file: each keeps its own scalar band number.
    nir, red = arrays["nir"].assign_coords(band=8), arrays["red"].assign_coords(band=4)
    result = rt.compile("NDVI").evaluate(nir=nir, red=red)
    assert "band" not in result.coords and "spatial_ref" in result.coords
    shifted = red.assign_coords(x=red.x + 10.0)
    with pytest.raises(ValueError, match="^the bands nir, red are not on the same grid: "):
        rt.compile("NDVI").evaluate(nir=nir, red=shifted)
    with pytest.raises(ValueError) as excinfo:
        rt.compile("NDVI").evaluate(nir=nir, red=red.isel(x=0))
    assert str(excinfo.value) == "band 'red' has dims ('y',), but band 'nir' has ('y', 'x')"
    with pytest.raises(TypeError) as excinfo:
        rt.compile("NDVI").evaluate(xr.concat([nir, red], dim="band"))
    assert str(excinfo.value) == ("the bands of this DataArray have no names: give them as a "
                                  "coordinate 'band' of names or as band descriptions "
                                  "('long_name')")


def test_a_geotiff_read_by_rioxarray_keeps_its_crs_and_transform(tmp_path):
    rasterio = pytest.importorskip("rasterio")
    rioxarray = pytest.importorskip("rioxarray")
    from rasterio.transform import from_origin

    rng = np.random.default_rng(9)
    red, nir = random_band(rng, (2, ROWS, COLS))
    transform = from_origin(500000.0, 5300000.0, 10.0, 10.0)
    path = tmp_path / "scene.tif"
    with rasterio.open(path, "w", driver="GTiff", width=COLS, height=ROWS, count=2,
                       dtype="uint16", crs="EPSG:32633", transform=transform) as dst:
        dst.write(np.stack([red, nir]))
        dst.descriptions = ("red", "nir")
    scene = rioxarray.open_rasterio(path)
    ndvi = rt.compile("NDVI").evaluate(scene)  # bands named by the file's descriptions
    assert ndvi.rio.crs == "EPSG:32633" and ndvi.rio.transform() == transform
    assert_bits_equal(ndvi.values, rt.compile("NDVI")(nir, red))
    ndvi.rio.to_raster(tmp_path / "ndvi.tif")
    with rasterio.open(tmp_path / "ndvi.tif") as written:
        assert written.crs == "EPSG:32633" and written.transform == transform
        assert_bits_equal(written.read(1), ndvi.values)


@pytest.mark.parametrize("read", ["as stored", "masked", "scaled attributes"])
def test_missing_pixels_and_scaling_from_a_readers_attributes(read, tmp_path):
    rasterio = pytest.importorskip("rasterio")
    rioxarray = pytest.importorskip("rioxarray")
    from rasterio.transform import from_origin

    rng = np.random.default_rng(13)
    red, nir = random_band(rng, (2, ROWS, COLS))  # zeros among them: the nodata value
    path = tmp_path / "scene.tif"
    with rasterio.open(path, "w", driver="GTiff", width=COLS, height=ROWS, count=2,
                       dtype="uint16", crs="EPSG:32633", nodata=0,
                       transform=from_origin(500000.0, 5300000.0, 10.0, 10.0)) as dst:
        dst.write(np.stack([red, nir]))
        dst.descriptions = ("red", "nir")
    scene = rioxarray.open_rasterio(path, masked=read == "masked")
    keywords = {"nodata": 0}
    if read == "scaled attributes":  # samples left raw, with their CF scale and offset
        scene.attrs.update(scale_factor=0.0001, add_offset=-0.1)
        keywords.update(scale=0.0001, offset=-0.1)
    ndvi = rt.compile("NDVI").evaluate(scene)
    assert np.isnan(ndvi.values[(red == 0) | (nir == 0)]).all()
    assert_bits_equal(ndvi.values, rt.compile("NDVI").evaluate(nir=nir, red=red, **keywords))
