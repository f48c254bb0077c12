// The test programs that drive the engine through the dialog library answer the design code's
// questions there, as the program's windows and command line do: every test runs with the
// dialog reporter set. A test of the refusing default sets its own.
#include "frame/design_dialogs.h"

#include <gtest/gtest.h>

namespace {

class DesignDialogsEnvironment final : public ::testing::Environment {
public:
    void SetUp() override { vm::formats::setReporter(std::make_shared<vm::frame::DialogReporter>()); }
    void TearDown() override { vm::formats::setReporter(nullptr); }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new DesignDialogsEnvironment);

}  // namespace
