// exit_code_of RESULT_FILE TIMEOUT_MS PROGRAM [ARGS...]
// Runs PROGRAM with the same standard handles, waits for it and writes "exit=N" (the full
// 32-bit code, as a Windows parent sees it) or "timeout" to RESULT_FILE. Everything the program
// starts runs in a job that is ended with this process, so a hung test leaves nothing behind.
#include <windows.h>

#include <cstdio>
#include <string>

#include "win/unique_handle.h"

namespace {

// Quotes one argument so that the child's argument parser gets it back unchanged.
std::wstring QuoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

bool WriteResult(const wchar_t* path, const char* text) {
  FILE* file = _wfopen(path, L"wb");
  if (file == nullptr) return false;
  std::fputs(text, file);
  return std::fclose(file) == 0;
}

void MakeInheritable(DWORD which) {
  HANDLE h = ::GetStdHandle(which);
  if (h != nullptr && h != INVALID_HANDLE_VALUE)
    ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    std::fputs("usage: exit_code_of RESULT_FILE TIMEOUT_MS PROGRAM [ARGS...]\n", stderr);
    return 2;
  }
  const wchar_t* resultFile = argv[1];
  const DWORD timeoutMs = wcstoul(argv[2], nullptr, 10);
  std::wstring commandLine;
  for (int i = 3; i < argc; ++i) {
    if (i > 3) commandLine += L' ';
    commandLine += QuoteArgument(argv[i]);
  }

  win::UniqueKernelHandle job(::CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job) ::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                     sizeof limits);

  MakeInheritable(STD_INPUT_HANDLE);
  MakeInheritable(STD_OUTPUT_HANDLE);
  MakeInheritable(STD_ERROR_HANDLE);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(argv[3], commandLine.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                        nullptr, nullptr, &startup, &info)) {
    std::fprintf(stderr, "exit_code_of: CreateProcessW failed, error %lu\n", ::GetLastError());
    WriteResult(resultFile, "start-failed");
    return 2;
  }
  win::UniqueKernelHandle process(info.hProcess);
  win::UniqueKernelHandle thread(info.hThread);
  if (job) ::AssignProcessToJobObject(job.get(), process.get());
  ::ResumeThread(thread.get());

  if (::WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
    if (job) ::TerminateJobObject(job.get(), 1);
    ::TerminateProcess(process.get(), 1);
    WriteResult(resultFile, "timeout");
    return 3;
  }
  DWORD code = 0;
  ::GetExitCodeProcess(process.get(), &code);
  char text[32];
  std::snprintf(text, sizeof text, "exit=%lu", static_cast<unsigned long>(code));
  return WriteResult(resultFile, text) ? 0 : 2;
}
