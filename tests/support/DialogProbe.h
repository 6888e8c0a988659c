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

    // The engine and the link.
    Engine& Core() { return d.m_engine; }
    InstrumentLink& Link() { return d.m_engine.m_link; }

    // Addresses.
    std::uint8_t& DeviceGroup() { return d.m_engine.m_link.Device().group; }
    std::uint8_t& ConsoleGroup() { return d.m_engine.m_link.Console().group; }
    std::uint8_t& ConsoleMachine() { return d.m_engine.m_link.Console().machine; }

    // The receive state the reply parser and the search matcher share.
    int& RxState() { return d.m_engine.m_link.ReceiveState(); }

    // The pattern field as the dialog read it, and the preview it draws
    // (the Qt host's tests).
    int& PatternNo() { return d.m_nPatternNo; }
    PatternImages& Images() { return d.m_images; }

    // Erase wait of the pattern upload.
    std::string& EchoText() { return d.m_engine.m_erase.m_echo; }

    // Flow components.
    SearchState& Search() { return d.m_engine.m_searchData; }
    StreamState& Stream() { return d.m_engine.m_streamData; }
    // The raster of the last accepted 1920x1080 import (shared, null before one).
    SharedBytes& Raster() { return d.m_raster; }
    EntryState& Entry() { return d.m_engine.m_entryData; }

private:
    CLoaderDlg& d;
};

inline DialogProbe Probe(CLoaderDlg& dlg) { return DialogProbe(dlg); }

} // namespace quillet::test
