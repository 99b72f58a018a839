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
            options["creationflags"] = subprocess.CREATE_NEW_PROCESS_GROUP  # type: ignore
        else:
            options["start_new_session"] = True
        self.process: "subprocess.Popen[Any]" = subprocess.Popen(list(command), **options)
        self.pid = self.process.pid

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
                self.process.send_signal(signal.CTRL_BREAK_EVENT)  # type: ignore[attr-defined]
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
                self.process.send_signal(signal.CTRL_BREAK_EVENT)  # type: ignore[attr-defined]
            else:
                self.process.send_signal(signal.SIGTERM)
        except OSError:
            pass  # ended already

    def kill(self) -> None:
        """Kills the group now: the process and the programs it started (on Windows, the
        process alone)."""
        try:
            if sys.platform == "win32":
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
