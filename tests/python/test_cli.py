"""The `kolva` command line against fixture slides of every format: `info` metadata,
geometry and tile encodings (table and JSON), `extract` file sets and bytes (the same
as the specified module's), failure exits with the API's messages, the bundled example
slide, and the typing of `_kolva_rs` (its .pyi file).

The CLI runs in-process through `kolva.cli.main(argv)`; one test runs the installed
console script and `python -m kolva` as subprocesses."""
from __future__ import annotations

import contextlib
import importlib.metadata
import importlib.util
import io
import json
import os
import re
import shutil
import subprocess
import struct
import sys
import sysconfig
import tomllib
from pathlib import Path

import pytest

import _kolva_rs
from fixtures import ets, ndpi, tiff_slides
from fixtures.common import Slide

ROOT = Path(__file__).resolve().parents[2]
try:
    import kolva.cli
except ImportError:  # the package isn't installed: use the source tree
    sys.path.insert(0, str(ROOT / "python"))
    import kolva.cli
from kolva.cli import SNIFF_ATTEMPTS, main

# What a reader of the tile bytes calls each encoding, independently of the CLI.
MAGIC = [(b"\xff\xd8", "jpeg", ".jpg"), (b"\xff\x4f\xff\x51", "jpeg2000", ".j2k"),
         (b"\x00\x00\x00\x0cjP", "jp2", ".jp2"), (b"BM", "bmp", ".bmp")]
LABEL = {"jpeg": "JPEG", "jpeg2000": "JPEG 2000 codestream", "jp2": "JP2", "bmp": "BMP",
         "unknown": "unknown", None: "none readable"}
BUILDER_ENCODING = {"jpeg": "jpeg", "jpeg2000": "jpeg2000", "jpeg2000ycbcr": "jpeg2000",
                    "bmp": "bmp"}
# Formats the library is still gaining: an open failure there skips, elsewhere fails.
IN_PROGRESS = {"ndpi": "NDPI", "olympus": "Olympus ETS"}


def kind(data: bytes) -> tuple[str, str]:
    for magic, name, ext in MAGIC:
        if data[:len(magic)] == magic:
            return name, ext
    return "unknown", ".bin"


@pytest.fixture(scope="session")
def slides(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Slide]:
    d = tmp_path_factory.mktemp("cli_slides")
    out: dict[str, Slide] = dict(tiff_slides.all_tiff_fixtures(_mk(d / "tiff")))
    out.update(ndpi.all_ndpi_fixtures(_mk(d / "ndpi")))
    out.update({k: v for k, v in ets.all_ets_fixtures(_mk(d / "ets")).items()
                if k not in ets.ETS_UNOPENABLE})
    return out


def _mk(p: Path) -> Path:
    p.mkdir()
    return p


SLIDE_NAMES = ["generic-le", "generic-be", "generic-bigtiff", "generic-bigtiff-be-rgb",
               "aperio-ycbcr", "aperio-rgb", "aperio-rgb-app14", "aperio-bigtiff-be",
               "aperio-j2k-rgb", "aperio-j2k-ycbcr", "philips", "philips-sparse",
               "ndpi_444", "ndpi_422", "ndpi_420", "ndpi_high_word", "ndpi_progressive",
               "ndpi_classic", "jpeg", "header_120", "header_157", "raw", "bmp",
               "jpeg2000", "plane1_extent", "png", "lossless_jpeg", "dims_3", "dims_4",
               "dims_5", "dims_6"]


def quiet_open(path: str | Path) -> _kolva_rs.KolvaPyDecoder:
    with contextlib.redirect_stderr(io.StringIO()):
        return _kolva_rs.KolvaPyDecoder(str(path))


@pytest.fixture
def slide(request: pytest.FixtureRequest, slides: dict[str, Slide]) -> Slide:
    """The named fixture slide; skipped when its format isn't supported yet."""
    s = slides[request.param]
    try:
        quiet_open(s.path)
    except _kolva_rs.PanicException as exc:
        if s.format in IN_PROGRESS:
            pytest.skip(f"the installed _kolva_rs can't open {IN_PROGRESS[s.format]} "
                        f"files yet: {exc}")
        raise
    return s


