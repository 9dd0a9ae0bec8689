"""Slide properties against OpenSlide, on every fixture and real file it opens and
on fixtures whose metadata varies (Aperio descriptions, TIFF resolutions, Philips
XML, NDPI tags): `kolva.mpp-x`, `kolva.mpp-y`, `kolva.objective-power`,
`kolva.vendor` and `kolva.comment` equal OpenSlide's `openslide.*` strings, and
every `aperio.*`, `philips.*`, `hamamatsu.*` and `tiff.*` key OpenSlide reports is
there with the same value. Hostile metadata (bytes that are no UTF-8, a huge
description, NaN, infinite or negative resolutions) gives valid text and no pixel
size."""
from __future__ import annotations

import math
import sys
import time
from collections.abc import Callable
from pathlib import Path

import pytest

import kolva

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from fixtures import ets, ndpi, tiff_slides as ts  # noqa: E402
from fixtures.common import CORPUS  # noqa: E402

openslide = pytest.importorskip("openslide")

REAL = sorted(p for p in CORPUS.glob("*/*") if p.suffix != ".md") if CORPUS.is_dir() else []
VENDOR_PREFIXES = ("aperio.", "philips.", "hamamatsu.", "tiff.")
SHARED = ("mpp-x", "mpp-y", "objective-power", "vendor", "comment")


def philips_attr(name: str, value: str) -> str:
    return f'<Attribute Name="{name}" PMSVR="IString">{value}</Attribute>'


# name -> builder(directory) -> path. Each varies the metadata of a default fixture.
VARIANTS: dict[str, Callable[[Path], Path]] = {
    **{f"generic-{name}": (lambda d, name=name, res=res: ts.make_generic_tiff(
        d / f"generic-{name}.tiff", levels=((512, 384, 256), (256, 192, 256)),
        extra_stripped=False, resolution=res).path)
       for name, res in {
           "cm": ((43826, 10), (43826, 10), 3),
           "inch": ((72, 1), (144, 1), 2),
           "unit-absent": ((1200, 1), (1200, 1), None),
           "unit-none": ((72, 1), (72, 1), 1),
           "unit-unknown": ((72, 1), (72, 1), 7),
           "zero": ((0, 1), (72, 1), 3),
           "zero-denominator": ((5, 0), (72, 1), 3),
       }.items()},
    **{f"aperio-{name}": (lambda d, name=name, kw=kw: ts.make_aperio_svs(
        d / f"aperio-{name}.svs", levels=((480, 480, 240), (240, 240, 240)), **kw).path)
       for name, kw in {
           "comma-decimal": dict(mpp="0,2525", app_mag="40.5"),
           "long-numbers": dict(mpp="0.24634567891234", app_mag="20.123456789"),
           "no-mpp": dict(mpp=None, app_mag=None),
           "junk-numbers": dict(mpp="0.5x", app_mag=""),
           "hex-mag": dict(app_mag="0x10"),
           "odd-fields": dict(description_extra="|  Key  =  v = w  |Date = 01/01/20|NoEquals"),
           "latin-1": dict(description_extra="|Title = caf\xe9"),
           "utf-8": dict(description_extra="|Title = caf\xc3\xa9"),
       }.items()},
    "philips-objective": lambda d: ts.make_philips_tiff(
        d / "philips-objective.tiff", spacing_mm=0.000246345679,
        xml_options=dict(derivation="tiff-useBigTIFF=0-levels=40,10002-q80",
                         root_extra=philips_attr("AMP", "a &amp; b &lt;c&gt; &#65;")
                         + philips_attr("EMPTY", "")
                         + philips_attr("CD", "<![CDATA[x<y]]>"))).path,
    "ndpi-fraction-cm": lambda d: ndpi.make_ndpi(d / "ndpi-fraction-cm.ndpi",
                                                 resolution=(438261, 10)).path,
    "ndpi-inch": lambda d: ndpi.make_ndpi(d / "ndpi-inch.ndpi", resolution_unit=2).path,
    "ndpi-unit-absent": lambda d: ndpi.make_ndpi(d / "ndpi-unit-absent.ndpi",
                                                 resolution_unit=None).path,
    "ndpi-lens": lambda d: ndpi.make_ndpi(d / "ndpi-lens.ndpi", source_lens=35.16).path,
}


