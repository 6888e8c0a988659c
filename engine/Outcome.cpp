#include "engine/Outcome.h"

#include <array>
#include <cctype>
#include <utility>

namespace quillet {

namespace {

// What each flow leaves behind when it ends short; "%" stands for the way
// back into an interrupted main-MCU update.
constexpr std::array<std::pair<FlowKind, const char*>, 12> kAdvice = {{
    {FlowKind::Search, "no flow had started"},
    {FlowKind::PatternErase, "the slot may hold no pattern now: run the upload again"},
    {FlowKind::PatternStream, "the slot holds a partial pattern: run the upload again"},
    {FlowKind::PanelStream, "the panel slot holds a partial image: run the upload again"},
    {FlowKind::FpgaStream, "the FPGA flash holds a partial image: write it again before the instrument is restarted"},
    {FlowKind::AuxFpgaStream, "the FPGA flash holds a partial image: write it again before the instrument is restarted"},
    {FlowKind::AnalyzerData, "the data flash holds partial data: write it again"},
    {FlowKind::McuEntry, "if the instrument stays in its bootloader, %"},
    {FlowKind::McuBootloader, "the MCU is left in its bootloader with a partial image: %"},
    {FlowKind::SubMcuEntry, "re-power the instrument if it stays in boot mode"},
    {FlowKind::BoardEntry, "re-power the instrument if the board stays in boot mode"},
    {FlowKind::BoardLoader, "the board is left in its loader: re-power the instrument and run the update again"},
}};

} // namespace

AdviceTerms DialogAdviceTerms(bool analyzer) {
    if (analyzer) return {"re-power the instrument and press the analyzer's MCU button again"};
    return {"enter 101 as the user pattern number and press the MCU button to write it again"};
}

std::string FlowAdvice(FlowKind flow, const AdviceTerms& terms) {
    for (const auto& [kind, text] : kAdvice) {
        if (kind != flow) continue;
        std::string advice = text;
        const auto mark = advice.find('%');
        if (mark != std::string::npos) advice.replace(mark, 1, terms.mcuAgain);
        return advice;
    }
    return {};
}

std::string LostText(const std::string& portName, const FlowSnapshot& was) {
    std::string text = portName + " went away";
    if (was.Running()) text += " during " + was.what + " " + was.progress;
    text += ". Reconnect the instrument and ";
    switch (was.kind) {
    case FlowKind::None: return text + "search for it again.";
    case FlowKind::McuBootloader:
        return text + "update it again; if its MCU stays in the bootloader, enter 101 as the user pattern number first.";
    case FlowKind::McuEntry:
    case FlowKind::SubMcuEntry:
    case FlowKind::BoardEntry:
    case FlowKind::BoardLoader: return text + "update it again.";
    default: return text + "upload again.";
    }
}

const char* OutcomeName(OutcomeKind kind) {
    switch (kind) {
    case OutcomeKind::Done: return "done";
    case OutcomeKind::Failed: return "failed";
    case OutcomeKind::TimedOut: return "timed-out";
    case OutcomeKind::Stopped: return "stopped";
    case OutcomeKind::DeviceGone: return "device-gone";
    }
    return "failed";
}

namespace {
std::string Capitalised(const std::string& text) {
    if (text.empty()) return text;
    return static_cast<char>(std::toupper(static_cast<unsigned char>(text[0]))) + text.substr(1);
}
} // namespace

std::string OutcomeText(const std::string& message, const std::string& advice) {
    if (advice.empty()) return Capitalised(message);
    return Capitalised(message) + "\n" + Capitalised(advice) + ".";
}

} // namespace quillet
