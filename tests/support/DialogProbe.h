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
    // The port, its settings, the addresses and the receive state.
    Engine& Core() { return d.m_engine; }
    InstrumentLink& Link() { return d.m_engine.m_link; }
    unsigned& ComPort() { return d.m_engine.m_link.Com(); }
    char& Parity() { return d.m_engine.m_link.Line().parity; }

    // Addresses.
    std::uint8_t& DeviceGroup() { return d.m_engine.m_link.Device().group; }
    std::uint8_t& DeviceMachine() { return d.m_engine.m_link.Device().machine; }
    std::uint8_t& ConsoleGroup() { return d.m_engine.m_link.Console().group; }
    std::uint8_t& ConsoleMachine() { return d.m_engine.m_link.Console().machine; }

    // The receive state the reply parser and the search matcher share.
    int& RxState() { return d.m_engine.m_link.ReceiveState(); }

    // Data-exchange members.
    float& Progress() { return d.m_fProgress; }
    int& PatternNo() { return d.m_nPatternNo; }
    int& KeyboardChain() { return d.m_nKeyboardChain; }
    std::string& StatusText() { return d.m_strStatus; }

    // Erase wait of the pattern upload.
    int& EraseWait() { return d.m_engine.m_erase.m_ticks; }
    std::string& EchoText() { return d.m_engine.m_erase.m_echo; }

    // Flow components.
    SearchState& Search() { return d.m_engine.m_searchData; }
    StreamState& Stream() { return d.m_engine.m_streamData; }
    PatternImages& Images() { return d.m_images; }
    // The raster of the last accepted 1920x1080 import (shared, null before one).
    SharedBytes& Raster() { return d.m_raster; }
    std::vector<std::uint8_t> RasterBytes() const { return d.m_raster ? *d.m_raster : std::vector<std::uint8_t>{}; }
    void SetRaster(std::vector<std::uint8_t> raster) {
        d.m_raster = std::make_shared<const std::vector<std::uint8_t>>(std::move(raster));
    }
    EntryState& Entry() { return d.m_engine.m_entryData; }
    McuBootloaderFlow& BootFlow() { return d.m_engine.m_boot; }
    InputBoardState& Board() { return d.m_engine.m_board.m_s; }

private:
    CLoaderDlg& d;
};

inline DialogProbe Probe(CLoaderDlg& dlg) { return DialogProbe(dlg); }

} // namespace quillet::test
