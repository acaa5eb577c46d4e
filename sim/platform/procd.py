"""procd on the host: the router's init services as child processes of the platform stand-in.

A service is described by its init script: START, STOP, PROG and the `respawn` parameters are
read from it (nothing in it is run). A script with a PROG runs that program; one without is
a stand-in that only keeps a running flag, so that its calls can be recorded. Which program
stands for a PROG on the host is decided by `programs`, a function of the service name.

Every service has a lock: actions on one service run one after the other, as procd runs
them from its one loop; different services act at the same time.
"""

import asyncio
import ctypes
import json
import os
import re
import signal
import time

from hostbus import INVALID_ARGUMENT, NOT_FOUND, UbusStatus

_PR_SET_PDEATHSIG = 1

# procd's respawn parameters when `respawn` is given without numbers.
DEFAULT_RESPAWN = (3600, 5, 5)
ACTIONS = ("start", "stop", "restart", "reload", "enable", "disable")


class ScriptError(Exception):
    """An init script this stand-in cannot read."""


def _expand(word, variables):
    """A shell word of a respawn line: 5, $x, ${x}, ${x:-5}."""
    m = re.fullmatch(r"\$\{(\w+)(?::-([^}]*))?\}|\$(\w+)", word)
    if not m:
        return word
    name = m.group(1) or m.group(3)
    value = variables.get(name)
    if value in (None, ""):
        value = m.group(2) or ""
    return value


def parse_script(path, variables=None):
    """(name, start, stop, prog, respawn) of an init script; respawn is (threshold, timeout,
    retry) or None."""
    variables = variables or {}
    name = os.path.basename(path)
    try:
        with open(path) as f:
            text = f.read()
    except OSError as e:
        raise ScriptError("%s: %s" % (path, e))
    found = {}
    for line in text.splitlines():
        m = re.match(r"^\s*(START|STOP|PROG)=(\S*)\s*$", line)
        if m:
            found[m.group(1)] = m.group(2).strip("'\"")
    respawn = None
    m = re.search(r"^\s*procd_set_param\s+respawn\b(.*)$", text, re.M)
    if m:
        words = [_expand(w, variables) for w in m.group(1).split()]
        try:
            numbers = [int(w) for w in words if w != ""]
        except ValueError:
            raise ScriptError("%s: respawn parameters %r are not numbers" % (path, words))
        respawn = tuple(numbers[:3]) + DEFAULT_RESPAWN[len(numbers[:3]):]
    try:
        start = int(found.get("START", "99"))
        stop = int(found.get("STOP", "99"))
    except ValueError:
        raise ScriptError("%s: START and STOP must be numbers" % path)
    return name, start, stop, found.get("PROG"), respawn


def _die_with_parent():
    # Services run in sessions of their own; should the platform be killed outright, they
    # still get SIGTERM.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


class Service:
    """One init service: a program (with procd's respawn rules) or a recorded stand-in."""

    def __init__(self, name, start, stop, command=None, respawn=None, ready_line=None,
                 ready_timeout=10.0):
        self.name = name
        self.start_priority = start
        self.stop_priority = stop
        self.command = command  # None: record-only
        self.respawn = respawn
        self.ready_line = ready_line
        self.ready_timeout = ready_timeout
        self.enabled = True
        self.lock = asyncio.Lock()
        self.proc = None
        self.watch = None
        self.started_at = None
        self.stopping = False
        self.crashes = 0
        self.given_up = False
        self.pending = None  # the respawn waiting for its time-out
        self.flag = False  # running state of a record-only service

    @property
    def running(self):
        if self.command is None:
            return self.flag
        return self.proc is not None


