"""Olympus .vsi: the main scan is picked from the .vsi's metadata (the largest image
stack), not from the folder numbers; the .vsi's pixel size, objective and thumbnail
come with it."""
from __future__ import annotations

import io
import pickle

import numpy as np
import pytest
from PIL import Image

import kolva
from fixtures import vsi
from fixtures.vsi import IMAGE, MACRO, OVERVIEW, VsiStack

MAIN = VsiStack(IMAGE, (1000, 700), "40x BF", tiles=(4, 3), pixel_size=(0.1725, 0.1725),
                objective=40.0)
OVERVIEW_STACK = VsiStack(OVERVIEW, (500, 200), "Overview", tiles=(2, 1),
                          pixel_size=(8.6, 8.6), objective=2.0)
SMALL_IMAGE = VsiStack(IMAGE, (300, 200), "10x BF", tiles=(2, 1), pixel_size=(0.69, 0.69),
                       objective=10.0)
MACRO_STACK = VsiStack(MACRO, (2000, 600), "Macro", external=False)

# name: (stacks in the .vsi, (folder, index of the stack whose ETS it holds), main folder)
LAYOUTS = {
    # a microscope image: one stack, the main one, in stack1
    "single": ([MAIN], [("stack1", 0)], "stack1"),
    # scanner output: the overview in stack1, the scan in stack10001
    "scanner": ([OVERVIEW_STACK, MAIN], [("stack1", 0), ("stack10001", 1)], "stack10001"),
    # the .vsi lists the scan first, but its folder sorts last: sizes decide
    "listed_first": ([MAIN, OVERVIEW_STACK], [("stack1", 1), ("stack10001", 0)], "stack10001"),
    # two image stacks: the larger one is the main image; a macro without a file
    "two_images": ([MACRO_STACK, SMALL_IMAGE, MAIN], [("stack2", 1), ("stack3", 2)], "stack3"),
}


@pytest.fixture(scope="module")
def layouts(tmp_path_factory):
    root = tmp_path_factory.mktemp("vsi")
    return {name: vsi.make_vsi(root / name, "slide", stacks, folders, main_folder=main,
                               ets_name="frame_t_0.ets" if name == "scanner" else "frame_t.ets")
            for name, (stacks, folders, main) in LAYOUTS.items()}


@pytest.mark.parametrize("name", list(LAYOUTS))
def test_the_main_image_is_opened(layouts, name):
    built = layouts[name]
    expected = built.folders[built.main_folder]
    with kolva.open(built.path) as slide:
        assert slide.format == "ets"
        assert slide.level_dimensions == tuple((lv.width, lv.height) for lv in expected.levels)
        assert slide.read_tile(0, 1, 2) == expected.levels[0].tiles[(1, 2)]
        props = slide.properties
        assert props["olympus.stack-folder"] == built.main_folder
        assert props["olympus.stack-name"] == "40x BF"
        assert props["olympus.image-boundary"] == "0,0,1000,700"
        assert slide.mpp == (0.1725, 0.1725)
        assert props["kolva.objective-power"] == "40"
        assert props["olympus.objective-name"] == "UPLXAPO 40x"


def test_overview_is_the_vsi_thumbnail_with_its_colours(layouts):
    built = layouts["scanner"]
    with kolva.open(built.path) as slide:
        image = slide.associated_images["overview"]
    assert image.media_type == "image/jpeg"
    assert image.dimensions == (160, 120)
    assert image.data == built.overview
    # RGB-coded samples: without the Adobe marker they would decode as YCbCr.
    pixels = np.asarray(Image.open(io.BytesIO(image.data)).convert("RGB"), np.int16)
    assert np.abs(pixels - built.thumbnail).mean() < 3


def test_missing_companion_is_a_clear_error(tmp_path):
    built = vsi.make_vsi(tmp_path, "lonely", [MAIN], [], main_folder=None)
    with pytest.raises(kolva.SlideError, match=r"companion files.*_lonely_/stack<N>/frame_t.ets") \
            as caught:
        kolva.open(built.path)
    # Not found, not an I/O failure: the file a user must supply is named.
    assert type(caught.value) is kolva.MissingFile
    assert isinstance(caught.value, FileNotFoundError)


def test_empty_stack_folder_is_a_clear_error(tmp_path):
    built = vsi.make_vsi(tmp_path, "empty", [MAIN], [("stack1", None)], main_folder=None)
    with pytest.raises(kolva.SlideError, match="none was found"):
        kolva.open(built.path)


def test_a_vsi_without_metadata_opens_its_largest_image(tmp_path):
    built = vsi.make_vsi(tmp_path, "bare", [OVERVIEW_STACK, MAIN],
                         [("stack1", 0), ("stack2", 1)], main_folder="stack2")
    # Wipe the tree's magic: no stack is described any more.
    data = bytearray(built.path.read_bytes())
    data[10:12] = b"\0\0"
    built.path.write_bytes(bytes(data))
    with kolva.open(built.path) as slide:
        assert slide.dimensions == (1024, 768)
        assert "kolva.mpp-x" not in slide.properties
        assert "overview" in slide.associated_images


def test_vsi_slide_pickles(layouts):
    built = layouts["scanner"]
    with kolva.open(built.path) as slide:
        again = pickle.loads(pickle.dumps(slide))
        assert again.read_tile(0, 0, 0) == slide.read_tile(0, 0, 0)
        again.close()
