"""Sphinx extension of kolva's documentation site, run at every build:

- the command-line reference page, one `kolva ... --help` per subcommand, the list of
  subcommands taken from the parser itself;
- the benchmark page: tables and matplotlib plots from bench/*.json;
- signatures of the native module `kolva._core` taken from its type declarations, `_core.pyi`;
- `missing(...)`, with which an executed example is skipped until the API it shows exists.
"""
from __future__ import annotations

import ast
import importlib
import json
import re
import shutil
from pathlib import Path
from typing import Any, Callable

from sphinx.application import Sphinx
from sphinx.util import logging

logger = logging.getLogger(__name__)

DOCS = Path(__file__).resolve().parents[1]
REPO = DOCS.parent
GENERATED = DOCS / "_generated"


def missing(*names: str) -> bool:
    """True when any of `names` (a module, or a dotted attribute of one: "kolva.Slide.read_region",
    "torch") cannot be imported or looked up: the example that needs it is skipped."""
    for name in names:
        parts = name.split(".")
        obj: Any = None
        for i in range(len(parts), 0, -1):
            try:
                obj = importlib.import_module(".".join(parts[:i]))
            except ImportError:
                continue
            rest = parts[i:]
            break
        else:
            return True
        for attr in rest:
            if not hasattr(obj, attr):
                return True
            obj = getattr(obj, attr)
    return False


def _write(path: Path, text: str) -> None:
    """Writes only on change, so that Sphinx rereads only what changed."""
    path.parent.mkdir(parents=True, exist_ok=True)
    if not path.exists() or path.read_text() != text:
        path.write_text(text)


# ---------------------------------------------------------------- command line reference

def _cli_page() -> str:
    import argparse

    from kolva.cli import build_parser

    parser = build_parser()
    commands: list[str] = []
    for action in parser._actions:  # argparse keeps subparsers only here
        if isinstance(action, argparse._SubParsersAction):
            commands = list(action.choices)
    out = ["Generated at build time from the installed `kolva`: the output of `kolva --help`",
           "and of each subcommand's `--help`.", "",
           "## kolva", "", "```{program-output} kolva --help", "```", ""]
    for name in commands:
        out += [f"## kolva {name}", "", f"```{{program-output}} kolva {name} --help", "```", ""]
    return "\n".join(out)


# ---------------------------------------------------------------- benchmarks

