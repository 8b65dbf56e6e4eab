"""The C API of libcamupgrade-sdk as ctypes declarations (camupgrade_sdk.h)."""
import ctypes
import os
import sys

c_size_t, c_int, c_char_p, c_void_p = ctypes.c_size_t, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p

OK, ERR_ADDRESS, ERR_PACKAGE, ERR_TIMEOUT, ERR_NO_ANSWER, ERR_OPTION = 0, 4, 5, 9, 11, 15
HEARTBEAT_BACK_TO_BACK = 0xFFFFFFFF


class Identity(ctypes.Structure):
    _fields_ = [("struct_size", c_size_t), ("ip", ctypes.c_char * 16), ("mac", ctypes.c_char * 18),
                ("manufacturer", ctypes.c_char * 33), ("model", ctypes.c_char * 33),
                ("version", ctypes.c_char * 33), ("manufacturer_info", ctypes.c_char * 49),
                ("serial", ctypes.c_char * 17), ("user_name", ctypes.c_char * 17),
                ("kind", c_int), ("kind_register", ctypes.c_uint32),
                ("status_read", c_int), ("state", c_int), ("percent", c_int)]


class Status(ctypes.Structure):
    _fields_ = [("struct_size", c_size_t), ("index", c_size_t), ("camera_ip", c_char_p),
                ("name", c_char_p), ("phase", c_int), ("phase_name", c_char_p), ("state", c_int),
                ("percent", c_int), ("link_up", c_int), ("file", c_char_p),
                ("file_bytes", ctypes.c_uint64), ("file_size", ctypes.c_uint64),
                ("bytes_served", ctypes.c_uint64), ("bytes_per_second", ctypes.c_double),
                ("silent_seconds", ctypes.c_double)]


class Result(ctypes.Structure):
    _fields_ = [("struct_size", c_size_t), ("index", c_size_t), ("camera_ip", c_char_p),
                ("name", c_char_p), ("verdict", c_int), ("verdict_name", c_char_p),
                ("reason", c_int), ("state", c_int), ("message", c_char_p), ("connected", c_int),
                ("commanded", c_int), ("released", c_int), ("before", ctypes.POINTER(Identity)),
                ("after", ctypes.POINTER(Identity)), ("bytes_served", ctypes.c_uint64),
                ("seconds", ctypes.c_double), ("downgraded", c_int)]


class File(ctypes.Structure):
    _fields_ = [("name", c_char_p), ("size", ctypes.c_uint64)]


class Plan(ctypes.Structure):
    _fields_ = [("struct_size", c_size_t), ("index", c_size_t), ("ok", c_int), ("reason", c_int),
                ("message", c_char_p), ("host_ip", c_char_p), ("layout", c_char_p),
                ("identity", ctypes.POINTER(Identity)), ("action", c_int),
                ("camera_ip", c_char_p), ("name", c_char_p), ("answered", c_int),
                ("status_read", c_int), ("busy", c_int), ("state", c_int), ("percent", c_int),
                ("package", c_char_p), ("package_is_folder", c_int),
                ("package_size", ctypes.c_uint64), ("sha256", c_char_p), ("folder", c_char_p),
                ("file_count", c_size_t), ("files", ctypes.POINTER(File)),
                ("expect_version", c_char_p)]


STATUS_FN = ctypes.CFUNCTYPE(None, ctypes.POINTER(Status), c_void_p)
LOG_FN = ctypes.CFUNCTYPE(None, c_char_p, c_void_p)
RESULT_FN = ctypes.CFUNCTYPE(None, ctypes.POINTER(Result), c_void_p)
FOUND_FN = ctypes.CFUNCTYPE(None, ctypes.POINTER(Identity), c_void_p)


class Options(ctypes.Structure):
    _fields_ = [("struct_size", c_size_t), ("host_ip", c_char_p), ("inactivity_ms", ctypes.c_uint32),
                ("parallel", ctypes.c_uint32), ("skip_identity", c_int),
                ("on_status", STATUS_FN), ("on_log", LOG_FN), ("on_result", RESULT_FN),
                ("user", c_void_p), ("expect_version", c_char_p), ("reinstall", c_int),
                ("allow_older", c_int), ("sha256", c_char_p), ("canary", ctypes.c_uint32),
                ("stop_after", ctypes.c_uint32), ("heartbeat_ms", ctypes.c_uint32),
                ("lost_after_ms", ctypes.c_uint32)]


def new(struct):
    """A zeroed struct with its size set, as the C API expects."""
    value = struct()
    value.struct_size = ctypes.sizeof(struct)
    return value


def _candidates():
    # The build tree's library, then one shipped inside the package, then the system's.
    if os.environ.get("CAMUPGRADE_SDK_LIBRARY"):
        yield os.environ["CAMUPGRADE_SDK_LIBRARY"]
    names = ["camupgrade-sdk.dll"] if sys.platform == "win32" else ["libcamupgrade-sdk.so.1"]
    here = os.path.dirname(os.path.abspath(__file__))
    for name in names:
        if os.path.exists(os.path.join(here, name)):
            yield os.path.join(here, name)
    yield from names


def _load():
    problems = []
    for path in _candidates():
        try:
            return ctypes.CDLL(path)
        except OSError as e:
            problems.append(str(e))
    raise ImportError("camupgrade cannot load its library: " + "; ".join(problems) +
                      " (CAMUPGRADE_SDK_LIBRARY may name it)")


lib = _load()
_P = ctypes.POINTER
for _name, _args, _result in [
        ("cu_version", [], c_char_p), ("cu_strerror", [c_int], c_char_p),
        ("cu_last_error", [], c_char_p),
        ("cu_job_new", [_P(Options), _P(c_void_p)], c_int),
        ("cu_job_add_camera", [c_void_p, c_char_p, c_char_p, c_char_p], c_int),
        ("cu_job_plan", [c_void_p, c_size_t, _P(Plan)], c_int),
        ("cu_job_start", [c_void_p], c_int), ("cu_job_wait", [c_void_p, ctypes.c_int32], c_int),
        ("cu_job_run", [c_void_p], c_int), ("cu_job_cancel", [c_void_p], c_int),
        ("cu_job_result", [c_void_p, c_size_t, _P(Result)], c_int),
        ("cu_job_free", [c_void_p], c_int),
        ("cu_info", [c_char_p, ctypes.c_uint32, _P(Identity)], c_int),
        ("cu_discover", [c_char_p, ctypes.c_uint32, FOUND_FN, c_void_p], c_int)]:
    _function = getattr(lib, _name)
    _function.argtypes, _function.restype = _args, _result
