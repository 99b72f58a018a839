"""Worker processes apart from the terminal, each with what it starts.

A worker process runs in a process group of its own (a session on POSIX, a new process group
on Windows), so that the terminal's Ctrl-C reaches neither it nor the solver programs it
starts: the process that started it decides when it stops. The local pool and the farm's
keeper both start their workers here and end them in the same ways: asked to finish its model
(the keeper) or to stop at once with its group (the local pool), killed with its group, or
buried once it died, which also ends what it left running.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from typing import Any, Optional, Sequence

GROUP_END_SECONDS = 5.0  # for the programs of a killed group to be gone


class ProcessGroup(object):
    """A child process leading a process group of its own."""

    def __init__(self, command: Sequence[str], **options: Any) -> None:
        if sys.platform == "win32":
            options["creationflags"] = getattr(subprocess, "CREATE_NEW_PROCESS_GROUP")
        else:
            options["start_new_session"] = True
        self.process: "subprocess.Popen[Any]" = subprocess.Popen(list(command), **options)
        self.pid = self.process.pid
        self.job = _WindowsJob.holding(self.pid) if sys.platform == "win32" else None

    def exit_status(self) -> Optional[int]:
        """None while the process runs, else its exit status (negative: the signal that ended
        it). On POSIX the process is not reaped here, so that the number of its group cannot
        go to another process before `bury` has killed what is left of the group."""
        if sys.platform == "win32" or not hasattr(os, "waitid"):
            return self.process.poll()
        if self.process.returncode is not None:
            return self.process.returncode
        try:
            ended = os.waitid(os.P_PID, self.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT)
        except ChildProcessError:  # reaped already
            return self.process.poll()
        if ended is None:
            return None
        if ended.si_code == os.CLD_EXITED:
            return ended.si_status
        return -ended.si_status

    def ask_to_stop(self) -> None:
        """Asks the group to stop: SIGTERM, or on Windows the console's Ctrl-Break, which
        reaches a process group of its own."""
        try:
            if sys.platform == "win32":
                self.process.send_signal(getattr(signal, "CTRL_BREAK_EVENT"))
            else:
                os.killpg(self.pid, signal.SIGTERM)
        except OSError:
            pass  # ended already

    def ask_to_finish(self) -> None:
        """Asks the process alone to end once its model is finished, its solver running on
        until then: SIGTERM (on Windows the console's Ctrl-Break, which cannot be sent to
        less than the process group)."""
        try:
            if sys.platform == "win32":
                self.process.send_signal(getattr(signal, "CTRL_BREAK_EVENT"))
            else:
                self.process.send_signal(signal.SIGTERM)
        except OSError:
            pass  # ended already

    def kill(self) -> None:
        """Kills the group now: the process and the programs it started (on Windows, those
        of its job; the process alone where it could not be given one)."""
        try:
            if self.job is not None:
                self.job.terminate()
            elif sys.platform == "win32":
                self.process.kill()
            else:
                os.killpg(self.pid, signal.SIGKILL)
        except OSError:
            pass  # nothing left in the group

    def bury(self) -> int:
        """Kills what is left of the group, reaps the process and waits a little for the
        group's other programs to be gone (their files can then be removed); the exit
        status."""
        self.kill()  # before the process is reaped, while the group's number is its own
        status = self.process.wait()
        if self.job is not None:
            self.job.close()
        if sys.platform != "win32":
            deadline = time.monotonic() + GROUP_END_SECONDS
            while time.monotonic() < deadline:
                try:
                    os.killpg(self.pid, 0)
                except OSError:
                    break
                time.sleep(0.05)
        return status

    def stop(self, seconds: float) -> int:
        """Asks the group to stop, and buries it when the process has ended or `seconds`
        have passed; the exit status."""
        self.ask_to_stop()
        deadline = time.monotonic() + seconds
        while self.exit_status() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.bury()


class _WindowsJob(object):
    """A job object of Windows holding a worker process and every program that it starts, the
    solver included: there a process group ends only for the console programs that choose to
    stop at Ctrl-Break, and a killed process leaves its children running."""

    PROCESS_SET_QUOTA_AND_TERMINATE = 0x0100 | 0x0001

    def __init__(self, handle: int) -> None:
        self.handle = handle

    @classmethod
    def holding(cls, pid: int) -> Optional["_WindowsJob"]:
        """A job holding the process `pid` (and what it starts from now on); None when Windows
        refused one, and the process is then killed alone."""
        kernel32 = _kernel32()
        job = kernel32.CreateJobObjectW(None, None)
        if not job:
            return None
        process = kernel32.OpenProcess(cls.PROCESS_SET_QUOTA_AND_TERMINATE, False, pid)
        held = bool(process) and bool(kernel32.AssignProcessToJobObject(job, process))
        if process:
            kernel32.CloseHandle(process)
        if not held:
            kernel32.CloseHandle(job)
            return None
        return cls(job)

    def terminate(self) -> None:
        if self.handle and not _kernel32().TerminateJobObject(self.handle, 1):
            raise OSError("the worker's job could not be ended")

    def close(self) -> None:
        """Closes the job's handle; the programs left in it run on, as the job does not kill
        them when closed."""
        if self.handle:
            _kernel32().CloseHandle(self.handle)
            self.handle = 0


def _kernel32() -> Any:
    """Windows' kernel32, its job functions declared."""
    import ctypes
    from ctypes import wintypes

    kernel32 = ctypes.WinDLL("kernel32")  # type: ignore[attr-defined,unused-ignore]
    handle, dword = wintypes.HANDLE, wintypes.DWORD
    for name, restype, argtypes in (
            ("CreateJobObjectW", handle, (ctypes.c_void_p, wintypes.LPCWSTR)),
            ("OpenProcess", handle, (dword, wintypes.BOOL, dword)),
            ("AssignProcessToJobObject", wintypes.BOOL, (handle, handle)),
            ("TerminateJobObject", wintypes.BOOL, (handle, wintypes.UINT)),
            ("CloseHandle", wintypes.BOOL, (handle,))):
        function = getattr(kernel32, name)
        function.restype, function.argtypes = restype, argtypes
    return kernel32
