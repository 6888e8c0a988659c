// The eight instrument kinds and their search buttons.
#pragma once

#include <cstdint>
#include <string>

namespace quillet::cli {

struct KindInfo {
    const char* name;         // command-line name
    const char* description;  // for the operator
    int searchButton;         // control id of the search button
    std::uint8_t group;       // group address
};

const KindInfo* FindKind(const std::string& name);
const KindInfo& KindOrGenerator(const std::string* name);
std::string KindNames();

} // namespace quillet::cli
