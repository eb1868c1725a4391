// Quennet.dll: streams a package (ZIP or tar.gz) over HTTP or HTTPS and extracts it while the
// bytes arrive, and sends simple HTTP requests.
//
// A caller loads the DLL, resolves the two factory exports by name and talks to the objects they
// return. The objects are tables of virtual operations whose slot order is fixed, so slots
// nobody calls are kept as placeholders; do not reorder, insert or remove any virtual function
// here.
//
// Every library object is given back through `Release` and never deleted by the caller. The
// callback interfaces are implemented by the caller; they have no virtual destructor (the
// library never deletes them) and every operation has an empty default body, so an
// implementation ignores the reports it does not override.
#pragma once

#include <windows.h>

#include <cstdint>

struct IQuennet;
struct ISimpleHttpRequest;

// Reports of one streaming download-and-extract task, delivered one at a time on a thread of
// the library (never two at once).
struct IQuennetCallBack {
  // Slot 0. At most about ten times a second (none before the server's first answer, or before
  // kept bytes are re-read), and once more right before OnComplete. `downloadedBytes` counts
  // package bytes only (never the small requests for the archive's index) and never goes
  // backwards within one attempt; a run that resumes a kept package counts its kept bytes
  // again as it re-reads them from the disk, then the new bytes as they arrive.
  // `bytesPerSecond` is always the rate at which `downloadedBytes` grew over the last few
  // seconds (so the disk's speed while kept bytes are re-read, 0 while nothing is counted);
  // `totalBytes` is 0 while the size is unknown (also while a compressed answer is decoded,
  // until its end); `totalFiles` is 0 until the number of entries is known, and a resumed run
  // shows the number an earlier run learnt. The first and the last argument are reserved (0).
  virtual void OnProgress(std::int32_t /*reserved*/, std::uint64_t /*totalBytes*/,
                          std::uint64_t /*downloadedBytes*/, std::uint64_t /*bytesPerSecond*/,
                          std::uint32_t /*totalFiles*/, std::uint32_t /*extractedFiles*/,
                          std::int32_t /*reserved*/) {}
  // Slot 1. Once per Start. `errorCode` is 0 on success, otherwise one of QuennetError below;
  // `errorText` is a Chinese sentence for people, never null. Calling task->Start() from here
  // starts the task again once this call has returned, reporting to the same callback
  // (resuming the download where a kept package file allows it). Wait called from here returns
  // at once with the previous run's code.
  virtual void OnComplete(IQuennet* /*task*/, std::int32_t /*errorCode*/,
                          const wchar_t* /*errorText*/) {}
};

// The outcome of a request sent with a callback; runs on the thread that called `Send`, from
// that thread's message loop.
struct IHttpRequestCallBack {
  // Slot 0.
  virtual void OnRequestComplete(ISimpleHttpRequest* /*request*/) {}
};

// One streaming download-and-extract task.
struct IQuennet {
  // Slot 0: cancels a running task (its OnComplete reports QUENNET_E_CANCELLED unless it had
  // already finished), waits for the library's threads to end and gives the object back. When
  // it returns, nothing of the task runs any more and no callback is in flight. A network read
  // in progress is ended by closing its request; Wine 8 lets that read finish first, so there
  // Release can take up to the stall timeout (10 s) while a server sends nothing. Called from
  // inside OnComplete, Release returns at once and the object is given back when OnComplete
  // has returned; a host that unloads the DLL calls Release from outside the callbacks.
  virtual void Release() = 0;
  // Slot 1: starts the task; returns at once. From inside OnComplete it starts it again.
  // Returns 1 when the task was started, 0 when it was already running (or Release began).
  // Arguments that cannot work (see CreateQuennet) are reported by the run they start, with
  // one OnComplete carrying their code.
  virtual int Start() = 0;
  virtual void Reserved2() = 0;
  virtual void Reserved3() = 0;
  virtual void Reserved4() = 0;
  // Slot 5: blocks until the task has ended for good: the last OnComplete has returned without
  // starting the task again. Returns that OnComplete's error code.
  virtual int Wait() = 0;
};

