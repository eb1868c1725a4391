#include "double_task.h"

#include "double_files.h"

namespace quennet_double {
namespace {

// Values in the reports' unused arguments, which the console must ignore.
constexpr std::int32_t kNoise1 = 0x5A5A5A5A;
constexpr std::int32_t kNoise2 = -1;

}  // namespace

DoubleTask::DoubleTask(std::vector<TaskStep> steps, IQuennetCallBack* callBack)
    : steps_(std::move(steps)),
      callBack_(callBack),
      callBackTable_(callBack != nullptr ? *reinterpret_cast<void* const*>(callBack) : nullptr) {}

bool DoubleTask::CallBackLooksAlive() const {
  return callBack_ != nullptr && *reinterpret_cast<void* const*>(callBack_) == callBackTable_;
}

void DoubleTask::Release() {
  Record({"Release", CallBackLooksAlive() ? "callback alive" : "callback gone"});
  if (worker_) ::WaitForSingleObject(worker_.get(), INFINITE);
  delete this;
}

int DoubleTask::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++startCount_;
  Record({"Start", std::to_string(startCount_)});
  ++pendingStarts_;
  if (!workerRunning_) {
    // A worker that has finished its runs may still be on its way out.
    if (worker_) ::WaitForSingleObject(worker_.get(), INFINITE);
    worker_.reset(::CreateThread(nullptr, 0, &DoubleTask::WorkerMain, this, 0, nullptr));
    workerRunning_ = worker_.valid();
  }
  return 1;
}

int DoubleTask::Wait() {
  HANDLE worker = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    worker = worker_.get();
  }
  if (worker != nullptr) ::WaitForSingleObject(worker, INFINITE);
  Record({"Wait returned"});
  return 1;
}

DWORD WINAPI DoubleTask::WorkerMain(void* self) {
  static_cast<DoubleTask*>(self)->PlayRuns();
  return 0;
}

void DoubleTask::PlayRuns() {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (pendingStarts_ == 0) {
        workerRunning_ = false;
        return;
      }
      --pendingStarts_;
    }
    PlayOneRun();
  }
}

void DoubleTask::PlayOneRun() {
  while (nextStep_ < steps_.size()) {
    const TaskStep& step = steps_[nextStep_++];
    switch (step.kind) {
      case TaskStep::Kind::kSleep:
        ::Sleep(step.sleepMs);
        break;
      case TaskStep::Kind::kWaitForFile: {
        const std::wstring path = BesideModule(step.fileName.c_str());
        for (int waited = 0; waited < 10000; waited += 20) {
          if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) break;
          ::Sleep(20);
        }
        break;
      }
      case TaskStep::Kind::kProgress:
        callBack_->OnProgress(kNoise1, step.totalBytes, step.downloadedBytes, step.bytesPerSecond,
                              step.totalFiles, step.extractedFiles, kNoise2);
        break;
      case TaskStep::Kind::kComplete: {
        callBack_->OnComplete(this, step.errorCode,
                              step.nullErrorText ? nullptr : step.errorText.c_str());
        MSG msg;
        const bool quitPosted = ::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
        Record({"OnComplete returned", quitPosted ? "quit posted" : "no quit"});
        return;
      }
    }
  }
  Record({"script exhausted"});
}

}  // namespace quennet_double
