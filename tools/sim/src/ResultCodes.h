// The "result" codes that the simulated control daemon answers, the request
// IDs of asynchronous commands, and the progress codes of "requestprogress".
// A code whose bit of value 64 is set is a failure; every other code is
// accepted by callers. README.md and the WSDL document the same table.
#pragma once

namespace DaDovuSim {

namespace Result {
constexpr int kSuccess = 0;
// "requestprogress": the command is queued or still running.
constexpr int kRunning = 1;

constexpr int kComponentFailed = 64;     // a selected component failed to start or to stop
constexpr int kNoMatch = 65;             // the target selects no component; unknown request ID
constexpr int kInvalidArgument = 66;     // a level outside 0..7, a flag that is not a boolean word
constexpr int kPrerequisiteFailed = 71;  // a selected component was not started: a prerequisite failed
constexpr int kNoSubscriber = 73;        // no selected component subscribes to the event
constexpr int kNoUser = 75;              // the daemon cannot name the user of its processes

// "addcomponent"
constexpr int kFileNotFound = 80;        // no such file in the components directory
constexpr int kInvalidDefinition = 81;   // the file is not a valid definition
constexpr int kAlreadyExists = 82;       // a component of that name exists
constexpr int kFileNameRefused = 83;     // not a plain file name, or no components directory
constexpr int kUnknownPrerequisite = 84; // a prerequisite names no known component

// "deletecomponent"
constexpr int kUnknownComponent = 85;    // no component of that name
constexpr int kStillRequired = 86;       // another component names it as a prerequisite
constexpr int kBusy = 87;                // it is starting or stopping right now

constexpr bool IsFailure(int code) { return (code & 64) != 0; }
}  // namespace Result

// Request IDs of asynchronous commands count up from kFirstRequestId, skip
// every value whose bit of value 64 is set (callers would read it as a
// failure) and stay below kRequestIdLimit, then wrap back to the start. They
// never collide with a result code, all of which are below 128.
constexpr int kFirstRequestId = 1024;
constexpr int kRequestIdLimit = 0x7fff0000;

}  // namespace DaDovuSim
