// The double's streaming task: each Start plays the next run of the script's reports on a
// worker thread, one report at a time, and Wait returns when no restart is pending after the
// last OnComplete has returned.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "double_script.h"
#include "quennet.h"
#include "win/unique_handle.h"

namespace quennet_double {

class DoubleTask final : public IQuennet {
 public:
  DoubleTask(std::vector<TaskStep> steps, IQuennetCallBack* callBack);

  void Release() override;
  int Start() override;
  void Reserved2() override {}
  void Reserved3() override {}
  void Reserved4() override {}
  int Wait() override;

 private:
  ~DoubleTask() = default;
  static DWORD WINAPI WorkerMain(void* self);
  void PlayRuns();
  void PlayOneRun();
  bool CallBackLooksAlive() const;

  const std::vector<TaskStep> steps_;
  size_t nextStep_ = 0;
  IQuennetCallBack* const callBack_;
  // The callback's table pointer as given: once the object is deleted the heap reuses those
  // bytes, so a changed value means the console deleted it too early.
  void* const callBackTable_;

  std::mutex mutex_;
  int pendingStarts_ = 0;
  int startCount_ = 0;
  bool workerRunning_ = false;
  win::UniqueKernelHandle worker_;
};

}  // namespace quennet_double
