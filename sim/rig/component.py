"""What the rig starts: components with a name, a start, a ready check and a stop."""

import ctypes
import os
import signal
import subprocess
import time

_PR_SET_PDEATHSIG = 1


class StartError(Exception):
    """A component could not start; the rig stops what it started and ends."""


class Component:
    """One thing the rig starts, in list order, and stops in reverse order."""

    name = "component"
    ready_timeout = 10.0

    def enabled(self, rig):
        """Whether to start it; a text explains a skip (False or "reason")."""
        return True

    def uci_overrides(self, rig):
        """Settings this component needs in the platform's config folder, as uci
        expressions: [("set", "halvex.sys.url", "https://..."), ("add_list", ...)]."""
        return []

    def start(self, rig):
        raise NotImplementedError

    def ready(self, rig):
        """True once it serves; raises StartError when it never will."""
        return True

    def env(self):
        """Environment variables it provides to the components after it."""
        return {}

    def describe(self):
        """Lines for the rig's summary."""
        return []

    def check(self):
        """A text when the component has stopped on its own since it was ready."""
        return None

    def stop(self):
        pass


def _die_with_parent():
    # Children run in sessions of their own (Ctrl-C goes to the rig only); should the rig
    # be killed outright, they still get SIGTERM.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


class ProcessComponent(Component):
    """A child process in a process group of its own, its output in <log>/<name>.out."""

    stop_timeout = 5.0
    # Started again by the rig when it ends on its own, as procd respawns ubusd.
    respawn = False

    def __init__(self):
        self.proc = None
        self.out_path = None
        self._out_start = 0
        self._exit_status = None

    def command(self, rig):
        raise NotImplementedError

    def child_env(self, rig):
        return dict(rig.env)

    def pass_fds(self):
        """File descriptors the process inherits (e.g. a listening socket)."""
        return ()

    def start(self, rig):
        if self.proc is not None:  # a respawn: the old one has ended
            self.proc.wait()
        self.proc = None
        self._exit_status = None
        self.out_path = os.path.join(rig.log_dir, self.name + ".out")
        args = self.command(rig)
        with open(self.out_path, "ab") as out:
            # The ready checks read what this process wrote, not an earlier one.
            self._out_start = out.tell()
            try:
                self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=out,
                                             stderr=subprocess.STDOUT, env=self.child_env(rig),
                                             cwd=rig.run_dir, start_new_session=True,
                                             pass_fds=self.pass_fds(),
                                             preexec_fn=_die_with_parent)
            except OSError as e:
                raise StartError("%s: cannot start %s: %s" % (self.name, args[0], e))

    def output(self):
        """What the process has written since it was last started."""
        try:
            with open(self.out_path, "rb") as f:
                f.seek(self._out_start)
                return f.read().decode("utf-8", "replace")
        except (OSError, TypeError):
            return ""

    def line_starting(self, prefix):
        for line in self.output().splitlines():
            if line.startswith(prefix):
                return line
        return None

    def exited(self):
        """Exit status once the process has ended (without reaping it), else None."""
        if self._exit_status is not None:
            return self._exit_status
        if self.proc is None:
            return None
        try:
            info = os.waitid(os.P_PID, self.proc.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT)
        except ChildProcessError:
            info = None
            if self.proc.returncode is not None:
                self._exit_status = self.proc.returncode
                return self._exit_status
        if info is None:
            return None
        code = info.si_status if info.si_code == os.CLD_EXITED else -info.si_status
        return code

    def ready_line(self, prefix):
        """Ready check for programs that announce themselves with a line."""
        if self.line_starting(prefix):
            return True
        status = self.exited()
        if status is not None:
            raise StartError("%s exited with status %s before it was ready; see %s"
                             % (self.name, status, self.out_path))
        return False

    def check(self):
        status = self.exited()
        if status is not None and self._exit_status is None:
            self._exit_status = status
            return "%s exited with status %s (see %s)" % (self.name, status, self.out_path)
        return None

    def stop(self):
        if self.proc is None:
            return
        pid = self.proc.pid
        if self.exited() is None:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            deadline = time.monotonic() + self.stop_timeout
            while self.exited() is None and time.monotonic() < deadline:
                time.sleep(0.02)
        # While the leader is unreaped its group id cannot be reused, so this reaches only
        # the leader (when it would not stop) and whatever it left behind.
        try:
            os.killpg(pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        self.proc.wait()
        self._exit_status = self.proc.returncode
        self.proc = None
