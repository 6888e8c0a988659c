// The main-MCU entry on the engine alone: its banner, and what stays of the
// entry once the bootloader exchange has taken over from it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/EngineRig.h"

namespace quillet {
namespace {

using test::Bytes;
using EntryEngineTest = test::EngineRig;

// The entry is left under way behind the exchange: until the exchange
// takes the bytes (its first sync byte), a boot-mode line still reaches the
// banner matcher; from then on the bytes are the bootloader's.
TEST_F(EntryEngineTest, TheMainMcuEntryStaysUnderWayUntilTheExchangeTakesTheBytes) {
    engine.EnterMainMcu();
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(engine.Running().kind, FlowKind::McuEntry);
    Feed(" ISP MODE...\r");
    EXPECT_EQ(view.steps, std::vector<std::string>{"banner: other"});

    // The dialog's answer to the banner: the port is given up and the
    // exchange takes the image.
    port.RequestClose();
    engine.UpdateMainMcu(std::make_shared<const std::vector<std::uint8_t>>(Bytes(64, 0x5A)));
    EXPECT_EQ(engine.Running().kind, FlowKind::McuBootloader);
    EXPECT_EQ(engine.EntryData().mcuEntry, 1);
    EXPECT_TRUE(engine.Entry().Waiting());

    // The first sync tick reopens the port at even parity; nothing is sent yet.
    host.Advance(300);
    ASSERT_EQ(port.opens.back().parity, 'E');
    ASSERT_EQ(port.writes.size(), 1u);
    Feed(" ISP MODE...\r");
    EXPECT_EQ(view.steps, (std::vector<std::string>{"banner: other", "banner: other"}));

    // The second sends the sync byte: the exchange takes the bytes now.
    host.Advance(300);
    ASSERT_EQ(port.writes.back(), (Bytes{0x7F}));
    Feed(" ISP MODE...\r");
    EXPECT_EQ(view.steps.size(), 2u);
    EXPECT_EQ(engine.Running().kind, FlowKind::McuBootloader);
}

} // namespace
} // namespace quillet
