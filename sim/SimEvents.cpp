#include "SimEvents.h"

#include "platform/Clock.h"

#include <algorithm>
#include <array>
#include <thread>
#include <utility>

namespace orv::sim {
namespace {

using Fault = SimPhone::Fault;

constexpr std::array<std::pair<std::string_view, Fault>, 16> kFaults{{
    {"WrongSequence", Fault::WrongSequence},
    {"NotAReply", Fault::NotAReply},
    {"NoData", Fault::NoData},
    {"BadKind", Fault::BadKind},
    {"LengthMismatch", Fault::LengthMismatch},
    {"OversizedData", Fault::OversizedData},
    {"BadFirstByte", Fault::BadFirstByte},
    {"NoReply", Fault::NoReply},
    {"StatusTooMany", Fault::StatusTooMany},
    {"Stall", Fault::Stall},
    {"OversizedBlock", Fault::OversizedBlock},
    {"GarbagePicture", Fault::GarbagePicture},
    {"HugePicture", Fault::HugePicture},
    {"LongPicture", Fault::LongPicture},
    {"CutShortPicture", Fault::CutShortPicture},
    {"ShortNameReply", Fault::ShortNameReply},
}};

// The longest time a script may name: a day.
constexpr uint64_t kLatestMs = 24ull * 3600ull * 1000ull;
// The events are looked at this often while their time has not come.
constexpr uint32_t kPlaySliceMs = 50;
// The most of a script's text that a message quotes.
constexpr size_t kQuoteLimit = 80;

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// "12", "0.5", "1.250": milliseconds, or nothing.
std::optional<uint32_t> ParseSeconds(std::string_view text)
{
    uint64_t whole = 0;
    size_t at = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        whole = whole * 10 + static_cast<uint64_t>(text[at] - '0');
        if (whole * 1000 > kLatestMs)
            return std::nullopt;
        ++at;
    }
    if (at == 0)
        return std::nullopt;
    uint64_t ms = whole * 1000;
    if (at < text.size()) {
        if (text[at] != '.' || at + 1 == text.size() || text.size() - at - 1 > 3)
            return std::nullopt;
        uint64_t scale = 100;
        for (++at; at < text.size(); ++at, scale /= 10) {
            if (text[at] < '0' || text[at] > '9')
                return std::nullopt;
            ms += static_cast<uint64_t>(text[at] - '0') * scale;
        }
    }
    if (ms > kLatestMs)
        return std::nullopt;
    return static_cast<uint32_t>(ms);
}

// text in double quotes for a one-line message: control characters, the
// quote and the backslash escaped as in C, and cut after kQuoteLimit
// characters of the quoted form (never inside an escape or a UTF-8
// character), with "..." after the closing quote when cut.
std::string Quote(std::string_view text)
{
    std::string inside;
    size_t shown = 0;  // characters of inside
    bool cut = false;
    for (size_t at = 0; at < text.size(); ++at) {
        const auto byte = static_cast<unsigned char>(text[at]);
        std::string piece;
        size_t characters = 0;  // of piece; 0: its bytes
        if (byte == '\n')
            piece = "\\n";
        else if (byte == '\t')
            piece = "\\t";
        else if (byte == '\r')
            piece = "\\r";
        else if (byte == '"' || byte == '\\')
            piece = std::string("\\") + static_cast<char>(byte);
        else if (byte < 0x20 || byte == 0x7f) {
            static constexpr char kHex[] = "0123456789abcdef";
            piece = std::string("\\x") + kHex[byte >> 4] + kHex[byte & 15];
        } else {
            // A UTF-8 character stays whole: its lead byte brings the rest.
            size_t length = 1;
            while (at + length < text.size() && (static_cast<unsigned char>(text[at + length]) & 0xC0) == 0x80 &&
                   byte >= 0xC0)
                ++length;
            piece = std::string(text.substr(at, length));
            characters = 1;
            at += length - 1;
        }
        if (characters == 0)
            characters = piece.size();
        if (shown + characters > kQuoteLimit) {
            cut = true;
            break;
        }
        inside += piece;
        shown += characters;
    }
    return "\"" + inside + (cut ? "\"..." : "\"");
}

// "12": a picture's number from 1, or nothing.
std::optional<uint32_t> ParseShot(std::string_view text)
{
    constexpr uint32_t kMostShots = 1000000000;
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value < 1 || value > kMostShots)
        return std::nullopt;
    return static_cast<uint32_t>(value);
}

}  // namespace

std::optional<SimPhone::Fault> FaultByName(std::string_view name)
{
    for (const auto& [text, fault] : kFaults) {
        if (text == name)
            return fault;
    }
    return std::nullopt;
}

