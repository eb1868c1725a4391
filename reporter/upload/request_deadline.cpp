#include "upload/request_deadline.h"

#include <algorithm>

namespace orlent::upload {

RequestDeadline::RequestDeadline(HINTERNET request, int64_t ms)
    : handle_(request), done_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  const DWORD wait = static_cast<DWORD>(std::clamp<int64_t>(ms, 0, 24 * 3600 * 1000));
  // Without an event to stop it the watch could not be ended early: the request then runs
  // without a deadline of its own, as before, bounded by WinHTTP's time-outs.
  if (done_)
    watch_ = std::thread([this, wait] {
      if (::WaitForSingleObject(done_.get(), wait) == WAIT_TIMEOUT) Close(true);
    });
}

RequestDeadline::~RequestDeadline() {
  if (watch_.joinable()) {
    ::SetEvent(done_.get());
    watch_.join();
  }
  Close(false);
}

bool RequestDeadline::expired() {
  std::lock_guard<std::mutex> guard(lock_);
  return expired_;
}

void RequestDeadline::Close(bool atDeadline) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!open_) return;
  open_ = false;
  expired_ = atDeadline;
  ::WinHttpCloseHandle(handle_);
}

}  // namespace orlent::upload
