"""Every failure path of a host ends in exactly one report and exit code 4660.

Each case runs a crash host in a fresh process under Wine. The host starts crash reporting with
the test reporter's folder, writes what the report must agree with to a facts file, and fails in
the named way; the test reporter records what it was handed and read out of the crashed process.
"""
import re
import shutil
import tempfile
import time
from pathlib import Path

import pytest

from crash_report_files import Report, read_key_values
from winproc import BUILD_DIR, TEST_BIN_DIR, run, winpath

REPORTER_DIR = BUILD_DIR / "tests" / "test_reporter"
CRASH_EXIT = 4660

ACCESS_VIOLATION = 0xC0000005
INT_DIVIDE_BY_ZERO = 0xC0000094
FLT_DIVIDE_BY_ZERO = 0xC000008E
STACK_OVERFLOW = 0xC00000FD
SYNTHESIZED = 0


_scratch_folders = []


def scratch_folder(prefix):
    """A temporary folder removed when the test ends, whatever its outcome."""
    folder = Path(tempfile.mkdtemp(prefix=prefix))
    _scratch_folders.append(folder)
    return folder


@pytest.fixture(autouse=True)
def remove_scratch_folders():
    yield
    while _scratch_folders:
        shutil.rmtree(_scratch_folders.pop(), ignore_errors=True)


class Crash:
    """One run of a crash host and what it left behind."""

    def __init__(self, failure, host="crash_host", reporter_dir=REPORTER_DIR, env=None):
        self.scratch = scratch_folder("crash-")
        started = time.monotonic()
        self.outcome = run(TEST_BIN_DIR / f"{host}.exe", failure, winpath(reporter_dir),
                           winpath(self.scratch / "facts.txt"), timeout=60,
                           env={"TEST_REPORTER_OUT": winpath(self.scratch), **(env or {})})
        self.seconds = time.monotonic() - started
        self.facts = {k: int(v, 16) for k, v in read_key_values(self.scratch / "facts.txt").items()}
        self.reports = sorted(self.scratch.glob("report-*.txt"))
        starts = self.scratch / "starts.log"
        self.reporter_starts = len(starts.read_text().split()) if starts.exists() else 0

    @property
    def report(self) -> Report:
        assert len(self.reports) == 1, self.reports
        return Report.load(self.reports[0])


def check_complete_report(crash: Crash, code: int, thread: str):
    """What holds for every report: one reporter, the hand-off, the block and the pair."""
    assert crash.outcome.exit_code == CRASH_EXIT, crash.outcome
    assert crash.reporter_starts == 1
    report = crash.report
    header = report.header
    pid = header.process_id

    assert re.fullmatch(r"orlent /buginfo:[0-9A-F]{8}:[0-9A-F]{8}:[0-9A-F]{8}:[1-9][0-9]*",
                        report.values["command_line"])
    assert report.number("pid") == pid
    assert report.number("process_handle_pid") == pid   # the inherited handle is valid
    assert report.number("event_unsignalled") == 1      # and so is the event, not yet set
    assert report.number("block_read") == 1
    assert report.values["command_line"].split(":")[3] == f"{report.number('block'):08X}"

    # The block as the host built it.
    assert report.strings[:4] == ["CrashHost", "1.2.3", "test", "\u5d29\u6e83"]
    assert header.uin == 4242
    assert header.init_thread_id == crash.facts["main_thread_id"]

    # The faulting thread and its environment block.
    assert header.crash_thread_id == crash.facts[f"{thread}_thread_id"]
    assert header.crash_thread_teb == crash.facts[f"{thread}_teb"]
    assert report.number("teb_thread_id") == header.crash_thread_id
    assert report.number("tib_self") == header.crash_thread_teb

    # The record and context are byte copies of what the reported pair points at.
    assert header.exception_pointers != 0
    assert report.bytes("pair_record") == header.record
    assert report.bytes("pair_context") == header.context.raw
    assert header.exception_code == code
    assert header.report_argument == 0
    return header