std::string FaultNames()
{
    std::string names;
    for (const auto& entry : kFaults) {
        if (!names.empty())
            names += ", ";
        names += entry.first;
    }
    return names;
}

bool ParseSimEvents(std::string_view script, std::vector<SimEvent>* events, std::string* error)
{
    std::vector<SimEvent> parsed;
    const auto fail = [error](std::string why) {
        if (error != nullptr)
            *error = std::move(why);
        return false;
    };
    size_t number = 0;
    while (!script.empty() || number == 0) {
        const size_t end = std::min(script.find(';'), script.size());
        const std::string_view part = Trim(script.substr(0, end));
        script.remove_prefix(std::min(end + 1, script.size()));
        ++number;
        if (part.empty()) {
            if (script.empty())
                break;
            continue;
        }
        const std::string quoted = "event " + std::to_string(number) + " " + Quote(part);
        const size_t colon = part.find(':');
        if (colon == std::string_view::npos)
            return fail(quoted + ": expected SECONDS:ACTION");
        const std::string_view when = Trim(part.substr(0, colon));
        const std::string_view action = Trim(part.substr(colon + 1));
        SimEvent event;
        if (!when.empty() && when.front() == '#') {
            const std::optional<uint32_t> shot = ParseShot(when.substr(1));
            if (!shot)
                return fail(quoted + ": the picture must be a number from 1 to 1000000000 after '#'");
            if (action != "still" && action != "move")
                return fail(quoted + ": only still and move can wait for a picture");
            event.atShot = *shot;
        } else {
            const std::optional<uint32_t> at = ParseSeconds(when);
            if (!at)
                return fail(quoted + ": the time must be seconds from the start (0 to 86400, up to three decimals)");
            event.atMs = *at;
        }
        if (action == "unplug") {
            event.action = SimEvent::Action::Unplug;
        } else if (action == "plug") {
            event.action = SimEvent::Action::Plug;
        } else if (action == "mute") {
            event.action = SimEvent::Action::Mute;
        } else if (action == "unmute") {
            event.action = SimEvent::Action::Unmute;
        } else if (action == "still") {
            event.action = SimEvent::Action::Still;
        } else if (action == "move") {
            event.action = SimEvent::Action::Move;
        } else if (action.substr(0, 6) == "fault " || action.substr(0, 6) == "fault\t") {
            const std::string_view name = Trim(action.substr(6));
            const std::optional<SimPhone::Fault> fault = FaultByName(name);
            if (!fault)
                return fail(quoted + ": unknown fault " + Quote(name) + " (known: " + FaultNames() + ")");
            event.action = SimEvent::Action::Fault;
            event.fault = *fault;
        } else {
            return fail(quoted + ": unknown action " + Quote(action) +
                        " (known: unplug, plug, mute, unmute, still, move, fault NAME)");
        }
        parsed.push_back(event);
    }
    std::stable_sort(parsed.begin(), parsed.end(),
                     [](const SimEvent& a, const SimEvent& b) { return a.atMs < b.atMs; });
    if (events != nullptr)
        *events = std::move(parsed);
    return true;
}

void ApplySimEvent(SimPhone& phone, const SimEvent& event)
{
    switch (event.action) {
    case SimEvent::Action::Unplug: phone.Unplug(); break;
    case SimEvent::Action::Plug: phone.Plug(); break;
    case SimEvent::Action::Mute: phone.SetSilent(true); break;
    case SimEvent::Action::Unmute: phone.SetSilent(false); break;
    case SimEvent::Action::Still: phone.SetStill(true); break;
    case SimEvent::Action::Move: phone.SetStill(false); break;
    case SimEvent::Action::Fault: phone.InjectFault(event.fault); break;
    }
}

void PlaySimEvents(std::shared_ptr<SimPhone> phone, std::vector<SimEvent> events, uint32_t startTick)
{
    if (!phone || events.empty())
        return;
    // The phone takes the changes tied to its pictures at once.
    for (const SimEvent& event : events)
        if (event.atShot > 0)
            phone->SetStillAtShot(event.atShot, event.action == SimEvent::Action::Still);
    std::thread([phone = std::move(phone), events = std::move(events), startTick] {
        for (const SimEvent& event : events) {
            if (event.atShot > 0)
                continue;
            for (;;) {
                const uint32_t passed = TheClock().TickCount() - startTick;
                if (passed >= event.atMs)
                    break;
                TheClock().Sleep(std::min(event.atMs - passed, kPlaySliceMs));
            }
            ApplySimEvent(*phone, event);
        }
    }).detach();
}

}  // namespace orv::sim
