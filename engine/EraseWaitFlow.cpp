#include "engine/EraseWaitFlow.h"

namespace quillet {
namespace {

constexpr int kTickLimit = 50;  // the 51st tick abandons the wait
constexpr std::uint8_t kLineFeed = 0x0A;
constexpr const char* kConfirmation = "cnd 12";

// The slot command of user pattern n: 28 bytes, no terminator.
std::string SlotCommand(int slot) {
    std::string text = "\r\nDBG 1\r\nfpw 7c 0";
    text += static_cast<char>('5' + slot);  // 06..09
    text += "\r\ncnd 12\r\n";
    return text;
}

} // namespace

void EraseWaitFlow::Begin(int slot) {
    const std::string command = SlotCommand(slot);
    m_link.Send(reinterpret_cast<const std::uint8_t*>(command.data()), command.size());
    m_ticks = 1;
    m_echo.clear();
    m_link.Tell(FlowEvent::EraseWaitStarted);
    m_link.StartTimer(FlowTimer::EraseTick, kTickMs);
}

bool EraseWaitFlow::OnByte(std::uint8_t b) {
    m_echo.push_back(static_cast<char>(b));
    if (b != kLineFeed || m_echo.find(kConfirmation) == std::string::npos) return false;
    m_ticks = 0;
    m_echo.clear();
    m_link.StopTimer(FlowTimer::EraseTick);
    m_link.Tell(FlowEvent::EraseWaitEnded, 1);
    return true;
}

EraseWaitFlow::Tick EraseWaitFlow::OnTick() {
    if (m_ticks == 0) {
        m_link.StopTimer(FlowTimer::EraseTick);
        return Tick::Idle;
    }
    if (m_ticks > kTickLimit) return Tick::TimedOut;
    ++m_ticks;
    return Tick::Waiting;
}

void EraseWaitFlow::Stop() {
    if (m_ticks == 0) return;
    m_link.StopTimer(FlowTimer::EraseTick);
    m_ticks = 0;
    m_link.Tell(FlowEvent::EraseWaitEnded, 0);
}

FlowSnapshot EraseWaitFlow::Snapshot(int slot) {
    FlowSnapshot f;
    f.kind = FlowKind::PatternErase;
    f.slot = slot;
    f.what = "the user-pattern upload to slot " + std::to_string(slot);
    f.progress = "while the slot was being erased";
    f.stage = kStageErasing;
    f.writing = true;
    return f;
}

std::string EraseWaitFlow::TimeoutText() {
    return "time-out: the instrument did not confirm the erase of the slot within " +
           std::to_string((kTickLimit + 1) * kTickMs / 1000) + " s (no \"cnd 12\" line); nothing was sent";
}

} // namespace quillet