def check_synthesized(crash: Crash, header, body: str | None):
    context = header.context
    assert header.exception_code == SYNTHESIZED
    assert header.exception_parameter_count == 0
    assert context.flags == 0x00010001
    assert context.eip == header.exception_address
    assert context.ebp > context.esp
    # Esp is the slot that held Eip at the capture; by the time the reporter reads it, the body's
    # next call (into the launcher) has pushed its own return address, in the same body, there.
    next_return = crash.report.number("value_at_esp")
    assert next_return != context.eip and abs(next_return - context.eip) < 0x40
    call = crash.report.bytes("call_before_eip")
    assert call[0] == 0xE8, call.hex()                           # a call just before Eip
    if body is not None:
        target = (context.eip + int.from_bytes(call[1:], "little", signed=True)) & 0xFFFFFFFF
        assert target == crash.facts["capture"]
        start = crash.facts[body]
        assert start < context.eip < start + 0x80, f"Eip {context.eip:x} not in {body} {start:x}"
        assert start < next_return < start + 0x80


PLATFORM_CASES = [
    ("access-violation", ACCESS_VIOLATION, "main"),
    ("access-violation-thread", ACCESS_VIOLATION, "fault"),
    ("divide-by-zero", INT_DIVIDE_BY_ZERO, "main"),
]


@pytest.mark.parametrize("failure,code,thread", PLATFORM_CASES)
@pytest.mark.parametrize("host", ["crash_host", "crash_host_linked"])
def test_unhandled_exception_reports_the_platforms_pair(host, failure, code, thread):
    crash = Crash(failure, host)
    header = check_complete_report(crash, code, thread)
    assert header.saved_stack_base == 0 and header.saved_stack_limit == 0
    assert header.context.flags & 0x00010007 == 0x00010007  # control, integer, segments
    if failure == "access-violation-thread":
        assert header.crash_thread_id != header.init_thread_id


@pytest.mark.parametrize("thread", ["main", "fault"])
def test_stack_overflow_runs_the_report_on_a_fresh_stack(thread):
    crash = Crash("stack-overflow" if thread == "main" else "stack-overflow-thread")
    header = check_complete_report(crash, STACK_OVERFLOW, thread)
    report = crash.report
    own_base = crash.facts[f"{thread}_stack_base"]
    assert header.saved_stack_base == own_base
    assert own_base - 0x1000000 < header.saved_stack_limit < own_base - 0x80000  # used it up
    # While the reporter runs, the thread's environment block describes the 64 KiB region.
    assert report.number("tib_stack_base") - report.number("tib_stack_limit") == 0x10000
    assert report.number("tib_stack_base") != own_base


def test_stack_overflow_is_reported_when_no_fresh_stack_can_be_had():
    crash = Crash("stack-overflow-no-memory")
    assert crash.facts["fresh_region_available"] == 0
    header = check_complete_report(crash, STACK_OVERFLOW, "main")
    assert header.saved_stack_base == crash.facts["main_stack_base"]
    report = crash.report
    assert report.number("tib_stack_base") - report.number("tib_stack_limit") == 0x10000


# Failures with no exception pointers of their own: the body builds them at its call.
SYNTHESIZED_CASES = [
    ("abort", "OnSigAbrt"),
    ("raise-sigterm", "OnSigTerm"),
    ("raise-sigint", "OnSigInt"),
    ("raise-sigill", "OnSigIll"),
    ("raise-sigsegv", "OnSigSegv"),
    ("raise-sigfpe", "OnSigFpe"),
    ("pure-virtual", "OnPureCall"),
    ("invalid-parameter", "OnInvalidParameter"),
    ("alloc-failure", "OnNewHandler"),
    ("uncaught-exception", "OnTerminate"),
    ("unexpected", "OnUnexpected"),
]


@pytest.mark.parametrize("failure,body", SYNTHESIZED_CASES)
def test_runtime_failure_reaches_its_body_with_a_synthesized_pair(failure, body):
    crash = Crash(failure, "crash_host_linked")
    header = check_complete_report(crash, SYNTHESIZED, "main")
    check_synthesized(crash, header, body)


@pytest.mark.parametrize("failure", ["abort", "raise-sigterm", "raise-sigill"])
def test_signals_reach_the_library_through_the_dll(failure):
    crash = Crash(failure, "crash_host")
    header = check_complete_report(crash, SYNTHESIZED, "main")
    check_synthesized(crash, header, None)


@pytest.mark.parametrize("failure,code", [("runtime-sigsegv", ACCESS_VIOLATION),
                                          ("runtime-sigfpe", FLT_DIVIDE_BY_ZERO)])
