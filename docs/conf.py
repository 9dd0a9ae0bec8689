"""Sphinx configuration of kolva's documentation site (bash tools/build_docs.sh)."""
from __future__ import annotations

import os
import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
sys.path.insert(0, str(DOCS / "_ext"))
# `kolva` and `python` for the command output run at build time: the building
# interpreter's own, before anything else on PATH.
os.environ["PATH"] = os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", "")
os.environ["COLUMNS"] = "88"  # argparse wraps --help to this width

import kolva  # noqa: E402

project = "kolva"
author = "the kolva developers"
copyright = "the kolva developers"
release = version = kolva.__version__

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.doctest",
    "sphinxcontrib.programoutput",
    "kolva_docs",
]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build", "_generated/*.md", "requirements.txt"]
root_doc = "index"

myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

html_theme = "furo"
html_title = f"kolva {release}"
html_static_path: list[str] = []

default_role = "literal"  # `name` in docstrings and pages: code
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True}
nitpicky = True
# Names the reference cannot link to: the standard library and third-party types seen in
# signatures (no network, so no intersphinx), and private helpers.
nitpick_ignore_regex = [
    (r"py:.*", r"(os|io|collections\.abc|typing|pathlib|numpy|torch|argparse|concurrent)\..*"),
    (r"py:.*", r".*\._[A-Za-z].*"),
    (r"py:.*", r"(.*\.)?(Path|Any|Iterable|Iterator|Sequence|Mapping|Callable|SupportsIndex|"
               r"TypeAlias|Final|structseq|PathLike|ndarray|Tensor|Dataset|"
               r"IterableDataset|ArgumentParser|np\.ndarray|NDArray|Starlette|"
               r"ASGIApp|_Range|_Fetch|_Siblings|_RegionReader|TileServer|TilePlan|ExportSummary|ConvertSummary|"
               r"ShardDone|T)"),
]

# Code examples are executed by the doctest builder against the example slide. Each page
# runs in a scratch folder of its own; `missing(...)` skips an example until the API it
# shows exists (or an optional package it needs is installed).
doctest_global_setup = """
import os, tempfile, warnings
warnings.filterwarnings("ignore", module="starlette")
warnings.filterwarnings("ignore", message=".*httpx.*")
import kolva
from kolva_docs import missing
example = str(kolva.example_path())
os.chdir(tempfile.mkdtemp(prefix="kolva-docs-"))
"""
doctest_test_doctest_blocks = "default"

linkcheck_ignore = [r"https?://.*"]  # no network here: only the site's own links are checked
linkcheck_anchors = False
