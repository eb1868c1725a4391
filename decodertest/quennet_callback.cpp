#include "quennet_callback.h"

#include <iostream>

#include "console_pause.h"
#include "format_speed.h"

CQuennetCallBack::CQuennetCallBack() : startTick(::GetTickCount()) {}

void CQuennetCallBack::OnProgress(std::int32_t, std::uint64_t totalBytes,
                                  std::uint64_t downloadedBytes, std::uint64_t bytesPerSecond,
                                  std::uint32_t totalFiles, std::uint32_t extractedFiles,
                                  std::int32_t) {
  // What this run has to download: a resumed download counts only the bytes still missing at
  // its first report. A report that shows nothing missing leaves it to the next one.
  if (bytesThisRun == 0) bytesThisRun = totalBytes - downloadedBytes;

  const std::uint32_t filePercent = totalFiles > 0 ? extractedFiles * 100 / totalFiles : 0;
  // An empty package has nothing to show as done, like the file count.
  const std::uint64_t bytePercent = totalBytes > 0 ? downloadedBytes * 100 / totalBytes : 0;

  std::wcout << L"\r下载字节数:" << downloadedBytes << L"/" << totalBytes << L"["
             << FormatSpeed(bytesPerSecond) << L"][" << bytePercent << L"%]" << L", 解压文件数："
             << extractedFiles << L"/" << totalFiles << L"[" << filePercent << L"%]......";
  // The line has no end, and a redirected stream is fully buffered: without the flush the
  // operator would not see it move.
  std::wcout.flush();

  if (downloadedBytes == totalBytes && downloadDoneTick == 0) downloadDoneTick = ::GetTickCount();
}

void CQuennetCallBack::OnComplete(IQuennet* task, std::int32_t errorCode,
                                  const wchar_t* errorText) {
  std::wcout << std::endl;
  if (errorCode == 0) {
    std::wcout << L"解压成功！" << std::endl;
  } else {
    std::wcout << L"解压失败！" << std::endl;
    std::wcout << (errorText != nullptr ? errorText : L"") << std::endl;
    ++retryCount;
    if (retryCount <= 1) {
      std::wcout << L"第" << retryCount << L"次重试..." << std::endl;
      task->Start();
      return;
    }
  }
  PrintSummary();
  PauseForKey();
  ::PostQuitMessage(0);
}

void CQuennetCallBack::PrintSummary() const {
  const DWORD now = ::GetTickCount();
  std::wcout << L"共消耗" << static_cast<DWORD>(now - startTick) << L"毫秒！" << std::endl;
  std::wcout << L"下载平均速度："
             << FormatSpeed(AverageBytesPerSecond(bytesThisRun, startTick, downloadDoneTick))
             << std::endl;
}

std::uint64_t AverageBytesPerSecond(std::uint64_t bytes, DWORD startTick, DWORD doneTick) {
  if (doneTick == 0) return 0;
  const DWORD elapsed = doneTick - startTick;
  return bytes * 1000 / (elapsed > 0 ? elapsed : 1);
}
