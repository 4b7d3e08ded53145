"""Blockwise evaluation over dask arrays: the threaded scheduler against the in-memory result,
and a raster larger than the memory of a distributed cluster of worker processes on loopback."""
import zlib

import numpy as np
import pytest

da = pytest.importorskip("dask.array")

import rastrel  # noqa: E402
import rastrel_tools as rt  # noqa: E402
import rastrel_tools.dask as rtd  # noqa: E402
from rastrel_testing import assert_bits_equal, not_under_sanitizer, random_band  # noqa: E402


@pytest.fixture(scope="module")
def bands():
    rng = np.random.default_rng(4)
    return {name: random_band(rng, (130, 170)) for name in ("blue", "red", "nir")}


@pytest.mark.parametrize("text", ["NDVI", "EVI", "MSAVI", "sqrt(nir) * 3 - red / (blue + 1)"])
def test_blockwise_matches_the_whole_array(text, bands):
    # Bands chunked differently take the first band's chunks.
    lazy = {"blue": da.from_array(bands["blue"], chunks=(50, 64)),
            "red": da.from_array(bands["red"], chunks=(40, 170)),
            "nir": da.from_array(bands["nir"], chunks=(130, 33))}
    formula = rt.compile(text)
    result = rtd.evaluate(formula, lazy)
    assert result.dtype == np.float32 and result.shape == (130, 170)
    assert result.chunks == lazy[formula.bands[0]].chunks
    assert_bits_equal(result.compute(scheduler="threads"), formula.evaluate(bands))


def test_the_fixed_kernels_blockwise(bands):
    nir, red, blue = (da.from_array(bands[k], chunks=(64, 48)) for k in ("nir", "red", "blue"))
    a, b, c = bands["nir"], bands["red"], bands["blue"]
    out = np.empty(a.shape, np.float32)
    rastrel.calculate_ratio_inplace(a, b, out)
    assert_bits_equal(rtd.ratio(nir, red).compute(), out)
    rastrel.calculate_adjusted_difference_inplace(a, b, 0.5, out)
    assert_bits_equal(rtd.adjusted_difference(nir, red, 0.5).compute(), out)
    rastrel.calculate_evi_inplace(a, b, c, 2.5, 6, 7.5, 1, out)
    assert_bits_equal(rtd.evi(nir, red, blue, 2.5, 6, 7.5, 1).compute(), out)
    assert_bits_equal(rtd.normalized_difference(nir, red).compute(),
                rastrel.calculate_normalized_difference(a, b))


def test_band_types_nodata_masks_and_scale_blockwise(bands):
    # Any band type (a big-endian one too), masked arrays, a dask mask and per-band reads: the
    # same bits as the whole arrays in memory.
    nir = bands["nir"].astype(np.int16)
    red = np.ma.masked_array(bands["red"].astype(">f8"), mask=bands["blue"] % 7 == 0)
    mask = bands["blue"] % 5 == 0
    options = {"nodata": {"nir": 0}, "scale": 1e-4, "offset": {"red": -0.1}, "fill": -1}
    lazy = rtd.evaluate("EVI2", nir=da.from_array(nir, chunks=(50, 64)),
                        red=da.from_array(red, chunks=(64, 50)),
                        mask=da.from_array(mask, chunks=(30, 30)), **options)
    assert_bits_equal(lazy.compute(), rt.compile("EVI2").evaluate(nir=nir, red=red, mask=mask, **options))


def test_a_time_series_stack_keeps_its_chunks():
    rng = np.random.default_rng(6)
    nir, red = random_band(rng, (5, 60, 70)), random_band(rng, (5, 60, 70))
    lazy_nir = da.from_array(nir, chunks=(2, 30, 35))
    result = rtd.evaluate("NDVI", nir=lazy_nir, red=da.from_array(red, chunks=(2, 30, 35)))
    assert result.chunks == lazy_nir.chunks
    assert_bits_equal(result.compute(), rt.compile("NDVI")(nir, red))