def _bench_page() -> str:
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    bench = REPO / "bench"
    out: list[str] = []

    def figure(name: str, title: str, unit: str, values: dict[str, float], *,
               log: bool = False, higher_is_better: bool = True) -> None:
        labels = list(values)
        nums = [float(values[k]) for k in labels]
        fig, ax = plt.subplots(figsize=(7.0, 0.45 * len(labels) + 1.1), dpi=110)
        colours = ["#2a7ab0" if k.startswith("kolva") else "#9aa5ad" for k in labels]
        ax.barh(labels[::-1], nums[::-1], color=colours[::-1])
        if log:
            ax.set_xscale("log")
        ax.set_xlabel(unit + ("" if higher_is_better else "  (lower is better)"))
        ax.set_title(title, fontsize=10)
        for y, v in enumerate(nums[::-1]):
            ax.text(v, y, f" {v:,.3g}", va="center", fontsize=8)
        ax.margins(x=0.18)
        fig.tight_layout()
        png = GENERATED / f"bench-{name}.png"
        png.parent.mkdir(parents=True, exist_ok=True)
        fig.savefig(png)
        plt.close(fig)
        kolva = next((values[k] for k in labels if k.startswith("kolva")), None)
        rows = []
        rows += [f"| | {unit} | " + ("kolva ÷ this |" if higher_is_better else "this ÷ kolva |"),
                 "|---|---:|---:|"]
        for k, v in zip(labels, nums):
            ratio = ""
            if kolva and v:
                ratio = f"{(kolva / v if higher_is_better else v / kolva):.2f} ×"
            rows.append(f"| {k} | {v:,.4g} | {ratio} |")
        out.extend(["", f"![{title}](/_generated/bench-{name}.png)", "", *rows, ""])

    def section(title: str, source: str, body: Callable[[dict[str, Any]], None]) -> None:
        path = bench / source
        out.extend([f"## {title}", "", f"From `bench/{source}`."])
        if not path.exists():
            out.extend(["", "No results file in this checkout.", ""])
            return
        try:
            body(json.loads(path.read_text()))
        except (KeyError, TypeError, ValueError, IndexError) as e:
            logger.info("bench/%s: figures not found (%r)", source, e)
            out.extend(["", "This run's results do not hold the figures plotted here.", ""])

    def reads(d: dict[str, Any]) -> None:
        out.append(f"Every level-0 tile read in random order; {d['cpus']} cores, load average "
                   f"{d['loadavg'][0]:.1f}. OpenSlide decodes (`read_region` of each tile), "
                   "the others return stored bytes.")
        for fmt, s in d["slides"].items():
            values = {k: v["tiles_per_s"] for k, v in s["reads"].items()}
            if "kolva" in values:  # kolva first, then the peers, the floor last
                values = {"kolva": values.pop("kolva"), **values}
            figure(f"reads-{fmt}", f"{fmt}: {s['level0_tiles']:,} level-0 tiles "
                   f"({s['bytes'] / 1e6:.0f} MB)", "tiles/s", values, log=True)
            notes = s.get("notes", {})
            if notes:
                out.append("Not measured or sampled: " +
                           "; ".join(f"{k}: {v}" for k, v in notes.items()) + ".")
            if s.get("open_ms"):
                figure(f"open-{fmt}", f"{fmt}: opening", "ms", dict(s["open_ms"]),
                       higher_is_better=False)

    def api(d: dict[str, Any]) -> None:
        out.append(f"{d['tiles']:,} random level-0 tiles of `{Path(d['slide']).name}`, "
                   f"{d['reps']} repetitions.")
        t = d["tiles_per_s"]
        names = {"batch_default": "kolva read_tiles, default threads",
                 "batch1": "kolva read_tiles, 1 thread",
                 "loop_kolva": "kolva read_tile loop",
                 "two_threads": "kolva read_tile, 2 Python threads",
                 "loop_spec": "_kolva_rs read_tile_as_bytes loop",
                 "floor": "pread floor (C++)"}
        figure("api", "Python API", "tiles/s", {names.get(k, k): t[k] for k in names if k in t})

    def remote(d: dict[str, Any]) -> None:
        out.append(f"A loopback HTTP server with {d['delay'] * 1000:.0f} ms delay per request "
                   f"(a bare request: {d['rtt'] * 1000:.1f} ms).")
        for name, o in d["open"].items():
            figure(f"remote-open-{name}", f"opening {name} over HTTP", "s",
                   {f"kolva ({o['requests']} requests)": o["kolva_s"],
                    f"tiffslide ({o['tiffslide_requests']} requests)": o["tiffslide_s"]},
                   higher_is_better=False)
        for name, t in d["tiles"].items():
            figure(f"remote-tiles-{name}", f"{t['tiles']} random tiles of {name} over HTTP", "s",
                   {"kolva read_tiles": t["kolva_s"], "tifffile": t["tifffile_s"],
                    "tiffslide": t["tiffslide_s"]}, higher_is_better=False, log=True)

    def dicom(d: dict[str, Any]) -> None:
        loc = d["local"]
        out.append(f"A {d['size']:,}-pixel DICOM series on disk, {loc['frames']} frames.")
        figure("dicom-frames", "DICOM frames from disk", "frames/s",
               {"kolva": loc["frames_per_s"]["kolva"], "wsidicom": loc["frames_per_s"]["wsidicom"],
                "pread floor": loc["frames_per_s"]["pread_floor"]}, log=True)
        figure("dicom-open", "opening the series", "s",
               {f"kolva": loc["open_s"]["kolva"], **{k: v for k, v in loc["open_s"].items()
                                                      if k != "kolva"}},
               higher_is_better=False, log=True)
        r = d["remote"]
        figure("dicom-remote", "first tile of a remote series", "s",
               {f"kolva ({r['kolva']['requests']} requests)": r["kolva"]["first_tile_s"],
                f"wsidicom ({r['wsidicom']['requests']} requests)": r["wsidicom"]["first_tile_s"]},
               higher_is_better=False)

    def export(d: dict[str, Any]) -> None:
        w = d["writer"]
        out.append(f"`{d['slide']}`: {w['tiles']:,} level-0 tiles; load average "
                   f"{d.get('load_average', 0):.1f}.")
        figure("export", "WebDataset shards", "tiles/s",
               {"kolva shard writer": w["tiles_per_s"],
                "kolva export (whole command)": d["export"]["tiles_per_s"],
                "pread/write floor": d["floor"]["tiles_per_s"],
                "OpenSlide read_region + Pillow JPEG": d["reencode"]["tiles_per_s"]}, log=True)
        figure("export-dask", "kolva export on Dask", "tiles/s",
               {f"kolva, {k} worker{'s' if k != '1' else ''}": v["tiles_per_s"]
                for k, v in d["dask"].items() if isinstance(v, dict)})

    def convert(d: dict[str, Any]) -> None:
        c = d["convert"]
        wsi = d["kolva_beside_wsidicomizer"]["tiles"] / d["wsidicomizer"]["seconds"]
        out.append(f"`{d['slide']}`: {c['tiles']:,} level-0 tiles to DICOM; peak RSS "
                   f"{d['rss']['peak_rss_mb']:.0f} MB; load average {d['load_average']:.1f}.")
        figure("convert", "DICOM conversion", "tiles/s",
               {"kolva convert": c["tiles_per_s"], "pread/write floor": d["floor"]["tiles_per_s"],
                "wsidicomizer": wsi,
                "OpenSlide read_region + Pillow JPEG": d["reencode"]["tiles_per_s"]}, log=True)

    def torch(d: dict[str, Any]) -> None:
        ds = d["datasets"]
        out.append(f"`{d['slide']}`, {d['cpu_count']} cores.")
        figure("torch-decoded", "decoded tiles through a DataLoader, 2 workers", "tiles/s",
               {"kolva TileDataset decode='cpu'": ds["decoded"]["kolva"],
                "OpenSlide read_region dataset": ds["decoded"]["openslide"],
                "tiffslide read_region dataset": ds["decoded"]["tiffslide"]})
        figure("torch-raw", "stored bytes through a DataLoader", "tiles/s",
               {f"kolva, {k.replace('_', ' ')}": v for k, v in ds["raw"].items()})

    def serve(d: dict[str, Any]) -> None:
        out.append(f"`{d['slide']}`, {d['clients']} clients for {d['seconds']:.0f} s, "
                   f"{d['cpus']} cores.")
        figure("serve", "tiles served", "tiles/s",
               {"kolva serve": d["kolva"]["tiles_per_s"],
                "OpenSlide Deep Zoom": d["deepzoom"]["tiles_per_s"]}, log=True)
        figure("serve-p99", "99th percentile latency", "ms",
               {"kolva serve": d["kolva"]["p99_ms"], "OpenSlide Deep Zoom": d["deepzoom"]["p99_ms"]},
               higher_is_better=False)

    def standards(d: dict[str, Any]) -> None:
        r = d["results"]
        out.append(f"`{d['slide']}`, {d['clients']} clients, {d['kolva_workers']} server "
                   f"processes, {d['cpus']} cores, load average {d['load_average'][0]:.1f}: "
                   "the same level-0 tiles through the tile path, as WADO-RS frames and as "
                   "IIIF stored tiles, and as static files served by nginx.")
        labels = {"tiles": "kolva tile path", "wado": "kolva WADO-RS frames",
                  "iiif": "kolva IIIF stored tiles", "nginx": "nginx static files"}
        figure("standards", "requests served", "requests/s",
               {labels[k]: v["tiles_per_s"] for k, v in r.items() if k in labels})

    section("Reading tiles", "results.json", reads)
    section("The Python API", "results-api.json", api)
    section("Remote slides", "results-remote.json", remote)
    section("DICOM series", "results-dicom.json", dicom)
    section("Export to WebDataset", "export_results.json", export)
    section("Conversion to DICOM", "convert_results.json", convert)
    section("Training with kolva.torch", "results-torch.json", torch)
    section("Serving tiles", "results_serve.json", serve)
    section("DICOMweb and IIIF", "results_standards.json", standards)
    return "\n".join(out)


