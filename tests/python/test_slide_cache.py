"""The open-slide cache that export and the server share: the bound on open slides,
eviction of idle slides only, waiting for a lease to come back, failed opens, close,
and real slides whose files stay readable while leased."""
from __future__ import annotations

import shutil
import threading
import time

import pytest

import kolva
from kolva._slide_cache import SlideCache, open_slide


class Fake:
    """A slide stand-in that records its life."""

    def __init__(self, key: str, log: list[tuple[str, str]]) -> None:
        self.key, self.log, self.closed = key, log, False
        log.append(("open", key))

    def close(self) -> None:
        assert not self.closed, f"{self.key} closed twice"
        self.closed = True
        self.log.append(("close", self.key))


def fake_cache(max_open: int, fail: set[str] = frozenset()) -> tuple[SlideCache, list]:
    log: list[tuple[str, str]] = []

    def opener(key: str) -> Fake:
        if key in fail:
            raise OSError(f"cannot open {key}")
        return Fake(key, log)

    return SlideCache(max_open, opener), log


@pytest.mark.parametrize("leased, touch, expect_closed", [
    ([], ["a", "b", "c", "d"], ["a"]),            # plain LRU
    ([], ["a", "b", "c", "a", "d"], ["b"]),       # a used again: b is the oldest idle
    (["a"], ["a", "b", "c", "d"], ["b"]),         # a leased: never closed under its reader
    (["a", "b"], ["a", "b", "c", "d"], ["c"]),
])
def test_bound_holds_and_only_idle_slides_are_evicted(leased, touch, expect_closed):
    cache, log = fake_cache(3)
    held = [cache.acquire(k) for k in leased]
    for k in touch:
        if k not in leased:
            with cache.lease(k) as slide:
                assert slide.key == k and not slide.closed
        assert cache.open_count <= 3
    assert [k for what, k in log if what == "close"] == expect_closed
    assert all(not s.closed for s in held)
    assert cache.opened == sum(what == "open" for what, _ in log) and cache.peak == 3
    for k in leased:
        cache.release(k)
    assert cache.leased_count == 0


def test_a_lease_waits_for_one_to_come_back_and_a_thread_cannot_starve_itself():
    cache, log = fake_cache(2)
    a, b = cache.acquire("a"), cache.acquire("b")
    with pytest.raises(RuntimeError, match="holds all 2"):
        cache.acquire("c")  # would wait for itself for ever
    got: list[Fake] = []
    waiter = threading.Thread(target=lambda: got.append(cache.acquire("c")))
    waiter.start()
    time.sleep(0.1)
    assert not got and cache.open_count == 2  # waiting: the bound holds
    cache.release("b")
    waiter.join(5)
    assert got and got[0].key == "c" and b.closed and not a.closed
    cache.release("a")


def test_a_failed_open_gives_its_slot_back():
    cache, log = fake_cache(1, fail={"bad"})
    with pytest.raises(OSError, match="cannot open bad"):
        cache.acquire("bad")
    assert cache.open_count == 0 and cache.opened == 0
    with cache.lease("good") as slide:
        assert slide.key == "good"
    assert cache.opened == cache.peak == 1


def test_close_closes_idle_now_and_leased_on_release():
    cache, log = fake_cache(4)
    with cache.lease("idle"):
        pass
    busy = cache.acquire("busy")
    cache.close()
    assert ("close", "idle") in log and not busy.closed
    cache.release("busy")
    assert busy.closed
    with pytest.raises(RuntimeError, match="closed"):
        cache.acquire("idle")


def test_real_slides_many_threads_bounded(tmp_path):
    """Eight threads read twelve files through a cache of three: every read gets its
    tile (no slide is closed under a reader) and no more than three files are open."""
    example = kolva.example_path()
    paths = []
    for i in range(12):
        p = tmp_path / f"copy-{i}.svs"
        shutil.copyfile(example, p)
        paths.append(str(p))
    expected = kolva.open(example).read_tile(0, 1, 1)
    cache: SlideCache[kolva.Slide] = SlideCache(3)
    errors: list[BaseException] = []
    peak = [0]

    def reader(seed: int) -> None:
        try:
            for i in range(60):
                with cache.lease(paths[(seed * 7 + i) % len(paths)]) as slide:
                    assert slide.read_tile(0, 1, 1) == expected
                    peak[0] = max(peak[0], cache.open_count)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=reader, args=(s,)) for s in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    cache.close()
    assert not errors, errors[0]
    assert peak[0] <= 3


@pytest.mark.parametrize("source, passed", [
    ("slides/a.svs", {"tile_size": 256}),                                # local: no storage options
    ("s3://bucket/a.svs", {"tile_size": 256, "storage_options": {"anon": True}}),
    ("https://host/a.svs", {"tile_size": 256, "storage_options": {"anon": True}}),
])
def test_open_slide_gives_storage_options_to_remote_sources_only(monkeypatch, source, passed):
    calls: list[tuple[str, dict]] = []
    monkeypatch.setattr(kolva, "open", lambda s, **kw: calls.append((s, kw)))
    options = {"tile_size": 256, "storage_options": {"anon": True}}
    open_slide(source, options)
    assert calls == [(source, passed)]
    assert options == {"tile_size": 256, "storage_options": {"anon": True}}  # left as given
