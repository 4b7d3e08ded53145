"""The demo's files: the scene and its indices as GeoTIFF (rasterio) and as PNG previews with
colour maps and legends (matplotlib). Each kind is skipped, with a note, where its package is
missing (as on PyPy)."""

import math
import sys

import numpy as np

BANDS = ("blue", "green", "red", "nir", "swir1", "swir2")
CRS = "EPSG:32633"  # UTM zone 33N: a made-up place in central Europe
ORIGIN = (500000.0, 5300000.0)  # west, north, in metres
PIXEL = 10.0  # metres, like Sentinel-2's visible and near-infrared bands
NODATA_COLOUR = "#202020"
MASK_COLOUR = "#ff66cc"

# name: (file stem, colour map, value range, "log" or "linear" or "centred", title)
PREVIEWS = {
    "NDVI": ("ndvi", "RdYlGn", (-0.6, 0.9), "linear", "NDVI  (nir - red) / (nir + red)"),
    "ratio": ("ratio", "viridis", (0.1, 40.0), "log", "Simple ratio  nir / red"),
    "adj. diff": ("adjusted_difference", "RdYlGn", (-0.9, 1.35), "linear",
                  "Adjusted difference  1.5 (nir - red) / (nir + red + 0.5)"),
    "SAVI": ("savi", "RdYlGn", (-0.6, 0.9), "linear", "SAVI  (L = 0.5, on reflectance)"),
    "EVI": ("evi", "RdYlGn", (-0.3, 0.9), "linear", "EVI  (G 2.5, C1 6, C2 7.5, L 1)"),
    "wetness": ("wetness", "BrBG", (-0.35, 0.35), "centred", "Tasseled-cap wetness (custom formula)"),
}


def _missing(package, what):
    print(f"{package} is not installed here: no {what} (scripts/demo installs it)",
          file=sys.stderr)


def _profile(shape, count, dtype):
    from rasterio.transform import from_origin

    return {
        "driver": "GTiff", "width": shape[1], "height": shape[0], "count": count,
        "dtype": dtype, "crs": CRS, "transform": from_origin(*ORIGIN, PIXEL, PIXEL),
        "tiled": True, "blockxsize": 256, "blockysize": 256, "compress": "deflate",
        "predictor": 3 if dtype == "float32" else 2,
        "nodata": float("nan") if dtype == "float32" else 0,
    }


def through_geotiff(bands, output):
    """Writes the scene as a six-band GeoTIFF and reads it back, as a real scene would be
    read; returns the bands as read (or as given, without rasterio)."""
    try:
        import rasterio
    except ImportError:
        _missing("rasterio", "GeoTIFFs")
        return bands
    output.mkdir(parents=True, exist_ok=True)
    path = output / "scene.tif"
    shape = bands["blue"].shape
    with rasterio.open(path, "w", **_profile(shape, len(BANDS), "uint16")) as dst:
        for k, name in enumerate(BANDS, 1):
            dst.write(bands[name], k)
            dst.set_band_description(k, name)
        dst.update_tags(scale="10000", content="surface reflectance x scale, synthetic")
    with rasterio.open(path) as src:
        read = {src.descriptions[k - 1]: src.read(k) for k in range(1, src.count + 1)}
    print(f"wrote and read back {path} ({len(read)} bands, {src.crs}, {PIXEL:g} m pixels)")
    return read


def write_geotiffs(output, results, progress):
    import rasterio

    for name, result in results.items():
        path = output / f"{PREVIEWS[name][0]}.tif"
        with rasterio.open(path, "w", **_profile(result.shape, 1, "float32")) as dst:
            dst.write(result, 1)
            dst.set_band_description(1, name)
        progress.step(path.name)


def _norm(kind, low, high):
    from matplotlib import colors

    if kind == "log":
        return colors.LogNorm(low, high, clip=True)
    if kind == "centred":
        return colors.TwoSlopeNorm(0.0, low, high)
    return colors.Normalize(low, high, clip=True)


def _extent(shape):
    """The raster's extent in the CRS's coordinates (metres of UTM easting and northing), so
    that the axes read as map coordinates."""
    west, north = ORIGIN
    return (west, west + shape[1] * PIXEL, north - shape[0] * PIXEL, north)


def _map_axes(ax):
    ax.set_xlabel(f"easting (m, {CRS})")
    ax.set_ylabel("northing (m)")
    ax.ticklabel_format(style="plain", useOffset=False)
    ax.tick_params(axis="x", labelrotation=30)


