"""Starting and stopping the processes a test runs beside the daemon.

Every process is started in a session of its own, so stop_process can end
it together with whatever it started; every wait has a deadline.
"""

import os
import signal
import subprocess
import time


def child_pids(pid):
    """Process ids of `pid`'s children, over all its threads."""
    out = []
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/children" % (pid, task)) as f:
                out += [int(c) for c in f.read().split()]
        except OSError:
            pass
    return out


def stop_process(proc, timeout=10):
    """Ends `proc`'s process group: SIGTERM, then SIGKILL when it is still
    there after `timeout` seconds. Returns its exit status (None: it would
    not go)."""
    if proc is None:
        return None
    for sig in (signal.SIGTERM, signal.SIGKILL):
        if proc.poll() is not None:
            break
        try:
            os.killpg(proc.pid, sig)
        except (ProcessLookupError, PermissionError):
            pass
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            continue
    # Children left in the group (curl, a script) go too.
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        return None


def wait_for_file(path, timeout, proc=None, what=None):
    """Waits until `path` exists (the tools write theirs whole, by renaming)
    and returns its content, stripped. Raises AssertionError when `proc`
    ends first or the time runs out."""
    wait_until(what or os.path.basename(path), lambda: os.path.exists(path),
               timeout, proc)
    with open(path) as f:
        return f.read().strip()


def poll(predicate, timeout, proc=None, interval=0.05):
    """Calls `predicate` until it returns something true, which is returned;
    None when `proc` ends first or `timeout` seconds pass."""
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if proc is not None and proc.poll() is not None:
            return None
        if time.monotonic() > deadline:
            return None
        time.sleep(interval)


def wait_until(what, predicate, timeout, proc=None):
    """poll() that raises AssertionError, naming `what`, when it comes back
    empty-handed."""
    result = poll(predicate, timeout, proc)
    if result:
        return result
    if proc is not None and proc.poll() is not None:
        raise AssertionError("process ended (status %s) while waiting for %s"
                             % (proc.returncode, what))
    raise AssertionError("gave up after %d s waiting for %s" % (timeout, what))
