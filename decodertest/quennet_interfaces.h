// The decoder library Quennet.dll as this console calls it: two factory exports and the
// objects they return. The objects are tables of virtual operations whose slot order is fixed by
// the library, so slots the console never calls are kept as placeholders; do not reorder,
// insert or remove any virtual function here.
//
// Every library object is given back through `Release` and never deleted by the console. The
// callback interfaces are implemented by the console; they have no virtual destructor (the
// library never deletes them) and every operation has an empty default body, so an
// implementation ignores the reports it does not override.
#pragma once

#include <windows.h>

#include <cstdint>

struct IQuennet;
struct ISimpleHttpRequest;

// Reports of one streaming download-and-extract task, delivered one at a time.
struct IQuennetCallBack {
  // Slot 0. The first and the last argument carry values the console does not read.
  virtual void OnProgress(std::int32_t /*reserved*/, std::uint64_t /*totalBytes*/,
                          std::uint64_t /*downloadedBytes*/, std::uint64_t /*bytesPerSecond*/,
                          std::uint32_t /*totalFiles*/, std::uint32_t /*extractedFiles*/,
                          std::int32_t /*reserved*/) {}
  // Slot 1. The error code is 0 on success; the text describes a failure.
  virtual void OnComplete(IQuennet* /*task*/, std::int32_t /*errorCode*/,
                          const wchar_t* /*errorText*/) {}
};

// The outcome of a request sent with a callback; runs on the thread that called `Send`.
struct IHttpRequestCallBack {
  // Slot 0.
  virtual void OnRequestComplete(ISimpleHttpRequest* /*request*/) {}
};

// One streaming download-and-extract task.
struct IQuennet {
  virtual void Release() = 0;  // slot 0: gives the object back; it is not touched afterwards
  virtual int Start() = 0;     // slot 1: starts the task; again from OnComplete restarts it
  virtual void Reserved2() = 0;
  virtual void Reserved3() = 0;
  virtual void Reserved4() = 0;
  virtual int Wait() = 0;  // slot 5: returns after the final OnComplete has returned
};

// One HTTP request.
struct ISimpleHttpRequest {
  virtual void Release() = 0;                               // slot 0
  virtual int Send(IHttpRequestCallBack* callBack) = 0;     // slot 1: null blocks until done
  virtual bool IsSuccess() = 0;                             // slot 2
  virtual std::uint32_t GetErrorCode() = 0;                 // slot 3
  virtual const wchar_t* GetErrorText() = 0;                // slot 4: never null
  virtual std::uint32_t GetResponseCode() = 0;              // slot 5
  virtual void Reserved6() = 0;                             // slot 6
  virtual const char* GetResponse(std::int32_t which) = 0;  // slot 7: never null
};

// Export "CreateQuennet". `downloadDir` is null when the package is not to be stored on disk.
// The strings and the callback must stay valid until the task object's Release has returned.
using CreateQuennetFn = IQuennet*(WINAPI*)(const wchar_t* url, const wchar_t* downloadDir,
                                           const wchar_t* extractDir, std::int32_t value5,
                                           std::int32_t value0, IQuennetCallBack* callBack);

// Export "CreateSimpleHttpRequest". `headers` holds complete header lines, each ending in CRLF;
// `body` is `bodyLength` bytes with no terminating NUL.
using CreateSimpleHttpRequestFn = ISimpleHttpRequest*(
    WINAPI*)(const wchar_t* url, const wchar_t* verb, const wchar_t* agent, const wchar_t* headers,
             std::int32_t value10000, const char* body, std::uint32_t bodyLength);

inline constexpr char kCreateQuennetExport[] = "CreateQuennet";
inline constexpr char kCreateSimpleHttpRequestExport[] = "CreateSimpleHttpRequest";
