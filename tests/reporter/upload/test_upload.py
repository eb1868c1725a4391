"""The real orlent.exe sends its outbox to a collector on loopback.

Each test copies orlent.exe into a scratch folder with its own orlent.ini (the settings live
beside the program), prepares report folders and outbox entries in a scratch reports root the way
the reporter leaves them, runs `orlent /upload` (or a real crash), and checks what the collector
received and what the outbox holds afterwards."""
import json
import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from collector import Collector, Reply, closed_port_url
from package_server import test_ca, trust_ca_in_prefix, untrusted_ca
from winproc import BIN_DIR, TEST_BIN_DIR, WINE_RUN, run, winpath

PRODUCT = "\u6e38\u620f Game"
DUMP = b"MDMP" + bytes(range(256)) * 64 + b"\r\n--orlent-\r\n--" + os.urandom(4096)


class Setup:
    def __init__(self, scratch: Path):
        self.scratch = scratch
        self.program_dir = scratch / "program"
        self.program_dir.mkdir()
        shutil.copy(BIN_DIR / "orlent.exe", self.program_dir / "orlent.exe")
        self.root = scratch / "reports"
        self.outbox = self.root / "Outbox"
        self.outbox.mkdir(parents=True)

    def configure(self, url, **settings):
        lines = ["[upload]", "enabled = yes", f"url = {url}", "retry_initial_seconds = 1",
                 *(f"{k} = {v}" for k, v in settings.items() if k != "fields"),
                 "[fields]", *(f"{k} = {v}" for k, v in settings.get("fields", {}).items())]
        (self.program_dir / "orlent.ini").write_text("\n".join(lines) + "\n", encoding="utf-8")

    def report(self, name, age_s=0, state="queued", signature="game.exe+0x0000156A",
               product=PRODUCT):
        folder = self.root / name
        folder.mkdir()
        (folder / "crash.dmp").write_bytes(DUMP)
        (folder / "report.json").write_text(json.dumps({"format": "orlent-crash-report/1",
                                                        "name": name}), encoding="utf-8")
        queued_ms = int((time.time() - age_s) * 1000)
        (self.outbox / f"{name}.ini").write_text(
            f"[entry]\nreport = {name}\nstate = {state}\nqueued_at = {queued_ms}\n"
            f"attempts = 0\n[crash]\nproduct = {product}\nversion = 3.1.4-beta\n"
            f"version_numbers = 3.1.4\nchannel = nightly\nnote = %20spaced note%20\n"
            f"uin = 271828\nreason = 0xC0000005 EXCEPTION_ACCESS_VIOLATION\n"
            f"signature = {signature}\n", encoding="utf-8")
        return folder

    def orlent(self, *args, timeout=60):
        return run(self.program_dir / "orlent.exe", *args, timeout=timeout,
                   env={"ORLENT_REPORTS_DIR": winpath(self.root)})

    def entry(self, name):
        path = self.outbox / f"{name}.ini"
        return dict(line.split(" = ", 1) for line in path.read_text().splitlines()
                    if " = " in line) if path.exists() else None

    def result(self, name):
        path = self.root / name / "upload.txt"
        return path.read_text(encoding="utf-8") if path.exists() else None


