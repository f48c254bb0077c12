#include "box/find.h"

#include "coll/coll.h"
#include "dia/dia.h"
#include "frame/ports.h"
#include "platform/serial.h"
#include "platform/text.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace vm::box {
namespace {

constexpr int kDiscardWaitMs = 50;
constexpr int kByteWaitMs = 200;
constexpr std::size_t kVersionBuffer = 260;

// One byte within the time, or nothing.
bool readByte(platform::SerialPort& port, int timeoutMs, char& byte)
{
    if (port.available() == 0 && port.waitEvent(timeoutMs) != platform::SerialEvent::Received)
        return false;
    return port.read(&byte, 1) == 1;
}

std::string format(const char* pattern, const std::string& port, const std::string& type, int code)
{
    char text[512];
    std::snprintf(text, sizeof text, pattern, port.c_str(), type.c_str(), code);
    return text;
}

}  // namespace

std::uint32_t probeSpeed(const std::string& portType, bool higher)
{
    if (platform::equalsNoCase(portType, "USB"))
        return higher ? 921600 : 460800;
    return higher ? 115200 : 57600;
}

int probe(const std::string& portName, const std::string& portType, bool higher, std::string& status)
{
    platform::SerialPort port;
    if (!port.open(portName, probeSpeed(portType, higher), platform::ModemLines::Leave)) {
        // Held by someone else or not there: not a box we can talk to.
        status = format("No Velmora II device on %s, %s (%d)", portName, portType, port.lastError());
        return kProbeSilent;
    }
    char byte = 0;
    while (readByte(port, kDiscardWaitMs, byte)) {
    }
    // A write the line does not take is a port that does not answer, not a reason to stop.
    if (port.write("\r", 1, kByteWaitMs) != 1) {
        status = format("No Velmora II device on %s, %s (%d)", portName, portType, kProbeSilent);
        return kProbeSilent;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    do {
        if (!readByte(port, kByteWaitMs, byte)) {
            status = format("No Velmora II device on %s, %s (%d)", portName, portType, kProbeSilent);
            return kProbeSilent;
        }
    } while (byte != '?');

    const char version[] = "version\r";
    if (port.write(version, sizeof version - 1, kByteWaitMs) != sizeof version - 1) {
        status = format("No Velmora II device on %s, %s (%d)", portName, portType, kProbeSilent);
        return kProbeSilent;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::string text;
    for (;;) {
        if (!readByte(port, kByteWaitMs, byte)) {
            status = format("Not recognised response on %s, %s (%d)", portName, portType, kProbeNotABox);
            return kProbeNotABox;
        }
        if (byte == '?')
            break;
        if (text.size() < kVersionBuffer - 1)
            text.push_back(byte);
        else
            text.back() = byte;  // a full buffer keeps overwriting its last place
    }
    // The text ends two characters before the prompt; the box's words start at 9.
    text = text.size() >= 2 ? text.substr(0, text.size() - 2) : std::string();
    std::string words = text.size() > 9 ? text.substr(9) : std::string();
    status = words + " on " + portName + ", " + portType;
    return kProbeAnswered;
}

}  // namespace vm::box

using namespace vm::box;

namespace {

std::string stringItem(CollHandle coll, const char* tag)
{
    char text[512] = {};
    collGetString(coll, tag, text, sizeof text);
    return text;
}

// Lower speed first, then the higher one; the "Speed" that answered, or -1.
int probeBoth(const std::string& port, const std::string& type, std::string& status)
{
    for (int higher = 0; higher < 2; ++higher)
        if (probe(port, type, higher != 0, status) == kProbeAnswered)
            return higher;
    return -1;
}

void showStatus(DiaControl control, const std::string& status)
{
    collSetString(static_cast<CollHandle>(_diaGetInfo(control, 2)), "_Status", status.c_str());
    int index = _diaGetIndexFromTag(control, "_Status");
    if (index >= 0)
        _diaSetItem(control, index, status.c_str());
}

}  // namespace

std::int64_t FindCardModule(vm::platform::WindowHandle window, int, const char*, CollHandle caller, CollHandle dialog)
{
    CollHandle finder = collOpen("FindCardModule");
    vm::frame::fillPortList(finder);
    std::vector<std::string> ports = vm::frame::listSerialPorts(vm::frame::PortSources::fromEnvironment());
    std::string port = stringItem(dialog, "Port");
    std::string type = stringItem(dialog, "PortType");
    collSetString(finder, "Port", (!port.empty() ? port : ports.empty() ? std::string() : ports.front()).c_str());
    collSetString(finder, "PortType", (!type.empty() ? type : std::string("RS232")).c_str());
    int result = _diaDoDialog(window, "BRMRes|BRMFind /FAuto", finder, caller);
    if (result == DIA_OK)
        for (const char* tag : {"Port", "PortType", "Speed"})
            collCopyItem(dialog, finder, tag);
    collClose(finder);
    return result;
}
DIA_EXPORT_PROCEDURE(FindCardModule);

std::int64_t CB_Find(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    std::int64_t result = _diaCtlDefProc(control, event, p1, p2);
    if (event != DIA_ACTIVATE)
        return result;
    auto coll = static_cast<CollHandle>(_diaGetInfo(control, 1));
    std::string status;
    int speed = probeBoth(stringItem(coll, "port"), stringItem(coll, "porttype"), status);
    if (speed < 0)
        collDeleteItem(coll, "Speed");
    else
        collSetNumeric(coll, "Speed", speed);
    showStatus(control, status);
    return result;
}
DIA_EXPORT_CALLBACK(CB_Find);

std::int64_t CB_Auto(DiaControl control, int event, std::int64_t p1, std::int64_t p2)
{
    std::int64_t result = _diaCtlDefProc(control, event, p1, p2);
    if (event != DIA_ACTIVATE)
        return result;
    auto coll = static_cast<CollHandle>(_diaGetInfo(control, 1));
    TableHandle ports = collGetTable(coll, "ports");
    for (const char* type : {"RS232", "USB"}) {
        for (int row = 0; row < tableRowCount(ports); ++row) {
            char port[512] = {};
            tableGetField(ports, row, 0, port, sizeof port);
            std::string status;
            int speed = probeBoth(port, type, status);
            showStatus(control, status);
            if (speed >= 0) {
                collSetString(coll, "port", port);
                collSetString(coll, "porttype", type);
                collSetNumeric(coll, "Speed", speed);
                tableDestroy(ports);
                return result;
            }
        }
    }
    tableDestroy(ports);
    showStatus(control, kNotFound);
    return result;
}
DIA_EXPORT_CALLBACK(CB_Auto);
