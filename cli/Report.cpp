#include "cli/Report.h"

#include <cmath>
#include <cstdio>

namespace quillet::cli {

const char* ResultName(int exitCode) {
    switch (exitCode) {
    case kExitDone: return "done";
    case kExitTimeout: return "timed out";
    default: return IsInterruptedExit(exitCode) ? "interrupted" : "failed";
    }
}

namespace {
double Rounded(double v, double unit) { return std::round(v / unit) * unit; }
} // namespace

nlohmann::ordered_json OutcomeJson(const Outcome& o) {
    nlohmann::ordered_json j;
    j["command"] = o.command;
    j["result"] = ResultName(o.exitCode);
    j["exit_code"] = o.exitCode;
    j["com"] = o.com ? nlohmann::ordered_json(o.com) : nlohmann::ordered_json();
    j["device"] = o.device.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(o.device);
    j["kind"] = o.kind.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(o.kind);
    nlohmann::ordered_json counts;
    counts["blocks"] = o.blocks;
    counts["resends"] = o.resends;
    if (!o.unit.empty()) {
        counts["units"] = o.units;
        counts["unit"] = o.unit;
    }
    counts["bytes_sent"] = o.bytesSent;
    counts["bytes_received"] = o.bytesReceived;
    j["counts"] = counts;
    j["duration_s"] = Rounded(o.durationS, 0.001);
    j["data_s"] = Rounded(o.dataS, 0.001);
    if (!o.unit.empty()) {
        j["rate"] = Rounded(o.rate, 0.01);
        j["rate_unit"] = o.unit + "/s";
    }
    j["message"] = o.message;
    for (const auto& [key, value] : o.extra.items()) j[key] = value;
    return j;
}

void PrintOutcome(const Outcome& o) {
    const std::string text =
        OutcomeJson(o).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

} // namespace quillet::cli