def _preview(image, limit=1024):
    """`image` shrunk by a whole factor to at most `limit` pixels a side, by block means."""
    factor = math.ceil(max(image.shape[:2]) / limit)
    if factor == 1:
        return image
    rows, cols = (n // factor * factor for n in image.shape[:2])
    blocks = image[:rows, :cols].reshape(rows // factor, factor, cols // factor, factor, -1)
    return blocks.mean(axis=(1, 3), dtype=np.float64).squeeze(-1 if image.ndim == 2 else ())


def _index_axes(fig, ax, name, result):
    import matplotlib

    stem, cmap, (low, high), kind, title = PREVIEWS[name]
    colours = matplotlib.colormaps[cmap].with_extremes(bad="#9a9a9a")  # NaN: nodata, clouds
    shown = ax.imshow(_preview(result), cmap=colours, norm=_norm(kind, low, high),
                      extent=_extent(result.shape), interpolation="antialiased")
    ax.set_title(title, fontsize=10)
    _map_axes(ax)
    bar = fig.colorbar(shown, ax=ax, shrink=0.85, extend="both")
    bar.set_label(name)


def _stretch(rgb, top):
    """Reflectance x 10000 to a displayable 0..1 image, with a gentle gamma."""
    return np.clip(rgb.astype(np.float32) / (top * 10000), 0.0, 1.0) ** (1 / 1.4)


def write_scene_png(path, classes, bands, clouds):
    import matplotlib.pyplot as plt
    from matplotlib.colors import ListedColormap
    from matplotlib.patches import Patch

    from demo import CLASS_COLOURS, CLASSES

    fig, axes = plt.subplots(1, 3, figsize=(17, 6), constrained_layout=True)
    extent = _extent(classes.shape)
    true_colour = _preview(np.dstack([bands["red"], bands["green"], bands["blue"]]))
    false_colour = _preview(np.dstack([bands["nir"], bands["red"], bands["green"]]))
    step = math.ceil(max(classes.shape) / 1024)
    axes[0].imshow(_stretch(true_colour, 0.25), extent=extent)
    axes[0].set_title("True colour (red, green, blue)")
    axes[1].imshow(_stretch(false_colour, 0.5), extent=extent)
    axes[1].set_title("False colour (nir, red, green): vegetation is red")
    outside = classes == len(CLASSES)
    cover = np.where(clouds & ~outside, len(CLASSES) + 1, classes)[::step, ::step]
    colours = (*CLASS_COLOURS, NODATA_COLOUR, MASK_COLOUR)
    labels = (*CLASSES, "no data (outside the swath)", "cloud mask")
    axes[2].imshow(cover, cmap=ListedColormap(colours), vmin=-0.5,
                   vmax=len(colours) - 0.5, extent=extent, interpolation="nearest")
    axes[2].set_title("Land cover it was made from, nodata, cloud mask")
    axes[2].legend(handles=[Patch(facecolor=c, edgecolor="black", label=n)
                            for n, c in zip(labels, colours)],
                   loc="lower left", framealpha=0.9, fontsize=8)
    for ax in axes:
        _map_axes(ax)
    fig.savefig(path, dpi=100)
    plt.close(fig)


def write_index_pngs(output, results, progress):
    import matplotlib.pyplot as plt

    for name, result in results.items():
        fig, ax = plt.subplots(figsize=(7.5, 6), constrained_layout=True)
        _index_axes(fig, ax, name, result)
        path = output / f"{PREVIEWS[name][0]}.png"
        fig.savefig(path, dpi=100)
        plt.close(fig)
        progress.step(path.name)
    columns = 3
    rows = math.ceil(len(results) / columns)
    fig, axes = plt.subplots(rows, columns, figsize=(6 * columns, 5 * rows), constrained_layout=True)
    for ax, (name, result) in zip(axes.flat, results.items()):
        _index_axes(fig, ax, name, result)
    fig.savefig(output / "indices.png", dpi=80)
    plt.close(fig)
    progress.step("indices.png")


def write_histograms(path, classes, results, clouds):
    """One panel per index: the distribution of its values in each land-cover class, over the
    pixels that are neither nodata nor under the cloud mask."""
    import matplotlib.pyplot as plt

    from demo import CLASS_COLOURS, CLASSES

    columns = 3
    rows = math.ceil(len(results) / columns)
    fig, axes = plt.subplots(rows, columns, figsize=(6 * columns, 3.6 * rows),
                             constrained_layout=True)
    step = math.ceil(max(classes.shape) / 2048)  # a sample is plenty for a histogram
    kept = classes[::step, ::step]
    clear = ~clouds[::step, ::step]
    for ax, (name, result) in zip(axes.flat, results.items()):
        _, _, (low, high), kind, title = PREVIEWS[name]
        bins = np.geomspace(low, high, 80) if kind == "log" else np.linspace(low, high, 80)
        values = result[::step, ::step]
        for k, (label, colour) in enumerate(zip(CLASSES, CLASS_COLOURS)):
            chosen = values[(kept == k) & clear & np.isfinite(values)]
            if chosen.size:
                ax.hist(np.clip(chosen, low, high), bins=bins, color=colour, alpha=0.55,
                        edgecolor="#333333", linewidth=0.3, label=f"{label} ({chosen.size})")
        if kind == "log":
            ax.set_xscale("log")
        ax.set_title(title, fontsize=10)
        ax.set_xlabel(name)
        ax.set_ylabel("pixels")
        ax.legend(fontsize=7, framealpha=0.8)
    for ax in axes.flat[len(results):]:
        ax.set_visible(False)
    fig.suptitle("Index values per land-cover class (clear pixels with data)")
    fig.savefig(path, dpi=80)
    plt.close(fig)


def write_outputs(output, classes, bands, results, clouds, progress_type):
    """GeoTIFFs and PNGs of every index, and a PNG of the scene, into `output`."""
    output.mkdir(parents=True, exist_ok=True)
    try:
        import rasterio  # noqa: F401
        have_rasterio = True
    except ImportError:
        have_rasterio = False
    try:
        import matplotlib

        matplotlib.use("Agg")
        have_matplotlib = True
    except ImportError:
        _missing("matplotlib", "PNG previews")
        have_matplotlib = False
    steps = len(results) * (have_rasterio + have_matplotlib) + 3 * have_matplotlib
    if steps == 0:
        return
    progress = progress_type(steps, "writing files")
    if have_rasterio:
        write_geotiffs(output, results, progress)
    if have_matplotlib:
        write_scene_png(output / "scene.png", classes, bands, clouds)
        progress.step("scene.png")
        write_histograms(output / "histograms.png", classes, results, clouds)
        progress.step("histograms.png")
        write_index_pngs(output, results, progress)
    written = sorted(p.name for p in output.iterdir() if p.suffix in (".tif", ".png"))
    print(f"{output}/: {', '.join(written)}")
