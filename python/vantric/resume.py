"""A connection's coroutine, resumed in place by the callback that brings its bytes.

A connection's loop spends most of its life waiting for the peer's next bytes.
Waking it the usual way costs a future resolved, a callback scheduled, a turn
of the event loop and a task step before the bytes are even looked at, on
every request.  `Resumable` runs the coroutine in an asyncio task as usual,
but while the coroutine is parked on a read, `resume(data)` sends the bytes
straight into it from `data_received`, with the task entered as the current
one and in the task's context, so what runs sees the very environment it
would see in the task (`asyncio.current_task()`, `asyncio.timeout`, context
variables).  The task keeps waiting on the same future meanwhile; only when
the coroutine stops on something else does the task wake to wait on that.
"""

from __future__ import annotations

import asyncio
import contextvars
import types
from collections.abc import Awaitable, Coroutine, Generator
from typing import Any

__all__ = ["Resumable", "in_context"]

# The functions asyncio's own tasks use to mark themselves current.
from asyncio.tasks import _enter_task, _leave_task

_NOTHING: Any = object()  # no hand-over pending
_FINISHED: Any = object()  # the coroutine returned during a resume


class _Raised:
    """The coroutine raised during a resume: the task raises it."""

    __slots__ = ("error",)

    def __init__(self, error: BaseException) -> None:
        self.error = error


class Resumable:
    """Drives `coro` in a task; `await resumable` parks it on the future
    `waiter()` gave last, which either resolves (the usual wake) or is skipped
    by `resume()`."""

    __slots__ = (
        "_loop", "_coro", "_send", "_base", "_context", "_stepping", "task", "_future", "_running", "_parked",
        "_handoff",
    )  # fmt: skip

    def __init__(self, loop: asyncio.AbstractEventLoop, coro: Coroutine[Any, Any, None]) -> None:
        self._loop = loop
        self._coro = coro
        self._send = coro.send  # bound once: a resume per request calls it
        # Every step of the coroutine runs in _context: a copy of the context
        # it was started in, replaced by a fresh copy on fresh_context().
        self._base = contextvars.copy_context()
        self._context = self._base.copy()
        self._stepping = self._context  # the context the running step entered
        self._future: asyncio.Future[Any] = loop.create_future()
        self._running = False  # the coroutine is being stepped (by the task or a resume)
        self._parked = False  # the coroutine waits on _future
        self._handoff: Any = _NOTHING
        self.task: asyncio.Task[None] = loop.create_task(self._run(), context=self._base.copy())

    def fresh_context(self) -> None:
        """From the next step on, the coroutine runs in a new copy of the
        context it was started in: what it set in context variables before is
        gone, as for a task started anew."""
        self._context = self._base.copy()

    def in_fresh_context(self, awaitable: Awaitable[Any]) -> Awaitable[Any]:
        """`awaitable`, to run in a fresh context: as it is when the running
        step already entered the one fresh_context() made, else wrapped to
        run its steps in a copy of its own."""
        if self._stepping is self._context:
            return awaitable
        return in_context(self._base.copy(), awaitable)

    def waiter(self) -> asyncio.Future[Any]:
        """The future the next `await` parks on: resolving it wakes the
        coroutine with its result."""
        future = self._future
        if future.done():
            future = self._future = self._loop.create_future()
        return future

    def __await__(self) -> Generator[Any, Any, Any]:
        # Parks on the future waiter() gave last: callers ask for it first
        # (to hand it to whoever resolves it).
        future = self._future
        # Only the coroutine this drives can be resumed in place; another task
        # reading through the same connection just waits on the future.
        own = self._running
        self._parked = own
        future._asyncio_future_blocking = True  # as Future.__await__ does
        try:
            sent = yield future
        finally:
            if own:
                self._parked = False
        if sent is None:
            return future.result()
        return sent

    def resume(self, value: Any) -> bool:
        """Sends `value` (not None) into the parked coroutine, here and now;
        False when it cannot be (not parked on its own read, or called from
        inside a running task), the caller then resolving the future instead."""
        if not self._parked:
            return False
        loop, task = self._loop, self.task
        try:
            _enter_task(loop, task)
        except RuntimeError:
            return False  # a task is running: bytes fed from inside one
        future = self._future
        self._running = True
        context = self._stepping = self._context
        try:
            yielded = context.run(self._send, value)
        except StopIteration:
            handoff = _FINISHED
        except BaseException as error:
            handoff = _Raised(error)
        else:
            if yielded is future:
                return True  # parked again on the future the task waits on
            handoff = yielded
        finally:
            self._running = False
            _leave_task(loop, task)
        # The coroutine now waits on something else: the task wakes to wait on it.
        self._handoff = handoff
        if not future.done():
            future.set_result(None)
        return True

    async def _run(self) -> None:
        await self._drive()

    @types.coroutine
    def _drive(self) -> Generator[Any, Any, None]:
        """Steps the coroutine for the task, taking over where a resume left it."""
        coro = self._coro
        value: Any = None
        error: BaseException | None = None
        while True:
            self._running = True
            context = self._stepping = self._context
            try:
                if error is None:
                    yielded = context.run(coro.send, value)
                else:
                    yielded = context.run(coro.throw, error)
            except StopIteration:
                return
            finally:
                self._running = False
            while True:
                value = error = None
                try:
                    value = yield yielded
                except GeneratorExit:
                    coro.close()
                    raise
                except BaseException as thrown:
                    error = thrown
                handoff = self._handoff
                if handoff is _NOTHING:
                    break
                self._handoff = _NOTHING
                if handoff is _FINISHED:
                    return
                if type(handoff) is _Raised:
                    raise handoff.error
                if error is not None:
                    break  # thrown where the coroutine waits now
                yielded = handoff


@types.coroutine
def in_context(context: contextvars.Context, awaitable: Awaitable[Any]) -> Generator[Any, Any, Any]:
    """Awaits `awaitable` with each of its steps run in `context`: what it
    sets in context variables stays there, as in a task of its own, without
    the task."""
    coro = awaitable if type(awaitable) is types.CoroutineType else _awaiting(awaitable)
    run, send, throw = context.run, coro.send, coro.throw
    value: Any = None
    error: BaseException | None = None
    while True:
        try:
            yielded = run(send, value) if error is None else run(throw, error)
        except StopIteration as stop:
            return stop.value
        value = error = None
        try:
            value = yield yielded
        except GeneratorExit:
            coro.close()
            raise
        except BaseException as thrown:
            error = thrown


async def _awaiting(awaitable: Awaitable[Any]) -> Any:
    return await awaitable
