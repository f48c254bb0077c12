// velmora: the command line over the same engine as the desktop program.
//   velmora box version --port DEV [--port-type T] [--json]
//   velmora box cmd --port DEV [--port-type T] "TEXT"
//   velmora box find [--json]
//   velmora card info|read|split|image|write|erase ..., velmora demo
//   velmora info|stitches|convert|preview ...
//   velmora copy --media M --to DIR FILES...
#include "box/comm.h"
#include "cli/card_cmds.h"
#include "cli/session.h"
#include "box/find.h"
#include "cli/design_cmds.h"
#include "cli/media_cmds.h"
#include "dia/dia.h"
#include "dia/headless.h"
#include "frame/app.h"
#include "frame/design_dialogs.h"
#include "frame/mailbox.h"
#include "frame/ports.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

namespace {

using vm::cli::CommSession;
using vm::cli::fail;
using vm::cli::installView;

constexpr const char* kCliMailbox = "VelmoraCli";

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
    for (const auto& port : ports)
        if (std::string advice = vm::frame::portAccessAdvice(port); !advice.empty())
            fail(advice);
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

    int cardCode = 1;
    vm::cli::addCardCommands(app, cardCode);
    int designCode = -1;
    addDesignCommands(app, designCode);
    addMediaCommands(app, designCode);

    // The design code asks and tells through the view each command sets.
    vm::frame::DesignDialogs designDialogs;
    CLI11_PARSE(app, argc, argv);
    if (designCode >= 0)
        return designCode;

    // The card commands have run in their callbacks.
    int code = cardCode;
    if (*box && vm::cli::resourcesLoaded()) {
        if (*version)
            code = boxVersion(port, portType, json);
        else if (*cmd)
            code = boxCommand(port, portType, text);
        else if (*find)
            code = boxFind(findJson);
    }
    vm::dia::setView(nullptr);
    return code;
}
