// An overall deadline for one WinHTTP request. WinHTTP's own time-outs bound each wait for the
// network, so a collector that sends a byte now and then (a trickle of one a second) renews
// them at every byte and holds a synchronous call for as long as it likes. A thread of this
// owner's closes the request handle when the deadline comes, which is WinHTTP's way to end a
// synchronous call that is waiting on the network from another thread.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <mutex>
#include <thread>

#include "win/unique_handle.h"

namespace orlent::upload {

class RequestDeadline {
 public:
  // Owns `request` from now on and closes it after `ms`, or when destroyed.
  RequestDeadline(HINTERNET request, int64_t ms);
  ~RequestDeadline();
  RequestDeadline(const RequestDeadline&) = delete;
  RequestDeadline& operator=(const RequestDeadline&) = delete;

  // The request, for the calls made on it; after the deadline those fail (an invalid handle).
  HINTERNET get() const { return handle_; }
  // The deadline came and closed the request.
  bool expired();

 private:
  void Close(bool atDeadline);

  const HINTERNET handle_;  // the value only: whether it is still open is open_'s
  std::mutex lock_;
  bool open_ = true;
  bool expired_ = false;
  win::UniqueKernelHandle done_;
  std::thread watch_;
};

}  // namespace orlent::upload
