#include "sim/faults.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>

namespace vm::sim {
namespace {

struct KindName {
    const char* name;
    FaultKind kind;
};

constexpr KindName kNames[] = {
    {"drop", FaultKind::Drop},           {"corrupt", FaultKind::Corrupt},     {"garbage", FaultKind::Garbage},
    {"cut", FaultKind::Cut},             {"stall", FaultKind::Stall},         {"qmark", FaultKind::QuestionMark},
    {"slowerase", FaultKind::SlowErase}, {"slow", FaultKind::Slow},           {"lineerror", FaultKind::LineError},
    {"badblock", FaultKind::BadBlock},   {"mishear", FaultKind::Mishear},
};

constexpr std::string_view kPrompt = "\r\n?";
constexpr std::size_t kBinaryEcho = 16;
constexpr std::size_t kBinaryReply = 275;

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

bool isBinaryRead(std::string_view line)
{
    return startsWithNoCase(line, "binread") || startsWithNoCase(line, "b16read");
}

bool isErase(std::string_view line)
{
    return startsWithNoCase(line, "erase") || startsWithNoCase(line, "xrase");
}

// Whether a kind has anything to do with the command at all; only those count towards @N.
bool concerns(FaultKind kind, std::string_view line)
{
    switch (kind) {
    case FaultKind::QuestionMark: return isBinaryRead(line);
    case FaultKind::SlowErase: return isErase(line);
    case FaultKind::BadBlock: return false;  // a fault of the card, not of a reply
    case FaultKind::Mishear: return false;   // a fault of the command, see hear()
    default: return true;
    }
}

bool parseNumber(std::string_view text, long& value)
{
    if (text.empty())
        return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value >= 0;
}

std::optional<Fault> parseItem(std::string_view item, std::string* error)
{
    const std::string_view whole = item;
    auto fail = [&](const std::string& why) -> std::optional<Fault> {
        if (error)
            *error = "fault \"" + std::string(whole) + "\": " + why;
        return std::nullopt;
    };
    Fault fault;
    std::string_view which;
    if (auto at = item.find('@'); at != std::string_view::npos) {
        which = item.substr(at + 1);
        item = item.substr(0, at);
        if (which.empty())
            return fail("nothing after @");
    }
    std::string_view value;
    if (auto colon = item.find(':'); colon != std::string_view::npos) {
        value = item.substr(colon + 1);
        item = item.substr(0, colon);
        if (!parseNumber(value, fault.value))
            return fail("the value must be a number");
    }
    auto named = std::find_if(std::begin(kNames), std::end(kNames), [&](const KindName& k) { return item == k.name; });
    if (named == std::end(kNames))
        return fail("no such fault (drop, corrupt, garbage, cut, stall, qmark, slowerase, slow, lineerror, badblock, mishear)");
    fault.kind = named->kind;
    if (fault.kind == FaultKind::BadBlock && (fault.value < 0 || !which.empty()))
        return fail("badblock takes a block number and no @");
    if (!which.empty()) {
        long nth = 0;
        std::string_view prefix = which;
        if (auto hash = which.find('#'); hash != std::string_view::npos) {
            prefix = which.substr(0, hash);
            if (!parseNumber(which.substr(hash + 1), nth) || nth == 0)
                return fail("the count after # must be 1 or more");
        } else if (std::isdigit(static_cast<unsigned char>(which.front()))) {
            prefix = {};
            if (!parseNumber(which, nth) || nth == 0)
                return fail("the command number must be 1 or more");
        }
        fault.prefix = std::string(prefix);
        fault.nth = static_cast<int>(nth);
    }
    return fault;
}

// Noise that never holds the prompt character, the same every time.
void scramble(std::string& bytes, std::size_t count)
{
    std::uint32_t state = 0x2545F491u;
    for (std::size_t i = 0; i < count; ++i) {
        state = state * 1664525u + 1013904223u;
        char c = static_cast<char>(0x21 + (state >> 24) % 0x5E);
        bytes[i] = c == '?' ? '#' : c;
    }
}

std::size_t promptStart(const std::string& bytes)
{
    bool prompted = bytes.size() >= kPrompt.size() && bytes.compare(bytes.size() - kPrompt.size(), kPrompt.size(), kPrompt) == 0;
    return prompted ? bytes.size() - kPrompt.size() : bytes.size();
}

void applyOne(const Fault& fault, std::string_view line, Reply& reply)
{
    std::string& bytes = reply.bytes;
    const std::size_t echo = std::min(line.size(), bytes.size());
    switch (fault.kind) {
    case FaultKind::Drop:
        bytes.clear();
        reply.pauseAfter = 0;
        break;
    case FaultKind::Corrupt: {
        auto at = static_cast<std::size_t>(fault.value < 0 ? 0 : fault.value);
        // Flipping the lowest bit never just changes a letter's case, which an echo check
        // that ignores case would not notice.
        if (at < bytes.size())
            bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
        break;
    }
    case FaultKind::Garbage:
        scramble(bytes, promptStart(bytes));
        break;
    case FaultKind::Cut: {
        auto count = static_cast<std::size_t>(fault.value < 0 ? 16 : fault.value);
        std::size_t end = promptStart(bytes);
        if (end > echo) {
            count = std::min(count, end - echo);
            bytes.erase(echo, count);
        }
        break;
    }
    case FaultKind::Stall: {
        auto keep = fault.value < 0 ? echo : static_cast<std::size_t>(fault.value);
        if (keep < bytes.size())
            bytes.resize(keep);
        if (reply.pauseAfter >= bytes.size())
            reply.pauseAfter = 0;
        break;
    }
    case FaultKind::QuestionMark: {
        auto offset = static_cast<std::size_t>(fault.value < 0 ? 128 : fault.value);
        if (bytes.size() == kBinaryReply && offset < 256) {
            bytes[kBinaryEcho + offset] = '?';
            // The rest follows a moment later, so the reader sees a block that ends in "?"
            // long before its 275 bytes are in.
            reply.pauseAfter = kBinaryEcho + offset + 1;
        }
        break;
    }
    case FaultKind::SlowErase:
        reply.delayMs = static_cast<int>(fault.value < 0 ? 12000 : fault.value);
        break;
    case FaultKind::Slow:
        reply.delayMs += static_cast<int>(fault.value < 0 ? 3000 : fault.value);
        break;
    case FaultKind::LineError: {
        auto at = fault.value < 0 ? echo : static_cast<std::size_t>(fault.value);
        if (at < bytes.size())
            bytes[at] = '\0';
        reply.lineError = true;
        break;
    }
    case FaultKind::BadBlock:
    case FaultKind::Mishear:
        break;
    }
}

}  // namespace

const char* FaultPlan::nameOf(FaultKind kind)
{
    for (const KindName& k : kNames)
        if (k.kind == kind)
            return k.name;
    return "";
}

bool FaultPlan::badBlock(std::uint32_t block) const
{
    return std::any_of(faults_.begin(), faults_.end(), [block](const Fault& fault) {
        return fault.kind == FaultKind::BadBlock && fault.value == static_cast<long>(block);
    });
}

std::optional<FaultPlan> FaultPlan::parse(std::string_view text, std::string* error)
{
    FaultPlan plan;
    while (!text.empty()) {
        auto comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        if (item.empty())
            continue;
        auto fault = parseItem(item, error);
        if (!fault)
            return std::nullopt;
        plan.faults_.push_back(std::move(*fault));
    }
    return plan;
}

std::string FaultPlan::hear(std::string_view line)
{
    std::string heard(line);
    for (Fault& fault : faults_) {
        if (fault.kind != FaultKind::Mishear || !startsWithNoCase(line, fault.prefix))
            continue;
        ++fault.seen;
        auto at = static_cast<std::size_t>(fault.value < 0 ? 0 : fault.value);
        if ((fault.nth == 0 || fault.nth == fault.seen) && at < heard.size())
            heard[at] = static_cast<char>(heard[at] ^ 0x01);
    }
    return heard;
}

void FaultPlan::apply(std::string_view line, Reply& reply)
{
    for (Fault& fault : faults_) {
        if (!concerns(fault.kind, line) || !startsWithNoCase(line, fault.prefix))
            continue;
        ++fault.seen;
        if (fault.nth == 0 || fault.nth == fault.seen)
            applyOne(fault, line, reply);
    }
}

}  // namespace vm::sim
