#include "minidump/minidump_writer.h"

#include <dbghelp.h>

#include "store/atomic_file.h"
#include "store/write_failure.h"
#include "win/error_text.h"
#include "win/unique_handle.h"

namespace orlent {

DumpResult WriteMinidump(const std::wstring& path, const DumpRequest& request) {
  DumpResult result;
  const std::wstring temporary = path + kUnfinishedSuffix;
  {
    win::UniqueFileHandle file(::CreateFileW(temporary.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                             nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                             nullptr));
    if (!file) {
      result.problem = win::CallFailed(L"CreateFileW");
      return result;
    }

    MINIDUMP_EXCEPTION_INFORMATION exception = {};
    exception.ThreadId = request.threadId;
    if (request.remotePointers != 0) {
      exception.ExceptionPointers =
          reinterpret_cast<EXCEPTION_POINTERS*>(uintptr_t{request.remotePointers});
      exception.ClientPointers = TRUE;
    } else {
      exception.ExceptionPointers = request.localPointers;
      exception.ClientPointers = FALSE;
    }
    const bool withException = request.threadId != 0 && exception.ExceptionPointers != nullptr;

    MINIDUMP_USER_STREAM blockStream = {};
    MINIDUMP_USER_STREAM_INFORMATION userStreams = {};
    if (request.block != nullptr && !request.block->empty()) {
      blockStream.Type = kBlockStreamType;
      blockStream.BufferSize = static_cast<ULONG>(request.block->size());
      blockStream.Buffer = const_cast<uint8_t*>(request.block->data());
      userStreams.UserStreamCount = 1;
      userStreams.UserStreamArray = &blockStream;
    }

    const auto type = static_cast<MINIDUMP_TYPE>(
        MiniDumpNormal | (request.referencedMemory
                              ? MiniDumpWithIndirectlyReferencedMemory | MiniDumpWithDataSegs
                              : 0));
    if (!::MiniDumpWriteDump(request.process, request.processId, file.get(), type,
                             withException ? &exception : nullptr,
                             userStreams.UserStreamCount != 0 ? &userStreams : nullptr,
                             nullptr)) {
      result.problem = CallFailedWith(L"MiniDumpWriteDump", ::GetLastError());
    } else {
      if (request.overflowed != nullptr)
        result.stackProblem =
            AttachOverflowedStack(file.get(), RemoteMemory(request.process), *request.overflowed);
      std::vector<uint32_t> required = {ThreadListStream, ModuleListStream};
      if (withException) required.push_back(ExceptionStream);
      if (userStreams.UserStreamCount != 0) required.push_back(kBlockStreamType);
      result.check = CheckMinidump(file.get(), required);
      if (!result.check.good) result.problem = L"the dump is not usable: " + result.check.problem;
      else if (!::FlushFileBuffers(file.get()))
        result.problem = CallFailedWith(L"FlushFileBuffers", ::GetLastError());
    }
    // A dump cut short by a full disk is named as such; asked while the cut file still holds
    // its space.
    if (!result.problem.empty()) {
      const std::wstring full = FullDiskText(FolderOf(path));
      if (!full.empty())
        result.problem = full + L": MiniDumpWriteDump could not write the whole dump (" +
                         result.problem + L")";
    }
  }
  if (result.problem.empty() && !PutCompleteFileInPlace(path, &result.problem)) return result;
  if (!result.problem.empty()) {
    ::DeleteFileW(temporary.c_str());
    return result;
  }
  result.good = true;
  return result;
}

}  // namespace orlent
