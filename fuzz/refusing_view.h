// The view the fuzz targets run under: every question is answered no or cancel, so no design
// is offered to a mail program and no existing file is replaced, and no message is kept, so
// a long run does not pile them up.
#pragma once

#include "dia/dia.h"
#include "dia/headless.h"

#include <string>

namespace vm::fuzzing {

class RefusingView : public dia::HeadlessView {
public:
    int message(platform::WindowHandle, unsigned style, const std::string&, const std::string&) override
    {
        return (style & 0x0F) == MB_OKCANCEL ? IDCANCEL : IDNO;
    }
};

}  // namespace vm::fuzzing