def expected_encoding(level: tiff_slides.Level) -> str | None:
    """Encoding of the first present tile in row-major order within the sniff cap."""
    for i in range(min(level.tiles_across * level.tiles_down, SNIFF_ATTEMPTS)):
        data = level.tiles.get((i % level.tiles_across, i // level.tiles_across))
        if data is not None:
            return kind(data)[0]
    return None


def run(argv: list[str], capfd: pytest.CaptureFixture[str]) -> tuple[int, str, str]:
    capfd.readouterr()
    code = main(argv)
    out, err = capfd.readouterr()
    return code, out, err


# --------------------------------------------------------------------------- info
@pytest.mark.parametrize("slide", SLIDE_NAMES, indirect=True)
def test_info_json(slide: Slide, capfd: pytest.CaptureFixture[str]) -> None:
    code, out, err = run(["info", "--json", str(slide.path)], capfd)
    assert (code, err) == (0, "")
    [info] = json.loads(out)
    assert info["path"] == str(slide.path)
    assert info["level_count"] == len(slide.levels) == len(info["levels"])
    with kolva.open(slide.path) as api:
        assert info["format"] == api.format
        assert info["vendor"] == api.properties["kolva.vendor"]
        assert info["mpp"] == (list(api.mpp) if api.mpp else None)
        power = api.properties.get("kolva.objective-power")
        assert info["objective_power"] == (float(power) if power else None)
        assert info["associated"] == [
            {"name": name, "media_type": image.media_type, "width": image.dimensions[0],
             "height": image.dimensions[1], "size_bytes": len(image.data)}
            for name, image in api.associated_images.items()]
        api_levels = api.levels
    for n, (got, lv) in enumerate(zip(info["levels"], slide.levels)):
        assert got == {"level": n, "width": lv.width, "height": lv.height,
                       "tile_width": lv.tile_width, "tile_height": lv.tile_height,
                       "tiles_across": lv.tiles_across, "tiles_down": lv.tiles_down,
                       "encoding": expected_encoding(lv),
                       "media_type": api_levels[n].media_type,
                       "downsample": api_levels[n].downsample}
        if lv.encoding:
            assert got["encoding"] == BUILDER_ENCODING[lv.encoding]


@pytest.mark.parametrize("slide", SLIDE_NAMES, indirect=True)
def test_info_table(slide: Slide, capfd: pytest.CaptureFixture[str]) -> None:
    code, out, err = run(["info", str(slide.path)], capfd)
    assert (code, err) == (0, "")
    title, fmt, pixel, power, header, *rows = out.rstrip("\n").split("\n")
    plural = "level" if len(slide.levels) == 1 else "levels"
    assert title == f"{slide.path}: {len(slide.levels)} {plural}"
    with kolva.open(slide.path) as api:
        vendor = api.properties["kolva.vendor"]
        assert fmt == f"  format: {api.format}" + (f" ({vendor})" if vendor != api.format else "")
        mpp = (f"{api.mpp[0]:.6g} x {api.mpp[1]:.6g} \u00b5m per pixel" if api.mpp
               else "not stated")
        assert pixel == f"  pixel size: {mpp}"
        objective = api.properties.get("kolva.objective-power")
        assert power == "  objective power: " + (f"{float(objective):.6g}x" if objective
                                                  else "not stated")
        api_levels = api.levels
        associated = list(api.associated_images)
    assert header.split() == ["level", "size", "tile", "tiles", "(across", "x", "down)",
                              "downsample", "media", "type", "encoding"]
    rows, tail = rows[:len(slide.levels)], rows[len(slide.levels):]
    assert len(rows) == len(slide.levels)
    assert (tail == ["  associated images: none"] if not associated
            else tail[0] == "  associated images:" and len(tail) == 1 + len(associated))
    for n, (row, lv) in enumerate(zip(rows, slide.levels)):
        assert re.split(r"\s{2,}", row.strip()) == [
            str(n), f"{lv.width} x {lv.height}", f"{lv.tile_width} x {lv.tile_height}",
            f"{lv.tiles_across} x {lv.tiles_down}", f"{api_levels[n].downsample:.6g}",
            api_levels[n].media_type, LABEL[expected_encoding(lv)]]
    # columns line up: every row as long as the header up to the encoding column
    starts = {line.index(cells) for line, cells in
              [(header, "encoding")] + [(r, LABEL[expected_encoding(lv)])
                                        for r, lv in zip(rows, slide.levels)]}
    assert len(starts) == 1


def test_info_several_slides_and_a_failure(slides: dict[str, Slide], tmp_path: Path,
                                           capfd: pytest.CaptureFixture[str]) -> None:
    a, b = slides["generic-le"].path, slides["philips"].path
    code, out, err = run(["info", "--json", str(a), str(tmp_path / "gone.svs"), str(b)], capfd)
    assert code == 1
    assert [i["path"] for i in json.loads(out)] == [str(a), str(b)]
    assert err.splitlines() == [f"kolva: error: cannot open {tmp_path / 'gone.svs'}: "
                                "No such file or directory"]
    code, out, err = run(["info", str(a), str(b)], capfd)
    assert (code, err) == (0, "")
    assert out.count(": 3 levels\n") == 2 and "\n\n" in out


# --------------------------------------------------------------------------- extract
def tree(root: Path) -> dict[str, bytes]:
    return {p.relative_to(root).as_posix(): p.read_bytes()
            for p in sorted(root.rglob("*")) if p.is_file()}


def summary(out: str) -> tuple[int, int, float]:
    m = re.fullmatch(r"wrote (\d+) tiles \((\d+) skipped\), (\d+\.\d) MB in \d+\.\d\d s, "
                     r"\d+ tiles/s\n", out)
    assert m, out
    return int(m[1]), int(m[2]), float(m[3])


@pytest.mark.parametrize("slide", SLIDE_NAMES, indirect=True)
def test_extract_all_levels(slide: Slide, tmp_path: Path,
                            capfd: pytest.CaptureFixture[str]) -> None:
    code, out, err = run(["extract", str(slide.path), str(tmp_path / "out")], capfd)
    assert (code, err) == (0, "")
    files = tree(tmp_path / "out")
    decoder = quiet_open(slide.path)
    expected = {f"{n}/{x}_{y}{kind(data)[1]}": data
                for n, lv in enumerate(slide.levels) for (x, y), data in lv.tiles.items()}
    assert sorted(files) == sorted(expected)
    for name, data in files.items():
        n, x, y = map(int, re.split(r"[/_.]", name)[:3])
        assert data == decoder.read_tile_as_bytes(n, x, y), name
    assert files == expected
    total = sum(lv.tiles_across * lv.tiles_down for lv in slide.levels)
    nbytes = sum(map(len, expected.values()))
    assert summary(out) == (len(expected), total - len(expected), round(nbytes / 1e6, 1))


@pytest.mark.parametrize("levels, dirs", [
    (["--level", "1"], ["1"]),
    (["--level", "2", "--level", "0", "--level", "2"], ["0", "2"]),
    ([], ["0", "1", "2"]),
])
def test_extract_chosen_levels(slides: dict[str, Slide], tmp_path: Path, levels: list[str],
                               dirs: list[str], capfd: pytest.CaptureFixture[str]) -> None:
    s = slides["philips-sparse"]  # (0, 2, 1) and (1, 0, 1) are absent
    code, out, err = run(["extract", str(s.path), str(tmp_path), *levels], capfd)
    assert (code, err) == (0, "")
    assert sorted(p.name for p in tmp_path.iterdir()) == dirs
    chosen = [s.levels[int(d)] for d in dirs]
    written = sum(len(lv.tiles) for lv in chosen)
    skipped = sum(lv.tiles_across * lv.tiles_down for lv in chosen) - written
    assert summary(out)[:2] == (written, skipped)
    assert sum(1 for p in tmp_path.rglob("*") if p.is_file()) == written


def test_extract_into_existing_directory_overwrites(slides: dict[str, Slide], tmp_path: Path,
                                                    capfd: pytest.CaptureFixture[str]) -> None:
    s = slides["aperio-j2k-rgb"]
    (tmp_path / "1").mkdir()
    (tmp_path / "1" / "0_0.j2k").write_bytes(b"stale")
    assert run(["extract", str(s.path), str(tmp_path), "--level", "1"], capfd)[0] == 0
    assert (tmp_path / "1" / "0_0.j2k").read_bytes() == s.levels[1].tiles[(0, 0)]


# --------------------------------------------------------------------------- failures
def _not_a_slide(tmp: Path) -> Path:
    p = tmp / "notes.txt"
    p.write_text("not a slide\n" * 40)
    return p


NOT_A_SLIDE = "{notes} is not a slide kolva can read: it starts with bytes 6E 6F 74 20"


@pytest.mark.parametrize("argv, message", [
    (["info", "{tmp}/missing.svs"], "cannot open {tmp}/missing.svs: No such file or directory"),
    (["extract", "{tmp}/missing.svs", "{tmp}/out"],
     "cannot open {tmp}/missing.svs: No such file or directory"),
    (["info", "{tmp}"], "cannot read {tmp}: Is a directory"),
    (["info", "{notes}"], NOT_A_SLIDE),
    (["extract", "{notes}", "{tmp}/out"], NOT_A_SLIDE),
    (["extract", "--example", "{tmp}/out", "--level", "3"],
     "level 3 does not exist: {example} has 3 levels (0-2)"),
    (["extract", "--example", "{tmp}/out", "--level", "0", "--level", "-1"],
     "level -1 does not exist: {example} has 3 levels (0-2)"),
    (["extract", "{tmp}/out"], "extract: give SLIDE OUTDIR, or --example OUTDIR"),
    (["extract", "--example", "{example}", "{tmp}/out"],
     "extract: give SLIDE OUTDIR, or --example OUTDIR"),
    (["info"], "info: give at least one SLIDE, or --example"),
])
def test_failure_is_one_line(argv: list[str], message: str, tmp_path: Path,
                             capfd: pytest.CaptureFixture[str]) -> None:
    notes = _not_a_slide(tmp_path)
    fields = {"tmp": str(tmp_path), "notes": str(notes),
              "example": str(kolva.example_path())}
    code, out, err = run([a.format(**fields) for a in argv], capfd)
    assert code == 1
    assert out == ""
    assert err == f"kolva: error: {message.format(**fields)}\n"
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("argv", [[], ["frobnicate"], ["extract", "--level", "x", "a", "b"]])
def test_usage_errors_exit_2(argv: list[str], capfd: pytest.CaptureFixture[str]) -> None:
    code, out, err = run(argv, capfd)
    assert code == 2 and out == ""
    assert err.startswith("usage: kolva") and err.splitlines()[-1].startswith("kolva: error: ")


def test_unreadable_tiles_are_skipped_quietly(slides: dict[str, Slide], tmp_path: Path,
                                              capfd: pytest.CaptureFixture[str]) -> None:
    """A level whose every tile is absent: `info` says so, `extract` skips them all,
    and none of the module's failure reports reach the terminal."""
    s = slides["philips-sparse"]
    code, out, err = run(["info", "--json", str(s.path)], capfd)
    assert (code, err) == (0, "")
    # philips-sparse has (1, 0, 1) absent, so level 1's encoding comes from (0, 0)
    assert json.loads(out)[0]["levels"][1]["encoding"] == "jpeg"
    with contextlib.redirect_stderr(io.StringIO()):
        with pytest.raises(_kolva_rs.PanicException):
            quiet_open(s.path).read_tile_as_bytes(1, 0, 1)
    code, out, err = run(["extract", str(s.path), str(tmp_path), "--level", "1"], capfd)
    assert (code, err) == (0, "")
    assert summary(out)[1] == 1


def test_extract_fails_when_tiles_cannot_be_read(slides: dict[str, Slide], tmp_path: Path,
                                                 capfd: pytest.CaptureFixture[str]) -> None:
    """A tile whose bytes lie past the end of the file is a failure, not an absent
    tile: extract writes the rest, exits 1 and says how many it could not read."""
    s = slides["philips-sparse"]
    data = bytearray(s.path.read_bytes())
    with kolva.open(s.path) as opened:
        (offset, _), = opened._core.plan_tiles(0, [(0, 0)])[1]
    at = data.find(struct.pack("<I", offset))
    if at < 0:
        pytest.skip("the tile's offset is not stored as a little-endian LONG")
    data[at:at + 4] = struct.pack("<I", len(data) + 4096)
    broken = tmp_path / "broken.tiff"
    broken.write_bytes(bytes(data))
    code, out, err = run(["extract", str(broken), str(tmp_path / "out")], capfd)
    assert code == 1
    assert re.fullmatch(r"kolva extract: 1 tile could not be read \(the first: .*\)\n", err), err
    written, skipped, _ = summary(out)
    assert written == sum(len(lv.tiles) for lv in s.levels) - 1


# --------------------------------------------------------------------------- example
def _load_make_example():  # type: ignore[no-untyped-def]
    module_spec = importlib.util.spec_from_file_location("make_example", ROOT / "tools" / "make_example.py")
    assert module_spec and module_spec.loader
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def example(tmp_path_factory: pytest.TempPathFactory) -> Slide:
    """The example slide rebuilt from tools/make_example.py."""
    path = tmp_path_factory.mktemp("example") / "example.svs"
    slide: Slide = _load_make_example().build(path)
    return slide


def test_bundled_example_is_current(example: Slide) -> None:
    bundled = kolva.example_path()
    assert bundled.stat().st_size < 200_000
    assert bundled.read_bytes() == example.path.read_bytes(), \
        "python/kolva/example/example.svs is stale: run tools/make_example.py"


def test_example_info_and_extract(example: Slide, tmp_path: Path,
                                  capfd: pytest.CaptureFixture[str]) -> None:
    bundled = str(kolva.example_path())
    code, out, err = run(["info", "--json", "--example"], capfd)
    assert (code, err) == (0, "")
    [info] = json.loads(out)
    assert info["path"] == bundled
    assert [(lv["width"], lv["height"], lv["tiles_across"], lv["tiles_down"], lv["encoding"])
            for lv in info["levels"]] == [(880, 600, 4, 3, "jpeg"), (440, 300, 2, 2, "jpeg"),
                                          (220, 150, 1, 1, "jpeg")]
    code, out, err = run(["extract", "--example", str(tmp_path)], capfd)
    assert (code, err) == (0, "")
    assert tree(tmp_path) == {f"{n}/{x}_{y}.jpg": data for n, lv in enumerate(example.levels)
                              for (x, y), data in lv.tiles.items()}
    assert summary(out)[:2] == (17, 0)


def test_console_script_and_module(tmp_path: Path) -> None:
    """The installed `kolva` script and `python -m kolva`, as a user runs them; a
    failure leaves exactly one line on the real standard error."""
    script = shutil.which("kolva", path=os.path.dirname(sys.executable)) or shutil.which("kolva")
    if script is None:
        pytest.skip("the kolva console script is not installed (pip install .)")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    ok = subprocess.run([script, "info", "--json", "--example"], capture_output=True,
                        text=True, env=env, timeout=60)
    assert (ok.returncode, ok.stderr) == (0, "")
    same = subprocess.run([sys.executable, "-m", "kolva", "info", "--json", "--example"],
                          capture_output=True, text=True, env=env, timeout=60)
    assert (same.returncode, same.stdout, same.stderr) == (0, ok.stdout, "")
    bad = subprocess.run([script, "info", str(_not_a_slide(tmp_path))], capture_output=True,
                         text=True, env=env, timeout=60)
    assert bad.returncode == 1 and bad.stdout == ""
    assert len(bad.stderr.splitlines()) == 1
    assert bad.stderr.startswith("kolva: error: ")


# --------------------------------------------------------------------------- stubs
STUBS = ROOT / "python" / "_kolva_rs-stubs" / "__init__.pyi"

GOOD_USE = '''
import _kolva_rs
from _kolva_rs import KolvaPyDecoder, PanicException

def first_tile(path: str) -> bytes | None:
    d = KolvaPyDecoder(path)
    w, h = d.dimensions
    sizes: list[tuple[int, int]] = d.level_dimensions + d.level_tile_sizes
    n: int = d.level_count + w + h + len(sizes)
    try:
        return d.read_tile_as_bytes(lv=n - n, x=True, y=0)
    except PanicException as exc:
        base: BaseException = exc
        return None

version: str = _kolva_rs.__version__ + _kolva_rs.sum_as_string(1, b=2)
'''

BAD_USE = {
    "KolvaPyDecoder(b'x')": "arg-type",
    "KolvaPyDecoder('x').read_tile_as_bytes(0, 0)": "call-arg",
    "KolvaPyDecoder('x').read_tile_as_bytes(0.0, 0, 0)": "arg-type",
    "s: str = KolvaPyDecoder('x').level_count": "assignment",
    "KolvaPyDecoder('x').level_count = 3": "misc",
    "t: tuple[int, int, int] = KolvaPyDecoder('x').dimensions": "assignment",
    "e: Exception = _kolva_rs.PanicException()": "assignment",
    "class Sub(KolvaPyDecoder): pass": "misc",
}


def _mypy(tmp_path: Path, *args: str) -> subprocess.CompletedProcess[str]:
    pytest.importorskip("mypy", reason="mypy is not installed")
    stubs = tmp_path / "stubs"
    stubs.mkdir(exist_ok=True)
    shutil.copy(STUBS, stubs / "_kolva_rs.pyi")  # the source stubs, whatever is installed
    env = dict(os.environ, MYPYPATH=str(stubs))
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          env=env, cwd=tmp_path, timeout=300)


def test_stubs_type_check_a_sample(tmp_path: Path) -> None:
    (tmp_path / "good.py").write_text(GOOD_USE)
    bad = "import _kolva_rs\nfrom _kolva_rs import KolvaPyDecoder\n" + "\n".join(BAD_USE) + "\n"
    (tmp_path / "bad.py").write_text(bad)
    good = _mypy(tmp_path, "mypy", "--strict", "--no-incremental", "good.py")
    assert good.returncode == 0, good.stdout + good.stderr
    res = _mypy(tmp_path, "mypy", "--strict", "--no-incremental", "bad.py")
    flagged = {int(m[1]): m[2] for m in re.finditer(r"bad\.py:(\d+): error: .*\[([\w-]+)\]",
                                                    res.stdout)}
    assert [flagged.get(i + 3) for i in range(len(BAD_USE))] == list(BAD_USE.values()), \
        res.stdout


@pytest.mark.parametrize("module", ["_kolva_rs", "kolva._core"])
def test_pyi_declarations_match_the_module(tmp_path: Path, module: str) -> None:
    res = _mypy(tmp_path, "mypy.stubtest", module)
    assert res.returncode == 0, res.stdout + res.stderr


def test_cli_type_checks_strictly(tmp_path: Path) -> None:
    res = _mypy(tmp_path, "mypy", "--strict", "--no-incremental", "--ignore-missing-imports",
                str(ROOT / "python" / "kolva"))
    assert res.returncode == 0, res.stdout + res.stderr


def test_one_version_for_the_package_its_metadata_and_the_command() -> None:
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    assert "version" not in project and "version" in project["dynamic"]
    assert importlib.metadata.version("kolva") == kolva.__version__
    shown = subprocess.run([sys.executable, "-m", "kolva", "--version"], capture_output=True,
                           text=True, check=True).stdout
    assert shown.split() == ["kolva", kolva.__version__]


def test_installed_wheel_carries_stubs_and_example() -> None:
    site = Path(sysconfig.get_paths()["purelib"])
    module = Path(_kolva_rs.__file__ or "")
    if module.parent != site or Path(kolva.__file__ or "").parent.parent != site:
        pytest.skip("kolva is not installed in this interpreter's site-packages")
    assert (site / "_kolva_rs-stubs" / "__init__.pyi").read_bytes() == STUBS.read_bytes()
    assert (site / "kolva" / "py.typed").exists()
    assert (site / "kolva" / "example" / "example.svs").stat().st_size > 0
