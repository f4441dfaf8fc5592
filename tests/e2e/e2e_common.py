"""What the end-to-end run shares: its patience, its failure, its log and the
children it starts (none outlives it)."""

import ctypes
import signal
import subprocess
import time

SKIP = 77
TITLE = "Qor Corvanet v1.0"
# How long to wait for anything a person would wait for. Generous: the
# machine running the suite may be busy with two builds at once. It only
# bounds a hang; nothing here checks how long a step takes.
PATIENCE = 30.0


class Failure(Exception):
    """A check that failed: what a person would have seen differs."""


def log(message):
    print(f"e2e: {message}", flush=True)


_libc = ctypes.CDLL(None, use_errno=True)
_children = []


def with_parent(sig):
    # A child must not outlive this script, however it ends (ctest's time-out
    # kills it without a chance to clean up). A stage gets SIGTERM instead, so
    # that it stops its own children and removes its scratch folder.
    return lambda: _libc.prctl(1, sig)  # PR_SET_PDEATHSIG


def spawn(argv, **kwargs):
    process = subprocess.Popen(argv, preexec_fn=with_parent(signal.SIGKILL), **kwargs)
    _children.append(process)
    return process


def stop(*processes):
    """Stops the processes by their id; without any, all that spawn() started, newest first."""
    for process in processes or reversed(_children[:]):
        process.terminate()  # does nothing once it has ended
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        _children.remove(process)


def wait_for(what, condition, interval=0.2):
    """Polls condition() until it returns something true, and returns that."""
    deadline = time.monotonic() + PATIENCE
    while not (result := condition()):
        if time.monotonic() > deadline:
            raise Failure(f"{what}: not seen within {PATIENCE:.0f} s")
        time.sleep(interval)
    return result
