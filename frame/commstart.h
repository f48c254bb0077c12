// What the frame needs of the comm thread: a way to start one, to wait for one to end and
// to let go of one that does not. The box link supplies them when it is linked in; a
// program without it runs without a box.
#pragma once

#include "platform/event.h"
#include "platform/window.h"

#include <cstdint>

namespace vm::frame {

// What the starter hands the new comm thread; copied at once. The port is a device path
// here, so its field is wider than a "Com1" name needed.
struct CommStartBlock {
    platform::WindowHandle window = 0;
    char port[256] = {};
    char portType[12] = {};
    std::uint32_t chunkSize = 0;       // 0 means 64
    platform::EventHandle copied = 0;  // set once the block is copied, or 0
    platform::EventHandle opened = 0;  // set once the port is open, or 0
};

struct CommThreadControl {
    std::uint64_t (*start)(const CommStartBlock& block) = nullptr;  // 0 when it could not start
    bool (*wait)(std::uint64_t handle, int timeoutMs) = nullptr;     // true once it has ended
    void (*abandon)(std::uint64_t handle) = nullptr;
};

bool setCommThreadControl(const CommThreadControl& control);
const CommThreadControl& commThreadControl();

}  // namespace vm::frame
