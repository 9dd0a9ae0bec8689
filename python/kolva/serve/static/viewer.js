// kolva viewer: pans and zooms over a slide's stored levels, each tile shown as stored.
//
// Map coordinates are level-0 pixels (y down). Map zoom z shows level-0 pixels at
// scale 2^z: zoom 0 is level 0 at 1:1, zoom -2 shows a quarter of that. Level k has
// its own tile layer whose native zoom is pinned at -log2(downsample k), so its tiles
// are drawn at their stored pixel size there and scaled by the browser at the zooms
// around it. Edge tiles are stored padded to the full tile size: those are clipped to
// the part that lies inside the level.
//
// URL parameters: level=K (zoom to level K at 1:1), zoom=Z, x=X&y=Y (view centre in
// level-0 pixels), controls=0 (hide everything but the slide).
(function () {
  "use strict";

  const params = new URLSearchParams(window.location.search);
  const slideId = decodeURIComponent(window.location.pathname.split("/").filter(Boolean).pop());
  const showControls = params.get("controls") !== "0";
  const base = "/slides/" + encodeURIComponent(slideId);

  function num(name) {
    const v = params.get(name);
    if (v === null || v === "") return null;
    const n = Number(v);
    return Number.isFinite(n) ? n : null;
  }

  // Best level for a display downsample: the largest level whose downsample does not
  // exceed it (a little tolerance for downsamples like 4.0004).
  function bestLevel(levels, downsample) {
    let best = 0;
    levels.forEach(function (lv, i) {
      if (lv.downsample <= downsample * 1.001) best = i;
    });
    return best;
  }

  // One stored level: each tile an <img> of the stored bytes.
  const LevelLayer = L.GridLayer.extend({
    initialize: function (level, options) {
      this._stored = level;
      L.GridLayer.prototype.initialize.call(this, options);
    },
    createTile: function (coords, done) {
      const lv = this._stored;
      const [tw, th] = lv.tile_size;
      const [w, h] = lv.dimensions;
      const vw = Math.max(0, Math.min(tw, w - coords.x * tw));
      const vh = Math.max(0, Math.min(th, h - coords.y * th));
      const img = document.createElement("img");
      img.alt = "";
      img.src = base + "/tiles/" + lv.index + "/" + coords.x + "/" + coords.y;
      if (vw === tw && vh === th) {
        // An inner tile: the image itself, drawn at the tile size (one pixel more when
        // the level is scaled, see kolva.css).
        img.style.setProperty("--tw", tw + "px");
        img.style.setProperty("--th", th + "px");
        img.onload = function () { done(null, img); };
        img.onerror = function () { done(new Error("tile failed"), img); };
        return img;
      }
      // An edge tile, stored padded to the full size: shown through a box of the part
      // inside the level.
      const tile = document.createElement("div");
      const clip = document.createElement("div");
      clip.className = "kolva-clip";
      clip.style.width = vw + "px";
      clip.style.height = vh + "px";
      img.onload = function () { done(null, tile); };
      img.onerror = function () { done(new Error("tile failed"), tile); };
      clip.appendChild(img);
      tile.appendChild(clip);
      return tile;
    },
  });

  function niceLength(maxMicrons) {
    const p = Math.pow(10, Math.floor(Math.log10(maxMicrons)));
    for (const m of [5, 2, 1]) if (m * p <= maxMicrons) return m * p;
    return p;
  }

  function formatMicrons(um) {
    if (um >= 1000) return (um / 1000) + " mm";
    if (um >= 1) return um + " \u00b5m";
    return (um * 1000) + " nm";
  }

  const ScaleBar = L.Control.extend({
    options: { position: "bottomleft", maxWidth: 160 },
    initialize: function (mpp, options) {
      this._mpp = mpp;
      L.setOptions(this, options);
    },
    onAdd: function (map) {
      this._el = L.DomUtil.create("div", "kolva-scale");
      map.on("zoom", this._update, this);
      this._update();
      return this._el;
    },
    onRemove: function (map) { map.off("zoom", this._update, this); },
    _update: function () {
      const micronsPerScreenPx = this._mpp / Math.pow(2, this._map.getZoom());
      const len = niceLength(this.options.maxWidth * micronsPerScreenPx);
      this._el.style.width = Math.round(len / micronsPerScreenPx) + "px";
      this._el.textContent = formatMicrons(len);
    },
  });

  function setReady(state) {
    document.documentElement.dataset.ready = state ? "1" : "0";
    document.title = state ? "ready" : "loading";
  }

  function start(info) {
    const levels = info.levels;
    const [w0, h0] = info.dimensions;
    const last = levels.length - 1;
    const crs = L.extend({}, L.CRS.Simple, { transformation: new L.Transformation(1, 0, 1, 0) });
    const bounds = L.latLngBounds([0, 0], [h0, w0]);
    const minZoom = Math.floor(-Math.log2(levels[last].downsample)) - 3;
    const map = L.map("map", {
      crs: crs,
      minZoom: minZoom,
      maxZoom: 4,
      zoomSnap: 0,
      zoomDelta: 0.5,
      wheelPxPerZoomLevel: 120,
      zoomControl: showControls,
      attributionControl: false,
      fadeAnimation: false,
      maxBounds: bounds.pad(0.5),
    });

    const layers = levels.map(function (lv, i) {
      const native = -Math.log2(lv.downsample);
      return new LevelLayer(lv, {
        tileSize: L.point(lv.tile_size[0], lv.tile_size[1]),
        minNativeZoom: native,
        maxNativeZoom: native,
        minZoom: minZoom - 1,  // the layer's own zoom range: the map's, which goes below 0
        maxZoom: 99,
        bounds: bounds,
        noWrap: true,
        keepBuffer: 1,
        zIndex: i === last ? 1 : 2,
        updateWhenZooming: false,
      });
    });

    // The coarsest level stays underneath, so panning and zooming never show blanks;
    // the level that suits the zoom is drawn over it. The page is "ready" once no
    // layer on the map has tiles still loading.
    let active = null;
    function checkReady() {
      const busy = layers.some(function (l) { return map.hasLayer(l) && l.isLoading(); });
      setReady(!busy);
    }
    layers.forEach(function (l) { l.on("load", checkReady); });
    function choose() {
      const k = bestLevel(levels, Math.pow(2, -map.getZoom()));
      const want = k === last ? null : layers[k];
      if (want === active) return;
      if (active) map.removeLayer(active);
      active = want;
      if (active) active.addTo(map);
    }
    map.on("movestart zoomstart", function () { setReady(false); });
    map.on("zoomend", choose);
    // Whether the level on top is scaled by the browser, rather than shown 1:1.
    function markScaled() {
      const shown = levels[bestLevel(levels, Math.pow(2, -map.getZoom()))];
      const scaled = Math.abs(map.getZoom() + Math.log2(shown.downsample)) > 1e-3;
      map.getContainer().classList.toggle("kolva-scaled", scaled);
    }
    map.on("zoomend", markScaled);
    map.on("moveend", function () { setTimeout(checkReady, 0); });

    // Initial view: URL parameters, else the whole slide.
    const level = num("level");
    let zoom = num("zoom");
    if (zoom === null && level !== null && levels[level]) zoom = -Math.log2(levels[level].downsample);
    const x = num("x"), y = num("y");
    if (zoom === null) {
      map.fitBounds(bounds);
    } else {
      map.setView([y === null ? h0 / 2 : y, x === null ? w0 / 2 : x], zoom, { animate: false });
    }
    layers[last].addTo(map);
    choose();
    markScaled();
    setTimeout(checkReady, 0);
    window.kolvaViewer = { map: map, levels: levels, layers: layers };  // for scripts and tests

    if (showControls) {
      const mpp = info.mpp ? info.mpp[0] : null;
      if (mpp) new ScaleBar(mpp).addTo(map);
      const title = document.getElementById("title");
      const power = info.objective_power;
      title.textContent = info.name + (power ? " \u00b7 " + power + "\u00d7" : "");
      const mag = document.getElementById("magnification");
      function showMagnification() {
        const scale = Math.pow(2, map.getZoom());
        mag.textContent = power ? (power * scale).toFixed(power * scale < 1 ? 2 : 1) + "\u00d7"
                                : (100 * scale).toFixed(0) + " %";
      }
      map.on("zoom", showMagnification);
      showMagnification();
    }
  }

  if (!showControls) document.body.classList.add("bare");
  setReady(false);
  fetch(base).then(function (r) {
    if (!r.ok) throw new Error("slide " + slideId + " not found");
    return r.json();
  }).then(start).catch(function (err) {
    document.getElementById("title").textContent = String(err.message || err);
    document.title = "error";
  });
})();
