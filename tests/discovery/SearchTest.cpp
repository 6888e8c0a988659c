// The device search on the virtual clock: which ports are tried, the
// 300 / 400 / 200 ms timing, the reply matcher, the saved-port rule, both
// failure outcomes and the display states (the parity rules and the receive
// state it leaves are SearchEngineTest's).
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "dialog/LoaderDlg.h"
#include "discovery/DeviceKinds.h"
#include "platform/VirtualHost.h"
#include "support/FakeSerialPort.h"
#include "support/FindInstrument.h"

namespace quillet {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr const char* kNotFound =
    "Can not find available device for this console(from com1 to com99)\r Or COM port is used by "
    "other application!";

Bytes GeneratorReply() { return {0xAB, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x00, 0x00, 0x54}; }

struct SearchTest : ::testing::Test {
    VirtualHost host;
    test::FakeSerialPort port;
    CLoaderDlg dlg{host, &port};
    std::vector<FlowEventInfo> events;

    void SetUp() override {
        dlg.OnInitDialog();
        dlg.SetEventSink([this](const FlowEventInfo& e) { events.push_back(e); });
    }
    // Bytes from the instrument, `gap` ms apart, the first one now.
    void Answer(const Bytes& bytes, unsigned gap = 0) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (i && gap) host.Advance(gap);
            port.Receive({bytes[i]});
        }
    }
    std::vector<unsigned> Tried() const {
        std::vector<unsigned> v;
        for (const auto& o : port.opens) v.push_back(o.port);
        return v;
    }
    int Count(FlowEvent e) const {
        int n = 0;
        for (const auto& x : events) n += x.event == e;
        return n;
    }
    // The last event of kind `e` (the flow's outcome follows it).
    FlowEventInfo Last(FlowEvent e) const {
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (it->event == e) return *it;
        return {};
    }
};

TEST_F(SearchTest, EveryButtonSendsTheSearchFrameOfItsKind) {
    const std::pair<int, std::uint8_t> buttons[] = {
        {IDC_SEARCH_GENERATOR, 0x00}, {IDC_SEARCH_ANALYZER, 0x01}, {IDC_SEARCH_MV42, 0x02},
        {IDC_SEARCH_MV48, 0x03},      {IDC_SEARCH_DA28, 0x04},     {IDC_SEARCH_KX4, 0x05},
        {IDC_SEARCH_MV99, 0x06},      {IDC_SEARCH_MX88, 0x07}};
    for (auto [id, g] : buttons) {
        port.writes.clear();
        dlg.OnCommand(id);
        ASSERT_EQ(port.writes.size(), 1u) << id;
        EXPECT_EQ(port.writes[0],
                  (Bytes{0xAA, g, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0xF8,
                         static_cast<std::uint8_t>(0x57 - g)}))
            << id;
        // The search now waits for the reply of that address (group g,
        // machine 00) alone, and finds it.
        EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::Search);
        const int found = Count(FlowEvent::SearchFound);
        Answer(test::SearchReply(g));
        host.Advance(200);
        EXPECT_EQ(Count(FlowEvent::SearchFound), found + 1) << id;
    }
}

// One row per kind: its name and group address each lead back to it, and
// the dialog has one search button for each.
TEST(DeviceKinds, EveryRowIsFoundByItsNameButtonAndGroup) {
    std::set<const DeviceKind*> buttons;
    for (int id : {IDC_SEARCH_GENERATOR, IDC_SEARCH_ANALYZER, IDC_SEARCH_MV42, IDC_SEARCH_MV48, IDC_SEARCH_DA28,
                   IDC_SEARCH_KX4, IDC_SEARCH_MV99, IDC_SEARCH_MX88})
        buttons.insert(DeviceKindOfButton(id));
    for (const DeviceKind& k : kDeviceKinds) {
        EXPECT_EQ(FindDeviceKind(k.name), &k);
        EXPECT_EQ(buttons.count(&k), 1u) << k.name;
        EXPECT_EQ(&DeviceKindOfGroup(k.group), &k);
    }
    EXPECT_EQ(FindDeviceKind("oscilloscope"), nullptr);
    EXPECT_EQ(DeviceKindOfButton(IDC_LOAD_IMAGE), nullptr);
    EXPECT_EQ(DeviceKindNames(), "generator, analyzer, mv42, mv48, da28, kx4, mv99, mx88");
}

