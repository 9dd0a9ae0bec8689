"""The viewer in a real browser: headless Chromium opens `/view/{id}` with the view
fixed by URL parameters, and its screenshot is compared with OpenSlide's rendering
of the same region at the same scale.

Thresholds (mean absolute difference over all pixels and channels, 0-255):
* 1:1 views of a stored level: at most 2. Browser and OpenSlide decode the same JPEG
  bytes with libjpeg-turbo; what differs is rounding in the inverse DCT and chroma
  upsampling, worth well under one grey level on average. A view off by a single
  tile, or an edge tile showing its padding, costs tens.
* A level scaled by the browser (between its stored zooms): at most 4. The browser
  filters differently from Pillow's box filter used for the reference, which shows
  on a smooth image as one or two grey levels.
Each check also compares with a reference shifted by a few pixels, which must be
clearly worse: the match is the region asked for, not merely a similar picture.
"""
from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("uvicorn")
pytest.importorskip("starlette")
openslide = pytest.importorskip("openslide")
from PIL import Image  # noqa: E402

import kolva  # noqa: E402
from kolva.serve import create_app  # noqa: E402
from serve_util import running  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
REAL_SVS = ROOT.parent / "shared/corpus/real/svs/CMU-1-Small-Region.svs"
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
W, H = 640, 480

pytestmark = pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")


def chromium(url: str, tmp_path: Path, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
         "--force-device-scale-factor=1", "--no-first-run", "--disable-extensions",
         f"--user-data-dir={tmp_path / 'profile'}", f"--window-size={W},{H}",
         "--virtual-time-budget=15000", *args, url],
        capture_output=True, timeout=90)


def screenshot(url: str, tmp_path: Path) -> np.ndarray:
    out = tmp_path / "shot.png"
    chromium(url, tmp_path, f"--screenshot={out}")
    image = np.asarray(Image.open(out).convert("RGB"), dtype=np.float64)
    assert image.shape == (H, W, 3), image.shape
    return image


def reference(path: str, level: int, left: float, top: float, scale: float,
              shift: int = 0) -> np.ndarray:
    """OpenSlide's pixels of the view: level `level` from level-0 (left, top), shown at
    `scale` screen pixels per level pixel, on black past the slide's edge."""
    with openslide.OpenSlide(path) as slide:
        ds = slide.level_downsamples[level]
        w, h = round(W / scale), round(H / scale)
        region = slide.read_region((int(left) + shift, int(top)), level, (w, h))
    black = Image.new("RGBA", region.size, (0, 0, 0, 255))
    rgb = Image.alpha_composite(black, region).convert("RGB")
    if (w, h) != (W, H):
        rgb = rgb.resize((W, H), Image.Resampling.BOX)
    assert ds > 0
    return np.asarray(rgb, dtype=np.float64)


def mad(a: np.ndarray, b: np.ndarray) -> float:
    return float(np.abs(a - b).mean())


# (slide, level shown, zoom, level-0 view centre, threshold)
VIEWS = {
    # Level 0 at 1:1 over the right edge: the padded edge tile must end at the edge.
    "example-level0-edge": ("example", 0, 0.0, (760, 300), 2.0),
    # Level 1 at its own zoom: 1:1 in level-1 pixels.
    "example-level1": ("example", 1, -1.0, (640, 360), 2.0),
    # Level 0 scaled to 70 % by the browser.
    "example-scaled": ("example", 0, -0.5, (440, 300), 4.0),
    "real-svs-level0-edge": ("real", 0, 0.0, (2000, 2800), 2.0),
    "real-svs-tissue": ("real", 0, 0.0, (1100, 1500), 2.0),
}


@pytest.fixture(scope="module")
def served():
    sources = [str(kolva.example_path())]
    if REAL_SVS.exists():
        sources.append(str(REAL_SVS))
    app = create_app(sources)
    with running(app) as base:
        yield app, base
    app.close()


@pytest.mark.parametrize("name", list(VIEWS))
def test_viewer_shows_the_stored_tiles(served, tmp_path, name):
    which, level, zoom, (cx, cy), threshold = VIEWS[name]
    if which == "real" and not REAL_SVS.exists():
        pytest.skip("real sample files are absent")
    app, base = served
    path = str(kolva.example_path()) if which == "example" else str(REAL_SVS)
    entry = next(e for e in app.slides.values() if e.source == path)
    url = f"{base}/view/{entry.id}?controls=0&zoom={zoom}&x={cx}&y={cy}"
    shot = screenshot(url, tmp_path)
    scale = 2.0 ** zoom
    ds = entry.slide.level_downsamples[level]
    level_scale = scale * ds  # screen pixels per pixel of the level shown
    left, top = cx - W / 2 / scale, cy - H / 2 / scale
    ref = reference(path, level, left, top, level_scale)
    diff = mad(shot, ref)
    shifted = mad(shot, reference(path, level, left, top, level_scale, shift=round(8 * ds)))
    Image.fromarray(shot.astype(np.uint8)).save(tmp_path / f"{name}-browser.png")
    Image.fromarray(ref.astype(np.uint8)).save(tmp_path / f"{name}-openslide.png")
    print(f"\n{name}: mean absolute difference {diff:.2f} (shifted view {shifted:.2f})")
    assert diff <= threshold, f"{name}: {diff:.2f} > {threshold} (see {tmp_path})"
    assert shifted > diff * 1.5, f"{name}: a shifted view matches as well ({shifted:.2f})"


def test_viewer_reports_ready_when_tiles_are_drawn(served, tmp_path):
    app, base = served
    entry = next(e for e in app.slides.values() if e.source == str(kolva.example_path()))
    result = chromium(f"{base}/view/{entry.id}?level=1", tmp_path, "--dump-dom")
    dom = result.stdout.decode()
    assert "<title>ready</title>" in dom
    assert dom.count('class="kolva-clip"') >= 1
    assert "example.svs" in dom
