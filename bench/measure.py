"""Timing and memory probes.

The machine the suite runs on is shared and noisy, so every latency is the
median of several samples, and the samples of the peers compared with each
other are taken in turns (peer A, peer B, ..., then A again) so a burst of
load hits all of them alike.  A sample of a fast operation loops it until the
sample lasts about `SAMPLE_SECONDS`, and reports the time per call.
"""

from __future__ import annotations

import ctypes
import gc
import os
import statistics
import time

SAMPLE_SECONDS = 0.02
MAX_LOOPS = 20_000


def _timed(fn, loops: int) -> float:
    enabled = gc.isenabled()
    gc.disable()
    try:
        t0 = time.perf_counter()
        for _ in range(loops):
            fn()
        return time.perf_counter() - t0
    finally:
        if enabled:
            gc.enable()


def calibrate(fn) -> tuple[int, float]:
    """(loops per sample, seconds of one call) for fn, after one warm-up call."""
    fn()
    one = _timed(fn, 1)
    if one >= SAMPLE_SECONDS:
        return 1, one
    loops = 1
    t = one
    while t < SAMPLE_SECONDS and loops < MAX_LOOPS:
        loops = min(MAX_LOOPS, max(loops * 2, int(loops * SAMPLE_SECONDS / max(t, 1e-9))))
        t = _timed(fn, loops)
    return loops, t / loops


def round_robin(fns: dict, reps: int, budget: float = 10.0, failures: dict | None = None) -> dict:
    """Median seconds per call of each function, sampled in turns.

    A function whose single call is slow gets fewer samples, so that no entry
    takes much more than `budget` seconds in all (at least three samples where
    a call takes under a third of the budget, else one).  A function that
    raises is dropped from the result, and its error is kept in `failures`."""
    failures = {} if failures is None else failures

    def attempt(name, step):
        try:
            return step()
        except Exception as e:  # noqa: BLE001 - any failure of a peer is reported, not fatal
            failures[name] = f"{type(e).__name__}: {e}"
        except BaseException as e:
            if isinstance(e, (KeyboardInterrupt, SystemExit)):
                raise
            failures[name] = f"{type(e).__name__}: {e}"
        return None

    plan = {}
    for name, fn in fns.items():
        cal = attempt(name, lambda: calibrate(fn))
        if cal is None:
            continue
        loops, one = cal
        cap = max(1, int(budget / max(one * loops, 1e-9)))
        plan[name] = (fn, loops, min(reps, max(cap, 3 if one * 3 < budget else 1)))
    samples = {name: [] for name in plan}
    for rep in range(max((p[2] for p in plan.values()), default=0)):
        for name, (fn, loops, n) in plan.items():
            if rep < n and name not in failures:
                t = attempt(name, lambda: _timed(fn, loops))
                if t is not None:
                    samples[name].append(t / loops)
    return {name: statistics.median(s) for name, s in samples.items() if s and name not in failures}


def once(fn) -> float:
    """Seconds of one call, with the collector paused."""
    return _timed(fn, 1)


def best_per_call(fn, rounds: int = 5, min_time: float = 0.2) -> float:
    """The best per-call time over `rounds`, each running `fn` for about
    `min_time` (for the stand-alone scripts, which compare one peer at a time)."""
    calls = 1
    while _timed(fn, calls) < min_time / 10 and calls < 1 << 20:
        calls *= 2
    return min(_timed(fn, calls) for _ in range(rounds)) / calls


# ---------------------------------------------------------------- memory


def rss_bytes() -> int:
    """Resident set size of this process."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def reset_peak_rss() -> bool:
    """Start a new peak resident set size for this process (Linux: writing 5
    to clear_refs).  False where that is not possible; the peak then counts
    from the start of the process."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_rss_bytes() -> int:
    """The highest resident set size of this process since the start or the
    last `reset_peak_rss`."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd",
            "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost",
        )
    ]


def malloc_in_use() -> int | None:
    """Bytes handed out by glibc malloc (small blocks plus mmapped blocks), or
    None where mallinfo2 does not exist."""
    try:
        libc = ctypes.CDLL("libc.so.6")
        fn = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = _MallInfo2
    mi = fn()
    return mi.uordblks + mi.hblkhd
