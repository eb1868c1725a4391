#include "sync/win_sync.h"

namespace quennet {

bool WorkerThread::Start(std::function<void()> body) {
  Join();
  body_ = std::move(body);
  DWORD id = 0;
  HANDLE thread = ::CreateThread(nullptr, 0, &WorkerThread::Entry, this, 0, &id);
  if (thread == nullptr) return false;
  handle_.reset(thread);
  id_ = id;
  return true;
}

void WorkerThread::Join() {
  if (!handle_.valid()) return;
  // A thread cannot wait for itself; its owner joins it later.
  if (IsCurrent()) return;
  ::WaitForSingleObject(handle_.get(), INFINITE);
  handle_.reset();
  id_ = 0;
  body_ = nullptr;
}

DWORD WINAPI WorkerThread::Entry(void* self) {
  static_cast<WorkerThread*>(self)->body_();
  return 0;
}

}  // namespace quennet
