"""Open slides kept for reuse, at most `max_open` at once, never closed under a reader.

A reader leases a slide for as long as it reads from it:

    cache = SlideCache(max_open=8)
    with cache.lease(path) as slide:
        slide.read_tile(0, 1, 2)

A leased slide stays open; once no lease holds it, it is idle and stays open for the
next lease of the same key until it is the least recently used idle slide and room is
needed. When every open slide is leased, a lease of another key waits until one is
given back (a thread that holds `max_open` leases itself gets an error instead of
waiting for ever; two threads that each hold some and wait for more can still wait
on each other, so a reader holds one lease at a time). Opening runs outside the
lock, so one slow open (a remote source) does not hold up readers of the slides
already open.

The cache is safe to share between threads. A process forked from one that holds a
cache starts with an empty one (the parent keeps its slides).

`open_slide(source, options)` opens a slide with `kolva.open` options given for
local and remote sources alike (storage options go to remote sources only);
`lease(source, options)` leases it from `worker_slides`, the cache that the tasks of
`kolva.export` and `kolva.convert` share in each process that runs them.
"""
from __future__ import annotations

import json
import os
import sys
import threading
import weakref
from collections import OrderedDict
from collections.abc import Callable, Hashable, Mapping
from contextlib import AbstractContextManager
from typing import Any, Generic, TypeVar

from ._slide import Slide
from ._slide import open as _open
from ._sources import is_url

__all__ = ["SlideCache", "lease", "open_slide", "worker_slides"]

T = TypeVar("T")


def open_slide(source: str, options: Mapping[str, Any]) -> Slide:
    """`kolva.open(source, **options)`, without `storage_options` for a local source
    (they are for fsspec, which only remote sources go through)."""
    if not is_url(source):
        options = {k: v for k, v in options.items() if k != "storage_options"}
    return _kolva_open()(source, **options)


def _kolva_open() -> Callable[..., Slide]:
    """`kolva.open` as the package holds it now (a caller may have wrapped it); the
    package is imported by the time a slide is opened."""
    package = sys.modules.get("kolva")
    return getattr(package, "open", _open)


def _open_slide(key: Any) -> Any:
    return _kolva_open()(key)


def _close_slide(slide: Any) -> None:
    slide.close()


class _Entry(Generic[T]):
    __slots__ = ("value", "leases", "ready")

    def __init__(self) -> None:
        self.value: T | None = None
        self.leases = 0
        self.ready = False  # False while it is being opened


class _Lease(Generic[T]):
    """A `with` block's hold on one slide of a cache."""

    __slots__ = ("_cache", "_key", "_opener")

    def __init__(self, cache: SlideCache[T], key: Hashable,
                 opener: Callable[[], T] | None) -> None:
        self._cache, self._key, self._opener = cache, key, opener

    def __enter__(self) -> T:
        return self._cache.acquire(self._key, self._opener)

    def __exit__(self, *exc: object) -> None:
        self._cache.release(self._key)


_caches: weakref.WeakSet[SlideCache[Any]] = weakref.WeakSet()


