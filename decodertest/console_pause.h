// Waiting for the operator's key.
#pragma once

// Runs the command interpreter's "pause". Everything written so far is flushed first: the
// interpreter writes its prompt straight to the console handle, and text still held in our
// stream buffers would otherwise reach a redirected output after the prompt.
void PauseForKey();
