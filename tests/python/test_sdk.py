"""Each promise of the SDK once, through the Python package: it covers the C
layer underneath (threads of the callbacks, cancel, plan, errors)."""
import _thread
import hashlib
import logging
import socket
import threading

import pytest

import camupgrade

HOST = "127.0.0.1"


def test_one_camera_from_discovery_to_upgrade(cameras, package, caplog):
    log = cameras.start("127.0.0.2")
    idle = camupgrade.info("127.0.0.2")
    assert idle.version == "1.0.0" and idle.state is not None and not idle.busy
    assert [c.ip for c in camupgrade.discover(window=0.5)] == ["127.0.0.2"]
    seen, threads = [], set()

    def on_status(status):
        seen.append(status.phase)
        threads.add(threading.get_ident())

    caplog.set_level(logging.INFO, logger="camupgrade")
    [result] = camupgrade.upgrade("127.0.0.2", package, host=HOST, on_status=on_status)
    assert result.upgraded, result.message
    assert (result.before.version, result.after.version) == ("1.0.0", "2.1.0")
    assert result.released and result.bytes_served > 256 * 1024
    assert seen[0] == "queued" and seen[-1] == "done" and "transfer" in seen
    assert len(threads) == 1 and threading.get_ident() not in threads
    assert any(r.name == "camupgrade" for r in caplog.records)
    assert "control released by" in log.read_text()
    assert camupgrade.version().count(".") == 2


def test_three_cameras_one_failing(cameras, package):
    cameras.start("127.0.0.2", "127.0.0.3")
    cameras.start("127.0.0.4", knobs=["--force-state", "3"])
    ended = []
    results = camupgrade.upgrade([("127.0.0.2", package, "left"), "127.0.0.3", "127.0.0.4"],
                                 package, host=HOST, on_result=lambda r: ended.append(r.camera))
    assert [r.verdict for r in results] == ["upgraded", "upgraded", "failed"]
    assert (results[2].reason, results[2].state) == ("camera state", 3)
    assert results[0].name == "left" and all(r.released for r in results)
    assert sorted(ended) == ["127.0.0.2", "127.0.0.3", "127.0.0.4"]


def test_cancel_from_another_thread_releases_the_camera(cameras, package):
    log = cameras.start("127.0.0.2", knobs=["--data-loss", "0.3", "--tftp-timeout-ms", "200"])
    transfer = threading.Event()
    job = camupgrade.Job("127.0.0.2", package, host=HOST,
                         on_status=lambda s: s.phase == "transfer" and transfer.set())
    with job:
        job.start()
        assert transfer.wait(20)
        threading.Thread(target=job.cancel).start()
        assert job.wait(30)
        [result] = job.results()
    assert result.verdict == "cancelled" and result.reason == "cancelled"
    assert result.released, result.message
    assert "control released by" in log.read_text()


def test_a_plan_and_a_camera_at_the_expected_version_command_nothing(cameras, package):
    log = cameras.start("127.0.0.2")
    ready, silent = camupgrade.plan(["127.0.0.2", "127.0.0.9"], package, host=HOST)
    assert ready.ok and ready.action == "upgrade" and ready.layout == "single image"
    assert ready.identity.model == "CS-GE-1" and ready.host_ip == HOST
    with open(package, "rb") as f:
        assert ready.sha256 == hashlib.sha256(f.read()).hexdigest()
    assert ready.files and all(size > 0 for _, size in ready.files) and not ready.busy
    assert not silent.ok and silent.reason == "unreachable" and "does not answer" in silent.message
    [at_it] = camupgrade.plan("127.0.0.2", package, host=HOST, expect_version="1.0.0")
    assert at_it.action == "current" and not at_it.ok
    [result] = camupgrade.upgrade("127.0.0.2", package, host=HOST, expect_version="1.0.0")
    assert result.verdict == "current" and not (result.commanded or result.downgraded)
    assert "control taken" not in log.read_text() and "upgrade command" not in log.read_text()
    with pytest.raises(ValueError, match='expect_version "2.x" is not a version of dotted'):
        camupgrade.upgrade("127.0.0.2", package, expect_version="2.x")


def test_bad_input_raises_clear_exceptions(cameras, package, tmp_path):
    cameras.start("127.0.0.2")
    missing = str(tmp_path / "no-such.zip")
    with pytest.raises(FileNotFoundError, match="cannot read the package .*no-such.zip"):
        camupgrade.upgrade("127.0.0.2", missing)
    with pytest.raises(ValueError, match='"300.0.0.1" is not an IPv4 address'):
        camupgrade.upgrade("300.0.0.1", package)
    with pytest.raises(camupgrade.AddressError, match="listed twice"):
        camupgrade.plan(["127.0.0.2", "127.0.0.2"], package)
    with pytest.raises(camupgrade.NoAnswerError, match="127.0.0.9 does not answer"):
        camupgrade.info("127.0.0.9", timeout=0.2)


@pytest.mark.parametrize("interrupt", ["callback raises", "ctrl-c"])
def test_an_interrupted_job_releases_the_camera_and_raises(cameras, package, interrupt):
    log = cameras.start("127.0.0.2", knobs=["--data-loss", "0.3", "--tftp-timeout-ms", "200"])

    def on_status(status):
        if status.phase == "transfer":
            if interrupt == "ctrl-c":
                _thread.interrupt_main()
            else:
                raise RuntimeError("a fault of the host's own")

    expected = KeyboardInterrupt if interrupt == "ctrl-c" else RuntimeError
    with pytest.raises(expected):
        camupgrade.upgrade("127.0.0.2", package, host=HOST, on_status=on_status)
    assert "control released by" in log.read_text()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as port69:
        port69.bind(("0.0.0.0", 69))  # the job's file service is gone
