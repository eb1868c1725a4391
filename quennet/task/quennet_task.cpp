#include "task/quennet_task.h"

#include "net/url.h"
#include "task/package_fetcher.h"
#include "task/package_sink.h"
#include "task/progress_meter.h"
#include "win/error_text.h"

namespace quennet {
namespace {

// Memory between the two threads; enough to ride out a slow write without stopping the
// network, small enough for a 32-bit host.
constexpr std::size_t kPipeCapacity = 16 * 1024 * 1024;
constexpr std::size_t kConsumePiece = 1024 * 1024;

std::uint64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return 0;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

QuennetTask::QuennetTask(const TaskArguments& arguments) : arguments_(arguments) {
  if (arguments.url != nullptr) url_ = arguments.url;
  if (arguments.downloadDir != nullptr) downloadDir_ = arguments.downloadDir;
  if (arguments.extractDir != nullptr) extractDir_ = arguments.extractDir;
  if (arguments_.attempts < 1) arguments_.attempts = 1;
}

int QuennetTask::Start() {
  LockGuard guard(lock_);
  if (cancelRequested_) return 0;
  if (state_ == State::kReporting && controller_.IsCurrent()) {
    restartRequested_ = true;
    return 1;
  }
  if (state_ != State::kIdle) return 0;
  // The previous run's thread has nothing left to do once the state is idle.
  controller_.Join();
  state_ = State::kRunning;
  if (!controller_.Start([this] { RunController(); })) {
    state_ = State::kIdle;
    lastCode_ = QUENNET_E_INTERNAL;
    return 0;
  }
  return 1;
}

int QuennetTask::Wait() {
  LockGuard guard(lock_);
  // From inside a report the task cannot end before the wait would: answer at once.
  if (controller_.IsCurrent()) return lastCode_;
  while (state_ != State::kIdle) idle_.Wait(lock_);
  return lastCode_;
}

void QuennetTask::Release() {
  {
    LockGuard guard(lock_);
    cancelRequested_ = true;
    if (pipe_ != nullptr) pipe_->Cancel();
    if (canceller_ != nullptr) canceller_->Cancel();
    if (controller_.IsCurrent()) {
      // Called from inside OnComplete: the thread gives the object back when it unwinds.
      releaseWhenIdle_ = true;
      return;
    }
  }
  controller_.Join();
  delete this;
}

void QuennetTask::RunController() {
  for (;;) {
    Result result = RunAttempt();
    {
      LockGuard guard(lock_);
      state_ = State::kReporting;
      restartRequested_ = false;
    }
    if (arguments_.callBack != nullptr)
      arguments_.callBack->OnComplete(this, result.code, result.text.c_str());
    LockGuard guard(lock_);
    lastCode_ = result.code;
    if (restartRequested_ && !cancelRequested_) {
      state_ = State::kRunning;
      continue;
    }
    state_ = State::kIdle;
    idle_.NotifyAll();
    if (releaseWhenIdle_) break;
    return;
  }
  delete this;
}

QuennetTask::Result QuennetTask::CheckArguments() const {
  const bool downloadOnly = (arguments_.flags & QUENNET_FLAG_DOWNLOAD_ONLY) != 0;
  if (arguments_.url == nullptr)
    return {QUENNET_E_BAD_ARGUMENT, L"参数错误：包的网址为空"};
  if (!downloadOnly && arguments_.extractDir == nullptr)
    return {QUENNET_E_BAD_ARGUMENT, L"参数错误：解压文件夹为空"};
  if (downloadOnly && (arguments_.downloadDir == nullptr || downloadDir_.empty()))
    return {QUENNET_E_BAD_ARGUMENT, L"参数错误：只下载时必须给出下载文件夹"};
  if (!downloadOnly && extractDir_.empty())
    return {QUENNET_E_BAD_ARGUMENT, L"参数错误：解压文件夹为空"};
  Url url;
  if (!ParseUrl(url_, &url))
    return {QUENNET_E_BAD_URL, L"网址无法识别或不是 http/https 网址：" + url_};
  if (arguments_.callBack == nullptr)
    return {QUENNET_E_BAD_ARGUMENT, L"参数错误：回调对象为空"};
  return {};
}

bool QuennetTask::RegisterAttempt(BytePipe* pipe, RequestCanceller* canceller) {
  LockGuard guard(lock_);
  pipe_ = pipe;
  canceller_ = canceller;
  if (cancelRequested_ && pipe != nullptr) pipe->Cancel();
  if (cancelRequested_ && canceller != nullptr) canceller->Cancel();
  return !cancelRequested_;
}

void QuennetTask::Report(std::uint64_t total, std::uint64_t downloaded, std::uint64_t speed,
                         std::uint32_t files, std::uint32_t extracted) {
  if (arguments_.callBack != nullptr)
    arguments_.callBack->OnProgress(0, total, downloaded, speed, files, extracted, 0);
}

QuennetTask::Result QuennetTask::RunAttempt() {
  Result checked = CheckArguments();
  if (checked.code != 0) return checked;

  Url url;
  ParseUrl(url_, &url);
  const bool extract = (arguments_.flags & QUENNET_FLAG_DOWNLOAD_ONLY) == 0;
  KeptPaths kept = KeptPathsFor(arguments_.downloadDir, url);
  const std::wstring recordPath = kept.folder.empty() ? std::wstring() : ResumeRecordPath(kept.partial);
  // A kept partial file can be continued only when the server can tell whether it changed,
  // and only when it is known to hold the start of this URL's package.
  ResumePoint point;
  std::uint64_t resumeFrom = 0;
  if (!recordPath.empty() && ReadResumeRecord(recordPath, &point) && point.url == url_) {
    resumeFrom = FileSize(kept.partial);
    if (resumeFrom > point.size) resumeFrom = 0;
  }
  if (resumeFrom == 0) {
    point = ResumePoint();
    if (!recordPath.empty()) RemoveResumeRecord(recordPath);
    knownFiles_ = 0;
  } else if (point.files != 0) {
    knownFiles_ = point.files;
  }
  resume_ = point;

  PackageSink sink(kept, extractDir_, extract);
  BytePipe pipe(kPipeCapacity);
  RequestCanceller canceller;
  if (!RegisterAttempt(&pipe, &canceller)) return {QUENNET_E_CANCELLED, L"任务已取消：" + url_};

  Result result;
  Outcome prepared = sink.Prepare(resumeFrom);
  if (!prepared.ok()) {
    sink.Fail(prepared);
    RegisterAttempt(nullptr, nullptr);
    return {prepared.code, prepared.text};
  }

  FetchPlan plan;
  plan.url = url;
  plan.attempts = arguments_.attempts;
  plan.resumeFrom = resumeFrom;
  plan.validator = point.validator;
  plan.knownSize = point.size;
  plan.tailReader = resumeFrom == 0 ? sink.Extractor() : nullptr;
  plan.canceller = &canceller;
  PackageFetcher fetcher(plan, pipe);
  WorkerThread network;
  if (!network.Start([&fetcher] { fetcher.Run(); })) {
    RegisterAttempt(nullptr, nullptr);
    return {QUENNET_E_INTERNAL, L"无法启动下载线程（" + win::CallFailed(L"CreateThread") + L"）"};
  }

  // The record follows what the network thread learnt, once the kept bytes are of the package
  // it describes (the consumer has passed the same number of start-overs).
  unsigned startOversSeen = 0;
  auto keepRecord = [&] {
    if (recordPath.empty()) return;
    const ResumableFacts facts = fetcher.Resumable();
    if (!facts.valid || facts.startOvers != startOversSeen) return;
    ResumePoint wanted;
    wanted.url = url_;
    wanted.validator = facts.validator;
    wanted.size = facts.size;
    wanted.files = knownFiles_;
    if (wanted != resume_ && WriteResumeRecord(recordPath, wanted)) resume_ = wanted;
  };
  auto totalFiles = [&] {
    const std::uint32_t counted = sink.TotalFiles();
    if (counted != 0) knownFiles_ = counted;
    return knownFiles_;
  };

  // What the reports count: while kept bytes are re-read, how far that reading has come; then
  // the package bytes the network has handed over. The speed is that count's own rate.
  ProgressMeter meter;
  meter.Begin(::GetTickCount64());
  bool refeeding = resumeFrom > 0;
  std::uint64_t refed = 0;
  auto reportIfDue = [&] {
    const std::uint64_t counted = refeeding ? refed : fetcher.Position();
    if (!meter.Due(counted, ::GetTickCount64())) return;
    // Nothing is known before the server's first answer; a report of 0 of 0 bytes would read as
    // a finished download to a caller that compares the two (the console dates its average
    // speed from that moment).
    if (fetcher.Total() == 0 && meter.Downloaded() == 0) return;
    Report(fetcher.Total(), meter.Downloaded(), meter.Speed(), totalFiles(), sink.ExtractedFiles());
  };

  Outcome outcome;
  bool done = false;
  if (resumeFrom > 0) {
    outcome = sink.Refeed(resumeFrom, [&](std::uint64_t offset) {
      refed = offset;
      reportIfDue();
      return !pipe.Cancelled();
    });
    refed = resumeFrom;
    refeeding = false;
    if (!outcome.ok()) done = true;
  }
  while (!done) {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    switch (pipe.Next(static_cast<DWORD>(ProgressMeter::kIntervalMs), &data, &size)) {
      case BytePipe::Event::kData:
        size = std::min(size, kConsumePiece);
        outcome = sink.Write(data, size);
        pipe.Consumed(size);
        done = !outcome.ok();
        break;
      case BytePipe::Event::kStartOver:
        ++startOversSeen;
        knownFiles_ = 0;  // another package, or the same one counted again from its start
        outcome = sink.StartOver();
        done = !outcome.ok();
        break;
      case BytePipe::Event::kEnd:
        outcome = pipe.EndOutcome();
        if (outcome.ok()) outcome = sink.Complete(fetcher.Facts());
        done = true;
        break;
      case BytePipe::Event::kCancelled:
        outcome = Outcome::Fail(QUENNET_E_CANCELLED, L"任务已取消：" + url_);
        done = true;
        break;
      case BytePipe::Event::kTimeout:
        break;
    }
    if (!done) keepRecord();
    reportIfDue();
  }
  // Whatever ended the attempt, the network thread stops with it.
  pipe.Cancel();
  network.Join();
  RegisterAttempt(nullptr, nullptr);
  if (!outcome.ok()) sink.Fail(outcome);

  if (!recordPath.empty()) {
    const ResumableFacts facts = fetcher.Resumable();
    const bool partialKept = !outcome.ok() &&
                             ::GetFileAttributesW(kept.partial.c_str()) != INVALID_FILE_ATTRIBUTES;
    totalFiles();
    if (!partialKept || (facts.known && !facts.valid))
      RemoveResumeRecord(recordPath);
    else
      keepRecord();  // with the file count, when it became known
  }

  meter.Due(fetcher.Position(), ::GetTickCount64());
  Report(fetcher.Total(), meter.Downloaded(), meter.Speed(), totalFiles(), sink.ExtractedFiles());
  result.code = outcome.code;
  result.text = outcome.ok() ? L"完成：" + url_ : outcome.text;
  return result;
}

}  // namespace quennet
