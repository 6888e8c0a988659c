// The way a test reaches an instrument of a given kind, as the operator
// does: the search button of that kind, and the instrument's reply on the
// first port that opens. The dialog then talks to the instrument at its
// group address, with the port open.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "dialog/LoaderDlg.h"
#include "discovery/DeviceKinds.h"
#include "engine/SearchFlow.h"
#include "platform/VirtualHost.h"
#include "protocol/Frame.h"
#include "support/FakeSerialPort.h"

namespace quillet::test {

// The search button of the kind with group address `group`.
inline int SearchButtonOf(std::uint8_t group) {
    for (int id : {IDC_SEARCH_GENERATOR, IDC_SEARCH_ANALYZER, IDC_SEARCH_MV42, IDC_SEARCH_MV48, IDC_SEARCH_DA28,
                   IDC_SEARCH_KX4, IDC_SEARCH_MV99, IDC_SEARCH_MX88})
        if (DeviceKindOfButton(id)->group == group) return id;
    ADD_FAILURE() << "no search button for group " << int(group);
    return 0;
}

// The instrument's reply to the search of `group` (checksum included).
inline std::vector<std::uint8_t> SearchReply(std::uint8_t group) {
    std::vector<std::uint8_t> f{kReplyHeader,        group, 0x00, kSearchReplyLength, 0x00, 0x00, 0x00,
                                CodeLow(kCodeSearch), CodeHigh(kCodeSearch), group, 0x00};
    std::uint8_t sum = 0;
    for (auto b : f) sum = static_cast<std::uint8_t>(sum + b);
    f.push_back(static_cast<std::uint8_t>(0x100 - sum));
    return f;
}

// Presses the search button of `group` and answers on the first port that
// opens; the search ends found there. Returns that port's number.
inline unsigned FindInstrument(CLoaderDlg& dlg, VirtualHost& host, FakeSerialPort& port, std::uint8_t group) {
    dlg.OnCommand(SearchButtonOf(group));
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::Search);
    port.Receive(SearchReply(group));
    host.Advance(SearchFlow::kAfterReplyByteMs);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
    EXPECT_TRUE(dlg.IsPortOpen());
    return dlg.PortNumber();
}

} // namespace quillet::test
