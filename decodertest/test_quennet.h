// The console's stream decode test: the operator picks a package and an extraction mode, and
// one streaming download-and-extract task runs through the decoder library.
#pragma once

#include <windows.h>

// Holds the dialogue, runs the task and returns once it has ended for good. `hLibrary` is the
// loaded decoder library; it is only used to find the factory and is not freed here.
void TestQuennet(HINSTANCE hLibrary);