@pytest.fixture
def setup():
    scratch = Path(tempfile.mkdtemp(prefix="orlent-upload-"))
    try:
        yield Setup(scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


@pytest.mark.parametrize("compressed", [False, True])
def test_fields_and_files_arrive_byte_exact(setup, compressed):
    with Collector() as collector:
        setup.configure(collector.url, gzip="yes" if compressed else "no",
                        fields={"api_key": "k-123"})
        folder = setup.report("2024-01-31_101530.007_p812")
        outcome = setup.orlent("/upload")
    assert outcome.exit_code == 0, outcome
    [request] = collector.received
    assert request.path == "/submit"
    assert int(request.headers["content-length"]) == len(request.raw_body)
    assert "transfer-encoding" not in request.headers
    assert (request.headers.get("content-encoding") == "gzip") == compressed
    parts = request.parts()
    assert parts["upload_file_minidump"] == ("crash.dmp", "application/octet-stream", DUMP)
    assert parts["orlent_report"] == ("report.json", "application/json",
                                      (folder / "report.json").read_bytes())
    fields = {name: content.decode() for name, (filename, _, content) in parts.items()
              if filename is None}
    assert fields == {"prod": PRODUCT, "ver": "3.1.4-beta", "version_numbers": "3.1.4",
                      "channel": "nightly", "note": " spaced note ", "uin": "271828",
                      "reason": "0xC0000005 EXCEPTION_ACCESS_VIOLATION",
                      "signature": "game.exe+0x0000156A", "report": folder.name,
                      "api_key": "k-123"}
    # Sent: out of the outbox, the collector's answer kept in the report folder.
    assert setup.entry(folder.name) is None
    assert "CrashID=bp-00000000-0000-0000-0000-000000000001" in setup.result(folder.name)
    assert f"report {folder.name} sent: HTTP 200" in outcome.stdout.decode()


def test_https_checks_the_certificate(setup):
    trusted = test_ca()
    trust_ca_in_prefix(trusted)
    with Collector(certificate=(trusted.server_cert, trusted.server_key)) as collector:
        setup.configure(collector.url)
        setup.report("trusted", signature="game.exe+0x1")
        assert setup.orlent("/upload").exit_code == 0
    assert len(collector.received) == 1 and setup.entry("trusted") is None

    stranger = untrusted_ca()
    with Collector(certificate=(stranger.server_cert, stranger.server_key)) as collector:
        setup.configure(collector.url, time_limit_seconds=2)
        setup.report("untrusted", signature="game.exe+0x2")
        assert setup.orlent("/upload").exit_code == 0
    assert collector.received == []
    entry = setup.entry("untrusted")
    assert entry["state"] == "queued" and "WinHttp" in entry["last_error"], entry


def test_nothing_is_sent_when_disabled_or_unconfigured(setup):
    with Collector() as collector:
        setup.report("r")
        before = (setup.outbox / "r.ini").read_bytes()
        unconfigured = setup.orlent("/upload")
        setup.configure(collector.url)
        (setup.program_dir / "orlent.ini").write_text(
            f"[upload]\nenabled = no\nurl = {collector.url}\n")
        disabled = setup.orlent("/upload")
    assert unconfigured.exit_code == 0 and disabled.exit_code == 0
    assert collector.received == []
    assert (setup.outbox / "r.ini").read_bytes() == before
    assert setup.result("r") is None


def test_a_server_that_is_down_or_silent_keeps_the_report(setup):
    setup.configure(closed_port_url(), time_limit_seconds=3)
    setup.report("down")
    started = time.monotonic()
    outcome = setup.orlent("/upload")
    assert outcome.exit_code == 0
    entry = setup.entry("down")
    assert entry["state"] == "queued" and int(entry["attempts"]) >= 2   # retried within 3 s
    assert "WinHttp" in entry["last_error"], entry
    assert "not sent" in outcome.stderr.decode()

    with Collector([Reply(hang=True)]) as collector:
        setup.configure(collector.url, time_limit_seconds=4)
        started = time.monotonic()
        silent = setup.orlent("/upload")
        elapsed = time.monotonic() - started
    assert silent.exit_code == 0 and len(collector.received) >= 1
    assert elapsed < 15, elapsed            # the time limit bounds a server that says nothing
    assert setup.entry("down")["state"] == "queued"


ANSWER = b"CrashID=bp-00000000-0000-0000-0000-000000000002\n" + b"x" * 200


@pytest.mark.parametrize("trickle_from", ["head", "body"])
def test_the_time_limit_holds_against_a_collector_that_trickles(setup, trickle_from):
    # One byte a second renews WinHTTP's own time-outs at every byte: only a deadline of the
    # reporter's own ends the request.
    limit = 4
    with Collector([Reply(body=ANSWER, trickle=1.0, trickle_from=trickle_from)]) as collector:
        setup.configure(collector.url, time_limit_seconds=limit)
        setup.report("2024-01-31_101530.007_p812")
        started = time.monotonic()
        outcome = setup.orlent("/upload", timeout=60)
        elapsed = time.monotonic() - started
    assert outcome.exit_code == 0, outcome
    assert len(collector.received) == 1
    assert len(collector.trickled) >= limit - 1       # it was trickling when the limit came
    assert elapsed < limit + 3, elapsed                # start-up under Wine and the margin
    entry = setup.entry("2024-01-31_101530.007_p812")
    if trickle_from == "head":
        # No status came: the report stays queued and says why.
        assert entry["state"] == "queued" and "timed out" in entry["last_error"], entry
        assert "timed out" in outcome.stderr.decode()
    else:
        # The collector said 200: the report is sent, the answer kept as far as it came.
        assert entry is None
        result = setup.result("2024-01-31_101530.007_p812")
        assert "status: 200" in result
        kept = result.split("answer:", 1)[1].lstrip("\r\n")
        assert kept and ANSWER.decode().startswith(kept), result


def test_500_then_success_and_429_with_retry_after(setup):
    with Collector([Reply(500, b"oops"), Reply(429, b"busy", {"Retry-After": "2"}),
                    Reply()]) as collector:
        setup.configure(collector.url, time_limit_seconds=20)
        setup.report("a")
        outcome = setup.orlent("/upload")
    assert outcome.exit_code == 0
    first, second, third = collector.received
    assert second.at - first.at >= 0.9       # retry_initial_seconds = 1
    assert third.at - second.at >= 1.9      # the server asked for 2 s
    assert setup.entry("a") is None and "CrashID" in setup.result("a")

    # A pause longer than the run: the report waits, and the next run keeps the pause.
    with Collector([Reply(429, b"", {"Retry-After": "3600"})]) as collector:
        setup.configure(collector.url, time_limit_seconds=5)
        setup.report("b", signature="game.exe+0x00002000")   # not a duplicate of "a"
        setup.orlent("/upload")
        again = setup.orlent("/upload")
    assert len(collector.received) == 1 and again.exit_code == 0
    assert setup.entry("b")["last_error"] == "HTTP 429"


def test_the_outbox_survives_a_killed_reporter(setup):
    with Collector([Reply(hang=True)]) as collector:
        setup.configure(collector.url, time_limit_seconds=60)
        setup.report("k")
        killed = setup.orlent("/upload", timeout=4)
    assert killed.timed_out and len(collector.received) == 1
    assert setup.entry("k")["state"] == "queued"
    with Collector() as collector:
        setup.configure(collector.url)
        outcome = setup.orlent("/upload")
    assert outcome.exit_code == 0 and len(collector.received) == 1
    assert collector.received[0].field("report") == "k" and setup.entry("k") is None


def test_consent_pending_declined_and_granted(setup):
    ask, refuse = "2024-02-01_000000.000_p1", "2024-02-01_000000.000_p2"
    with Collector() as collector:
        setup.configure(collector.url)
        setup.report(ask, state="awaiting-consent")
        no = setup.report(refuse, state="awaiting-consent")
        # Declining deletes only what the reporter would: a folder it did not name stays.
        foreign = setup.report("saved games", state="awaiting-consent")
        pending = setup.orlent("/upload")
        assert collector.received == [] and pending.exit_code == 0
        declined = setup.orlent("/decline", winpath(no))   # a full path names the report too
        assert declined.exit_code == 0 and not no.exists() and setup.entry(refuse) is None
        kept = setup.orlent("/decline", "saved games")
        assert kept.exit_code == 1 and "not named as a report folder" in kept.stderr.decode()
        assert (foreign / "crash.dmp").exists() and setup.entry("saved games")
        assert collector.received == []
        unknown = setup.orlent("/grant", refuse)
        assert unknown.exit_code == 1
        granted = setup.orlent("/grant", ask)
    assert granted.exit_code == 0
    [request] = collector.received
    assert request.field("report") == ask and setup.entry(ask) is None


def test_hourly_limit_and_duplicates(setup):
    with Collector() as collector:
        setup.configure(collector.url, max_uploads_per_hour=2)
        setup.report("1", age_s=40, signature="game.exe+0x10")
        setup.report("2", age_s=30, signature="game.exe+0x10")    # the same crash
        setup.report("3", age_s=20, signature="game.exe+0x20")
        setup.report("4", age_s=10, signature="game.exe+0x30")    # over the limit
        outcome = setup.orlent("/upload")
    assert outcome.exit_code == 0
    assert [r.field("report") for r in collector.received] == ["1", "3"]
    assert collector.received[1].field("duplicates") == "1"
    assert collector.received[1].field("duplicate_signatures") == "game.exe+0x10=1"
    assert setup.result("2").startswith("not sent: the same crash (game.exe+0x10)")
    assert setup.entry("4")["state"] == "queued" and setup.result("4") is None


def test_a_real_crash_is_queued_and_sent_after_the_host_is_released(setup):
    # Started from a Unix parent, not through exit_code_of: its job would end the reporter
    # together with the host, and the reporter is meant to outlive the host.
    with Collector([Reply(delay=3)]) as collector:
        setup.configure(collector.url, time_limit_seconds=20)
        facts = setup.scratch / "facts.txt"
        # Output to a file: the reporter inherits it, and a pipe would stay open until it ends.
        with open(setup.scratch / "output.txt", "wb") as output:
            host = subprocess.run([str(WINE_RUN), str(TEST_BIN_DIR / "end_to_end_host.exe"),
                                   "access-violation", winpath(setup.program_dir),
                                   winpath(facts)],
                                  env=dict(os.environ, ORLENT_REPORTS_DIR=winpath(setup.root)),
                                  stdout=output, stderr=output, timeout=60)
        host_ended = time.monotonic()
        # The reporter is done when its report has left the outbox.
        while list(setup.outbox.glob("2*.ini")) and time.monotonic() < host_ended + 45:
            time.sleep(0.2)
    assert host.returncode == 4660 & 0xFF, (setup.scratch / "output.txt").read_text()
    assert not list(setup.outbox.glob("2*.ini"))
    [request] = collector.received
    # The host did not wait for the collector's slow answer.
    assert collector.answered[0] > host_ended
    [folder] = [p for p in setup.root.iterdir() if p.name != "Outbox"]
    assert request.parts()["upload_file_minidump"][2] == (folder / "crash.dmp").read_bytes()
    assert request.parts()["orlent_report"][2] == (folder / "report.json").read_bytes()
    assert request.field("prod") == "CrashingHost" and request.field("ver") == "3.1.4"
    assert request.field("uin") == "271828" and request.field("report") == folder.name
    assert request.field("signature").startswith("end_to_end_host.exe+0x")
    assert "EXCEPTION_ACCESS_VIOLATION" in request.field("reason")
    assert "CrashID" in (folder / "upload.txt").read_text()
