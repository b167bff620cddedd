// How dadovuctl words a failed request for an operator: the daemon's codes
// for add and delete in words, and what to check next.
#pragma once

#include "ExitStatus.h"
#include "Runner.h"

#include <dadovu/Client.h>

#include <optional>
#include <string>

namespace DaDovuCtl {

// What a refusal code of "addcomponent" or "deletecomponent" means, with the
// exit status and kind it gets; nothing for a code without a meaning of its own.
struct Refusal {
    const char* words;  // "a component of that name exists already"
    Exit status;
    const char* kind;
};
std::optional<Refusal> RefusalOf(const std::string& operation, int code);

// The status and failure that `error` stands for, with its hint.
std::pair<Exit, Failure> Explain(const DaDovu::Error& error);

}  // namespace DaDovuCtl
