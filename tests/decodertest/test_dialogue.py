"""Tremath's operator dialogue: menu, URL and mode prompts, the start lines, and what the
decoder library's factory is handed. The double completes every task at once."""
import pytest

from tremath_harness import (BUILT_IN_URLS, MENU, MODE_PROMPT, PAUSE_PROMPT, URL_PROMPT,
                             console_bytes, start_lines, tremath_folder)

DONE = "complete 0\n"
SUMMARY_HEAD = "\n解压成功！\n共消耗"


def printed_before_summary(result) -> bytes:
    return result.stdout.split(console_bytes(SUMMARY_HEAD))[0]


@pytest.fixture
def folder(tmp_path):
    return tremath_folder(tmp_path / "console")


@pytest.mark.parametrize("choice", range(5))
def test_built_in_choice_starts_its_url_without_asking(folder, choice):
    result = folder.run(stdin=f"{choice}\n0\n", script=DONE)
    extract = folder.win("QuennetTest", "游戏", str(choice))
    assert printed_before_summary(result) == console_bytes(
        MENU + MODE_PROMPT + start_lines(BUILT_IN_URLS[choice], extract))
    assert result.events("CreateQuennet") == [
        ["CreateQuennet", BUILT_IN_URLS[choice], "(null)", extract, "5", "0", "callback"]]
    assert result.exit_code == 0


def test_built_in_urls_are_https_first_then_http_on_the_local_server():
    # By name: the certificate check under Wine does not match an address.
    assert BUILT_IN_URLS[0].startswith("https://localhost:47443/")
    assert all(url.startswith("http://localhost:47080/") for url in BUILT_IN_URLS[1:])
    assert len({url.rsplit("/", 1)[1] for url in BUILT_IN_URLS}) == 5


@pytest.mark.parametrize("choice", ["5", "9", "-1"])
def test_other_choices_ask_for_a_url_and_extract_into_their_own_subfolder(folder, choice):
    # The choice's own line end is read as an empty URL first, so the prompt comes twice.
    url = "http://127.0.0.1:47080/custom/package.bin"
    result = folder.run(stdin=f"{choice}\n{url}\n1\n", script=DONE)
    extract = folder.win("QuennetTest", "游戏", choice)
    assert printed_before_summary(result) == console_bytes(
        MENU + URL_PROMPT * 2 + MODE_PROMPT + start_lines(url, extract))
    assert result.events("CreateQuennet")[0][1:4] == [url, folder.download_dir(), extract]


def test_empty_url_lines_ask_again_until_one_is_given(folder):
    result = folder.run(stdin="5\n\n\r\n\nhttp://h/p\n0\n", script=DONE)
    assert printed_before_summary(result).startswith(console_bytes(MENU + URL_PROMPT * 5 +
                                                                  MODE_PROMPT))
    assert result.events("CreateQuennet")[0][1] == "http://h/p"


def test_url_typed_on_the_choice_line_is_taken_as_it_stands(folder):
    # Only the number is extracted; the rest of the line, leading space included, is the URL.
    result = folder.run(stdin="7 http://h/p\n0\n", script=DONE)
    assert printed_before_summary(result).startswith(console_bytes(MENU + URL_PROMPT +
                                                                  MODE_PROMPT))
    assert result.events("CreateQuennet")[0][1] == " http://h/p"


def test_chinese_url_reaches_the_library_unchanged(folder):
    url = "http://127.0.0.1:47080/游戏/安装包.bin"
    result = folder.run(stdin=f"5\n{url}\n0\n", script=DONE)
    assert result.events("CreateQuennet")[0][1] == url
    assert console_bytes(f"URL:{url}, ") in result.stdout


@pytest.mark.parametrize("mode, download", [("0", None), ("1", True), ("2", True),
                                            ("-1", True)])
def test_mode_zero_alone_keeps_the_package_off_disk(folder, mode, download):
    result = folder.run(stdin=f"3\n{mode}\n", script=DONE)
    passed = result.events("CreateQuennet")[0][2]
    assert passed == (folder.download_dir() if download else "(null)")


def test_longest_url_line_is_taken_and_a_longer_one_refused_then_asked_again(folder):
    longest = "http://h/" + "a" * (1023 - 9)
    too_long = longest + "b"
    result = folder.run(stdin=f"5\n{too_long}\n{longest}\n0\n", script=DONE)
    refused = "URL过长（最多1023个字符），请重新输入。\n"
    assert printed_before_summary(result).startswith(console_bytes(
        MENU + URL_PROMPT * 2 + refused + URL_PROMPT + MODE_PROMPT))
    assert result.events("CreateQuennet")[0][1] == longest


def test_overlong_url_as_the_last_input_ends_without_a_task(folder):
    result = folder.run(stdin="5\n" + "x" * 5000, script=DONE)
    ended = "输入已结束，测试未执行。\n"
    refused = "URL过长（最多1023个字符），请重新输入。\n"
    assert result.stdout == console_bytes(MENU + URL_PROMPT * 2 + refused + ended)
    assert result.events("CreateQuennet") == []
    assert result.exit_code == 0


NOT_A_NUMBER = "输入的不是数字，测试未执行。\n"
ENDED = "输入已结束，测试未执行。\n"


@pytest.mark.parametrize("stdin, expected", [
    ("abc\n0\n", MENU + NOT_A_NUMBER),
    ("", MENU + ENDED),
    ("5\n", MENU + URL_PROMPT * 2 + ENDED),
    ("5\n\n\n", MENU + URL_PROMPT * 4 + ENDED),
    ("1\nyes\n", MENU + MODE_PROMPT + NOT_A_NUMBER),
    ("1\n", MENU + MODE_PROMPT + ENDED),
    ("99999999999999999999\n0\n", MENU + NOT_A_NUMBER),
])
def test_unusable_answers_end_the_test_in_order_without_a_task(folder, stdin, expected):
    result = folder.run(stdin=stdin, script=DONE, timeout=20)
    assert result.stdout == console_bytes(expected)
    assert result.events("CreateQuennet") == []
    assert result.names()[-1] == "Unloaded"
    assert result.exit_code == 0


def test_summary_and_pause_follow_the_start_lines(folder):
    result = folder.run(stdin="2\n0\n", script=DONE)
    text = result.stdout.decode("gbk")
    assert text.endswith("毫秒！\r\n下载平均速度：0B/S\r\n" + PAUSE_PROMPT)