// One HTTP request.
struct ISimpleHttpRequest {
  // Slot 0: waits for a request in flight (at most its timeouts), then gives it back. A
  // completion not yet delivered is dropped. Call it on the thread that sent the request: from
  // another thread it needs the sending thread to read its messages (or to have ended).
  virtual void Release() = 0;
  // Slot 1: with null, blocks until the request has ended. With a callback, returns at once and
  // calls OnRequestComplete exactly once on this thread, from its message loop. Returns 1 when
  // the request was sent, 0 when one is already under way.
  virtual int Send(IHttpRequestCallBack* callBack) = 0;
  // Slot 2: true when a complete response with a 2xx status arrived.
  virtual bool IsSuccess() = 0;
  // Slot 3: 0 on success; otherwise the system's (WinHTTP) error code of the failed step, or
  // the HTTP status when the server answered with a status other than 2xx.
  virtual std::uint32_t GetErrorCode() = 0;
  virtual const wchar_t* GetErrorText() = 0;     // slot 4: never null; empty on success
  virtual std::uint32_t GetResponseCode() = 0;   // slot 5: the HTTP status, 0 without one
  virtual void Reserved6() = 0;                  // slot 6
  // Slot 7: never null. QUENNET_RESPONSE_BODY (0) gives the response body as received (bytes
  // up to the first NUL); QUENNET_RESPONSE_HEADERS (1) gives the raw response headers. Any other
  // value gives "". The text stays valid until the next Send or Release.
  virtual const char* GetResponse(std::int32_t part) = 0;
};

enum QuennetFlags {
  // Keep the package in downloadDir and extract nothing (downloadDir must not be null).
  QUENNET_FLAG_DOWNLOAD_ONLY = 1
};

enum QuennetResponsePart { QUENNET_RESPONSE_BODY = 0, QUENNET_RESPONSE_HEADERS = 1 };

// Error codes reported by OnComplete. Each failure has its own code and a Chinese text that
// names the detail (the URL, the HTTP status, the offending entry name ...).
enum QuennetError {
  QUENNET_OK = 0,
  QUENNET_E_BAD_ARGUMENT = 1,        // null URL, extract folder or callback (see CreateQuennet)
  QUENNET_E_BAD_URL = 2,             // the URL does not parse, or is not http/https
  QUENNET_E_UNREACHABLE = 3,         // the host name does not resolve or refuses the connection
  QUENNET_E_TLS = 4,                 // TLS or certificate failure (checks are never switched off)
  QUENNET_E_HTTP_STATUS = 5,         // the server answered with an error status
  QUENNET_E_CONNECTION_DROPPED = 6,  // the connection ended before the package did
  QUENNET_E_STALLED = 7,             // no byte arrived within the timeout
  QUENNET_E_DISK_FULL = 8,           // no space left for the package or its files
  QUENNET_E_WRITE_FAILED = 9,        // a folder or file could not be created or written
  QUENNET_E_CORRUPT_ARCHIVE = 10,    // the archive's structure is damaged or inconsistent
  QUENNET_E_CHECKSUM = 11,           // an entry's CRC-32 or the package's SHA-256 is wrong (below)
  QUENNET_E_REFUSED_ENTRY = 12,      // an entry name or kind that is unsafe to extract
  QUENNET_E_UNSUPPORTED_FORMAT = 13, // neither ZIP nor tar.gz, or a ZIP feature not supported
  QUENNET_E_NOT_STREAMABLE = 14,     // a stored entry with a data descriptor and no kept file
  QUENNET_E_CANCELLED = 15,          // Release was called while the task ran
  QUENNET_E_INSECURE_REDIRECT = 16,  // a redirect from https to http
  QUENNET_E_INTERNAL = 17            // out of memory or a system call that should not fail
};

