#include "cli/Report.h"

#include <cmath>
#include <cstdio>

#include "cli/Output.h"
#include "cli/Progress.h"
#include "cli/Sha256.h"
#include "platform/Version.h"
#include "serial/PortMap.h"

namespace quillet::cli {

namespace {

using Json = nlohmann::ordered_json;

Json TextOrNull(const std::string& text) { return text.empty() ? Json() : Json(JsonText(text)); }

std::string Dump(const Json& j) { return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

constexpr const char* kErrorPrefix = "quillet-cli: ";

} // namespace

const char* ResultName(int exitCode) {
    switch (exitCode) {
    case kExitDone: return "done";
    case kExitTimeout: return "timed out";
    default: return IsInterruptedExit(exitCode) ? "interrupted" : "failed";
    }
}

const char* ErrorCategoryName(ErrorCategory category) {
    switch (category) {
    case ErrorCategory::None: return nullptr;
    case ErrorCategory::Usage: return "usage";
    case ErrorCategory::File: return "file";
    case ErrorCategory::Port: return "port";
    case ErrorCategory::NoInstrument: return "no-instrument";
    case ErrorCategory::TimeOut: return "time-out";
    case ErrorCategory::DeviceGone: return "device-gone";
    case ErrorCategory::Refused: return "refused";
    case ErrorCategory::Interrupted: return "interrupted";
    }
    return nullptr;
}

ErrorCategory CategoryOfExit(int exitCode, ErrorCategory otherwise) {
    if (exitCode == kExitDone) return ErrorCategory::None;
    if (exitCode == kExitUsage) return ErrorCategory::Usage;
    if (exitCode == kExitTimeout) return ErrorCategory::TimeOut;
    if (IsInterruptedExit(exitCode)) return ErrorCategory::Interrupted;
    return otherwise;
}

std::int64_t JsonMs(double seconds) { return std::llround(seconds * 1000.0); }

// The nearest double to a tenth prints as that tenth ("41.2"), which
// multiplying by 0.1 would not give.
double JsonTenth(double value) { return std::round(value * 10.0) / 10.0; }

std::string JsonText(const std::string& text) {
    std::string oneLine;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool lineBreak = text[i] == '\r' || text[i] == '\n';
        if (!lineBreak) {
            oneLine += text[i];
            continue;
        }
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        if (!oneLine.empty() && oneLine.back() != ' ') oneLine += ' ';
    }
    while (!oneLine.empty() && oneLine.back() == ' ') oneLine.pop_back();
    return EscapeControls(oneLine);
}

std::string MessageEvent(const std::string& kind, const std::string& text, const Json& fields) {
    Json j = fields.is_object() ? fields : Json::object();
    j["event"] = "message";
    j["kind"] = kind;
    j["text"] = JsonText(text);
    return Dump(j) + "\n";
}

std::string MessageEventOfLine(const std::string& line, bool result, const Json& fields) {
    if (result) return MessageEvent("result", line, fields);
    if (line.rfind(kErrorPrefix, 0) == 0) return MessageEvent("error", line.substr(std::string(kErrorPrefix).size()), fields);
    return MessageEvent("info", line, fields);
}

Json OutcomeJson(const Outcome& o) {
    Json j;
    j["schema"] = kJsonSchemaVersion;
    j["program"] = "quillet-cli";
    j["version"] = VersionText();
    j["started"] = TextOrNull(o.started);
    j["command"] = o.command;
    j["result"] = ResultName(o.exitCode);
    j["exit_code"] = o.exitCode;
    const char* error = ErrorCategoryName(o.error);
    j["error"] = error ? Json(error) : Json();
    j["file"] = TextOrNull(o.file);
    j["sha256"] = TextOrNull(o.fileSha256);
    j["slot"] = o.slot ? Json(*o.slot) : Json();
    j["com"] = o.com ? Json(o.com) : Json();
    j["device"] = TextOrNull(o.device);
    j["usb_serial"] = TextOrNull(o.usbSerial);
    j["kind"] = TextOrNull(o.kind);
    Json counts;
    counts["blocks"] = o.blocks;
    counts["resends"] = o.resends;
    if (!o.unit.empty()) {
        counts["units"] = o.units;
        counts["unit"] = o.unit;
    }
    counts["bytes_sent"] = o.bytesSent;
    counts["bytes_received"] = o.bytesReceived;
    j["counts"] = counts;
    j["duration_ms"] = JsonMs(o.durationS);
    j["data_ms"] = JsonMs(o.dataS);
    j["rate"] = o.unit.empty() ? Json() : Json(JsonTenth(o.rate));
    j["rate_unit"] = o.unit.empty() ? Json() : Json(o.unit + "/s");
    j["message"] = JsonText(o.message);
    for (const auto& [key, value] : o.extra.items()) j[key] = value;
    return j;
}

void PrintOutcome(const Outcome& o) { WriteOut(stdout, Dump(OutcomeJson(o)) + "\n"); }

void AddFileAndPort(Outcome& o, const std::string& file) {
    if (!file.empty()) {
        o.file = file;
        o.fileSha256 = FileSha256(file);
    }
    if (!o.device.empty() && o.usbSerial.empty()) o.usbSerial = DescribePort(o.device).serialNumber;
}

} // namespace quillet::cli