TEST_F(SearchTest, AbsentPortsCostNoWaitAndTheFoundPortIsShownOpen) {
    port.present = {3};
    dlg.OnCommand(IDC_SEARCH_GENERATOR);
    EXPECT_EQ(Tried(), (std::vector<unsigned>{1, 2, 3}));
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(port.writes[0], (Bytes{0xAA, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x57}));
    EXPECT_EQ(port.monitorStarts, 1);
    EXPECT_EQ(host.TimerDue(TIMER_SCAN), 300u);
    EXPECT_EQ(host.GetItemText(IDC_SEARCH_STATUS), "Please wait.....");
    EXPECT_EQ(host.portIcon, IDI_PORT_CLOSED);
    EXPECT_EQ(port.opens[2].bufferSize, 512u);

    host.Advance(40);
    Answer(GeneratorReply(), 1);  // bytes at 40..51 ms
    // 200 ms after the eleventh byte; the checksum byte comes after the
    // match has ended and moves nothing.
    EXPECT_EQ(host.TimerDue(TIMER_SCAN), 250u);
    host.Advance(198);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::Search);
    EXPECT_EQ(Count(FlowEvent::SearchFound), 0);
    host.Advance(1);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
    EXPECT_EQ(dlg.PortNumber(), 3u);
    EXPECT_TRUE(dlg.IsPortOpen());
    EXPECT_TRUE(port.open);
    EXPECT_EQ(host.GetComboSel(IDC_COM_LIST), 2);
    EXPECT_EQ(host.GetItemText(IDC_PORT_BUTTON), "Close Port");
    EXPECT_EQ(host.portIcon, IDI_PORT_OPEN);
    EXPECT_EQ(host.GetItemText(IDC_SEARCH_STATUS), " ");
    EXPECT_FALSE(host.IsTimerArmed(TIMER_SCAN));
    ASSERT_EQ(Count(FlowEvent::SearchFound), 1);
    EXPECT_EQ(Last(FlowEvent::SearchFound).a, 3);
    EXPECT_EQ(static_cast<OutcomeKind>(Last(FlowEvent::FlowEnded).a), OutcomeKind::Done);
    EXPECT_EQ(port.writes.size(), 1u);
    EXPECT_TRUE(host.boxes.empty());
    // Later bytes go to the frame parser again (SearchEngineTest).
}

TEST_F(SearchTest, EveryByteAfterTheHeaderMovesTheTick) {
    port.present = {1};
    dlg.OnCommand(IDC_SEARCH_GENERATOR);
    host.Advance(100);
    port.Receive({0x55});  // noise in the idle state: no re-arm
    EXPECT_EQ(host.TimerDue(TIMER_SCAN), 300u);
    port.Receive({0xAB});  // the header itself is taken in the idle state
    EXPECT_EQ(host.TimerDue(TIMER_SCAN), 300u);
    const Bytes reply = GeneratorReply();
    for (std::size_t i = 1; i < 11; ++i) {
        host.Advance(150);
        port.Receive({reply[i]});
        EXPECT_EQ(host.TimerDue(TIMER_SCAN), host.Now() + 200) << i;
    }
    // Bytes 150 ms apart: the search is still waiting after 1.6 s.
    EXPECT_EQ(host.Now(), 1600u);
    host.Advance(150);
    port.Receive({reply[11]});
    EXPECT_EQ(host.TimerDue(TIMER_SCAN), 1800u);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::Search);
    host.Advance(50);
    EXPECT_EQ(Count(FlowEvent::SearchFound), 1);
}

