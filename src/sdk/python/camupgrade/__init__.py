"""Firmware upgrades of GigE Vision cameras, over the C API of libcamupgrade-sdk.

    import camupgrade
    results = camupgrade.upgrade(["192.168.1.20"], package="fw-2.1.0.zip",
                                 expect_version="2.1.0",
                                 on_status=lambda s: print(s.camera, s.phase, s.percent))

With expect_version a camera already at that version ends "current" and is
never commanded, a newer one is refused; plan() tells which beforehand.

Log lines of the library go to the logger "camupgrade" (level INFO). Ctrl-C
while a job runs cancels it; the cameras are released before the
KeyboardInterrupt goes on. An exception raised by a callback cancels the job
the same way and is raised again by the call that waits for it.
"""
import ctypes
import dataclasses
import logging
import os
import threading
import time
from typing import Callable, List, Optional, Sequence, Tuple, Union

from . import _capi
from ._capi import lib

__all__ = ["Error", "AddressError", "PackageError", "NoAnswerError", "OptionError", "Identity", "Status",
           "Result", "Plan", "Job", "upgrade", "plan", "info", "discover", "version"]

log = logging.getLogger("camupgrade")

REASONS = ["none", "bad input", "unreachable", "control denied", "port 69", "busy",
           "camera state", "no verdict", "not released", "cancelled", "internal", "camera busy",
           "newer", "wrong version", "lost", "held back"]


class Error(Exception):
    """A call of the library failed; code is its cu_error."""

    def __init__(self, code: int, message: str):
        super().__init__(message)
        self.code = code


class AddressError(Error, ValueError):
    """Not a dotted IPv4 address, or a camera listed twice."""


class PackageError(Error, FileNotFoundError):
    """The package does not exist or cannot be read."""


class NoAnswerError(Error, ConnectionError):
    """The camera does not answer."""


class OptionError(Error, ValueError):
    """An option's value is unusable: an expected version that is not dotted
    numbers, a sha256 that is not 64 hex digits, reinstall or allow_older
    without expect_version, a heartbeat above 1.5 s."""


def _text(raw) -> str:
    return raw.decode("utf-8", "replace") if raw else ""


def _check(code: int) -> None:
    if code == _capi.OK:
        return
    message = _text(lib.cu_last_error()) or _text(lib.cu_strerror(code))
    kind = {_capi.ERR_ADDRESS: AddressError, _capi.ERR_PACKAGE: PackageError,
            _capi.ERR_NO_ANSWER: NoAnswerError, _capi.ERR_OPTION: OptionError}.get(code, Error)
    raise kind(code, message)


@dataclasses.dataclass(frozen=True)
class Identity:
    ip: str
    mac: str
    manufacturer: str
    model: str
    version: str
    manufacturer_info: str
    serial: str
    user_name: str
    kind: int
    state: Optional[int] = None   # the status register, as info() reads it
    percent: Optional[int] = None

    @property
    def busy(self) -> bool:
        return self.state == 4

    @classmethod
    def of(cls, c) -> "Identity":
        read = c.struct_size > _capi.Identity.percent.offset and c.status_read
        return cls(_text(c.ip), _text(c.mac), _text(c.manufacturer), _text(c.model),
                   _text(c.version), _text(c.manufacturer_info), _text(c.serial),
                   _text(c.user_name), c.kind, c.state if read else None,
                   c.percent if read else None)

    @classmethod
    def at(cls, pointer) -> Optional["Identity"]:
        return cls.of(pointer.contents) if pointer else None


@dataclasses.dataclass(frozen=True)
class Status:
    index: int
    camera: str
    name: str
    phase: str            # "queued", "checking", ..., "back online", "done"
    state: Optional[int]  # the session's state, None before the first
    percent: int
    link_up: bool
    file: str
    file_bytes: int
    file_size: int
    bytes_served: int
    bytes_per_second: float
    silent_seconds: Optional[float]

    @classmethod
    def of(cls, c) -> "Status":
        return cls(c.index, _text(c.camera_ip), _text(c.name), _text(c.phase_name),
                   None if c.state < 0 else c.state, c.percent, bool(c.link_up), _text(c.file),
                   c.file_bytes, c.file_size, c.bytes_served, c.bytes_per_second,
                   None if c.silent_seconds < 0 else c.silent_seconds)


