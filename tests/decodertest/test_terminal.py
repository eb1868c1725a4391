"""Tremath as an operator sees it in a terminal: run under tmux with a Chinese locale, choices
typed as keys, the screen read back. The pipe tests check bytes; this checks that the text is
actually shown on a console."""
import os
import subprocess
import tempfile
import time
import uuid

import pytest

from tremath_harness import tremath_folder
from winproc import BUILD_DIR, WINE_RUN

LOCALE_DIR = BUILD_DIR / "locale"
LOCALE = "zh_CN.UTF-8"
SCREEN_WAIT = 30.0


@pytest.fixture(scope="module")
def chinese_locale():
    """A zh_CN.UTF-8 locale of the build's own (LOCPATH), so that Wine gives the console code
    page 936 without the machine's locale settings being touched."""
    if not (LOCALE_DIR / LOCALE / "LC_CTYPE").exists():
        LOCALE_DIR.mkdir(parents=True, exist_ok=True)
        made = subprocess.run(["localedef", "-i", "zh_CN", "-f", "UTF-8",
                               str(LOCALE_DIR / LOCALE)], capture_output=True, text=True)
        assert (LOCALE_DIR / LOCALE / "LC_CTYPE").exists(), f"localedef: {made.stderr}"
    return {"LOCPATH": str(LOCALE_DIR), "LANG": LOCALE, "LC_ALL": LOCALE}


class Terminal:
    """One tmux server of its own, killed on leave whatever happened. Its socket lives in the
    run's temporary folder (not tmux's default folder in /tmp, which would stay behind)."""

    def __init__(self):
        self.socket = os.path.join(tempfile.gettempdir(), f"tremath-{uuid.uuid4().hex[:12]}")

    def tmux(self, *args):
        return subprocess.run(["tmux", "-S", self.socket, *args], capture_output=True,
                              text=True, timeout=30)

    def start(self, command, cwd, env):
        exports = " ".join(f"{name}={value}" for name, value in env.items())
        started = self.tmux("new-session", "-d", "-x", "160", "-y", "50", "-s", "console",
                            "-c", str(cwd), f"env {exports} {command}; echo EXITED:$?; sleep 120")
        assert started.returncode == 0, started.stderr

    def screen(self) -> str:
        return self.tmux("capture-pane", "-p", "-t", "console").stdout

    def wait_for(self, text) -> str:
        deadline = time.monotonic() + SCREEN_WAIT
        while time.monotonic() < deadline:
            shown = self.screen()
            if text in shown:
                return shown
            time.sleep(0.2)
        pytest.fail(f"{text!r} never appeared; the screen shows:\n{self.screen()}")

    def type(self, keys):
        self.tmux("send-keys", "-t", "console", keys, "Enter")

    def kill(self):
        self.tmux("kill-server")


@pytest.fixture
def terminal():
    opened = Terminal()
    try:
        yield opened
    finally:
        opened.kill()


def test_operator_sees_the_chinese_dialogue_in_a_terminal(tmp_path, chinese_locale, terminal):
    folder = tremath_folder(tmp_path / "console")
    (folder.path / "quennet_script.txt").write_text("complete 0\n", encoding="utf-8")
    terminal.start(f"{WINE_RUN} {folder.program}", folder.path, chinese_locale)

    shown = terminal.wait_for("5, 其他url")
    for line in ["请选择内置测试安装包大小：", "0，155M", "1，220M", "2, 480M",
                 "3, 1.7G （内含1.5g单个文件）", "4, 60G"]:
        assert line in shown
    terminal.type("1")
    terminal.wait_for("请选择流式解压方式：0，安装包不落地， 1，安装包落地")
    terminal.type("0")
    shown = terminal.wait_for("解压成功！")
    assert "URL:http://localhost:47080/packages/220M" in shown
    assert "安装目录：" in shown and "QuennetTest\\游戏\\1" in shown
    shown = terminal.wait_for("共消耗")
    assert "下载平均速度：" in shown
    terminal.type("")                          # the key the pause waits for
    assert "EXITED:0" in terminal.wait_for("EXITED:")