// Export "CreateQuennet".
//   url          http:// or https:// URL of the package.
//   downloadDir  folder in which the package file is also kept, byte-identical (created as
//                needed); null to extract without keeping it. A kept file lets Start resume.
//                The file is named after the URL's last path segment (made safe for Windows),
//                written as NAME.part and renamed to NAME when the package is complete. A
//                .part file left by a failure, or by a process that ended, is continued by the
//                next Start of a task with the same URL and folder, in this process or another
//                (Range: bytes=N- with If-Range: the server's strong ETag, else
//                Last-Modified); if the package changed meanwhile the server sends it whole and
//                the task starts over. What that needs is kept beside it in NAME.resume, UTF-8
//                lines "Quennet resume 1", "url=", "size=", "validator=", "files=" (written
//                as the body begins, removed when the package completes or its bytes are given
//                up); a record that does not read back, names another URL or is shorter than
//                the .part file makes the task start over. A failure that shows the bytes are
//                bad (checksum, corrupt archive) deletes the .part file.
//   extractDir   folder the package is extracted into (created as needed).
//   attempts     how many times each network step (the tail, a range, the body) is tried
//                before the task fails; only transient failures are tried again: a dropped or
//                stalled connection, an unreachable server, a 5xx status. The pauses double and
//                are spread so that the last try starts about 60 s after the server was lost
//                (with 5: 4, 8, 16 and 32 s; time a failing try takes comes off them); a try
//                that moved the download forward starts that minute again. The body resumes
//                where the connection dropped when the server serves ranges. The console
//                passes 5; values below 1 count as 1.
//   flags        option bits (QuennetFlags); the console passes 0: download and extract.
//   callBack     receives the reports. Null gives a task that reports nothing: its Start ends
//                at once and Wait returns QUENNET_E_BAD_ARGUMENT.
// The strings and the callback must stay valid until the task object's Release has returned.
//
// Unusable arguments give a task whose Start reports exactly one OnComplete with their code:
// QUENNET_E_BAD_ARGUMENT for a null url or extractDir (extractDir may be null with
// QUENNET_FLAG_DOWNLOAD_ONLY, which needs downloadDir instead), QUENNET_E_BAD_URL for a URL
// that does not parse or is not http/https.
//
// The network: WinHTTP with the system's proxy settings, certificate checks always on,
// redirects followed (at most 10) but never from https to http (QUENNET_E_INSECURE_REDIRECT)
// nor to any scheme but http and https (QUENNET_E_BAD_URL, not tried again). Every request
// says Accept-Encoding: identity. A server that compresses anyway with gzip (or x-gzip) is
// decoded, the kept file holding the package itself; such an answer cannot be resumed or
// fetched in ranges, so a retry starts it over. Any other Content-Encoding fails the task
// with QUENNET_E_UNSUPPORTED_FORMAT and a text naming it. A body longer than 1 GiB is fetched
// as ranges of 1 GiB (If-Range with the validator) when the server serves them, because
// Wine's WinHTTP ends every response body at 2147483647 bytes without an error; without
// ranges a body cut there fails at once with QUENNET_E_CONNECTION_DROPPED and a text saying so.
// When the server serves ranges, a first small request for the package's tail gives its size
// and the archive's index before the body is fetched (If-Range keeps the two consistent).
// No byte for 10 s fails the step as QUENNET_E_STALLED. (The environment variables
// QUENNET_TEST_STALL_TIMEOUT_MS and QUENNET_TEST_RETRY_BUDGET_MS, each read once when the
// first download starts, shorten that limit and the 60 s retry budget for the library's own
// tests; they are not settings for products.)
//
// The package's SHA-256 is checked when the server announces it, either as
// `X-Checksum-SHA256: <64 hex digits>` or, when that header is absent, as
// `Digest: sha-256=<base64>` (RFC 3230). A mismatch fails the task with QUENNET_E_CHECKSUM
// and no kept file; entries already extracted stay, since each passed its own CRC-32 check.
using CreateQuennetFn = IQuennet*(WINAPI*)(const wchar_t* url, const wchar_t* downloadDir,
                                           const wchar_t* extractDir, std::int32_t attempts,
                                           std::int32_t flags, IQuennetCallBack* callBack);

// Export "CreateSimpleHttpRequest".
//   headers      complete extra header lines, each ending in CRLF (may be null or empty).
//   timeoutMs    limit for each step of the request in milliseconds (the console passes 10000;
//                0 or less means 30000).
// The request honours the system's proxy settings and checks certificates; redirects are
// followed but never from https to http. A failure before a status arrived gives the WinHTTP
// error code (ERROR_WINHTTP_TIMEOUT, ERROR_WINHTTP_CANNOT_CONNECT ...) and a Chinese text
// naming the URL and the system's message.
//   body         `bodyLength` bytes, no terminating NUL needed (may be null when 0).
// The strings must stay valid until the request object's Release has returned.
using CreateSimpleHttpRequestFn = ISimpleHttpRequest*(
    WINAPI*)(const wchar_t* url, const wchar_t* verb, const wchar_t* agent, const wchar_t* headers,
             std::int32_t timeoutMs, const char* body, std::uint32_t bodyLength);

inline constexpr char kCreateQuennetExport[] = "CreateQuennet";
inline constexpr char kCreateSimpleHttpRequestExport[] = "CreateSimpleHttpRequest";
