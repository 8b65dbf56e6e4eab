"""The Python package against camsim, in a network namespace of this test
process's own (host 127.0.0.1, cameras 127.0.0.2 and up). CTest sets
CAMSIM, CAMUPGRADE_SDK_LIBRARY and PYTHONPATH."""
import ctypes
import os
import subprocess
import time

import pytest

CLONE_NEWNET = 0x40000000


def _isolate():
    if os.geteuid() != 0:
        return "needs root for a network namespace of its own"
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        return "unshare: " + os.strerror(ctypes.get_errno())
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    return None


# Before any thread of the library starts, so that all of them are inside.
_why_not = _isolate()


@pytest.fixture(autouse=True)
def private_network(tmp_path, monkeypatch):
    if _why_not:
        pytest.skip(_why_not)
    monkeypatch.setenv("TMPDIR", str(tmp_path))


class Cameras:
    """camsim processes; each camera's log is kept for the checks."""

    def __init__(self, folder):
        self.folder, self.processes = folder, []

    def start(self, *ips, knobs=()):
        log = self.folder / f"camsim-{ips[0]}.log"
        argv = [os.environ["CAMSIM"], "--flash-ms", "300", "--restart-ms", "500",
                "--run-for", "120", *knobs]
        for ip in ips:
            argv += ["--ip", ip]
        self.processes.append(subprocess.Popen(argv, stdout=open(log, "w"), stderr=subprocess.STDOUT))
        import camupgrade
        for ip in ips:
            for _ in range(50):
                try:
                    camupgrade.info(ip, timeout=0.1)
                    break
                except camupgrade.NoAnswerError:
                    time.sleep(0.1)
        return log

    def stop(self):
        for p in self.processes:
            p.terminate()
            p.wait(10)


@pytest.fixture
def cameras(tmp_path):
    c = Cameras(tmp_path)
    yield c
    c.stop()


@pytest.fixture
def package(tmp_path):
    """A single-image package of version 2.1.0 (256 KiB)."""
    image, path = tmp_path / "app.bin", tmp_path / "fw-2.1.0.zip"
    image.write_bytes(os.urandom(256 * 1024))
    subprocess.run([os.environ["CAMSIM"], "make-package", "-o", str(path), "--image", str(image),
                    "--version", "2.1.0"], check=True, stdout=subprocess.DEVNULL)
    return str(path)
