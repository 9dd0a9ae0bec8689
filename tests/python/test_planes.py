"""Files with several images and planes (OME-TIFF, QPTIFF): choosing a series,
channel, focal plane and timepoint; every stored tile of every level of every
plane handed out as stored and decoding to tifffile's pixels; OpenSlide's
level 0 where it opens the file; the same over loopback HTTP."""
from __future__ import annotations

import io
import pickle
import tarfile
import sys
from pathlib import Path

import numpy as np
import pytest
import tifffile

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from fixtures import plane_tiffs  # noqa: E402
from fixtures.common import CORPUS  # noqa: E402
from fixtures.http_server import RangeServer  # noqa: E402

kolva = pytest.importorskip("kolva")
import kolva.openslide  # noqa: E402
imagecodecs = pytest.importorskip("imagecodecs")

REAL_QPTIFF = CORPUS / "qptiff" / "pathml_small_vectra.qptiff"

# (fixture, selection) -> main-chain page of each level (a SubIFD as (page, k)).
CASES = {
    ("ome_rgb", ()): [0, (0, 0), (0, 1)],
    ("ome_fluo", ()): [0, (0, 0)],
    ("ome_fluo", (("channel", "CD8"), ("focal_plane", 1))): [5, (5, 0)],
    ("ome_fluo", (("channel", 1), ("focal_plane", 0))): [1, (1, 0)],
    ("ome_fluo", (("series", "overview scan"),)): [6, 7],
    ("ome_strips", ()): [0, 1, 2],
    ("qptiff", ()): [0, 4],
    ("qptiff", (("channel", "Cy5"),)): [2, 6],
    ("leica", ()): [0, 2],
    ("leica", (("series", "control"),)): [3, 4],
    ("argos", ()): [0, 1],
    ("argos", (("focal_plane", 2),)): [4, 5],
}


@pytest.fixture(scope="module")
def files(tmp_path_factory) -> dict[str, Path]:
    tmp = tmp_path_factory.mktemp("planes")
    made = {name: build(tmp / f"{name}.tif") for name, build in plane_tiffs.BUILDERS.items()}
    if REAL_QPTIFF.is_file():
        made["real_qptiff"] = REAL_QPTIFF
    return made


def page_of(tif: tifffile.TiffFile, which) -> tifffile.TiffPage:
    if isinstance(which, int):
        return tif.pages[which]
    parent, k = which
    tif.filehandle.seek(tif.pages[parent].subifds[k])
    return tifffile.TiffPage(tif, index=0)


def decode(media_type: str, data: bytes) -> np.ndarray:
    if media_type == "image/tiff":
        return tifffile.imread(io.BytesIO(data))
    assert media_type == "image/jpeg"
    return imagecodecs.jpeg8_decode(data)


def stored(tif: tifffile.TiffFile, page: tifffile.TiffPage, indices) -> bytes:
    out = b""
    for i in indices:
        tif.filehandle.seek(page.dataoffsets[i])
        out += tif.filehandle.read(page.databytecounts[i])
    return out


