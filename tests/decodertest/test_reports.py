"""Tremath's reporting object as the operator sees it: the progress line, the single retry and
the summary, driven by the double's scripted reports."""
import re
import subprocess
import threading
import time

import pytest

from tremath_harness import PAUSE_PROMPT, console_bytes, tremath_folder
from winproc import WINE_RUN

# Choice 1, package kept on disk; everything before the first report is checked elsewhere.
ANSWERS = "1\n1\n"
REPORTS_START = console_bytes("\n\n")  # the start lines end with an empty line


@pytest.fixture
def folder(tmp_path):
    return tremath_folder(tmp_path / "console")


def reports_of(result) -> str:
    """What the reporting object printed: everything after the start lines, decoded."""
    stdout = result.stdout
    return stdout[stdout.index(REPORTS_START) + len(REPORTS_START):].decode("gbk")


def summary_pattern(outcome_lines: str, average: str) -> str:
    return (re.escape(outcome_lines.replace("\n", "\r\n")) + r"共消耗(\d+)毫秒！\r\n" +
            re.escape(f"下载平均速度：{average}\r\n" + PAUSE_PROMPT) + "$")


def test_progress_line_is_rewritten_in_place_and_ended_by_the_completion(folder):
    result = folder.run(stdin=ANSWERS, script="progress 1048576 524288 2048 10 3\n"
                                               "complete 0\n")
    # The download stopped half way, so there is no average to show.
    assert re.fullmatch(
        re.escape("\r下载字节数:524288/1048576[2KB/S][50%], 解压文件数：3/10[30%]......") +
        summary_pattern("\n解压成功！\n", "0B/S"), reports_of(result))


def test_speeds_at_each_unit_boundary(folder):
    script = "".join(f"progress 100 0 {speed} 0 0\n" for speed in (1023, 1024, 1048575, 1048576))
    result = folder.run(stdin=ANSWERS, script=script + "complete 0\n")
    shown = re.findall(r"\[([^\]]*B/S)\]", reports_of(result))
    assert shown == ["1023B/S", "1KB/S", "1023KB/S", "1.0MB/S"]


def test_empty_package_and_no_files_show_zero_percent(folder):
    result = folder.run(stdin=ANSWERS, script="progress 0 0 0 0 0\ncomplete 0\n")
    assert reports_of(result).startswith("\r下载字节数:0/0[0B/S][0%], 解压文件数：0/0[0%]......\r\n")
    assert result.exit_code == 0


def test_large_counts_print_in_full_without_grouping(folder):
    total = 60 * 1024 ** 3
    result = folder.run(stdin=ANSWERS, script=f"progress {total} {total // 3} 0 4000000 1\n"
                                               "complete 0\n")
    assert reports_of(result).startswith(
        f"\r下载字节数:{total // 3}/{total}[0B/S][33%], 解压文件数：1/4000000[0%]......")


def test_first_failure_retries_once_and_a_success_ends_it(folder):
    result = folder.run(stdin=ANSWERS, script=(
        "progress 1000 200 100 4 1\n"
        "sleep 300\n"
        "complete 12029 无法连接服务器\n"
        "progress 1000 1000 100 4 4\n"
        "sleep 300\n"
        "complete 0\n"))
    text = reports_of(result)
    assert text.startswith(
        "\r下载字节数:200/1000[100B/S][20%], 解压文件数：1/4[25%]......\r\n"
        "解压失败！\r\n无法连接服务器\r\n第1次重试...\r\n"
        "\r下载字节数:1000/1000[100B/S][100%], 解压文件数：4/4[100%]......\r\n"
        "解压成功！\r\n共消耗")
    # The elapsed time runs from before the first attempt to the end of the second.
    elapsed = int(re.search(r"共消耗(\d+)毫秒！", text).group(1))
    assert 600 - 32 <= elapsed < 10000  # GetTickCount moves in steps of about 16 ms
    assert result.names() == ["Loaded", "CreateQuennet", "Start", "Start", "OnComplete returned",
                              "OnComplete returned", "Wait returned", "Release", "Unloaded"]
    # Only the final report posts the quit message; the retry does not.
    assert [e[1] for e in result.events("OnComplete returned")] == ["no quit", "quit posted"]
    assert result.events("Release") == [["Release", "callback alive"]]
    assert result.events("Unloaded") == [["Unloaded", "by FreeLibrary"]]


