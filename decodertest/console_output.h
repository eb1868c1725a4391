// Where the console's wide text goes when standard output is a real console.
#pragma once

// When standard output is a console, makes std::wcout write through WriteConsoleW, so that the
// Chinese text is shown whatever the console's code page. On a pipe or a file nothing changes:
// the stream keeps writing the locale's code page (GBK under "chs") byte for byte as before.
void ShowWideOutputOnConsole();
