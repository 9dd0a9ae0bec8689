"""One DICOM file, streamed: pydicom writes the header (preamble, file meta and every
element before the pixel data); the pixel data follows from here, frame by frame as
the tiles arrive, so memory holds one batch of tiles whatever the level's size.

Encapsulated pixel data is one fragment per frame behind a Basic Offset Table that
is written as a placeholder sized for the frame count and filled in at the end. When
the fragments may pass 4 GiB (offsets no longer fit the table's 32 bits) the Basic
Offset Table stays empty and the Extended Offset Table (7FE0,0001) with its lengths
(7FE0,0002) carries 64-bit offsets instead; both precede the pixel data, so they are
placeholders too. The file is written under a temporary name and renamed into place
when it is complete.
"""
from __future__ import annotations

import os
import struct
import sys
from array import array
from collections.abc import Iterable
from typing import Any, BinaryIO

# The 32-bit Basic Offset Table holds offsets up to this; beyond it, the extended one.
BOT_LIMIT = 0xFFFFFFFF


def _element_header(group: int, element: int, vr: bytes, length: int) -> bytes:
    return struct.pack("<HH2sHI", group, element, vr, 0, length)


_ITEM = struct.Struct("<HHI")


def _little(values: array[int]) -> array[int]:
    if sys.byteorder == "big":
        values = array(values.typecode, values)
        values.byteswap()
    return values


def _item(length: int) -> bytes:
    return struct.pack("<HHI", 0xFFFE, 0xE000, length)


def write_header(f: BinaryIO, ds: Any) -> None:
    """Preamble, file meta group and the data set (without pixel data)."""
    from pydicom.filewriter import dcmwrite

    dcmwrite(f, ds, enforce_file_format=True)


class EncapsulatedWriter:
    """Writes the pixel data of `frames` frames after the header in `f`."""

    def __init__(self, f: BinaryIO, frames: int, extended: bool) -> None:
        self.f = f
        self.frames = frames
        self.extended = extended
        # 8 bytes a frame each: what a level costs in memory beyond one batch.
        self.offsets = array("Q")
        self.lengths = array("Q")
        self._pos = 0  # bytes of fragments (items included) written so far
        if extended:
            self._eot_at = f.tell()
            f.write(_element_header(0x7FE0, 0x0001, b"OV", 8 * frames))
            f.write(bytes(8 * frames))
            f.write(_element_header(0x7FE0, 0x0002, b"OV", 8 * frames))
            f.write(bytes(8 * frames))
        f.write(struct.pack("<HH2sHI", 0x7FE0, 0x0010, b"OB", 0, 0xFFFFFFFF))
        self._bot_at = f.tell()
        if extended:
            f.write(_item(0))
        else:
            f.write(_item(4 * frames))
            f.write(bytes(4 * frames))

    def add(self, frame: bytes) -> None:
        if len(self.offsets) >= self.frames:
            raise ValueError("more frames than planned")
        if not self.extended and self._pos > BOT_LIMIT:
            raise ValueError("the frames pass 4 GiB: the Basic Offset Table cannot hold them")
        n = len(frame)
        self.offsets.append(self._pos)
        self.lengths.append(n)
        padded = n + (n & 1)
        self.f.write(_item(padded))
        self.f.write(frame)
        if n & 1:
            self.f.write(b"\x00")
        self._pos += 8 + padded

    def add_many(self, frames: list[bytes]) -> None:
        """Several frames in one write."""
        if len(self.offsets) + len(frames) > self.frames:
            raise ValueError("more frames than planned")
        parts: list[bytes] = []
        pos = self._pos
        offsets, lengths = self.offsets, self.lengths
        for frame in frames:
            n = len(frame)
            odd = n & 1
            offsets.append(pos)
            lengths.append(n)
            parts.append(_ITEM.pack(0xFFFE, 0xE000, n + odd))
            parts.append(frame)
            if odd:
                parts.append(b"\x00")
            pos += 8 + n + odd
        if not self.extended and self.offsets and self.offsets[-1] > BOT_LIMIT:
            raise ValueError("the frames pass 4 GiB: the Basic Offset Table cannot hold them")
        self.f.write(b"".join(parts))
        self._pos = pos

    def close(self) -> None:
        if len(self.offsets) != self.frames:
            raise ValueError(f"wrote {len(self.offsets)} frames of {self.frames}")
        f = self.f
        f.write(struct.pack("<HHI", 0xFFFE, 0xE0DD, 0))
        end = f.tell()
        if self.extended:
            f.seek(self._eot_at + 12)
            f.write(_little(self.offsets).tobytes())
            f.seek(12, os.SEEK_CUR)
            f.write(_little(self.lengths).tobytes())
        else:
            f.seek(self._bot_at + 8)
            f.write(_little(array("I", self.offsets)).tobytes())
        f.seek(end)


class NativeWriter:
    """Uncompressed pixel data: the frames one after the other, each of `frame_bytes`."""

    def __init__(self, f: BinaryIO, frames: int, frame_bytes: int) -> None:
        total = frames * frame_bytes
        if total + (total & 1) > 0xFFFFFFFE:
            raise ValueError("uncompressed pixel data over 4 GiB does not fit one element")
        self.f, self.frames, self.frame_bytes, self.count = f, frames, frame_bytes, 0
        self.total = total
        f.write(_element_header(0x7FE0, 0x0010, b"OB", total + (total & 1)))

    def add_many(self, frames: list[bytes]) -> None:
        for frame in frames:
            self.add(frame)

    def add(self, frame: bytes) -> None:
        if len(frame) != self.frame_bytes:
            raise ValueError(f"a frame of {len(frame)} bytes, not {self.frame_bytes}")
        self.f.write(frame)
        self.count += 1

    def close(self) -> None:
        if self.count != self.frames:
            raise ValueError(f"wrote {self.count} frames of {self.frames}")
        if self.total & 1:
            self.f.write(b"\x00")


def write_file(path: str, ds: Any, frames: Iterable[list[bytes]], count: int, *, native: bool,
               frame_bytes: int = 0, extended: bool = False, sync: bool = False) -> int:
    """Writes the instance `ds` with `count` frames, given in batches, to `path`
    (through a temporary name in the same folder); returns the file size."""
    folder, base = os.path.split(path)
    tmp = os.path.join(folder, f".{base}.tmp")
    try:
        with open(tmp, "wb") as f:
            write_header(f, ds)
            w: EncapsulatedWriter | NativeWriter = (
                NativeWriter(f, count, frame_bytes) if native
                else EncapsulatedWriter(f, count, extended))
            for batch in frames:
                w.add_many(batch)
            w.close()
            size = f.tell()
            if sync:
                f.flush()
                os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    return size