@dataclasses.dataclass(frozen=True)
class Result:
    index: int
    camera: str
    name: str
    # "upgraded", "failed", "refused", "cancelled", "current", "not started"
    verdict: str
    reason: str           # one of REASONS
    state: Optional[int]
    message: str
    connected: bool
    commanded: bool
    released: bool
    before: Optional[Identity]
    after: Optional[Identity]
    bytes_served: int
    seconds: float
    downgraded: bool      # after.version is older than before.version

    @property
    def upgraded(self) -> bool:
        return self.verdict == "upgraded"

    @classmethod
    def of(cls, c) -> "Result":
        return cls(c.index, _text(c.camera_ip), _text(c.name), _text(c.verdict_name),
                   REASONS[c.reason] if 0 <= c.reason < len(REASONS) else str(c.reason),
                   None if c.state < 0 else c.state, _text(c.message), bool(c.connected),
                   bool(c.commanded), bool(c.released), Identity.at(c.before),
                   Identity.at(c.after), c.bytes_served, c.seconds, bool(c.downgraded))


@dataclasses.dataclass(frozen=True)
class Plan:
    index: int
    ok: bool
    reason: str
    message: str
    host_ip: str
    layout: str
    identity: Optional[Identity]
    action: str           # "upgrade", "current" (never commanded), "refuse"
    busy: bool            # the camera reports an earlier upgrade under way
    package: str
    package_size: int
    sha256: str           # "" for a folder
    files: List[Tuple[str, int]]  # what would be served: name, size


ACTIONS = ["upgrade", "current", "refuse"]

Camera = Union[str, Tuple[str, str], Tuple[str, str, str]]