def check_levels(slide, tif: tifffile.TiffFile, pages) -> None:
    """Every tile of every level: the stored bytes inside, tifffile's pixels out."""
    assert slide.level_count == len(pages)
    for lv, which in zip(slide.levels, pages):
        page = page_of(tif, which)
        assert lv.dimensions == (page.imagewidth, page.imagelength)
        full = page.asarray()
        across, down = lv.tile_grid
        tw, th = lv.tile_size
        coords = [(x, y) for y in range(down) for x in range(across)]
        if page.is_tiled:  # sparse levels: a tile at offset 0 is not stored
            missing = [(x, y) for x, y in coords if not page.dataoffsets[y * across + x]]
            for x, y in missing:
                with pytest.raises(kolva.TileNotFound):
                    slide.read_tile(lv.index, x, y)
            coords = [c for c in coords if c not in missing]
        for (x, y), data in zip(coords, slide.read_tiles(lv.index, coords)):
            if page.is_tiled:
                indices = [y * across + x]
            else:
                rps = page.rowsperstrip
                rows = min(th, page.imagelength - y * th)
                indices = range(y * th // rps, y * th // rps + -(-rows // rps))
            raw = stored(tif, page, indices)
            assert data.endswith(raw[2:] if lv.media_type == "image/jpeg" else raw)
            pixels = decode(lv.media_type, data)
            want = full[y * th:(y + 1) * th, x * tw:(x + 1) * tw]
            np.testing.assert_array_equal(pixels[:want.shape[0], :want.shape[1]], want)


@pytest.mark.parametrize("case", list(CASES), ids=lambda c: f"{c[0]}-{dict(c[1])}")
def test_every_tile_of_the_chosen_plane_as_stored(files, case):
    name, selection = case
    with kolva.open(files[name], **dict(selection)) as slide, tifffile.TiffFile(files[name]) as tif:
        check_levels(slide, tif, CASES[case])
        for key, value in selection:
            chosen = slide.plane[key]
            assert (slide.planes[key].index(chosen) if isinstance(value, int) else chosen) == value


def test_ome_planes_properties_and_associated(files):
    with kolva.open(files["ome_fluo"]) as slide:
        assert slide.format == "ome-tiff"
        assert slide.planes == {"series": ["tissue", "overview scan"],
                                "channel": list(plane_tiffs.FLUO_CHANNELS),
                                "focal_plane": [0, 1], "timepoint": [0]}
        assert slide.plane == {"series": "tissue", "channel": "DAPI", "focal_plane": 0,
                               "timepoint": 0}
        assert slide.levels[0].media_type == "image/tiff"
        p = slide.properties
        assert (p["ome.channel[2].name"], p["ome.channel[2].emission-wavelength"]) == ("CD8", "650")
        assert p["kolva.mpp-x"] == "0.5" and p["kolva.mpp-y"] == "0.5"
        assert p["kolva.objective-power"] == "40"
        assert slide.summary()["planes"] == slide.planes
        again = pickle.loads(pickle.dumps(kolva.open(files["ome_fluo"], channel="CD3")))
        assert again.plane["channel"] == "CD3"
    with kolva.open(files["ome_rgb"]) as slide:
        assert slide.planes["series"] == ["scan"]  # the label is no series
        label = slide.associated_images["label"]
        assert label.dimensions == (96, 64)
        assert np.array_equal(decode(label.media_type, label.data),
                              tifffile.TiffFile(files["ome_rgb"]).pages[1].asarray())


@pytest.mark.parametrize("name, options, words", [
    ("ome_fluo", {"channel": "CD99"}, "no channel 'CD99': it has channels 'DAPI', 'CD3', 'CD8'"),
    ("ome_fluo", {"focal_plane": 2}, "no focal plane 2: it has focal planes 0, 1"),
    ("ome_fluo", {"series": 2}, "no series 2"),
    ("qptiff", {"timepoint": 1}, "no timepoint 1: it has one timepoint, 0"),
])
def test_choosing_what_the_file_does_not_hold(files, name, options, words):
    with pytest.raises(kolva.SlideError, match=words):
        kolva.open(files[name], **options)


def test_leica_regions_as_series(files):
    with kolva.open(files["leica"]) as slide:
        assert slide.format == "leica"
        assert slide.planes == {"series": ["tissue", "control", "collection"], "channel": [0],
                                "focal_plane": [0], "timepoint": [0]}
        assert slide.level_downsamples == (1.0, 4.0)
        assert slide.properties["leica.barcode"] == "BAR1"
        assert slide.associated_images["macro"].media_type == "image/jpeg"


@pytest.mark.parametrize("name", ["leica", "leica_offset"])
def test_leica_collection_matches_openslide(files, name):
    """The collection: OpenSlide's levels, regions and bounds; every stored tile of
    every region handed out once, as stored; read_region alike around each region."""
    openslide = pytest.importorskip("openslide")
    with kolva.open(files[name], series="collection") as slide, \
            openslide.OpenSlide(str(files[name])) as osr:
        assert slide.level_dimensions == osr.level_dimensions
        assert slide.level_downsamples == pytest.approx(osr.level_downsamples)
        theirs = {k: v for k, v in osr.properties.items()
                  if k.startswith(("openslide.region[", "openslide.bounds-"))}
        assert len(theirs) == 12
        assert {k: slide.properties.get(k.replace("openslide.", "kolva.")) for k in theirs} == theirs
        with kolva.openslide.OpenSlide(files[name]) as dropin:  # shows what OpenSlide shows
            assert dropin.level_dimensions == osr.level_dimensions
            assert {k: dropin.properties[k] for k in theirs} == theirs
        bounds = [int(theirs[f"openslide.bounds-{k}"]) for k in ("x", "y", "width", "height")]
        regions = [[int(theirs[f"openslide.region[{i}].{k}"]) for k in ("x", "y", "width", "height")]
                   for i in range(2)]
        for lv in slide.levels:
            rects = slide.tile_rects(lv.index)
            placed = list(zip(*np.nonzero(~np.isnan(rects[..., 0]))))
            stored = []
            for series in ("tissue", "control"):
                with kolva.open(files[name], series=series) as region:
                    across, down = region.levels[lv.index].tile_grid
                    stored += region.read_tiles(lv.index, [(x, y) for y in range(down)
                                                           for x in range(across)])
            assert lv.positioned and sorted(slide.read_tiles(lv.index, [(x, y) for y, x in placed])) \
                == sorted(stored)
            if lv.index == 0:
                r = rects[~np.isnan(rects[..., 0])]
                assert [r[:, 0].min(), r[:, 1].min(), (r[:, 0] + r[:, 2]).max() - r[:, 0].min(),
                        (r[:, 1] + r[:, 3]).max() - r[:, 1].min()] == bounds
            ds = int(lv.downsample)
            for x, y, w, h in regions:
                # OpenSlide draws a level at the level-0 origin over the downsample,
                # a fraction of a pixel off where that is not whole: whole pixels here
                origin = ((x // ds - 37) * ds, (y // ds - 23) * ds)
                size = (w // ds + 80, h // ds + 60)
                ours = slide.read_region(origin, lv.index, size, alpha=True)
                np.testing.assert_array_equal(ours, np.asarray(osr.read_region(origin, lv.index, size)))


def test_leica_collection_refuses_dissimilar_main_images(files):
    openslide = pytest.importorskip("openslide")
    with kolva.open(files["leica_dissimilar"]) as slide:  # each region still opens
        assert slide.planes["series"] == ["tissue", "control", "collection"]
        first = slide.level_dimensions
    with pytest.raises(kolva.SlideError, match="cannot be composed into series 'collection': "
                                               "main images 1 and 0 are dissimilar"):
        kolva.open(files["leica_dissimilar"], series="collection")
    with pytest.raises(openslide.OpenSlideError, match="dissimilar main images"):
        openslide.OpenSlide(str(files["leica_dissimilar"]))
    with kolva.openslide.OpenSlide(files["leica_dissimilar"]) as dropin:  # the first region
        assert dropin.level_dimensions == first


def test_argos_planes_sparse_tiles_and_images(files):
    with kolva.open(files["argos"]) as slide:
        assert slide.format == "argos"
        assert slide.planes["focal_plane"] == [0, 1, 2]
        assert sorted(slide.associated_images) == ["macro", "thumbnail"]
        assert slide.properties["argos.ScanArea.Top"] == "0.2"
        assert slide.properties["kolva.barcode"] == "B123"
        with pytest.raises(kolva.TileNotFound):
            slide.read_tile(0, *plane_tiffs.ARGOS_MISSING)


def test_qptiff_channels_images_and_properties(files):
    with kolva.open(files["qptiff"]) as slide:
        assert slide.format == "qptiff"
        assert slide.planes["channel"] == list(plane_tiffs.QPI_CHANNELS)
        assert {n: i.dimensions for n, i in slide.associated_images.items()} == {
            "thumbnail": (80, 64), "macro": (300, 100), "label": (80, 80)}
        p = slide.properties
        assert p["qptiff.channel[1].Name"] == "FITC" and p["qptiff.channel[1].Color"] == "1,0,255"
        assert p["kolva.objective-power"] == "20" and p["kolva.mpp-x"] == "0.5"


@pytest.mark.skipif(not REAL_QPTIFF.is_file(), reason="real QPTIFF not in the corpus")
@pytest.mark.parametrize("channel, page", [(None, 0), ("Cy3", 2)])
def test_real_vectra_qptiff(files, channel, page):
    with kolva.open(files["real_qptiff"], channel=channel) as slide, \
            tifffile.TiffFile(files["real_qptiff"]) as tif:
        assert slide.planes["channel"] == ["DAPI", "FITC", "Cy3"]
        check_levels(slide, tif, [page])
        assert sorted(slide.associated_images) == ["label", "macro", "thumbnail"]
        assert float(slide.properties["kolva.mpp-x"]) == pytest.approx(0.4965, abs=1e-3)


@pytest.mark.parametrize("name, options, origin", [
    ("ome_rgb", {}, (0, 0)), ("qptiff", {}, (0, 0)),
    ("leica", {}, (2000, 4000)), ("leica", {"series": 1}, (12000, 6000)),
    ("argos", {"focal_plane": 1}, (0, 0))])
def test_openslide_level_0_agrees(files, name, options, origin):
    """OpenSlide's level 0 (a Leica collection: the region at its place on it)."""
    openslide = pytest.importorskip("openslide")
    with kolva.open(files[name], **options) as slide, \
            openslide.OpenSlide(str(files[name])) as osr:
        if origin == (0, 0):
            assert osr.level_dimensions[0] == slide.dimensions
        ours, theirs = slide.properties, osr.properties
        shared = [k for k in theirs if k.startswith(("tiff.", "leica.", "argos."))]
        assert shared and {k: ours.get(k) for k in shared} == {k: theirs[k] for k in shared}
        assert float(ours["kolva.mpp-x"]) == pytest.approx(float(theirs["openslide.mpp-x"]))
        if "openslide.objective-power" in theirs:
            assert ours["kolva.objective-power"] == theirs["openslide.objective-power"]
        assert set(slide.associated_images) >= set(osr.associated_images)
        lv = slide.levels[0]
        tw, th = lv.tile_size
        for y in range(lv.tile_grid[1]):
            for x in range(lv.tile_grid[0]):
                if name == "argos" and (x, y) == plane_tiffs.ARGOS_MISSING:
                    continue
                w, h = min(tw, lv.dimensions[0] - x * tw), min(th, lv.dimensions[1] - y * th)
                region = np.asarray(osr.read_region((origin[0] + x * tw, origin[1] + y * th),
                                                    0, (w, h)))[..., :3]
                pixels = decode(lv.media_type, slide.read_tile(0, x, y))[:h, :w]
                if pixels.ndim == 2:
                    region = region[..., 0]
                np.testing.assert_array_equal(pixels, region)


@pytest.mark.parametrize("case", list(CASES)[:7:2] + [("qptiff", (("channel", 1),)),
                                                      ("leica", (("series", 1),)),
                                                      ("leica", (("series", "collection"),)),
                                                      ("argos", (("focal_plane", 1),))],
                         ids=lambda c: f"{c[0]}-{dict(c[1])}")
def test_loopback_http_serves_the_same(files, case):
    name, selection = case
    with RangeServer({name: files[name].read_bytes()}) as server:
        with kolva.open(files[name], **dict(selection)) as local, \
                kolva.open(server.url(name), **dict(selection)) as remote:
            assert (remote.planes, remote.plane) == (local.planes, local.plane)
            assert remote.properties == local.properties
            assert remote.levels == local.levels
            assert set(remote.associated_images) == set(local.associated_images)
            for lv in local.levels:
                rects = local.tile_rects(lv.index)  # a collection stores a few of its cells
                coords = [(x, y) for y in range(lv.tile_grid[1]) for x in range(lv.tile_grid[0])
                          if (name != "argos" or lv.index or (x, y) != plane_tiffs.ARGOS_MISSING)
                          and not np.isnan(rects[y, x, 0])]
                assert remote.read_tiles(lv.index, coords) == local.read_tiles(lv.index, coords)


@pytest.fixture(scope="module")
def s3(files):
    from fixtures.s3 import loopback_s3

    with loopback_s3({f"planes/{n}": files[n].read_bytes()
                      for n in ("ome_fluo", "leica", "argos")}) as options:
        yield options


@pytest.mark.parametrize("name, options", [("ome_fluo", {"channel": "CD8", "focal_plane": 1}),
                                           ("leica", {"series": "control"}),
                                           ("argos", {"focal_plane": 2})])
def test_s3_and_torch_read_the_chosen_plane(files, s3, name, options):
    """Over S3 (moto on loopback) the same plane as locally; kolva.torch's tiles are
    that plane's, decoded."""
    torch_module = pytest.importorskip("kolva.torch")
    with kolva.open(files[name], **options) as local, \
            kolva.open(f"s3://planes/{name}", storage_options=s3, **options) as remote:
        assert (remote.plane, remote.levels, remote.properties) == \
            (local.plane, local.levels, local.properties)
        lv = local.levels[-1]
        coords = [(x, y) for y in range(lv.tile_grid[1]) for x in range(lv.tile_grid[0])]
        assert remote.read_tiles(lv.index, coords) == local.read_tiles(lv.index, coords)
        ds = torch_module.TileDataset(str(files[name]), level=lv.index, tiles="all",
                                      shuffle=False, decode="cpu", open_options=options)
        for item in ds:
            pixels = decode(lv.media_type, local.read_tile(lv.index, item["x"], item["y"]))
            tile = item["tile"].numpy()
            np.testing.assert_array_equal(tile[0] if pixels.ndim == 2 else
                                          tile.transpose(1, 2, 0), pixels)


@pytest.mark.parametrize("name", ["qptiff", "real_qptiff", "ome_fluo"])
def test_fastslide_agrees_on_levels_channels_and_pixel_size(files, name, tmp_path):
    fastslide = pytest.importorskip("fastslide")
    if name not in files:
        pytest.skip("real QPTIFF not in the corpus")
    # fastslide picks its reader by extension.
    path = tmp_path / ("slide.qptiff" if "qptiff" in name else "slide.ome.tif")
    path.symlink_to(files[name])
    theirs = fastslide.FastSlide.from_file_path(str(path))
    with kolva.open(path) as slide:
        # fastslide reads no SubIFD level of this OME-TIFF: compare what it reads.
        assert slide.level_dimensions[:theirs.level_count] == tuple(theirs.level_dimensions)
        assert slide.planes["channel"] == [c["name"] for c in theirs.channel_metadata]
        assert len(slide.planes["focal_plane"]) == theirs.z_count
        if name != "ome_fluo":  # fastslide takes 500 nm for 500 µm
            assert slide.mpp == pytest.approx(theirs.mpp)


def test_dicom_optical_paths_are_channels(tmp_path):
    from fixtures import dicom

    planes = {(z, p): dicom.image(32, 16, z) for z in (0, 1) for p in ("a", "b")}
    dicom.write_instance(tmp_path / "zp.dcm", planes, tile=16, series_uid="1.2.3.4",
                         study_uid="1.2.3.4", codec="native")
    with kolva.open(tmp_path / "zp.dcm", channel="b", focal_plane=1) as slide:
        assert (slide.planes["channel"], slide.planes["focal_plane"]) == (["a", "b"], [0, 1])
        assert slide.plane == {"series": 0, "channel": "b", "focal_plane": 1, "timepoint": 0}


def test_kolva_info_shows_planes(files, capfd):
    from kolva.cli import main

    capfd.readouterr()
    assert main(["info", str(files["ome_fluo"]), "--channel", "CD8", "--focal-plane", "1"]) == 0
    out = capfd.readouterr().out
    assert "    channel      3: DAPI, CD3, [CD8]" in out
    assert "    focal_plane  2: 0, [1]" in out
    assert main(["info", "--json", str(files["qptiff"])]) == 0
    [info] = __import__("json").loads(capfd.readouterr().out)
    assert info["planes"]["channel"] == list(plane_tiffs.QPI_CHANNELS)
    assert info["plane"]["channel"] == "DAPI"


@pytest.mark.parametrize("command", ["export", "convert"])
def test_export_and_convert_take_the_chosen_plane(files, tmp_path, command):
    from kolva.cli import main

    if command == "convert":
        pytest.importorskip("pydicom")
    out = tmp_path / command
    assert main([command, str(files["argos"]), "--out", str(out), "--focal-plane", "2",
                 "--workers", "1", "--quiet"]) == 0
    with kolva.open(files["argos"], focal_plane=2) as chosen:
        across, down = chosen.levels[0].tile_grid
        stored = [(x, y) for y in range(down) for x in range(across)
                  if (x, y) != plane_tiffs.ARGOS_MISSING]
        want = [chosen.read_tile(0, x, y) for x, y in stored]
    if command == "export":
        got = []
        for shard in sorted(out.glob("*.tar")):
            with tarfile.open(shard) as tar:
                got += [tar.extractfile(m).read() for m in tar.getmembers()
                        if not m.name.endswith(".json")]
        assert sorted(got) == sorted(want)
    else:
        [folder] = [p for p in out.iterdir() if p.is_dir()]
        with kolva.open(folder) as converted:
            # frames of odd length are padded to even, as DICOM has them
            assert [converted.read_tile(0, x, y).rstrip(b"\0") for x, y in stored] == want


# (file, axis, OpenSlide's vendor, the plane it serves): OpenSlide reads OME-TIFF and
# QPTIFF as generic TIFF, whose pyramid is another.
@pytest.mark.parametrize("name, axis, vendor, served", [
    ("ome_fluo", "series", None, None), ("ome_fluo", "channel", None, None),
    ("qptiff", "channel", None, None), ("leica", "series", "leica", 0),
    ("argos", "focal_plane", "argos", 1)])
def test_quickhash_identifies_the_slide(files, name, axis, vendor, served):
    """quickhash-1: the chosen pyramid's smallest level, one hash per plane; a Leica
    collection's smallest macro level, one hash for all its images; OpenSlide's hash
    where it reads the file as the same family."""
    from kolva.openslide._properties import quickhash1

    with kolva.open(files[name]) as slide:
        choices = slide.planes[axis]
    hashes = []
    for choice in choices:
        with kolva.open(files[name], **{axis: choice}) as slide:
            hashes.append(quickhash1(slide))
    assert None not in hashes
    assert len(set(hashes)) == (1 if name == "leica" else len(hashes))
    if vendor is not None:
        openslide = pytest.importorskip("openslide")
        with openslide.OpenSlide(str(files[name])) as osr:
            assert osr.properties["openslide.vendor"] == vendor
            assert hashes[served] == osr.properties["openslide.quickhash-1"]


@pytest.mark.parametrize("name", ["ome_fluo", "qptiff"])
def test_threads_asking_for_the_hash_input_at_once_get_the_same(files, name):
    """OME-TIFF and QPTIFF work the hash input out when it is first asked for."""
    from concurrent.futures import ThreadPoolExecutor

    def both(slide):
        return slide.quickhash_input(), slide.read_quickhash_input()

    with kolva.open(files[name]) as slide:
        want = both(slide)
    with kolva.open(files[name]) as slide, ThreadPoolExecutor(8) as pool:
        got = list(pool.map(lambda _: both(slide), range(16)))
    assert want[0] is not None and want[1] and all(g == want for g in got)


def _many_tiles(path: Path, family: str) -> Path:
    """A 512 x 512 level 0 in tiles of 16 (1,024 tiles: tables of 4 kB, which the
    opening leaves in the file), two smaller levels, and for OME-TIFF a label
    stored in 600 one-row strips (a strip table left in the file too)."""
    rng = np.random.default_rng(5)
    levels = [rng.integers(0, 255, (s, s, 3), np.uint8) for s in (512, 256, 128)]
    if family == "trestle":
        from fixtures import trestle
        return trestle.make_trestle(path, trestle.Case(
            sizes=((512, 512), (256, 256), (128, 128)), tile=16, overlaps=((0, 0),), macro=False))
    with tifffile.TiffWriter(path, ome=family == "ome-tiff") as tif:
        options = dict(tile=(16, 16), compression="zlib", photometric="rgb")
        if family == "ome-tiff":
            tif.write(levels[0], subifds=2, metadata={"Name": "tissue"}, **options)
            for level in levels[1:]:
                tif.write(level, subfiletype=1, **options)
            tif.write(rng.integers(0, 255, (600, 40, 3), np.uint8), rowsperstrip=1,
                      photometric="rgb", metadata={"Name": "label"})
        else:
            for n, level in enumerate(levels):
                tif.write(level, subfiletype=1 if n else 0, metadata=None, **options)
    return path


@pytest.mark.parametrize("family", ["ome-tiff", "trestle", "generic-tiff"])
def test_large_tile_tables_are_read_where_they_are_used(tmp_path, family):
    path = _many_tiles(tmp_path / f"{family}.tif", family)
    with tifffile.TiffFile(path) as tif:
        pages = [tif.pages[0], *(tif.pages[0].pages or [])] if family == "ome-tiff" else \
            list(tif.pages)
        stored = [[(o, n) for o, n in zip(p.dataoffsets, p.databytecounts)] for p in pages[:3]]
        table_at = tif.pages[0].tags["TileOffsets"].valueoffset
        label = (tif.series[1].pages[0].asarray() if family == "ome-tiff" else None)
    raw = path.read_bytes()
    with kolva.open(path) as slide:
        assert slide.format == family and slide.level_count == 3
        for level, tiles in enumerate(stored):
            across = slide.levels[level].tile_grid[0]
            coords = [(i % across, i // across) for i in range(len(tiles))]
            got = slide.read_tiles(level, coords)
            # Each tile ends with its stored bytes (JPEG tiles lose their SOI to the tables).
            assert all(t.endswith(raw[o + 2:o + n]) for t, (o, n) in zip(got, tiles)), level
        if label is not None:
            assert np.array_equal(imagecodecs.imread(slide.associated_images["label"].data), label)
    # Level 0's table moved past the end of the file: the opening that leaves it
    # there still opens, and only level 0's tiles fail; a driver that takes whole
    # directories refuses the file as one whose directories cannot be read.
    entry = raw.index((324).to_bytes(2, "little") + (4).to_bytes(2, "little"))
    cut = bytearray(raw)
    cut[entry + 8:entry + 12] = (len(raw) + 4096).to_bytes(4, "little")
    assert int.from_bytes(raw[entry + 8:entry + 12], "little") == table_at
    broken = tmp_path / f"broken-{family}.tif"
    broken.write_bytes(bytes(cut))
    if family == "generic-tiff":
        with pytest.raises(kolva.UnsupportedFormat, match="directories cannot be read"):
            kolva.open(broken)
        return
    with kolva.open(broken) as slide:
        with pytest.raises(kolva.SlideError):
            slide.read_tile(0, 0, 0)
        assert slide.read_tile(2, 0, 0) == kolva.open(path).read_tile(2, 0, 0)
