"""Resuming a task's coroutine in place from a transport callback.

What runs during a resume must see what it would see in the task (the current
task, its context, cancellation), and whatever the coroutine waits on next
must wake it through the task as usual.
"""

import asyncio
import contextvars

import pytest

from vantric.resume import Resumable, in_context

VAR: contextvars.ContextVar[str] = contextvars.ContextVar("VAR", default="unset")


def run(main):
    asyncio.run(asyncio.wait_for(main(), 5))


def in_callback(function, *args):
    """Calls `function` from a plain loop callback, as data_received is called;
    a future of its result."""
    loop = asyncio.get_running_loop()
    done = loop.create_future()

    def call():
        try:
            done.set_result(function(*args))
        except BaseException as error:
            done.set_exception(error)

    loop.call_soon(call)
    return done


class Reader:
    """A coroutine that records what it receives and where it ran."""

    def __init__(self, loop, then=None):
        self.got = []
        self.tasks = []
        self.then = then  # awaited after each value (returns a value to stop)
        self.resumable = Resumable(loop, self.loop())

    async def loop(self):
        while True:
            self.resumable.waiter()
            value = await self.resumable
            self.got.append(value)
            self.tasks.append(asyncio.current_task())
            if self.then is not None and await self.then(value) == "stop":
                return


def test_a_resume_runs_the_coroutine_at_once_as_its_task():
    async def main():
        reader = Reader(asyncio.get_running_loop())
        await asyncio.sleep(0)  # parked
        for value in (b"one", b"two"):
            assert await in_callback(reader.resumable.resume, value) is True
            # Ran inside the callback, not on a later turn of the loop.
            assert reader.got[-1] == value
        assert reader.tasks == [reader.resumable.task] * 2
        # A resolved future still wakes it the usual way.
        reader.resumable.waiter().set_result(b"three")
        await asyncio.sleep(0)
        await asyncio.sleep(0)
        assert reader.got == [b"one", b"two", b"three"]
        reader.resumable.task.cancel()

    run(main)


def test_what_the_coroutine_waits_on_next_wakes_it_through_the_task():
    async def main():
        loop = asyncio.get_running_loop()
        gate = loop.create_future()
        after = []

        async def then(value):
            VAR.set(value.decode())
            result = await gate  # not a read: the task must take this wait over
            after.append((result, VAR.get(), asyncio.current_task()))
            return "stop" if value == b"last" else None

        reader = Reader(loop, then)
        await asyncio.sleep(0)
        assert await in_callback(reader.resumable.resume, b"first") is True
        assert after == []
        gate.set_result("open")
        await asyncio.sleep(0.01)
        # The context and the task are the same on both sides of the wait.
        assert after == [("open", "first", reader.resumable.task)]
        gate = loop.create_future()
        gate.set_result("again")
        assert await in_callback(reader.resumable.resume, b"last") is True
        await asyncio.wait_for(reader.resumable.task, 1)
        assert after[-1] == ("again", "last", reader.resumable.task)

    run(main)


def test_timeouts_and_cancellation_reach_the_coroutine_where_it_waits():
    async def main():
        loop = asyncio.get_running_loop()
        outcomes = []

        async def then(value):
            try:
                # asyncio.timeout needs the current task: entered by the resume.
                async with asyncio.timeout(0.01):
                    await loop.create_future()
            except TimeoutError:
                outcomes.append("timed out")

        reader = Reader(loop, then)
        await asyncio.sleep(0)
        await in_callback(reader.resumable.resume, b"x")
        await asyncio.sleep(0.05)
        assert outcomes == ["timed out"]

        # Cancelled in the window between a resume handing a wait over and
        # the task taking it: the cancellation lands where the coroutine is.
        async def never(value):
            try:
                await loop.create_future()
            except asyncio.CancelledError:
                outcomes.append("cancelled at the new wait")
                raise

        reader = Reader(loop, never)
        await asyncio.sleep(0)

        def resume_then_cancel():
            reader.resumable.resume(b"y")
            reader.resumable.task.cancel()

        await in_callback(resume_then_cancel)
        with pytest.raises(asyncio.CancelledError):
            await reader.resumable.task
        assert outcomes[-1] == "cancelled at the new wait"

    run(main)


def test_an_end_or_an_error_during_a_resume_ends_the_task_with_it():
    async def main():
        loop = asyncio.get_running_loop()

        async def fail(value):
            raise ValueError(value)

        async def stop(value):
            return "stop"

        failing, stopping = Reader(loop, fail), Reader(loop, stop)
        await asyncio.sleep(0)
        assert await in_callback(failing.resumable.resume, b"boom") is True
        assert await in_callback(stopping.resumable.resume, b"end") is True
        with pytest.raises(ValueError, match="boom"):
            await asyncio.wait_for(failing.resumable.task, 1)
        assert await asyncio.wait_for(stopping.resumable.task, 1) is None

    run(main)


def test_no_resume_from_inside_a_task_or_into_another_tasks_read():
    async def main():
        loop = asyncio.get_running_loop()
        reader = Reader(loop)
        await asyncio.sleep(0)
        # From inside a running task the coroutine cannot be entered.
        assert reader.resumable.resume(b"inside") is False
        reader.resumable.waiter().set_result(b"inside")
        await asyncio.sleep(0)
        assert reader.got == [b"inside"]
        reader.resumable.task.cancel()

        # Another task reading through the same resumable waits on the
        # future: a resume must not send into the driven coroutine.
        gate = loop.create_future()

        async def wait_gate():
            await gate

        blocked = Resumable(loop, wait_gate())
        await asyncio.sleep(0)
        other = loop.create_task(_read_once(blocked))
        await asyncio.sleep(0)
        assert await in_callback(blocked.resume, b"no") is False
        blocked.waiter().set_result(b"theirs")
        assert await asyncio.wait_for(other, 1) == b"theirs"
        gate.set_result(None)
        await asyncio.wait_for(blocked.task, 1)

    run(main)


async def _read_once(resumable):
    resumable.waiter()
    return await resumable


def test_in_context_keeps_what_a_coroutine_sets_to_its_own_context():
    async def main():
        loop = asyncio.get_running_loop()
        VAR.set("outside")
        gate = loop.create_future()

        async def sets(value):
            VAR.set(value)
            await gate  # the setting holds across a wait
            return VAR.get()

        first = contextvars.copy_context()
        task = loop.create_task(_gather_in(first, sets("one"), sets("two")))
        await asyncio.sleep(0)
        gate.set_result(None)
        assert await task == ["one", "two"]
        assert VAR.get() == "outside"  # the caller's own context is untouched
        assert first[VAR] == "outside"  # each ran in a copy

        # A cancellation reaches the coroutine where it waits; a plain
        # awaitable (a future) is awaited too.
        done = loop.create_future()
        done.set_result(7)
        assert await in_context(contextvars.copy_context(), done) == 7
        waiting = loop.create_task(_in_copy(loop.create_future()))
        await asyncio.sleep(0)
        waiting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiting

    run(main)


async def _gather_in(base, *coros):
    return [await in_context(base.copy(), coro) for coro in coros]


async def _in_copy(awaitable):
    return await in_context(contextvars.copy_context(), awaitable)
