// IQuennet: one streaming download-and-extract task, its lifecycle and its reports.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "quennet.h"
#include "sync/win_sync.h"
#include "net/request_canceller.h"
#include "task/byte_pipe.h"
#include "task/resume_record.h"

namespace quennet {

struct TaskArguments {
  const wchar_t* url = nullptr;
  const wchar_t* downloadDir = nullptr;
  const wchar_t* extractDir = nullptr;
  int attempts = 1;
  int flags = 0;
  IQuennetCallBack* callBack = nullptr;
};

class QuennetTask final : public IQuennet {
 public:
  explicit QuennetTask(const TaskArguments& arguments);

  void Release() override;
  int Start() override;
  void Reserved2() override {}
  void Reserved3() override {}
  void Reserved4() override {}
  int Wait() override;

 private:
  enum class State { kIdle, kRunning, kReporting };
  struct Result {
    int code = 0;
    std::wstring text;
  };

  ~QuennetTask() = default;
  void RunController();
  Result RunAttempt();
  Result CheckArguments() const;
  // Makes the running attempt cancellable by Release; false when cancelled already.
  bool RegisterAttempt(BytePipe* pipe, RequestCanceller* canceller);
  void Report(std::uint64_t total, std::uint64_t downloaded, std::uint64_t speed,
              std::uint32_t files, std::uint32_t extracted);

  TaskArguments arguments_;
  // Copies, so that texts built from them stay sound whatever the caller does.
  std::wstring url_, downloadDir_, extractDir_;

  SrwLock lock_;
  ConditionVariable idle_;
  State state_ = State::kIdle;
  bool restartRequested_ = false;
  bool cancelRequested_ = false;
  bool releaseWhenIdle_ = false;
  int lastCode_ = 0;
  BytePipe* pipe_ = nullptr;  // the running attempt's, for cancellation
  RequestCanceller* canceller_ = nullptr;

  WorkerThread controller_;
  // Touched only by the controller thread. Without a kept folder nothing can be resumed; with
  // one, the record beside the partial file is the resume point (so that another process can
  // continue too) and this copy only what was last written.
  ResumePoint resume_;
  // The number of files in the package as first reported, shown while a resumed run's
  // extractor has not counted them yet; 0 while unknown.
  std::uint32_t knownFiles_ = 0;
};

}  // namespace quennet