class SlideCache(Generic[T]):
    """At most `max_open` open slides (or any other closable values), by key.

    `opener(key)` opens the slide of a key (default: `kolva.open(key)`);
    `closer(slide)` closes one (default: `slide.close()`)."""

    def __init__(self, max_open: int = 8, opener: Callable[[Any], T] = _open_slide,
                 closer: Callable[[T], None] = _close_slide) -> None:
        if not isinstance(max_open, int) or max_open < 1:
            raise ValueError(f"max_open must be at least 1, not {max_open!r}")
        self.max_open = max_open
        self._opener = opener
        self._closer = closer
        self._reset()
        _caches.add(self)

    def _reset(self) -> None:
        self._lock = threading.Lock()
        self._cond = threading.Condition(self._lock)
        # Least recently used first; holds the slides being opened too.
        self._entries: OrderedDict[Hashable, _Entry[T]] = OrderedDict()
        self._held = threading.local()  # leases held by the calling thread
        self._waiting = 0  # threads waiting in acquire
        self._closed = False
        self.opened = 0  # slides opened so far
        self.peak = 0    # most slides open (or being opened) at once

    # ------------------------------------------------------------------ leases
    def lease(self, key: Hashable, opener: Callable[[], T] | None = None) -> _Lease[T]:
        """The open slide of `key` for a `with` block; `opener()`, when given, opens
        it in place of the cache's opener."""
        return _Lease(self, key, opener)

    def acquire(self, key: Hashable, opener: Callable[[], T] | None = None) -> T:
        """The open slide of `key`, held until `release(key)`: one release per acquire.
        `opener()`, when given, opens it in place of the cache's opener."""
        held = getattr(self._held, "count", 0)
        evicted: list[T] = []
        with self._lock:
            while True:
                if self._closed:
                    raise RuntimeError("the slide cache is closed")
                entry = self._entries.get(key)
                if entry is not None:
                    if not entry.ready:        # another thread is opening it
                        self._wait()
                        continue
                    if entry.leases == 0 and getattr(entry.value, "closed", False):
                        del self._entries[key]  # closed behind the cache's back
                        continue
                    entry.leases += 1
                    self._entries.move_to_end(key)
                    self._held.count = held + 1
                    return entry.value  # type: ignore[return-value]
                if len(self._entries) >= self.max_open:
                    idle = next((k for k, e in self._entries.items()
                                 if e.ready and e.leases == 0), None)
                    if idle is not None:
                        evicted.append(self._entries.pop(idle).value)  # type: ignore[arg-type]
                        continue
                    if held >= self.max_open:
                        raise RuntimeError(
                            f"this thread holds all {self.max_open} open slides of the cache "
                            "and asks for another: give one back first, or raise max_open")
                    self._wait()
                    continue
                entry = _Entry()
                self._entries[key] = entry  # the slot is taken while the slide opens
                break
        for slide in evicted:
            self._close_quietly(slide)
        try:
            slide = opener() if opener is not None else self._opener(key)
        except BaseException:
            with self._lock:
                del self._entries[key]
                self._cond.notify_all()
            raise
        with self._lock:
            entry.value, entry.ready, entry.leases = slide, True, 1
            self._held.count = held + 1
            self.opened += 1
            self.peak = max(self.peak, len(self._entries))
            self._cond.notify_all()
        return slide

    def release(self, key: Hashable) -> None:
        """Gives back a slide taken by `acquire(key)`."""
        with self._lock:
            entry = self._entries.get(key)
            if entry is None or not entry.ready or entry.leases == 0:
                raise KeyError(f"{key!r} is not leased")
            entry.leases -= 1
            self._held.count = max(0, getattr(self._held, "count", 0) - 1)
            slide = None
            if entry.leases == 0 and self._closed:
                del self._entries[key]
                slide = entry.value
            if self._waiting and entry.leases == 0:
                self._cond.notify_all()
        if slide is not None:
            self._close_quietly(slide)

    def _wait(self) -> None:
        """Waits for a change (the lock held)."""
        self._waiting += 1
        try:
            self._cond.wait()
        finally:
            self._waiting -= 1

    # ------------------------------------------------------------------ state
    @property
    def open_count(self) -> int:
        """Slides open (or being opened) now."""
        with self._lock:
            return len(self._entries)

    @property
    def leased_count(self) -> int:
        """Slides that some reader holds now."""
        with self._lock:
            return sum(1 for e in self._entries.values() if e.leases)

    def __contains__(self, key: Hashable) -> bool:
        with self._lock:
            entry = self._entries.get(key)
            return entry is not None and entry.ready

    def clear(self) -> None:
        """Closes the idle slides now; the cache stays usable."""
        with self._lock:
            idle = [k for k, e in self._entries.items() if e.ready and e.leases == 0]
            slides = [self._entries.pop(k).value for k in idle]
            self._cond.notify_all()
        for slide in slides:
            self._close_quietly(slide)  # type: ignore[arg-type]

    def close(self) -> None:
        """Closes the idle slides now and each leased one when it is given back; a
        lease after this is an error."""
        with self._lock:
            self._closed = True
        self.clear()

    def __enter__(self) -> SlideCache[T]:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _close_quietly(self, slide: T) -> None:
        try:
            self._closer(slide)
        except Exception:  # noqa: BLE001 - a slide that fails to close is closed enough
            pass


def _after_fork_in_child() -> None:
    # The parent's lock may have been held by a thread that does not exist here, and
    # its slides are the parent's: start empty (the objects go when unreferenced).
    for cache in list(_caches):
        closed = cache._closed
        cache._reset()
        cache._closed = closed


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


# Slides a worker process keeps open between its tasks. An export shard holds any
# number of slides: it is written one slide's run of tiles at a time, each with its
# slide leased from this cache, so no more than this many are ever open in one process.
WORKER_MAX_OPEN = 8
worker_slides: SlideCache[Slide] = SlideCache(WORKER_MAX_OPEN)


def lease(source: str, options: Mapping[str, Any]) -> AbstractContextManager[Slide]:
    """The slide at `source` opened with `options` (see `open_slide`), for the block,
    and kept open in `worker_slides` for the next task that reads it."""
    return worker_slides.lease((source, json.dumps(options, sort_keys=True, default=str)),
                               lambda: open_slide(source, options))