class ServiceManager:
    """The services of one platform stand-in.

    The Python API for other platform objects (a "system" reboot, say):
      await manager.boot()       start the enabled services by ascending START
      await manager.shutdown()   stop the running ones by ascending STOP (reverse START on ties)
      await manager.reboot()     both
      await manager.init(name, action)   what "rc" "init" does
    """

    def __init__(self, run_dir, env, log, term_timeout=5.0):
        self.run_dir = os.path.abspath(run_dir)
        self.log_dir = os.path.join(self.run_dir, "log")
        os.makedirs(self.log_dir, exist_ok=True)
        self.env = dict(env)
        self.env["HALVEX_RUN_DIR"] = self.run_dir
        self.log = log
        self.term_timeout = term_timeout
        self.services = {}
        self.call_log = os.path.join(self.log_dir, "rc.log")

    def add(self, service):
        self.services[service.name] = service

    def get(self, name):
        return self.services.get(name)

    # --- what "rc" offers ------------------------------------------------------------------

    async def init(self, name, action):
        if not isinstance(name, str) or not isinstance(action, str):
            raise UbusStatus(INVALID_ARGUMENT)
        if "/" in name or ".." in name or action not in ACTIONS:
            raise UbusStatus(INVALID_ARGUMENT)
        svc = self.services.get(name)
        if svc is None:
            raise UbusStatus(NOT_FOUND)
        async with svc.lock:
            if action == "start" or action == "reload":
                # Without a reload_service of its own, an init script's reload is a start.
                await self._start(svc)
            elif action == "stop":
                await self._stop(svc)
            elif action == "restart":
                await self._stop(svc)
                await self._start(svc)
            elif action == "enable":
                svc.enabled = True
            elif action == "disable":
                svc.enabled = False

    def listing(self):
        return {name: {"start": s.start_priority, "stop": s.stop_priority,
                       "enabled": s.enabled, "running": s.running}
                for name, s in sorted(self.services.items())}

    def instances(self, name=None):
        """procd's "service" "list": the program services and their instance."""
        out = {}
        for svc in sorted(self.services.values(), key=lambda s: s.name):
            if svc.command is None or (name is not None and svc.name != name):
                continue
            instance = {"running": svc.running, "command": list(svc.command),
                        "term_timeout": self.term_timeout}
            if svc.proc is not None:
                instance["pid"] = svc.proc.pid
            if svc.respawn is not None:
                threshold, timeout, retry = svc.respawn
                instance["respawn"] = {"threshold": threshold, "timeout": timeout,
                                       "retry": retry}
            out[svc.name] = {"instances": {"instance1": instance}}
        return out

    def record(self, method, args, status, began):
        entry = {"time": round(time.time(), 3), "method": method, "args": args,
                 "status": status, "seconds": round(time.monotonic() - began, 3)}
        with open(self.call_log, "a") as f:
            f.write(json.dumps(entry, separators=(",", ":"), sort_keys=True) + "\n")

    # --- boot and shutdown -----------------------------------------------------------------

    def boot_order(self):
        return sorted(self.services.values(), key=lambda s: (s.start_priority, s.name))

    def shutdown_order(self):
        return sorted(self.services.values(),
                      key=lambda s: (s.stop_priority, -s.start_priority, s.name))

    async def boot(self):
        started = []
        for svc in self.boot_order():
            if not svc.enabled:
                continue
            async with svc.lock:
                await self._start(svc)
            started.append(svc.name)
        return started

    async def shutdown(self):
        for svc in self.shutdown_order():
            async with svc.lock:
                await self._stop(svc)

    async def reboot(self):
        self.log("rc: reboot: stopping the services")
        await self.shutdown()
        self.log("rc: reboot: starting the services")
        return await self.boot()

    # --- one service -----------------------------------------------------------------------

    async def _start(self, svc):
        """Caller holds svc.lock."""
        if svc.command is None:
            svc.flag = True
            self.log("rc: %s started (stand-in, recorded only)" % svc.name)
            return
        if svc.proc is not None:
            return
        self._cancel_respawn(svc)
        svc.crashes = 0
        svc.given_up = False
        await self._spawn(svc)

    async def _stop(self, svc):
        """Caller holds svc.lock. Returns once the process is gone."""
        if svc.command is None:
            svc.flag = False
            self.log("rc: %s stopped (stand-in, recorded only)" % svc.name)
            return
        self._cancel_respawn(svc)
        svc.crashes = 0
        svc.given_up = False
        proc = svc.proc
        if proc is None:
            return
        svc.stopping = True
        try:
            try:
                os.kill(proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                await asyncio.wait_for(asyncio.shield(svc.watch), self.term_timeout)
            except asyncio.TimeoutError:
                self.log("rc: %s ignored SIGTERM for %.1f s, killed" % (svc.name,
                                                                       self.term_timeout))
            # The leader is unreaped until the watch has seen it, so the group is still its.
            if svc.proc is proc:
                try:
                    os.killpg(proc.pid, signal.SIGKILL)
                except (ProcessLookupError, PermissionError):
                    pass
                await asyncio.shield(svc.watch)
        finally:
            svc.stopping = False

    async def _spawn(self, svc):
        out_path = os.path.join(self.log_dir, svc.name + ".out")
        with open(out_path, "ab") as out:
            offset = out.tell()
            try:
                proc = await asyncio.create_subprocess_exec(
                    *svc.command, stdin=asyncio.subprocess.DEVNULL, stdout=out,
                    stderr=asyncio.subprocess.STDOUT, env=self.env, cwd=self.run_dir,
                    start_new_session=True, preexec_fn=_die_with_parent)
            except OSError as e:
                self.log("rc: %s cannot start %s: %s" % (svc.name, svc.command[0], e))
                return
        svc.proc = proc
        svc.started_at = time.monotonic()
        svc.watch = asyncio.ensure_future(self._watch(svc, proc))
        self.log("rc: %s started, pid %d" % (svc.name, proc.pid))
        if svc.ready_line:
            await self._wait_ready(svc, proc, out_path, offset)

    async def _wait_ready(self, svc, proc, path, offset):
        deadline = time.monotonic() + svc.ready_timeout
        while time.monotonic() < deadline and svc.proc is proc:
            with open(path, "rb") as f:
                f.seek(offset)
                if svc.ready_line.encode() in f.read():
                    return
            await asyncio.sleep(0.02)
        if svc.proc is proc:
            self.log("rc: %s not ready after %.0f s" % (svc.name, svc.ready_timeout))

    async def _watch(self, svc, proc):
        status = await proc.wait()
        if svc.proc is not proc:
            return
        svc.proc = None
        runtime = time.monotonic() - svc.started_at
        how = "status %d" % status if status >= 0 else "signal %d" % -status
        if svc.stopping:
            self.log("rc: %s stopped (%s)" % (svc.name, how))
            return
        if svc.respawn is None:
            self.log("rc: %s ended (%s) after %.1f s" % (svc.name, how, runtime))
            return
        threshold, timeout, retry = svc.respawn
        svc.crashes = svc.crashes + 1 if runtime < threshold else 0
        if retry > 0 and svc.crashes >= retry:
            svc.given_up = True
            self.log("rc: %s ended (%s) after %.1f s: %d crashes in a row, left stopped"
                     % (svc.name, how, runtime, svc.crashes))
            return
        self.log("rc: %s ended (%s) after %.1f s, respawn in %d s"
                 % (svc.name, how, runtime, timeout))
        svc.pending = asyncio.ensure_future(self._respawn(svc, timeout))

    async def _respawn(self, svc, delay):
        await asyncio.sleep(delay)
        async with svc.lock:
            if svc.pending is not asyncio.current_task() or svc.proc is not None:
                return
            svc.pending = None
            await self._spawn(svc)

    @staticmethod
    def _cancel_respawn(svc):
        if svc.pending is not None:
            svc.pending.cancel()
            svc.pending = None


def manager(ctx):
    """The one ServiceManager of a platform stand-in, made on first use."""
    found = getattr(ctx, "services", None)
    if found is None:
        args = ctx.args
        run_dir = getattr(args, "run_dir", None) or os.path.dirname(ctx.config_dir)
        found = ServiceManager(run_dir, os.environ, ctx.log,
                               getattr(args, "term_timeout", 5.0))
        ctx.services = found
    return found
