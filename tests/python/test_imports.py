"""The modules of the `kolva` package import each other without cycles (deferred
imports inside functions count: they only hide a cycle), and none imports another
package's private names; every module imports first in a fresh interpreter."""
from __future__ import annotations

import ast
import subprocess
import sys
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[2] / "python" / "kolva"


def _modules() -> dict[str, Path]:
    found = {}
    for path in sorted([*PACKAGE.rglob("*.py"), *PACKAGE.rglob("*.pyi")]):
        if path.suffix == ".pyi" and path.with_suffix(".py").exists():
            continue
        parts = ("kolva", *path.relative_to(PACKAGE).with_suffix("").parts)
        name = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        found[name] = path
    return found


MODULES = _modules()


def _package_of(name: str) -> str:
    return name if MODULES[name].name == "__init__.py" else name.rsplit(".", 1)[0]


def _imports(name: str) -> list[tuple[str, list[str], int]]:
    """(module, names taken from it, line) of every import in `name`, those under
    `if TYPE_CHECKING:` left out."""
    if MODULES[name].suffix == ".pyi":
        return []  # a native module
    tree = ast.parse(MODULES[name].read_text(), str(MODULES[name]))
    skipped = {id(n) for node in ast.walk(tree)
               if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test)
               for child in node.body for n in ast.walk(child)}
    out = []
    for node in ast.walk(tree):
        if id(node) in skipped:
            continue
        if isinstance(node, ast.Import):
            out += [(a.name, [], node.lineno) for a in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = _package_of(name).split(".")
                anchor = anchor[:len(anchor) - node.level + 1]
                base = ".".join(anchor + ([base] if base else []))
            out.append((base, [a.name for a in node.names], node.lineno))
    return out


def _edges(name: str) -> set[str]:
    """The kolva modules whose bodies run (or must have run) for `name` to import:
    each one named, its packages that are not `name`'s own, and submodules taken
    with `from package import module`."""
    own = set()
    parts = name.split(".")
    for i in range(1, len(parts) + 1):
        own.add(".".join(parts[:i]))
    edges = set()
    for module, names, _ in _imports(name):
        if module.split(".")[0] != "kolva":
            continue
        submodules = [f"{module}.{n}" for n in names if f"{module}.{n}" in MODULES]
        # `from package import module` needs the package's body only for the names
        # that are not modules.
        body = not names or len(submodules) < len(names)
        targets = ([module] if body else []) + submodules
        for target in targets:
            pieces = target.split(".")
            for i in range(1, len(pieces) + 1):
                step = ".".join(pieces[:i])
                if step in MODULES and (step not in own or step == module and body):
                    edges.add(step)
    edges.discard(name)
    return edges


def test_no_import_cycles() -> None:
    graph = {name: _edges(name) for name in MODULES}
    done: set[str] = set()
    path: list[str] = []

    def visit(node: str) -> None:
        if node in path:
            cycle = path[path.index(node):] + [node]
            pytest.fail("import cycle: " + " -> ".join(cycle))
        if node in done:
            return
        path.append(node)
        for nxt in sorted(graph[node]):
            visit(nxt)
        path.pop()
        done.add(node)

    for name in MODULES:
        visit(name)


def test_no_module_imports_private_names_of_another_package() -> None:
    found = []
    for name in MODULES:
        for module, names, line in _imports(name):
            if module.split(".")[0] != "kolva" or module not in MODULES:
                continue
            private = [n for n in names if n.startswith("_") and not n.startswith("__")
                       and f"{module}.{n}" not in MODULES]
            if private and _package_of(module) != _package_of(name):
                found.append(f"{MODULES[name].name}:{line} {module}: {', '.join(private)}")
    assert not found


def test_every_module_imports_first_in_a_fresh_interpreter() -> None:
    # Heavy optional dependencies (torch) are imported by their own tests.
    names = [n for n, p in MODULES.items()
             if n != "kolva.torch" and not n.endswith("__main__") and p.suffix == ".py"]
    script = ("import importlib, subprocess, sys\n"
              "for n in sys.argv[1:]:\n"
              "    r = subprocess.run([sys.executable, '-c', f'import {n}'],"
              " capture_output=True, text=True)\n"
              "    if r.returncode: print(n, r.stderr.strip().splitlines()[-1])\n")
    res = subprocess.run([sys.executable, "-c", script, *names], capture_output=True,
                         text=True, timeout=600)
    assert res.stdout == "" and res.returncode == 0, res.stdout + res.stderr
