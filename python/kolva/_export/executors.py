"""Where an export's tasks run: in this process, on a Dask cluster (one given by
address or Client, or a LocalCluster of worker processes started for the export),
or, without Dask installed, in a process pool. All offer submit() and
as_completed()."""
from __future__ import annotations

import concurrent.futures as cf
import os
from collections.abc import Callable, Iterator
from typing import Any


def machine_cores() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):  # pragma: no cover - not Linux
        return max(1, os.cpu_count() or 1)


class _Deferred:
    """A task of Inline: run when as_completed reaches it."""

    def __init__(self, fn: Callable[..., Any], args: tuple[Any, ...]) -> None:
        self._fn, self._args = fn, args
        self._done = False
        self._value: Any = None
        self._error: BaseException | None = None

    def run(self) -> None:
        if self._done:
            return
        try:
            self._value = self._fn(*self._args)
        except Exception as exc:  # handed to the caller by result()
            self._error = exc
        self._done = True
        self._fn = self._args = None  # type: ignore[assignment]

    def result(self) -> Any:
        self.run()
        if self._error is not None:
            raise self._error
        return self._value


class Inline:
    """Runs the tasks in this process, one by one, as the caller collects them (so
    that progress shows, and an interrupt stops the work where it is)."""

    def submit(self, fn: Callable[..., Any], *args: Any) -> _Deferred:
        return _Deferred(fn, args)

    def as_completed(self, futures: list[Any]) -> Iterator[Any]:
        for fut in futures:
            fut.run()
            yield fut

    def __enter__(self) -> Inline:
        return self

    def __exit__(self, *exc: object) -> None:
        pass


class Pool:
    """A process pool (no Dask)."""

    def __init__(self, workers: int) -> None:
        self._pool = cf.ProcessPoolExecutor(max_workers=workers)

    def submit(self, fn: Callable[..., Any], *args: Any) -> cf.Future[Any]:
        return self._pool.submit(fn, *args)

    def as_completed(self, futures: list[Any]) -> Iterator[Any]:
        return cf.as_completed(futures)

    def __enter__(self) -> Pool:
        return self

    def __exit__(self, *exc: object) -> None:
        self._pool.shutdown(wait=exc[0] is None, cancel_futures=True)


class Dask:
    """Tasks on a Dask cluster: `scheduler` is an address or a distributed.Client;
    None starts a LocalCluster of `workers` single-threaded worker processes on the
    loopback interface, closed again at the end."""

    def __init__(self, scheduler: Any, workers: int) -> None:
        from distributed import Client, LocalCluster

        self._cluster: Any = None
        self.client: Any
        self._own_client = True
        if scheduler is None:
            self._cluster = LocalCluster(  # type: ignore[no-untyped-call]
                n_workers=workers, threads_per_worker=1, processes=True,
                host="127.0.0.1", dashboard_address=None)
            self.client = Client(self._cluster)  # type: ignore[no-untyped-call]
        elif isinstance(scheduler, str):
            self.client = Client(scheduler)  # type: ignore[no-untyped-call]
        else:
            self.client = scheduler
            self._own_client = False

    def submit(self, fn: Callable[..., Any], *args: Any) -> Any:
        return self.client.submit(fn, *args, pure=False)

    def as_completed(self, futures: list[Any]) -> Iterator[Any]:
        from distributed import as_completed

        return iter(as_completed(futures))  # type: ignore[no-untyped-call]

    def __enter__(self) -> Dask:
        return self

    def __exit__(self, *exc: object) -> None:
        if self._own_client:
            self.client.close()
        if self._cluster is not None:
            self._cluster.close()


def make(workers: int | None, scheduler: Any) -> Inline | Pool | Dask:
    if scheduler is not None:
        return Dask(scheduler, 0)
    count = workers if workers is not None else machine_cores()
    if count <= 1:
        return Inline()
    try:
        import distributed  # noqa: F401
    except ImportError:
        return Pool(count)
    return Dask(None, count)
