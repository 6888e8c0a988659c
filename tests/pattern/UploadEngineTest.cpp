// The user-pattern upload through the engine on its own, on the virtual
// clock over a fake port: how the erase wait counts its ticks.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engine/Engine.h"
#include "pattern/Images.h"
#include "support/EngineRig.h"

namespace quillet {
namespace {

using Bytes = std::vector<std::uint8_t>;
using UploadEngineTest = test::EngineRig;

TEST_F(UploadEngineTest, EraseWaitCountsFromOneAndGivesUpAtItsFiftyFirstTick) {
    engine.StorePattern(1, std::make_shared<const Bytes>(kRasterBytes, std::uint8_t{0}));
    EXPECT_EQ(engine.EraseWait().Ticks(), 1);
    host.Advance(50 * EraseWaitFlow::kTickMs);
    EXPECT_EQ(engine.EraseWait().Ticks(), 51);
    EXPECT_EQ(engine.Running().kind, FlowKind::PatternErase);
    EXPECT_TRUE(host.IsTimerArmed(test::kEraseTimer));
    host.Advance(EraseWaitFlow::kTickMs);
    EXPECT_EQ(engine.EraseWait().Ticks(), 0);
    EXPECT_FALSE(engine.Running().Running());
    EXPECT_FALSE(host.IsTimerArmed(test::kEraseTimer));
}

} // namespace
} // namespace quillet
