#!/usr/bin/env python3
"""The benchmarks' ratios on two checkouts of kolva, measured in one run.

    python bench/against.py BASE_CHECKOUT [--scripts bench.py bench_api.py ...] [--rounds 2]

Each checkout runs its own copy of each benchmark with its own build (the
`.venv-dev` interpreter beside it, or --python-base/--python-head), the two
alternating round by round so that both see the same machine. Every ratio a
benchmark writes to its JSON (keys naming a ratio, a "/" or "over", and its goals)
is printed for both, with head over base; the best round of each side counts.
Results go to bench/results-against.json. The benchmarks' own JSON files are put
back as they were in both checkouts.
"""
from __future__ import annotations

import argparse
import json
import math
import subprocess
import sys
import time
from pathlib import Path

HEAD = Path(__file__).resolve().parents[1]
# Each benchmark and the JSON file it writes (relative to its checkout).
SCRIPTS = {
    "bench.py": "bench/results.json",
    "bench_api.py": "bench/results-api.json",
    "bench_export.py": "bench/export_results.json",
    "bench_dicom.py": "bench/results-dicom.json",
    "bench_convert.py": "bench/convert_results.json",
    "bench_torch.py": "bench/results-torch.json",
}
RATIO_WORDS = ("ratio", "over", "/", " x ", "vs", "goal")
# Benchmarks whose JSON records rates but no ratio: the ratios worth comparing,
# each a quotient of two of its values, higher better.
DERIVED = {
    "bench_export.py": {
        "writer / floor": ("writer/tiles_per_s", "floor/tiles_per_s"),
        "writer on tmpfs / floor on tmpfs": ("writer_tmpfs/tiles_per_s", "floor_tmpfs/tiles_per_s"),
        "export / floor": ("export/tiles_per_s", "floor/tiles_per_s"),
    },
    "bench_convert.py": {
        "convert / floor": ("convert/tiles_per_s", "floor/tiles_per_s"),
        "whole slide frames / floor": ("whole_slide/frames_per_s", "floor/tiles_per_s"),
        "wsidicomizer seconds / kolva seconds": ("wsidicomizer/seconds",
                                                 "kolva_beside_wsidicomizer/seconds/0"),
    },
}
# Ratios of kolva's time to another's: lower is better.
LOWER_BETTER = {"/real_ndpi/ratio"}


def ratios(tree: object, path: str = "") -> dict[str, float]:
    """The numeric leaves of a benchmark's JSON whose path names a ratio."""
    found: dict[str, float] = {}
    if isinstance(tree, dict):
        for key, value in tree.items():
            found.update(ratios(value, f"{path}/{key}"))
    elif isinstance(tree, (int, float)) and not isinstance(tree, bool):
        leaf = path.rsplit("/", 1)[-1]
        if any(w in leaf.lower() for w in RATIO_WORDS) or "ratios" in path or "goals" in path:
            if math.isfinite(tree):
                found[path] = float(tree)
    return found


def value_at(tree: object, path: str) -> float | None:
    """The number at a "/"-separated path of dict keys and list indices, or None."""
    for part in path.split("/"):
        if isinstance(tree, dict):
            tree = tree.get(part)
        elif isinstance(tree, list) and part.isdigit() and int(part) < len(tree):
            tree = tree[int(part)]
        else:
            return None
    return float(tree) if isinstance(tree, (int, float)) and not isinstance(tree, bool) else None


def run(checkout: Path, python: Path, script: str) -> dict[str, float]:
    out = checkout / SCRIPTS[script]
    kept = out.read_bytes() if out.exists() else None
    try:
        t = time.perf_counter()
        subprocess.run([str(python), str(checkout / "bench" / script)], cwd=checkout, check=True,
                       stdout=subprocess.DEVNULL)
        print(f"  {checkout.name}: {script} in {time.perf_counter() - t:.0f} s", flush=True)
        tree = json.loads(out.read_text())
        found = ratios(tree)
        for name, (top, bottom) in DERIVED.get(script, {}).items():
            a, b = value_at(tree, top), value_at(tree, bottom)
            if a and b:
                found[f"/derived/{name}"] = a / b
        return found
    finally:
        if kept is not None:
            out.write_bytes(kept)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("base", type=Path)
    ap.add_argument("--scripts", nargs="*", default=list(SCRIPTS))
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--python-base", type=Path)
    ap.add_argument("--python-head", type=Path)
    args = ap.parse_args()
    sides = {"base": (args.base.resolve(), args.python_base or args.base / ".venv-dev/bin/python"),
             "head": (HEAD, args.python_head or HEAD / ".venv-dev/bin/python")}
    results: dict[str, dict[str, dict[str, float]]] = {}
    for script in args.scripts:
        best: dict[str, dict[str, list[float]]] = {"base": {}, "head": {}}
        for _ in range(args.rounds):
            for side, (checkout, python) in sides.items():
                for key, value in run(checkout, python, script).items():
                    best[side].setdefault(key, []).append(value)
        rows: dict[str, dict[str, float]] = {}
        print(script)
        for key in sorted(set(best["base"]) & set(best["head"])):
            # Higher is better for a ratio named kolva-first; the reverse ("floor
            # over kolva", "peer over kolva") is better lower: best = max or min.
            lower_better = ("_over_kolva" in key and "floor" in key) or key in LOWER_BETTER
            pick = min if lower_better else max
            b, h = pick(best["base"][key]), pick(best["head"][key])
            change = (b / h if lower_better else h / b) if b and h else float("nan")
            rows[key] = {"base": b, "head": h, "head/base": change}
            flag = "  <-- more than 10 % worse" if change < 0.9 else ""
            print(f"  {key}: base {b:.3g}, head {h:.3g}, {change:.2f}{flag}")
        results[script] = rows
    (HEAD / "bench" / "results-against.json").write_text(json.dumps(
        {"base": str(args.base), "rounds": args.rounds, "scripts": results}, indent=1) + "\n")


if __name__ == "__main__":
    sys.exit(main())
