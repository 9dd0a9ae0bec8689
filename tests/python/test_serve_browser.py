"""The viewer in a real browser: headless Chromium, driven over the DevTools protocol,
opens `/view/{id}` with the view fixed by URL parameters, waits for the page's ready
flag (no tile still loading), and its screenshot is compared with OpenSlide's
rendering of the same region at the same scale.

Thresholds (mean absolute difference over all pixels and channels, 0-255):
* 1:1 views of a stored level: at most 1. Browser and OpenSlide decode the same JPEG
  bytes with libjpeg-turbo, so the pixels agree (0.00 measured); the allowance covers
  another build's rounding in the inverse DCT or chroma upsampling. A view off by a
  few pixels costs 5 or more, an edge tile showing its padding tens.
* A level scaled by the browser (between its stored zooms): at most 4. The browser
  filters differently from Pillow's box filter used for the reference, which shows
  on a smooth image as about two grey levels (2.4 measured).
Each check also compares with a reference shifted by a few pixels, which must be
clearly worse: the match is the region asked for, not merely a similar picture.
"""
from __future__ import annotations

import asyncio
import base64
import io
import shutil
import subprocess
import time
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("uvicorn")
pytest.importorskip("starlette")
openslide = pytest.importorskip("openslide")
aiohttp = pytest.importorskip("aiohttp")
httpx = pytest.importorskip("httpx")
from PIL import Image  # noqa: E402

import kolva  # noqa: E402
from kolva.serve import create_app  # noqa: E402
from serve_util import running, slide_of  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
REAL_SVS = ROOT.parent / "shared/corpus/real/svs/CMU-1-Small-Region.svs"
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
W, H = 640, 480

pytestmark = pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")


class Browser:
    """Headless Chromium driven over the DevTools protocol (a websocket on 127.0.0.1):
    a fixed viewport, navigation, polling the page's ready flag, screenshots."""

    def __init__(self, profile: Path) -> None:
        self.proc = subprocess.Popen(
            [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
             "--no-first-run", "--disable-extensions", "--remote-debugging-address=127.0.0.1",
             "--remote-debugging-port=0", f"--user-data-dir={profile}", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = profile / "DevToolsActivePort"
        deadline = time.monotonic() + 30
        while not (port_file.exists() and len(port_file.read_text().split()) >= 2):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                self.close()
                raise RuntimeError("chromium did not start")
            time.sleep(0.05)
        port = int(port_file.read_text().split()[0])
        pages = [t for t in httpx.get(f"http://127.0.0.1:{port}/json/list").json()
                 if t["type"] == "page"]
        self.ws_url = pages[0]["webSocketDebuggerUrl"]
        self.loop = asyncio.new_event_loop()
        self.session = self.loop.run_until_complete(self._connect())
        self.next_id = 0

    async def _connect(self):  # type: ignore[no-untyped-def]
        self._http = aiohttp.ClientSession()
        return await self._http.ws_connect(self.ws_url, max_msg_size=0)

    async def _call(self, method: str, params: dict | None = None) -> dict:
        self.next_id += 1
        await self.session.send_json({"id": self.next_id, "method": method,
                                      "params": params or {}})
        while True:
            message = await asyncio.wait_for(self.session.receive_json(), 30)
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message["result"]

    def call(self, method: str, params: dict | None = None) -> dict:
        return self.loop.run_until_complete(self._call(method, params))

    def evaluate(self, expression: str) -> object:
        result = self.call("Runtime.evaluate", {"expression": expression,
                                                "awaitPromise": True, "returnByValue": True})
        return result["result"].get("value")

    def wait_ready(self, timeout: float = 30.0) -> None:
        deadline = time.monotonic() + timeout
        time.sleep(0.2)
        while self.evaluate("document.title") != "ready":
            assert time.monotonic() < deadline, f"viewer not ready: {self.evaluate('document.title')}"
            time.sleep(0.1)

    def screenshot(self, url: str, timeout: float = 30.0) -> np.ndarray:
        """The page at `url` in a W x H viewport once it reports ready."""
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": W, "height": H, "deviceScaleFactor": 1, "mobile": False})
        self.call("Page.navigate", {"url": url})
        self.wait_ready(timeout)
        # Two frames, so what loaded is also painted.
        self.evaluate("new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))")
        data = self.call("Page.captureScreenshot", {"format": "png"})["data"]
        image = Image.open(io.BytesIO(base64.b64decode(data))).convert("RGB")
        assert image.size == (W, H), image.size
        return np.asarray(image, dtype=np.float64)

    def close(self) -> None:
        if hasattr(self, "session"):
            self.loop.run_until_complete(self.session.close())
            self.loop.run_until_complete(self._http.close())
            self.loop.close()
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


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
    "example-level0-edge": ("example", 0, 0.0, (760, 300), 1.0),
    # Level 1 at its own zoom: 1:1 in level-1 pixels.
    "example-level1": ("example", 1, -1.0, (640, 360), 1.0),
    # Level 0 scaled to 70 % by the browser.
    "example-scaled": ("example", 0, -0.5, (440, 300), 4.0),
    "real-svs-level0-edge": ("real", 0, 0.0, (2000, 2800), 1.0),
    "real-svs-tissue": ("real", 0, 0.0, (1100, 1500), 1.0),
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


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    b = Browser(tmp_path_factory.mktemp("chromium"))
    yield b
    b.close()


@pytest.mark.parametrize("name", list(VIEWS))
def test_viewer_shows_the_stored_tiles(served, browser, tmp_path, name):
    which, level, zoom, (cx, cy), threshold = VIEWS[name]
    if which == "real" and not REAL_SVS.exists():
        pytest.skip("real sample files are absent")
    app, base = served
    path = str(kolva.example_path()) if which == "example" else str(REAL_SVS)
    entry = next(e for e in app.slides.values() if e.source == path)
    url = f"{base}/view/{entry.id}?controls=0&zoom={zoom}&x={cx}&y={cy}"
    shot = browser.screenshot(url)
    scale = 2.0 ** zoom
    ds = slide_of(entry).level_downsamples[level]
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


def test_viewer_page_shows_name_and_scale(served, browser):
    app, base = served
    entry = next(e for e in app.slides.values() if e.source == str(kolva.example_path()))
    browser.screenshot(f"{base}/view/{entry.id}?level=1")
    assert browser.evaluate("document.getElementById('title').textContent").startswith(
        "example.svs")
    assert browser.evaluate("document.querySelectorAll('.leaflet-tile-loaded').length") >= 1
    assert browser.evaluate("document.getElementById('magnification').textContent")
    if slide_of(entry).mpp:  # a scale bar whose length in pixels says its label
        label = browser.evaluate("document.querySelector('.kolva-scale').textContent")
        width = browser.evaluate("document.querySelector('.kolva-scale').offsetWidth")
        value, unit = label.split()
        microns = float(value) * {"nm": 1e-3, "\u00b5m": 1.0, "mm": 1e3}[unit]
        # level 1 at 1:1: one screen pixel is one level-1 pixel, 2 level-0 pixels wide
        assert width == pytest.approx(microns / (slide_of(entry).mpp[0] * 2), abs=1)
    # Zooming in to level 0's own zoom brings in level 0's stored tiles.
    assert browser.evaluate("document.querySelectorAll('img[src*=\"/tiles/0/\"]').length") == 0
    browser.evaluate("kolvaViewer.map.setZoom(0, {animate: false}), 0")
    browser.wait_ready()
    assert browser.evaluate("document.querySelectorAll('img[src*=\"/tiles/0/\"]').length") >= 1