def test_runtime_signal_reports_the_recorded_pair(failure, code):
    crash = Crash(failure, "crash_host_linked")
    header = check_complete_report(crash, code, "main")
    assert header.context.flags != 0x00010001  # the platform's context, not a synthesized one
    # The run-time's filter turned the exception into the signal and did not come back.
    assert crash.facts["runtime_filter_entered"] == 1
    assert "runtime_filter_returned" not in crash.facts


def test_two_threads_faulting_at_once_give_one_complete_report():
    # The reporter takes its time, so the second fault lands while the first is being reported.
    crash = Crash("two-threads", env={"TEST_REPORTER_DELAY_MS": "1500"})
    assert crash.outcome.exit_code == CRASH_EXIT, crash.outcome
    assert crash.reporter_starts == 1
    header = crash.report.header
    assert header.exception_code == ACCESS_VIOLATION
    assert header.crash_thread_id not in (0, header.init_thread_id)
    assert crash.report.bytes("pair_context") == header.context.raw
    assert b"came back" not in crash.outcome.stderr


def test_without_a_reporter_the_host_still_ends_with_4660():
    empty = scratch_folder("no-reporter-")
    crash = Crash("access-violation", reporter_dir=empty)
    assert crash.outcome.exit_code == CRASH_EXIT
    assert crash.reporter_starts == 0 and crash.reports == []


def test_launch_hooks_run_even_when_no_reporter_is_found():
    empty = scratch_folder("no-reporter-")
    crash = Crash("launch-hooks", "crash_host_linked", reporter_dir=empty)
    assert crash.outcome.exit_code == CRASH_EXIT
    assert crash.facts["before_launch"] == 1
    assert crash.facts["after_wait"] == 1


def test_a_reporter_that_never_sets_the_event_does_not_hang_the_host():
    crash = Crash("access-violation", env={"TEST_REPORTER_MODE": "no-event"})
    assert crash.outcome.exit_code == CRASH_EXIT
    assert crash.reporter_starts == 1
    assert crash.seconds < 20


# Out of memory: the address space and both heaps are used up before the fault. Starting the
# reporter needs memory, which the reserve set aside at InitOrlent provides.
@pytest.mark.parametrize("host", ["crash_host", "crash_host_linked"])
def test_a_fault_after_memory_ran_out_is_still_reported(host):
    crash = Crash("out-of-memory", host)
    assert crash.facts["fresh_region_available"] == 0
    check_complete_report(crash, ACCESS_VIOLATION, "main")


def test_without_the_reserve_memory_exhaustion_loses_the_report():
    # The same host with no reserve shows what the reserve is for.
    crash = Crash("out-of-memory", "crash_host_linked", env={"TEST_RESERVE_KIB": "0"})
    assert crash.outcome.exit_code == CRASH_EXIT
    assert crash.reporter_starts == 0


def test_a_reinitialisation_that_finds_no_memory_changes_nothing():
    # The second InitOrlent names a folder without a reporter; had it switched the folder (or
    # the block), the report would be missing (or show its texts).
    crash = Crash("reinit-out-of-memory")
    check_complete_report(crash, ACCESS_VIOLATION, "main")


def test_a_thread_parked_holding_the_heap_lock_ends_the_process_within_the_limit():
    # The reporting thread is stuck starting the reporter (the heap lock is held by a parked
    # thread); the parked thread ends the process with 4660 once the limit (3 s here) has passed.
    crash = Crash("heap-locked-by-parked-thread", "crash_host_linked")
    assert crash.facts["launching"] == 1 and "parked_thread_id" in crash.facts
    assert crash.outcome.exit_code == CRASH_EXIT, crash.outcome
    assert 3 <= crash.seconds < 15
    assert crash.reporter_starts == 0


def test_the_wait_for_a_reporter_that_never_finishes_is_bounded():
    # The reporter takes 8 s; the host's limit is 2 s.
    crash = Crash("reporter-never-finishes", "crash_host_linked",
                  env={"TEST_REPORTER_DELAY_MS": "8000"})
    assert crash.outcome.exit_code == CRASH_EXIT, crash.outcome
    assert crash.reporter_starts == 1
    assert crash.seconds < 8