@pytest.fixture(scope="module")
def paths(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    d = tmp_path_factory.mktemp("metadata")
    out = {name: s.path for name, s in ts.all_tiff_fixtures(d).items()}
    out.update({name: s.path for name, s in ndpi.all_ndpi_fixtures(d).items()})
    out.update({name: build(d) for name, build in VARIANTS.items()})
    if ndpi.sparse_files_supported(d):
        out["ndpi_big"] = ndpi.make_ndpi_big(d / "ndpi_big.ndpi").path
    return out


NAMES = (["generic-le", "generic-be", "generic-bigtiff", "generic-bigtiff-be-rgb",
          "aperio-ycbcr", "aperio-rgb", "aperio-rgb-app14", "aperio-bigtiff-be",
          "aperio-j2k-rgb", "aperio-j2k-ycbcr", "philips", "philips-sparse", "ndpi_444",
          "ndpi_422", "ndpi_420", "ndpi_high_word", "ndpi_classic"] + list(VARIANTS))


def compare_with_openslide(path: Path) -> None:
    try:
        theirs = openslide.OpenSlide(str(path)).properties
    except openslide.OpenSlideError:
        pytest.skip("OpenSlide does not open this file")
    ours = kolva.open(path).properties
    for key in SHARED:
        assert ours.get(f"kolva.{key}") == theirs.get(f"openslide.{key}"), key
    vendor_keys = [k for k in theirs if k.startswith(VENDOR_PREFIXES)]
    assert {k: ours.get(k) for k in vendor_keys} == {k: theirs[k] for k in vendor_keys}


@pytest.mark.parametrize("name", NAMES + ["ndpi_big"])
def test_fixture_properties_equal_openslide(paths: dict[str, Path], name: str) -> None:
    if name not in paths:
        pytest.skip("this file system keeps no sparse files: no NDPI over 4 GiB")
    compare_with_openslide(paths[name])


@pytest.mark.skipif(not REAL, reason="no real sample files beside the repository")
@pytest.mark.parametrize("path", REAL, ids=lambda p: p.name)
def test_real_file_properties_equal_openslide(path: Path) -> None:
    try:
        kolva.open(path)
    except kolva.UnsupportedFormat:
        pytest.skip("kolva does not open this file")
    compare_with_openslide(path)


def test_the_fixtures_state_what_is_compared(paths: dict[str, Path]) -> None:
    """The comparison above compares something: these fixtures carry each source."""
    expected = {
        "aperio-ycbcr": ("0.499", "0.499", "20"),
        "philips": ("0.227273", "0.227273", None),
        "philips-objective": ("0.24634567900000001", "0.24634567900000001", "40"),
        "ndpi_444": ("0.2281750559028887", "0.2281750559028887", "40"),
        "ndpi-lens": ("0.2281750559028887", "0.2281750559028887", "35.159999847412109"),
        "generic-cm": ("2.2817505590288869", "2.2817505590288869", None),
        "generic-inch": ("352.77777777777777", "176.38888888888889", None),
        "generic-unit-absent": ("21.166666666666668", "21.166666666666668", None),
        "generic-unit-none": (None, None, None),
        "generic-zero": (None, None, None),
    }
    for name, (x, y, power) in expected.items():
        props = kolva.open(paths[name]).properties
        got = (props.get("kolva.mpp-x"), props.get("kolva.mpp-y"),
               props.get("kolva.objective-power"))
        assert got == (x, y, power), name
    aperio = kolva.open(paths["aperio-ycbcr"]).properties
    assert aperio["aperio.OriginalWidth"] == "760"  # stated twice; the last one counts


@pytest.mark.parametrize("name, vendor", [("generic-le", "generic-tiff"), ("aperio-rgb", "aperio"),
                                          ("philips", "philips"), ("ndpi_420", "hamamatsu")])
def test_vendor_mpp_and_level_keys(paths: dict[str, Path], name: str, vendor: str) -> None:
    with kolva.open(paths[name]) as slide:
        props = slide.properties
        assert props["kolva.vendor"] == vendor
        assert props["kolva.level-count"] == str(slide.level_count)
        for lv in slide.levels:
            prefix = f"kolva.level[{lv.index}]."
            assert (int(props[prefix + "width"]), int(props[prefix + "height"])) == lv.dimensions
            assert (int(props[prefix + "tile-width"]),
                    int(props[prefix + "tile-height"])) == lv.tile_size
            assert float(props[prefix + "downsample"]) == lv.downsample
        if "kolva.mpp-x" in props:
            assert slide.mpp == (float(props["kolva.mpp-x"]), float(props["kolva.mpp-y"]))
        else:
            assert slide.mpp is None


def test_ets_has_vendor_and_levels(tmp_path: Path) -> None:
    built = ets.make_ets(tmp_path / "e.ets", levels=((2, 2), (1, 1)), tile=(64, 64))
    with kolva.open(built.path) as slide:
        props = slide.properties
        assert props["kolva.vendor"] == "olympus"
        assert props["kolva.level-count"] == "2"
        assert props["kolva.level[1].tile-width"] == "64"
        assert slide.mpp is None
        assert not any(k.startswith("tiff.") for k in props)


# --------------------------------------------------------------------------- hostile
@pytest.mark.parametrize("tags", [
    {ts.X_RESOLUTION: (ts.DOUBLE, math.nan), ts.Y_RESOLUTION: (ts.DOUBLE, math.nan)},
    {ts.X_RESOLUTION: (ts.DOUBLE, math.inf), ts.Y_RESOLUTION: (ts.DOUBLE, 72.0)},
    {ts.X_RESOLUTION: (ts.FLOAT, -72.0), ts.Y_RESOLUTION: (ts.FLOAT, -72.0)},
    {ts.X_RESOLUTION: (ts.DOUBLE, 1e-320), ts.Y_RESOLUTION: (ts.DOUBLE, 1e-320)},
    {ts.X_RESOLUTION: (ts.RATIONAL, [(0, 0)]), ts.Y_RESOLUTION: (ts.RATIONAL, [(0, 0)])},
], ids=["nan", "inf", "negative-float", "subnormal", "zero-over-zero"])
def test_unusable_resolutions_give_no_mpp(tmp_path: Path, tags: dict) -> None:
    tags = {**tags, ts.RESOLUTION_UNIT: (ts.SHORT, 3)}
    path = ts.make_generic_tiff(tmp_path / "r.tiff", levels=((64, 48, 16),),
                                extra_stripped=False, level0_tags=tags).path
    with kolva.open(path) as slide:
        assert "kolva.mpp-x" not in slide.properties and slide.mpp is None
        for key in ("tiff.XResolution", "tiff.YResolution"):
            value = slide.properties.get(key)
            assert value is None or math.isfinite(float(value)) and float(value) >= 0


def test_bytes_that_are_no_utf8_come_out_as_text(tmp_path: Path) -> None:
    bad = b"Scan\xff\xfe \xc3( \xed\xa0\x80 caf\xe9 \xe2\x82"
    tags = {ts.SOFTWARE: (ts.ASCII, bad), 271: (ts.ASCII, b"Make\x00hidden"),
            ts.IMAGE_DESCRIPTION: (ts.ASCII, bad + b"|x")}
    path = ts.make_generic_tiff(tmp_path / "b.tiff", levels=((64, 48, 16),),
                                extra_stripped=False, level0_tags=tags).path
    with kolva.open(path) as slide:
        props = slide.properties
    assert props["tiff.Software"] == bad.decode("utf-8", "replace")
    assert props["kolva.comment"] == props["tiff.ImageDescription"] == props["tiff.Software"] + "|x"
    assert props["tiff.Make"] == "Make"  # text ends at the first NUL
    for key, value in props.items():
        key.encode("utf-8")
        value.encode("utf-8")  # no lone surrogates


def test_huge_aperio_description(tmp_path: Path) -> None:
    fields = "".join(f"|Key{i} = {'v' * 20}{i}" for i in range(200_000))  # about 6 MB
    path = ts.make_aperio_svs(tmp_path / "huge.svs", levels=((240, 240, 240),),
                              description_extra=fields + "|MPP = 0.25").path
    start = time.perf_counter()
    with kolva.open(path) as slide:
        props = slide.properties
    assert time.perf_counter() - start < 20
    assert props["aperio.Key199999"] == "v" * 20 + "199999"
    assert props["kolva.mpp-x"] == "0.25"  # the later MPP replaces the first
    assert len(props["kolva.comment"]) > 6_000_000


@pytest.mark.parametrize("root_extra", [
    "<Attribute Name='X'>" * 5000,            # unbalanced and deep
    "<Attribute Name=\"X\">&#xD800;&#1114112;&unknown;</Attribute>",
    "<" * 1000,
    "<Attribute Name=\"X\"><![CDATA[never closed",
], ids=["deep", "bad-references", "brackets", "open-cdata"])
def test_hostile_philips_xml(tmp_path: Path, root_extra: str) -> None:
    path = ts.make_philips_tiff(tmp_path / "p.tiff", content=(64, 48), tile=32, n_levels=2,
                                xml_options=dict(root_extra=root_extra)).path
    with kolva.open(path) as slide:
        props = slide.properties
        assert props["kolva.vendor"] == "philips"
        assert slide.read_tile(0, 0, 0)[:2] == b"\xff\xd8"
    for value in props.values():
        value.encode("utf-8")


@pytest.mark.parametrize("name", ["philips", "philips-sparse", "philips-objective",
                                  "aperio-ycbcr", "aperio-j2k-rgb", "generic-le"])
def test_level_downsamples_equal_openslide(paths: dict[str, Path], name: str) -> None:
    """Philips pads every level to whole tiles, so its downsamples come from the
    pixel spacing in the XML, not from the level sizes."""
    theirs = openslide.OpenSlide(str(paths[name])).level_downsamples
    with kolva.open(paths[name]) as slide:
        assert slide.level_downsamples == pytest.approx(theirs, rel=1e-3)
        assert [float(slide.properties[f"kolva.level[{i}].downsample"])
                for i in range(slide.level_count)] == list(slide.level_downsamples)
