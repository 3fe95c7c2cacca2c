// A device that mimics a recorded one: the optional section [HTDev%02d_Replay] of a device names
// a capture (Capture=<file>, relative to QLN.ini's directory), and a request the capture holds
// (the same command and the same data after the address) is answered with the recorded reply's
// response code and data, the recorded replies of one request in turn. The device status byte is
// the device's own, as in its other replies; the file is left as it is, even by a replayed write.
// Anything the capture does not hold is answered as usual.
#pragma once

#include <cstdint>
#include <string>

#include "commands/command_context.h"
#include "device/replay_capture.h"

namespace qln {

std::string ReplaySection(uint8_t device);  // "HTDev%02d_Replay"
inline constexpr std::string_view kReplayCaptureKey = "Capture";

// Brings the device's replay up to its Capture key: a changed key loads the capture it names
// (read without the model lock, so that other devices answer meanwhile), and a refused file is
// reported once to the notifier, naming the file and what is wrong; the device then answers as
// usual. Takes the model lock itself; call it without.
void PrepareReplay(CommandContext& ctx, uint8_t device);

// Answers the pending request from the device's capture when it holds the request: response
// code, data and the device's status byte. False (the exchange untouched) when it does not. The
// caller holds the model lock.
bool AnswerFromReplay(CommandContext& ctx, uint8_t device);

}  // namespace qln
