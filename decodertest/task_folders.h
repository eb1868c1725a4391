// The two folders a stream decode task works in, beside the running executable.
#pragma once

#include <windows.h>

// Download folder: "QuennetTest\游戏" in the folder of `modulePath` (the executable's full
// path). Extract folder: the download folder's subfolder named by `urlIndex` in decimal.
// Returns false, with both buffers emptied, when either path does not fit in MAX_PATH units:
// the library must never be handed a path cut short.
bool BuildTaskFolders(const wchar_t* modulePath, int urlIndex, wchar_t (&downloadDir)[MAX_PATH],
                      wchar_t (&extractDir)[MAX_PATH]);

// The executable's full path; false when it does not fit in MAX_PATH units.
bool GetExecutablePath(wchar_t (&path)[MAX_PATH]);