def test_second_failure_prints_the_summary_without_another_retry(folder):
    result = folder.run(stdin=ANSWERS, script=(
        "complete 5 第一次\n"
        "complete 6 第二次\n"
        "complete 0\n"))  # never reached: there is no second retry
    text = reports_of(result)
    assert re.fullmatch(summary_pattern("\n解压失败！\n第一次\n第1次重试...\n"
                                        "\n解压失败！\n第二次\n", "0B/S"), text), text
    assert [e[1] for e in result.events("Start")] == ["1", "2"]
    assert result.events("Release") == [["Release", "callback alive"]]
    # A failed task still ends the program normally.
    assert result.exit_code == 0


def test_null_error_text_prints_an_empty_line(folder):
    result = folder.run(stdin=ANSWERS, script="complete-null-text 7\ncomplete-null-text 8\n")
    assert re.fullmatch(summary_pattern("\n解压失败！\n\n第1次重试...\n\n解压失败！\n\n", "0B/S"),
                        reports_of(result))


def test_average_is_the_run_bytes_over_the_time_until_the_download_ended(folder):
    # 4,000,000 bytes still to come at the first report, all there after about 400 ms; the
    # 600 ms of extraction that follow do not count.
    result = folder.run(stdin=ANSWERS, script=(
        "progress 5000000 1000000 0 1 0\n"
        "sleep 400\n"
        "progress 5000000 5000000 0 1 0\n"
        "sleep 600\n"
        "complete 0\n"))
    text = reports_of(result)
    megabytes = float(re.search(r"下载平均速度：(\d+\.\d)MB/S", text).group(1))
    assert 2.0 <= megabytes <= 11.0  # 4e6 B over 347 (three ticks early) to 1900 ms
    assert int(re.search(r"共消耗(\d+)毫秒！", text).group(1)) >= 1000 - 32


@pytest.mark.parametrize("script", [
    # Complete at the first report: nothing left to download in this run.
    "progress 4096 4096 0 1 1\ncomplete 0\n",
    # Never reached its total: no download time to divide by.
    "progress 4096 1024 0 1 0\ncomplete 3 中断\ncomplete 3 中断\n",
])
def test_average_of_runs_without_a_measurable_download_is_zero(folder, script):
    text = reports_of(folder.run(stdin=ANSWERS, script=script))
    assert text.endswith("下载平均速度：0B/S\r\n" + PAUSE_PROMPT)


def test_report_object_outlives_the_task_object(folder):
    # The double compares the reporting object's table pointer at Release with the one it was
    # given: a deleted object's memory no longer holds it.
    result = folder.run(stdin=ANSWERS, script="progress 10 10 10 1 1\ncomplete 0\n")
    assert result.names()[-3:] == ["Wait returned", "Release", "Unloaded"]
    assert result.events("Release") == [["Release", "callback alive"]]


def test_progress_line_reaches_a_redirected_output_while_the_task_runs(folder):
    # The double holds the task after one report until the test has seen that report's line.
    (folder.path / "quennet_script.txt").write_text(
        "progress 100 50 0 2 1\nwait-for-file go\ncomplete 0\n", encoding="utf-8")
    console = subprocess.Popen([str(WINE_RUN), str(folder.program)], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, cwd=folder.path)
    received = bytearray()
    reader = threading.Thread(target=read_all, args=(console.stdout, received))
    reader.start()
    try:
        console.stdin.write(ANSWERS.encode())
        console.stdin.close()
        line = console_bytes("解压文件数：1/2[50%]......")
        deadline = time.monotonic() + 5
        while line not in received and time.monotonic() < deadline:
            time.sleep(0.05)
        seen = line in received
    finally:
        (folder.path / "go").touch()
        console.wait(timeout=30)
        reader.join(timeout=30)
    assert seen, bytes(received)
    assert bytes(received).endswith(PAUSE_PROMPT.encode())


def read_all(stream, into: bytearray):
    while chunk := stream.read1(4096):
        into.extend(chunk)
