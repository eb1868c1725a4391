#include "library_state.h"

#include <atomic>

namespace vessick {
namespace {

std::atomic<BugInfoBlock*> currentBlock{nullptr};
static_assert(std::atomic<BugInfoBlock*>::is_always_lock_free,
              "the crash path reads the block pointer without a lock");

std::wstring reporterDir;

}  // namespace

BugInfoBlock* CurrentBlock() noexcept { return currentBlock.load(std::memory_order_acquire); }

void PublishBlock(BugInfoBlock* block) noexcept {
  currentBlock.store(block, std::memory_order_release);
}

const std::wstring& ReporterDir() noexcept { return reporterDir; }

void SetReporterDir(const wchar_t* directory) { reporterDir = directory; }

}  // namespace vessick
