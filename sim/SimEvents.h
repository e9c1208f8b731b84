#pragma once
// Faults on demand for the simulated phone of `orvello --simulate-phone`: a
// script of timed events, given in the environment as
//   ORVELLO_SIM_EVENTS="SECONDS:ACTION;SECONDS:ACTION;..."
// with the seconds counted from the program's start (a whole number or one
// with up to three decimals) and the actions unplug, plug, mute (the phone
// stops answering), unmute, still (the camera's picture stands: no ball,
// counter or time moves), move (it changes again) and "fault NAME" with a
// fault of SimPhone::Fault by its name (GarbagePicture, HugePicture, ...).
// Instead of the seconds, "#N" ties still or move to the phone's N-th
// picture (from 1), so that a scene's frames can be counted.

#include "SimPhone.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::sim {

inline constexpr char kEventsVariable[] = "ORVELLO_SIM_EVENTS";

struct SimEvent {
    enum class Action { Unplug, Plug, Mute, Unmute, Still, Move, Fault };
    uint32_t atMs = 0;  // after the program's start
    Action action = Action::Unplug;
    SimPhone::Fault fault = SimPhone::Fault::NoReply;  // Action::Fault only
    uint32_t atShot = 0;  // still and move: at this picture instead (0: at atMs)

    bool operator==(const SimEvent&) const = default;
};

// The fault of that name (as spelled in SimPhone::Fault), or nothing.
std::optional<SimPhone::Fault> FaultByName(std::string_view name);
// The names of all faults, comma-separated, for messages.
std::string FaultNames();

// Parses a script. Spaces around the parts are allowed, and so is an empty
// part (a trailing ";"). The events come back in the order of their times
// (events at the same time in the script's order). False, with a one-line
// reason in *error, for anything else.
bool ParseSimEvents(std::string_view script, std::vector<SimEvent>* events, std::string* error);

// Carries out one event on the phone.
void ApplySimEvent(SimPhone& phone, const SimEvent& event);

// Carries out the events on a thread of their own, each when its time has
// come on the program's clock, counted from startTick. Returns at once; the
// thread ends after the last event.
void PlaySimEvents(std::shared_ptr<SimPhone> phone, std::vector<SimEvent> events, uint32_t startTick);

}  // namespace orv::sim