TEST_F(SearchTest, ReplyCutAfterSixBytesMovesTheScanOn) {
    port.present = {1, 2};
    dlg.OnCommand(IDC_SEARCH_GENERATOR);
    host.Advance(10);
    const Bytes r = GeneratorReply();
    Answer(Bytes(r.begin(), r.begin() + 6), 10);  // last byte at 60 ms
    EXPECT_EQ(host.TimerDue(TIMER_SCAN), 260u);
    host.Advance(199);
    EXPECT_EQ(port.opens.size(), 1u);
    host.Advance(1);
    EXPECT_EQ(Tried(), (std::vector<unsigned>{1, 2}));
    EXPECT_EQ(port.closeRequests, 2);  // at the start and before COM2
    EXPECT_EQ(port.writes.size(), 2u);
    EXPECT_EQ(port.writes[1], port.writes[0]);
    EXPECT_EQ(host.TimerDue(TIMER_SCAN), 660u);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::Search);
    EXPECT_EQ(dlg.PortNumber(), 2u);
}

TEST_F(SearchTest, RepliesThatDoNotMatchAreNotFound) {
    const Bytes analyzer{0xAB, 0x01, 0x00, 0x07, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x01, 0x00, 0x52};
    Bytes wrongLength = GeneratorReply();
    wrongLength[3] = 0x08;
    Bytes wrongHigh = GeneratorReply();
    wrongHigh[4] = 0x01;
    Bytes otherMachine = GeneratorReply();
    otherMachine[10] = 0x01;
    Bytes wrongCode = GeneratorReply();
    wrongCode[7] = 0x01;
    for (const Bytes& reply : {analyzer, wrongLength, wrongHigh, otherMachine, wrongCode}) {
        events.clear();
        host.boxes.clear();
        port.present = {1};
        dlg.OnCommand(IDC_SEARCH_GENERATOR);
        Answer(reply);
        host.Advance(300);
        EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
        EXPECT_FALSE(dlg.IsPortOpen());
        EXPECT_EQ(Count(FlowEvent::SearchFound), 0);
        ASSERT_EQ(host.boxes.size(), 1u);
        EXPECT_EQ(host.boxes[0].text, kNotFound);
        EXPECT_EQ(host.boxes[0].caption, "ISP");
        // The parser is left idle (SearchEngineTest).
    }
}

TEST_F(SearchTest, AnalyzerIsFoundByItsOwnButtonAndChecksumIsNotExamined) {
    port.present = {2};
    dlg.OnCommand(IDC_SEARCH_ANALYZER);
    Answer({0xAB, 0x01, 0x00, 0x07, 0x00, 0x5A, 0x5A, 0x02, 0xF8, 0x01, 0x00, 0x00});
    host.Advance(200);
    ASSERT_EQ(Count(FlowEvent::SearchFound), 1);
    EXPECT_EQ(Last(FlowEvent::SearchFound).a, 2);
    EXPECT_EQ(host.GetComboSel(IDC_COM_LIST), 1);
}

TEST_F(SearchTest, EleventhByteLateIsLost) {
    port.present = {1, 2};
    dlg.OnCommand(IDC_SEARCH_GENERATOR);
    const Bytes r = GeneratorReply();
    Answer(Bytes(r.begin(), r.begin() + 10));
    host.Advance(200);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::Search);
    EXPECT_EQ(dlg.PortNumber(), 2u);
    EXPECT_EQ(Tried(), (std::vector<unsigned>{1, 2}));
    EXPECT_EQ(Count(FlowEvent::SearchFound), 0);
}

