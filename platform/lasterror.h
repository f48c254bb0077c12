// The calling thread's last error, as loaders and converters leave it for their callers.
#pragma once

#include <cstdint>

namespace vm::platform {

std::uint32_t getLastError();
void setLastError(std::uint32_t code);

}  // namespace vm::platform
