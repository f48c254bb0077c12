// velmora: the command line over the same engine as the desktop program.
//   velmora box version --port DEV [--port-type T] [--json]
//   velmora box cmd --port DEV [--port-type T] "TEXT"
//   velmora box find [--json]
#include "box/comm.h"
#include "box/find.h"
#include "cli/design_cmds.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "frame/app.h"
#include "frame/mailbox.h"
#include "frame/ports.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

namespace {

constexpr const char* kCliMailbox = "VelmoraCli";

void fail(const std::string& text)
{
    std::cerr << "velmora: " << text << "\n";
}

// Starts the comm thread on the port and ends it when the command is done.
class CommSession {
public:
    CommSession(const std::string& port, const std::string& portType)
    {
        vm::box::CommStartBlock block;
        std::snprintf(block.port, sizeof block.port, "%s", port.c_str());
        std::snprintf(block.portType, sizeof block.portType, "%s", portType.c_str());
        block.opened = vm::platform::createEvent(vm::platform::EventReset::Manual, vm::platform::EventInitial::Clear);
        handle_ = vm::box::startCommThread(block);
        // The thread either opens the port (the event) or gives up and ends.
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (handle_ && !open_ && std::chrono::steady_clock::now() < end) {
            open_ = vm::platform::waitForEvent(block.opened, 10) == vm::platform::WaitResult::Signalled;
            if (!open_ && vm::box::waitCommThread(handle_, 0))
                break;
        }
        vm::platform::closeEvent(block.opened);
    }
    ~CommSession()
    {
        if (!handle_)
            return;
        msgPost(vm::box::kCommandMailbox, nullptr, "quit", 4);
        if (!vm::box::waitCommThread(handle_, 5000))
            vm::box::abandonCommThread(handle_);
    }
    // False when the port could not be opened (the comm thread has ended then).
    bool open() const { return open_; }

private:
    std::uint64_t handle_ = 0;
    bool open_ = false;
};

// Messages the engine shows go to standard error, as one line each.
std::shared_ptr<vm::dia::HeadlessView> installView()
{
    auto view = std::make_shared<vm::dia::HeadlessView>();
    view->unscriptedResult = std::nullopt;  // dialogs that run jobs close themselves
    view->modalLimit = std::chrono::seconds(90);
    vm::dia::setView(view);
    // The comm thread's own messages (port cannot be opened) are said by the command's one
    // line of failure instead.
    msgSetMessageBoxHandler([](std::uint32_t, std::uint32_t, std::uint32_t) { return 1; });
    return view;
}

int boxVersion(const std::string& port, const std::string& portType, bool json)
{
    auto view = installView();
    CollHandle coll = collOpen("velmora");
    collSetString(coll, "Port", port.c_str());
    collSetString(coll, "PortType", portType.c_str());
    int code = 1;
    {
        CommSession comm(port, portType);
        if (!comm.open()) {
            fail("the port " + port + " cannot be opened");
        } else {
            _diaDoDialog(0, "BRMRes|ModuleVersion", coll, coll);
            char version[256] = {};
            if (collGetString(coll, "ModuleVersion", version, sizeof version) >= 2) {
                if (json)
                    std::cout << "{\"port\": \"" << port << "\", \"ModuleVersion\": \"" << version << "\"}\n";
                else
                    std::cout << version << "\n";
                code = 0;
            } else {
                fail("no card reader answered on " + port);
            }
        }
    }
    collClose(coll);
    return code;
}

int boxCommand(const std::string& port, const std::string& portType, std::string text)
{
    installView();
    if (text.empty() || text.back() != '\r')
        text.push_back('\r');
    CommSession comm(port, portType);
    if (!comm.open()) {
        fail("the port " + port + " cannot be opened");
        return 1;
    }
    while (msgWait(kCliMailbox, 0, true, nullptr) == MSG_OK) {
    }
    msgPost(vm::box::kCommandMailbox, kCliMailbox, text.data(), text.size());
    MailMessage* reply = nullptr;
    if (msgWait(kCliMailbox, 70000, true, &reply) != MSG_OK) {
        fail("no reply from the comm thread");
        return 1;
    }
    std::string answer(static_cast<const char*>(reply->data), reply->length);
    msgFree(reply);
    if (!answer.empty() && answer.back() == '\0')
        answer.pop_back();
    if (answer == "Timeout" || answer == "Overrun" || answer.rfind("Error ", 0) == 0) {
        fail("the card reader gave no answer (" + answer + ")");
        return 1;
    }
    std::cout << answer << "\n";
    return 0;
}

// Every port of the device folder, first as "RS232" then as "USB", each at both speeds.
int boxFind(bool json)
{
    auto ports = vm::frame::listSerialPorts(vm::frame::PortSources::fromEnvironment());
    for (const char* type : {"RS232", "USB"}) {
        for (const auto& port : ports) {
            for (bool higher : {false, true}) {
                std::string status;
                if (vm::box::probe(port, type, higher, status) != vm::box::kProbeAnswered)
                    continue;
                std::uint32_t speed = vm::box::probeSpeed(type, higher);
                if (json)
                    std::cout << "{\"port\": \"" << port << "\", \"type\": \"" << type << "\", \"speed\": " << speed
                              << ", \"status\": \"" << status << "\"}\n";
                else
                    std::cout << port << " " << type << " " << speed << " " << status << "\n";
                return 0;
            }
        }
    }
    fail(vm::box::kNotFound);
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Velmora II: embroidery cards and designs from the command line"};
    app.require_subcommand(1);
    CLI::App* box = app.add_subcommand("box", "talk to the card reader")->require_subcommand(1);

    std::string port;
    std::string portType = "RS232";
    bool json = false;
    CLI::App* version = box->add_subcommand("version", "ask the card reader for its version");
    version->add_option("--port", port, "serial device of the card reader")->required();
    version->add_option("--port-type", portType, "RS232, USB or Converter");
    version->add_flag("--json", json, "print the result as JSON");

    std::string text;
    CLI::App* cmd = box->add_subcommand("cmd", "send one command line and print the reply");
    cmd->add_option("--port", port, "serial device of the card reader")->required();
    cmd->add_option("--port-type", portType, "RS232, USB or Converter");
    cmd->add_option("text", text, "the command")->required();

    bool findJson = false;
    CLI::App* find = box->add_subcommand("find", "look for the card reader on every serial port");
    find->add_flag("--json", findJson, "print the result as JSON");

    int designCode = -1;
    addDesignCommands(app, designCode);

    CLI11_PARSE(app, argc, argv);
    if (designCode >= 0)
        return designCode;

    if (!vm::frame::loadProgramResources()) {
        fail("the resource package is missing; please reinstall");
        return 1;
    }
    int code = 1;
    if (*version)
        code = boxVersion(port, portType, json);
    else if (*cmd)
        code = boxCommand(port, portType, text);
    else if (*find)
        code = boxFind(findJson);
    vm::dia::setView(nullptr);
    return code;
}