def test_arguments_are_checked_before_any_block_runs():
    a = da.zeros((10, 10), dtype=np.uint16, chunks=5)
    cases = [
        (lambda: rtd.evaluate("NDVI", nir=a), TypeError, "missing band 'red' (the formula reads nir, red)"),
        (lambda: rtd.ratio(a, a[:, :9]), ValueError, "band 'b' has shape (10, 9), but band 'a' has (10, 10)"),
        (lambda: rtd.ratio(a, a.astype(np.int64)), TypeError,
         "band 'b' has dtype int64, which rastrel cannot read (it reads bool, uint8, int8, uint16, "
         "int16, uint32, int32, float32 and float64)"),
        (lambda: rtd.apply(rt.compile("a / b"), a, a, mask=a), TypeError, "mask must hold bool values (True = invalid), got uint16"),
        (lambda: rtd.ratio(a[0], a[0]), ValueError,
         "bands must be 2-D (rows, cols) or stacks of 2-D rasters, got 1 dimensions"),
        (lambda: rt.compile("NDVI").evaluate(nir=a, red=a), TypeError,
         "band 'nir' is a dask array: use rastrel_tools.dask.evaluate, which evaluates block by block"),
    ]
    for call, error, message in cases:
        with pytest.raises(error) as excinfo:
            call()
        assert str(excinfo.value) == message


# ---------------------------------------------------------------------------------------------
# A distributed cluster: three worker processes on loopback with a memory budget that the raster
# exceeds many times over. The bands are made block by block on the workers, from each block's
# position, so that the test can remake any block on its own and nothing is ever held whole.

WORKERS = 3
WORKER_MEMORY = 256 * 2**20
SIZE = (16384, 16384)
CHUNK = 2048
SAMPLED_BLOCKS = [(0, 0), (3, 7), (7, 7), (6, 1)]
FORMULA = "G * ((nir - red) / (nir + C1 * red - C2 * blue + L))"


def make_block(band, block_info=None):
    """Samples of one block of band number `band`, from the block's place in the raster."""
    (row, _), (col, _) = block_info[None]["array-location"]
    shape = block_info[None]["chunk-shape"]
    rng = np.random.default_rng([band, row, col])
    return rng.integers(0, 65536, size=shape, dtype=np.uint16)


def digest(block):
    return np.array([[zlib.crc32(np.ascontiguousarray(block).view(np.uint8))]], dtype=np.uint64)


@not_under_sanitizer("the workers' memory budget does not allow for AddressSanitizer's shadow memory")
@pytest.mark.timeout(180)
def test_a_raster_larger_than_the_cluster_memory(tmp_path):
    distributed = pytest.importorskip("distributed")
    chunks = da.core.normalize_chunks(CHUNK, SIZE)
    bands = [da.map_blocks(make_block, k, dtype=np.uint16, chunks=chunks) for k in range(3)]
    formula = rt.compile(FORMULA, bands=["nir", "red", "blue"],
                         constants={"G": 2.5, "C1": 6, "C2": 7.5, "L": 10000})
    result = rtd.apply(formula, *bands)
    raster_bytes = sum(band.nbytes for band in bands) + result.nbytes
    assert raster_bytes > 2 * WORKERS * WORKER_MEMORY

    digests = result.map_blocks(digest, chunks=(1, 1), dtype=np.uint64)
    samples = [result.blocks[at] for at in SAMPLED_BLOCKS]
    with distributed.LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True,
                                  memory_limit=WORKER_MEMORY, host="127.0.0.1",
                                  dashboard_address=None, local_directory=str(tmp_path),
                                  silence_logs=40) as cluster, distributed.Client(cluster) as client:
        digests, *samples = client.compute([digests, *samples], sync=True)

    assert digests.shape == result.numblocks
    for at, got in zip(SAMPLED_BLOCKS, samples):
        inputs = [make_block(k, {None: {"array-location": [(at[0] * CHUNK, 0), (at[1] * CHUNK, 0)],
                                        "chunk-shape": (CHUNK, CHUNK)}}) for k in range(3)]
        expected = formula(*inputs)
        assert_bits_equal(got, expected)
        assert digests[at] == digest(expected)[0, 0]
