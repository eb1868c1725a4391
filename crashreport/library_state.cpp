#include "library_state.h"

#include <atomic>

namespace vessick {
namespace {

Configuration configurations[2];
std::atomic<Configuration*> current{nullptr};
static_assert(std::atomic<Configuration*>::is_always_lock_free,
              "the crash path reads the configuration without a lock");

}  // namespace

const Configuration* CurrentConfiguration() noexcept {
  return current.load(std::memory_order_acquire);
}

BugInfoBlock* CurrentBlock() noexcept {
  const Configuration* configuration = CurrentConfiguration();
  return configuration != nullptr ? configuration->block : nullptr;
}

const wchar_t* ReporterDir() noexcept {
  const Configuration* configuration = CurrentConfiguration();
  return configuration != nullptr ? configuration->reporterDir : L"";
}

Configuration* SpareConfiguration() noexcept {
  return current.load(std::memory_order_relaxed) == &configurations[0] ? &configurations[1]
                                                                        : &configurations[0];
}

void PublishConfiguration(Configuration* configuration) noexcept {
  current.store(configuration, std::memory_order_release);
}

}  // namespace vessick