TEST_F(SearchTest, FailedScanRestoresTheSavedPortWhenPortsOpened) {
    // COM7 chosen in the list and open before the search; it is gone when
    // the scan comes to it.
    port.present = {1, 2, 3, 7};
    host.comboSel[IDC_COM_LIST] = 6;
    dlg.OnPortListSelect();
    ASSERT_TRUE(dlg.IsPortOpen());
    ASSERT_EQ(dlg.PortNumber(), 7u);
    port.present = {1, 2, 3};
    port.opens.clear();
    dlg.OnCommand(IDC_SEARCH_GENERATOR);
    EXPECT_FALSE(dlg.IsPortOpen());
    EXPECT_EQ(host.GetItemText(IDC_PORT_BUTTON), "Turn on Port");
    EXPECT_GE(port.closeRequests, 1);
    host.Advance(300 + 400 + 399);
    EXPECT_TRUE(host.boxes.empty());
    host.Advance(1);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, kNotFound);
    EXPECT_EQ(host.boxes[0].caption, "ISP");
    EXPECT_EQ(host.boxes[0].at, 1100u);
    EXPECT_EQ(dlg.PortNumber(), 7u);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
    EXPECT_EQ(Tried().size(), 99u);
    EXPECT_FALSE(host.IsTimerArmed(TIMER_SCAN));
    EXPECT_EQ(host.GetItemText(IDC_SEARCH_STATUS), " ");
    EXPECT_EQ(host.GetItemText(IDC_PORT_BUTTON), "Turn on Port");
    EXPECT_EQ(host.portIcon, IDI_PORT_CLOSED);
    EXPECT_FALSE(port.open);
    ASSERT_EQ(Count(FlowEvent::SearchFailed), 1);
    EXPECT_EQ(Last(FlowEvent::SearchFailed).a, 1);
}

TEST_F(SearchTest, NoPortOpenedFailsAtOnceOnPortOne) {
    // COM7 open before the search, then gone with every other port.
    port.present = {7};
    host.comboSel[IDC_COM_LIST] = 6;
    dlg.OnPortListSelect();
    ASSERT_EQ(dlg.PortNumber(), 7u);
    port.present.clear();
    port.opens.clear();
    dlg.OnCommand(IDC_SEARCH_GENERATOR);
    EXPECT_EQ(port.opens.size(), 99u);
    EXPECT_EQ(port.opens.back().port, 99u);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, kNotFound);
    EXPECT_EQ(host.boxes[0].caption, "ISP");
    EXPECT_EQ(host.boxes[0].at, 0u);
    EXPECT_EQ(dlg.PortNumber(), 1u);
    EXPECT_FALSE(dlg.IsPortOpen());
    EXPECT_TRUE(port.writes.empty());
    EXPECT_FALSE(host.IsTimerArmed(TIMER_SCAN));
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
    EXPECT_EQ(host.GetItemText(IDC_SEARCH_STATUS), " ");
    ASSERT_EQ(Count(FlowEvent::SearchFailed), 1);
    EXPECT_EQ(Last(FlowEvent::SearchFailed).a, 0);
    // The search's one outcome follows: failed, with the operator's words.
    EXPECT_EQ(events.back().event, FlowEvent::FlowEnded);
    EXPECT_EQ(static_cast<OutcomeKind>(events.back().a), OutcomeKind::Failed);
    EXPECT_EQ(static_cast<FlowKind>(events.back().b), FlowKind::Search);
}

TEST_F(SearchTest, NewSearchWithNoPortEndsTheScanItInterrupted) {
    port.present = {1, 2};
    dlg.OnCommand(IDC_SEARCH_GENERATOR);
    port.present.clear();
    dlg.OnCommand(IDC_SEARCH_GENERATOR);
    host.Advance(5000);
    EXPECT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(Count(FlowEvent::SearchFailed), 1);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
}

TEST_F(SearchTest, FullScanOfNinetyNineSilentPortsTakesThirtyNineAndAHalfSeconds) {
    port.present.clear();
    for (unsigned p = 1; p <= 99; ++p) port.present.insert(p);
    dlg.OnCommand(IDC_SEARCH_GENERATOR);
    host.Advance(39499);
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_EQ(port.writes.size(), 99u);
    host.Advance(1);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].at, 39500u);
    EXPECT_EQ(port.opens.size(), 99u);
    EXPECT_EQ(dlg.PortNumber(), 1u);  // the saved port
}

TEST_F(SearchTest, TimerFourOutsideASearchDoesNothing) {
    host.SetTimer(TIMER_SCAN, 7000);
    host.Advance(21000);
    EXPECT_TRUE(port.opens.empty());
    EXPECT_EQ(port.closeRequests, 0);
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_TRUE(host.IsTimerArmed(TIMER_SCAN));
}

} // namespace
} // namespace quillet