class Job:
    """One job over a list of cameras, each an address or (address, package[, name]);
    a single address may stand alone.

    expect_version: the package's version ("2.1.0"); a camera at it ends
    "current" and a newer one "refused", neither commanded, unless reinstall
    or allow_older; after an upgrade the camera must report it.
    sha256: the package's digest (64 hex digits); any other package is refused.
    canary: the first N cameras go alone, the rest only once all N upgraded.
    stop_after: after N cameras failed or were refused, no further one starts.
    heartbeat: seconds between heartbeat reads (at most 1.5; 0: back to back;
    None: 1). lost_after: seconds a camera silent mid-transfer is waited for
    (None: 60). inactivity: seconds without news before a time-out (None: 900).
    A bad value raises OptionError (a ValueError).
    """

    def __init__(self, cameras: Union[Camera, Sequence[Camera]], package: Optional[str] = None, *,
                 host: Optional[str] = None, parallel: int = 0, inactivity: Optional[float] = None,
                 read_identity: bool = True, expect_version: Optional[str] = None,
                 reinstall: bool = False, allow_older: bool = False,
                 sha256: Optional[str] = None, canary: int = 0, stop_after: int = 0,
                 heartbeat: Optional[float] = None, lost_after: Optional[float] = None,
                 on_status: Optional[Callable[[Status], None]] = None,
                 on_result: Optional[Callable[[Result], None]] = None):
        self._handle = None
        self._lock = threading.Lock()
        self._raised: Optional[BaseException] = None
        self._user = {"status": on_status, "result": on_result}
        options = _capi.new(_capi.Options)
        options.host_ip = host.encode() if host else None
        options.inactivity_ms = int(inactivity * 1000) if inactivity else 0
        options.parallel = parallel
        options.skip_identity = int(not read_identity)
        options.expect_version = expect_version.encode() if expect_version else None
        options.reinstall, options.allow_older = int(reinstall), int(allow_older)
        options.sha256 = sha256.encode() if sha256 else None
        options.canary, options.stop_after = canary, stop_after
        if heartbeat is not None:
            options.heartbeat_ms = round(heartbeat * 1000) or _capi.HEARTBEAT_BACK_TO_BACK
        options.lost_after_ms = round(lost_after * 1000) if lost_after else 0
        # Kept on the object: the library calls them until the job is freed.
        self._callbacks = (_capi.STATUS_FN(self._on_status), _capi.LOG_FN(self._on_log),
                           _capi.RESULT_FN(self._on_result))
        options.on_status, options.on_log, options.on_result = self._callbacks
        handle = ctypes.c_void_p()
        _check(lib.cu_job_new(ctypes.byref(options), ctypes.byref(handle)))
        self._handle = handle.value
        if isinstance(cameras, str):
            cameras = [cameras]
        self._count = 0
        for camera in cameras:
            ip, pkg, name = (camera, package, None) if isinstance(camera, str) else \
                (tuple(camera) + (None,))[:3]
            if not pkg:
                self.close()
                raise PackageError(_capi.ERR_PACKAGE, f"no package for camera {ip}")
            try:
                _check(lib.cu_job_add_camera(self._handle, ip.encode(), os.fsencode(pkg),
                                             name.encode() if name else None))
            except Error:
                self.close()
                raise
            self._count += 1

    # Callbacks: the job's delivery thread, one at a time.
    def _guard(self, call) -> None:
        try:
            call()
        except BaseException as e:  # noqa: B902 - raised again by wait()
            with self._lock:
                if self._raised is None:
                    self._raised = e
            lib.cu_job_cancel(self._handle)

    def _on_status(self, status, _user) -> None:
        if self._user["status"]:
            self._guard(lambda: self._user["status"](Status.of(status.contents)))

    def _on_log(self, line, _user) -> None:
        self._guard(lambda: log.info("%s", _text(line)))

    def _on_result(self, result, _user) -> None:
        if self._user["result"]:
            self._guard(lambda: self._user["result"](Result.of(result.contents)))

    def plan(self) -> List[Plan]:
        plans = []
        for i in range(self._count):
            c = _capi.new(_capi.Plan)
            _check(lib.cu_job_plan(self._handle, i, ctypes.byref(c)))
            files = [(_text(c.files[k].name), c.files[k].size) for k in range(c.file_count)]
            plans.append(Plan(i, bool(c.ok), REASONS[c.reason], _text(c.message),
                              _text(c.host_ip), _text(c.layout), Identity.at(c.identity),
                              ACTIONS[c.action], bool(c.busy), _text(c.package),
                              c.package_size, _text(c.sha256), files))
        return plans

    def start(self) -> None:
        _check(lib.cu_job_start(self._handle))

    def cancel(self) -> None:
        """Safe from any thread."""
        _check(lib.cu_job_cancel(self._handle))

    def wait(self, timeout: Optional[float] = None) -> bool:
        """True once the job has ended. Ctrl-C meanwhile cancels the job, waits
        until the cameras are released, and raises KeyboardInterrupt."""
        deadline = None if timeout is None else time.monotonic() + timeout
        try:
            while True:
                # Short waits, so that Python can take a Ctrl-C between them.
                step = 200 if deadline is None else \
                    max(0, min(200, int((deadline - time.monotonic()) * 1000)))
                code = lib.cu_job_wait(self._handle, step)
                if code != _capi.ERR_TIMEOUT:
                    _check(code)
                    break
                if deadline is not None and time.monotonic() >= deadline:
                    return False
        except KeyboardInterrupt:
            lib.cu_job_cancel(self._handle)
            lib.cu_job_wait(self._handle, -1)
            raise
        with self._lock:
            raised, self._raised = self._raised, None
        if raised is not None:
            raise raised
        return True

    def results(self) -> List[Result]:
        results = []
        for i in range(self._count):
            c = _capi.new(_capi.Result)
            _check(lib.cu_job_result(self._handle, i, ctypes.byref(c)))
            results.append(Result.of(c))
        return results

    def run(self) -> List[Result]:
        self.start()
        self.wait()
        return self.results()

    def close(self) -> None:
        """Cancels the job if it runs, waits for its end, frees it."""
        if self._handle is not None:
            lib.cu_job_free(self._handle)
            self._handle = None

    def __enter__(self) -> "Job":
        return self

    def __exit__(self, *_) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # the interpreter is going: the library goes with the process
            pass


def upgrade(cameras, package: Optional[str] = None, **options) -> List[Result]:
    """Upgrades the cameras; one Result per camera, in their order."""
    with Job(cameras, package, **options) as job:
        return job.run()


def plan(cameras, package: Optional[str] = None, **options) -> List[Plan]:
    """What an upgrade would do, per camera; nothing is commanded."""
    with Job(cameras, package, **options) as job:
        return job.plan()


def info(ip: str, timeout: float = 1.0) -> Identity:
    """The camera's identity, read without taking control."""
    c = _capi.new(_capi.Identity)
    _check(lib.cu_info(ip.encode(), int(timeout * 1000), ctypes.byref(c)))
    return Identity.of(c)


def discover(interface: Optional[str] = None, window: float = 1.0) -> List[Identity]:
    """Every camera that answers a GigE Vision discovery within the window."""
    found = []
    callback = _capi.FOUND_FN(lambda identity, _user: found.append(Identity.of(identity.contents)))
    _check(lib.cu_discover(interface.encode() if interface else None, int(window * 1000),
                           callback, None))
    return found


def version() -> str:
    return _text(lib.cu_version())
