// The tests' one way into the dialog's own state. The front ends see the
// dialog through its flow events and read-only view; the tests also set up
// and check what lies behind them (flags, receive state, buffers, the flow
// components). Moving or renaming a member of CLoaderDlg touches this file
// and no test.
#pragma once

#include "dialog/LoaderDlg.h"

namespace quillet::test {

class DialogProbe {
public:
    explicit DialogProbe(CLoaderDlg& dlg) : d(dlg) {}

    // Serial settings and port display.
    int& PortOpen() { return d.m_bPortOpen; }
    unsigned& ComPort() { return d.m_nPort; }
    char& Parity() { return d.m_cParity; }
    unsigned& Baud() { return d.m_nBaud; }
    std::uint32_t& EventMask() { return d.m_nEventMask; }

    // Addresses.
    std::uint8_t& DeviceGroup() { return d.m_devGroup; }
    std::uint8_t& DeviceMachine() { return d.m_devMachine; }
    std::uint8_t& ConsoleGroup() { return d.m_conGroup; }
    std::uint8_t& ConsoleMachine() { return d.m_conMachine; }

    // Receive dispatcher and command frames.
    int& RxState() { return d.m_nRxState; }
    auto& ReplyBuffer() { return d.m_reply; }
    auto& CommandBuffer() { return d.m_cmd; }
    auto& Opcodes() { return d.m_opcodes; }
    static auto BlockAckHandler() { return &CLoaderDlg::OnBlockAck; }
    static auto EmptyHandler() { return &CLoaderDlg::OnEmptyOpcode; }

    // Data-exchange members.
    float& Progress() { return d.m_fProgress; }
    int& PatternNo() { return d.m_nPatternNo; }
    int& KeyboardChain() { return d.m_nKeyboardChain; }
    std::string& StatusText() { return d.m_strStatus; }

    // Erase wait of the pattern upload.
    int& EraseWait() { return d.m_eraseFlow.m_ticks; }
    std::string& EchoText() { return d.m_eraseFlow.m_echo; }

    // Flow components.
    SearchState& Search() { return d.m_search; }
    StreamState& Stream() { return d.m_stream; }
    PatternImages& Images() { return d.m_images; }
    // The raster of the last accepted 1920x1080 import (shared, null before one).
    SharedBytes& Raster() { return d.m_raster; }
    std::vector<std::uint8_t> RasterBytes() const { return d.m_raster ? *d.m_raster : std::vector<std::uint8_t>{}; }
    void SetRaster(std::vector<std::uint8_t> raster) {
        d.m_raster = std::make_shared<const std::vector<std::uint8_t>>(std::move(raster));
    }
    EntryState& Entry() { return d.m_entry; }
    McuBootloaderFlow& BootFlow() { return d.m_bootFlow; }
    InputBoardState& Board() { return d.m_boardFlow.m_s; }

private:
    CLoaderDlg& d;
};

inline DialogProbe Probe(CLoaderDlg& dlg) { return DialogProbe(dlg); }

} // namespace quillet::test
