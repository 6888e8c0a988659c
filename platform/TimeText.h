// Times as the logs write them.
#pragma once

#include <chrono>
#include <string>

namespace quillet {

// A time (now by default) in UTC as ISO 8601 ("2026-12-09T08:42:07Z").
std::string UtcTimeText(std::chrono::system_clock::time_point t = std::chrono::system_clock::now());

} // namespace quillet
