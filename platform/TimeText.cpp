#include "platform/TimeText.h"

#include <ctime>

namespace quillet {

std::string UtcTimeText(std::chrono::system_clock::time_point t) {
    const std::time_t now = std::chrono::system_clock::to_time_t(t);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

} // namespace quillet
