// The data behind the value classes of the modern interface (not installed).
#pragma once

#include <dadovu/Client.h>

#include <optional>
#include <string>
#include <vector>

namespace DaDovu {

struct Component::Impl {
    std::string name;
    std::string description;
    std::string category;
    std::optional<int> pid;
    std::string xml;
    int state = COMPONENT_UNKNOWN;

    // A new record holding `record`'s fields (moved).
    static Component Make(Impl&& record);
};

}  // namespace DaDovu
