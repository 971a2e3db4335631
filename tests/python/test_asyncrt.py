import asyncio
import collections.abc
import gc
import subprocess
import sys
import textwrap
import threading
import time
import traceback
import weakref

import pytest

import _testing_asyncrt as m

pytestmark = pytest.mark.timeout(120)


async def wait_until(predicate):
    # Bounded by the test time-out, not by a clock of our own.
    while not predicate():
        gc.collect()
        await asyncio.sleep(0.01)


class Payload:
    pass


@pytest.fixture
def stray_errors(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


@pytest.mark.asyncio
async def test_values_reach_the_awaiter():
    coro = m.sleep_then_call(0.001, lambda: {"v": 1})
    assert isinstance(coro, collections.abc.Coroutine)
    assert (coro.__name__, coro.__qualname__) == ("sleep_then_call", "Testing.sleep_then_call")
    assert await coro == {"v": 1}
    assert await m.immediate((1, 2)) == (1, 2)  # a tuple stays one value
    assert await m.call_from_worker(lambda: 7) == 7


def test_coroutine_class_outlives_its_instances():
    # With no coroutine alive, a full collection must not take the class with it.
    m.immediate(1).close()
    gc.collect()
    coro = m.immediate(2)
    with pytest.raises(StopIteration) as info:
        coro.send(None)
    assert info.value.value == 2


@pytest.mark.asyncio
async def test_python_exception_crosses_threads_unchanged():
    raised = []

    def failing_callback():
        raised.append(LookupError("from the job"))
        raise raised[-1]

    for make in (m.sleep_then_call, lambda t, f: m.call_from_worker(f)):
        with pytest.raises(LookupError) as info:
            await make(0.001, failing_callback)
        assert info.value is raised[-1]
        frames = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
        assert "failing_callback" in frames


@pytest.mark.asyncio
async def test_engine_failures():
    with pytest.raises(RuntimeError, match=r"^python worker task failed: task \d+ "
                                           r"\(failing job\) raised a C\+\+ exception: boom$"):
        await m.cpp_failure()
    with pytest.raises(ValueError, match="^refused before suspending$"):
        await m.fail_at_once()


@pytest.mark.asyncio
async def test_cancel_while_job_runs_lets_it_finish(stray_errors):
    loop_errors = []
    asyncio.get_running_loop().set_exception_handler(lambda loop, ctx: loop_errors.append(ctx))
    started, release, finished = threading.Event(), threading.Event(), threading.Event()
    payload = Payload()
    gone = weakref.ref(payload)

    def job(p=payload):
        started.set()
        release.wait()
        finished.set()
        return p

    task = asyncio.create_task(m.sleep_then_call(0, job))
    del payload, job
    await wait_until(started.is_set)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert not finished.is_set()
    release.set()
    await wait_until(lambda: gone() is None)  # job done, its result released
    assert finished.is_set()
    assert stray_errors == [] and loop_errors == []


@pytest.mark.asyncio
async def test_cancel_during_engine_wait_releases_the_operation():
    payload = Payload()
    gone = weakref.ref(payload)
    called = []
    task = asyncio.create_task(m.sleep_then_call(3600, lambda p=payload: called.append(p)))
    del payload
    await asyncio.sleep(0)  # first poll: suspended on the timer
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    await wait_until(lambda: gone() is None)
    assert called == []


@pytest.mark.asyncio
async def test_close_throw_and_reuse():
    reuse = "^cannot reuse already awaited coroutine$"
    coro = m.sleep_then_call(0, lambda: 1)
    coro.close()
    coro.close()
    with pytest.raises(RuntimeError, match=reuse):
        coro.send(None)

    coro = m.sleep_then_call(3600, lambda: 1)
    waiter = coro.send(None)
    assert isinstance(waiter, asyncio.Future) and not waiter.done()
    err = KeyError("thrown")
    with pytest.raises(KeyError) as info:
        coro.throw(err)
    assert info.value is err
    with pytest.raises(RuntimeError, match=reuse):
        next(coro)
    with pytest.raises(RuntimeError, match=reuse):
        coro.throw(err)

    coro = m.immediate(5)
    with pytest.raises(StopIteration) as info:
        coro.send(None)
    assert info.value.value == 5
    with pytest.raises(RuntimeError, match=reuse):
        coro.send(None)


def test_two_event_loops_in_two_threads_share_the_runtime():
    results = {}

    def run(tag):
        async def main():
            return await asyncio.gather(
                *(m.sleep_then_call(0.001, lambda i=i: (tag, i)) for i in range(50)),
                m.call_from_worker(lambda: tag))
        results[tag] = asyncio.run(main())

    threads = [threading.Thread(target=run, args=(tag,)) for tag in "ab"]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for tag in "ab":
        assert results[tag] == [(tag, i) for i in range(50)] + [tag]


@pytest.mark.asyncio
async def test_hundreds_of_coroutines_some_cancelled():
    tasks = [asyncio.create_task(m.sleep_then_call(0.001 * (i % 5), lambda i=i: i * i))
             for i in range(400)]
    tasks += [asyncio.create_task(m.call_from_worker(lambda i=i: -i)) for i in range(100)]
    await asyncio.sleep(0)
    for t in tasks[::3]:
        t.cancel()
    results = await asyncio.gather(*tasks, return_exceptions=True)
    for i, (task, result) in enumerate(zip(tasks, results)):
        if task.cancelled():
            assert isinstance(result, asyncio.CancelledError)
        else:
            assert result == (i * i if i < 400 else -(i - 400))


@pytest.mark.asyncio
async def test_fast_and_slow_jobs_each_reach_their_own_awaiter():
    # Fast jobs meet an awaiter still waiting for them; slow ones are handed back later.
    def job(i):
        if i % 3 == 0:
            time.sleep(0.002)
        return i

    from_workers = [m.call_from_worker(lambda i=i: job(i)) for i in range(150)]
    from_coroutines = [m.sleep_then_call(0, lambda i=i: job(i)) for i in range(150, 200)]
    assert await asyncio.gather(*from_workers, *from_coroutines) == list(range(200))


@pytest.mark.asyncio
async def test_jobs_that_block_on_each_other_all_get_a_thread():
    n = 48
    barrier = threading.Barrier(n, timeout=60)
    results = await asyncio.gather(*(m.sleep_then_call(0, barrier.wait) for _ in range(n)))
    assert sorted(results) == list(range(n))


@pytest.mark.asyncio
async def test_sequential_jobs_reuse_pool_threads():
    await m.sleep_then_call(0, lambda: None)
    before = m.pool_threads()
    for _ in range(50):
        await m.sleep_then_call(0, lambda: None)
    assert m.pool_threads() < before + 25


def test_runtime_starts_on_first_await_and_is_reused():
    code = textwrap.dedent("""
        import asyncio, os
        def threads():
            return len(os.listdir('/proc/self/task'))
        before = threads()
        import _testing_asyncrt as m
        coro = m.immediate(1)
        assert threads() == before, 'import or call started a thread'
        assert asyncio.run(coro) == 1
        first = threads()
        assert first > before
        # These need no blocking job, so the pool adds no thread: a runtime
        # built again would add its own.
        for _ in range(20):
            assert asyncio.run(m.immediate(2)) == 2
        assert threads() == first, (first, threads())
        print('ok')
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "ok", out.stderr
