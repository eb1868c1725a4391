// Tests of the decoder library's simple HTTP request: one fixed JSON POST to the
// upgrade-strategy service, with the outcome printed on the console. The entry point does not
// call them; they are run from test programs.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// Sends with a callback object and runs this thread's message loop until the callback has
// printed the outcome, waited for a key and posted the quit message.
void TestHttpRequestAsync(HINSTANCE hLibrary);

// Sends without a callback (the send returns when the request has ended) and prints the outcome.
void TestHttpRequestSync(HINSTANCE hLibrary);

// The fixed request, the same for every send.
extern const std::wstring kUpgradeRequestUrl;
extern const std::wstring kUpgradeRequestHeaders;
extern const std::string kUpgradeRequestBody;