# ---------------------------------------------------------------- kolva._core from its declarations

_STUB_DOCS: dict[str, str] = {}


def _declared_signatures() -> dict[str, str]:
    """'open' -> '(path: str, tile_size: SupportsIndex = ...) -> Slide', 'Slide.read_tile' -> ..."""
    tree = ast.parse((REPO / "python" / "kolva" / "_core.pyi").read_text())
    found: dict[str, str] = {}

    def visit(body: list[ast.stmt], prefix: str) -> None:
        for node in body:
            if isinstance(node, ast.ClassDef):
                visit(node.body, prefix + node.name + ".")
            elif isinstance(node, ast.FunctionDef):
                args = ast.unparse(node.args)
                if prefix and args.startswith("self"):
                    args = args[len("self"):].lstrip(", ")
                ret = f" -> {ast.unparse(node.returns)}" if node.returns else ""
                found[prefix + node.name] = f"({args}){ret}"
                doc = ast.get_docstring(node)
                if doc:
                    _STUB_DOCS[prefix + node.name] = doc
    visit(tree.body, "")
    return found


def _core_signature(app: Sphinx, what: str, name: str, obj: Any, options: Any,
                    signature: str | None, return_annotation: str | None) -> Any:
    if name == "kolva.Slide":  # made by kolva.open, never by its constructor
        return "", None
    if what == "class" and name.startswith("kolva._core."):  # made by the module only
        return "", None
    if not name.startswith("kolva._core.") or what not in ("function", "method"):
        return None
    sig = app.env.kolva_declared.get(name[len("kolva._core."):])  # type: ignore[attr-defined]
    if sig is None:
        return None

    params, _, ret = sig.partition(" -> ")
    return params, ret or None


