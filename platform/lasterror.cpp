#include "platform/lasterror.h"

namespace vm::platform {
namespace {
thread_local std::uint32_t lastError = 0;
}

std::uint32_t getLastError() { return lastError; }
void setLastError(std::uint32_t code) { lastError = code; }

}  // namespace vm::platform
