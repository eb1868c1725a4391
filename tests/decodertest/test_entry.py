"""Tremath's entry: loading Quennet.dll, and what happens when the library is missing or does
not give what the test needs."""
import subprocess

import pytest

from tremath_harness import (BUILT_IN_URLS, MENU, MODE_PROMPT, PAUSE_PROMPT, WITHOUT_FACTORIES,
                             console_bytes, start_lines, tremath_folder)
from winproc import WINE_RUN

MISSING = console_bytes("加载Quennet.dll失败！") + PAUSE_PROMPT.encode()


@pytest.mark.parametrize("args", [(), ("--help",), ("1", "0", "C:\\some where\\Quennet.dll")])
def test_missing_library_shows_the_message_then_the_pause_prompt_and_exits_1(tmp_path, args):
    folder = tremath_folder(tmp_path / "alone", library=None)
    result = folder.run(*args, stdin="x")
    # The message is flushed before the pause, so it comes first, on the same line.
    assert result.stdout == MISSING
    assert result.exit_code == 1


def test_arguments_change_nothing_when_the_library_is_there(tmp_path):
    folder = tremath_folder(tmp_path / "console")
    plain = folder.run(stdin="4\n0\n", script="complete 0\n")
    with_args = folder.run("2", "--url=http://elsewhere/", "/mode:1", stdin="4\n0\n",
                           script="complete 0\n")
    assert plain.exit_code == with_args.exit_code == 0
    assert plain.events("CreateQuennet") == with_args.events("CreateQuennet")
    assert plain.stdout.split(console_bytes("共消耗"))[0] == \
        with_args.stdout.split(console_bytes("共消耗"))[0]


def test_library_without_the_factory_is_reported_and_nothing_is_called(tmp_path):
    folder = tremath_folder(tmp_path / "console", library=WITHOUT_FACTORIES)
    result = folder.run(stdin="0\n0\n")
    extract = folder.win("QuennetTest", "游戏", "0")
    assert result.stdout == console_bytes(
        MENU + MODE_PROMPT + start_lines(BUILT_IN_URLS[0], extract) +
        "Quennet.dll中找不到CreateQuennet！\n")
    assert result.exit_code == 0


def test_factory_without_a_task_object_is_reported_and_nothing_is_called(tmp_path):
    folder = tremath_folder(tmp_path / "console")
    result = folder.run(stdin="0\n0\n", script="task null\ncomplete 0\n")
    assert result.stdout.endswith(console_bytes("\n\nCreateQuennet未返回任务对象！\n"))
    assert result.names() == ["Loaded", "CreateQuennet", "Unloaded"]
    assert result.events("Unloaded") == [["Unloaded", "by FreeLibrary"]]
    assert result.exit_code == 0


def deep_folder(base, windows_length):
    """A folder below BASE whose Windows path (Z:...) is exactly WINDOWS_LENGTH characters."""
    path = base
    while True:
        missing = windows_length - len("Z:" + str(path))
        if missing <= 0:
            assert missing == 0
            return path
        path = path / ("d" * min(100, missing - 1))


@pytest.mark.parametrize("room", [0, 5])
def test_module_path_too_long_for_the_folders_is_refused(tmp_path, room):
    # With the executable at 250 characters, "..\QuennetTest\游戏" cannot be appended within
    # MAX_PATH (260) units: nothing cut short may reach the library.
    base = tmp_path.resolve()
    folder = tremath_folder(deep_folder(base, 250 - len("\\Tremath.exe") - room))
    result = folder.run(stdin="0\n0\n", script="complete 0\n")
    assert result.stdout == console_bytes(MENU + MODE_PROMPT + "程序路径过长，无法生成下载目录！\n")
    assert result.events("CreateQuennet") == []
    assert result.exit_code == 0


def test_module_path_that_just_fits_still_runs(tmp_path):
    # 220 characters leave room for the appended folders and the choice's subfolder.
    base = tmp_path.resolve()
    folder = tremath_folder(deep_folder(base, 220 - len("\\Tremath.exe")))
    result = folder.run(stdin="3\n0\n", script="complete 0\n")
    created = result.events("CreateQuennet")
    assert created and created[0][3] == folder.win("QuennetTest", "游戏", "3")
    assert len(created[0][3]) < 260


def test_module_path_longer_than_max_path_is_refused(tmp_path):
    # The Windows test parent cannot start a program this deep, so Wine starts it directly (a
    # Unix parent sees only the low 8 bits of the exit code, which is enough for 0).
    base = tmp_path.resolve()
    folder = tremath_folder(deep_folder(base, 300))
    (folder.path / "quennet_script.txt").write_text("complete 0\n")
    completed = subprocess.run([str(WINE_RUN), str(folder.program)], input=b"0\n0\n",
                               capture_output=True, cwd=base, timeout=60)
    assert completed.stdout == console_bytes(MENU + MODE_PROMPT +
                                             "程序路径过长，无法生成下载目录！\n")
    assert "CreateQuennet" not in (folder.path / "quennet_record.txt").read_text("utf-8")
    assert completed.returncode == 0