def _core_docstring(app: Sphinx, what: str, name: str, obj: Any, options: Any,
                    lines: list[str]) -> None:
    if name.startswith("kolva._core."):
        short = name[len("kolva._core."):]
        declared = app.env.kolva_declared.get(short)  # type: ignore[attr-defined]
        # What the native docstring's signature line (replaced by the declared one) says of the
        # result beyond its type, "-> bytes (int64 per tile)", goes into the description.
        first = (getattr(obj, "__doc__", None) or "").partition("\n")[0]
        result = first.partition(" -> ")[2].strip() if first.startswith(short.rsplit(".")[-1]) else ""
        if " " in result:
            lines[:0] = [f"Returns {result}.", ""]
        if not any(l.strip() for l in lines) and short in app.env.kolva_declared_docs:  # type: ignore[attr-defined]
            lines[:] = app.env.kolva_declared_docs[short].splitlines()  # type: ignore[attr-defined]
        if what in ("property", "attribute") and declared and not any(l.strip() for l in lines):
            lines[:] = [f"`{declared.partition(' -> ')[2]}`"]
    elif name.startswith("kolva"):
        lines[:] = _plain_docstring(lines)


_FIELD = re.compile(r"^([A-Za-z_][\w.]*(?:, [A-Za-z_][\w.]*)*): \S")


def _indent(line: str) -> int:
    return len(line) - len(line.lstrip())


def _plain_docstring(lines: list[str]) -> list[str]:
    """kolva's docstrings are plain text, not reStructuredText: an indented block after a
    blank line is code, a paragraph opening with "name: text" (after the summary)
    describes parameters, one a line with hanging indents, and text in `backticks` is
    code (default_role)."""
    out: list[str] = []
    i = 0
    in_fields = False
    summary = True
    while i < len(lines):
        line = lines[i]
        prev = out[-1] if out else ""
        if not line.strip():
            summary = summary and not out
            in_fields = False
            out.append(line)
            i += 1
            continue
        if _indent(line) >= 4 and not prev.strip() and not line.lstrip().startswith(">>>"):
            block = []
            while i < len(lines) and (not lines[i].strip() or _indent(lines[i]) >= 4):
                block.append(lines[i])
                i += 1
            while block and not block[-1].strip():
                block.pop()
            out += [".. code-block:: python", ""] + ["   " + b for b in block] + [""]
            continue
        if not summary and _FIELD.match(line) and (in_fields or not prev.strip()):
            out.append("* " + line)
            in_fields = True
        elif in_fields:
            out.append("  " + line.strip())
        else:
            out.append(line)
        i += 1
    return out


def _generate(app: Sphinx) -> None:
    GENERATED.mkdir(exist_ok=True)
    # The working folder of the commands the pages run (`:cwd: /_build/run`), emptied.
    run = DOCS / "_build" / "run"
    shutil.rmtree(run, ignore_errors=True)
    run.mkdir(parents=True)
    _write(GENERATED / "cli.md", _cli_page())
    # The plots are made again only when a results file (or this file) changed.
    page = GENERATED / "benchmarks.md"
    inputs = [*(REPO / "bench").glob("*.json"), Path(__file__)]
    if not page.exists() or max(p.stat().st_mtime for p in inputs) > page.stat().st_mtime:
        page.unlink(missing_ok=True)
        _write(page, _bench_page())
    app.env.kolva_declared = _declared_signatures()  # type: ignore[attr-defined]
    app.env.kolva_declared_docs = _STUB_DOCS  # type: ignore[attr-defined]


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("builder-inited", _generate)
    app.connect("autodoc-process-signature", _core_signature)
    app.connect("autodoc-process-docstring", _core_docstring)
    return {"parallel_read_safe": True, "parallel_write_safe": True}


