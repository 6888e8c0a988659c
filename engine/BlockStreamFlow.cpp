#include "engine/BlockStreamFlow.h"

#include <algorithm>

#include "protocol/Counts.h"

namespace quillet {
namespace {

constexpr float kWhole = 100;

float Percent(std::uint32_t part, std::uint32_t whole) {
    return static_cast<float>(static_cast<double>(part) / static_cast<double>(whole) * 100.0);
}

} // namespace

void BlockStreamFlow::Prepare(int slot) {
    m_st.finished = 1;
    m_st.sentAny = 0;
    m_st.closeArmed = 0;
    m_st.slot = slot;
}

std::size_t BlockStreamFlow::End() const {
    return std::min<std::size_t>(m_st.size, m_st.Bytes().size());
}

std::uint8_t BlockStreamFlow::PlaceNextBlock(std::uint8_t marker) {
    FillNextBlock(m_st);
    const std::uint8_t placed = m_st.position >= End() ? kMarkerLast : marker;
    SetBlockHeader(m_st, BlockSubCommand(m_st), m_st.blockNumber, placed);
    return placed;
}

BlockStreamFlow::Sent BlockStreamFlow::AfterSent(std::uint8_t marker, int placed, std::uint32_t position) {
    m_link.Tell(FlowEvent::BlockSent, m_st.blockNumber, marker);
    m_link.Answered();
    ++m_st.blockNumber;
    const Sent sent{marker, placed == kBlockData, position};
    // A partial block is the stream's last: the whole stream has gone out.
    m_link.Progress(sent.full ? Percent(position, m_st.size) : kWhole);
    if (sent.Last()) {
        m_st.finished = 1;
        m_link.Tell(FlowEvent::StreamFinished);
    }
    return sent;
}

std::optional<BlockStreamFlow::Sent> BlockStreamFlow::Begin(const Start& start) {
    StreamState& st = m_st;
    SetStreamKind(st, start.kind);
    st.finished = 0;
    st.sentAny = 0;
    st.closeArmed = 0;
    st.ended = 0;
    st.blockNumber = start.firstBlock;
    st.firstBlock = start.firstBlock;
    st.acked = 0;
    st.position = 0;
    if (st.size == 0 || st.Bytes().empty()) return std::nullopt;

    const std::uint32_t before = st.position;
    const std::uint8_t marker = PlaceNextBlock(start.firstMarker);
    const int placed = static_cast<int>(st.position - before);
    if (start.frame == FirstFrame::HandBuilt) {
        BuildBlockFrame(st.block, 0x00, 0x00, m_frame);
        m_link.Send(m_frame, kBlockFrameBytes);
    } else {
        m_link.SendCommand(kCodeBlock, st.block, kBlockPayload);
    }
    st.sentAny = 1;
    // After the first block the percentage field shows the index of the
    // block's last byte, as it always has.
    return AfterSent(marker, placed, st.position - 1);
}

BlockStreamFlow::AckStep BlockStreamFlow::OnAck(std::uint8_t status) {
    m_link.Tell(FlowEvent::BlockAcked, status);
    StreamState& st = m_st;
    if (status == 0 && st.sentAny && st.acked < BlocksSent()) {
        ++st.acked;
        // Every block of the whole stream is in the instrument's hands (not
        // only those sent before the operator stopped it).
        if (st.finished && st.acked == BlocksSent() && st.position >= End() && !st.ended)
            return {Step::Completed, {}};
    }
    if (status != 0) {
        // The instrument asks for the block again: the same payload goes
        // out unchanged, also when it was the block marked last.
        if (!st.sentAny) return {};
        m_link.SendCommand(kCodeBlock, st.block, kBlockPayload);
        m_link.Tell(FlowEvent::BlockSent, st.block[1] | st.block[2] << 8, st.block[3], "resend");
        if (!st.ended) m_link.Answered();
        return {Step::Resent, {st.block[3], true, st.position}};
    }
    // Nothing to carry on: no stream has started, or everything has gone out.
    if (!st.sentAny || st.finished || st.position >= End()) return {};
    const std::uint32_t before = st.position;
    const std::uint8_t marker = PlaceNextBlock(kMarkerNone);
    const int placed = static_cast<int>(st.position - before);
    m_link.SendCommand(kCodeBlock, st.block, kBlockPayload);
    return {Step::Next, AfterSent(marker, placed, st.position)};
}

void BlockStreamFlow::Stop() {
    if (m_st.sentAny && !m_st.finished) m_st.finished = 1;
    if (m_st.sentAny && !Complete()) m_st.ended = 1;
    m_st.closeArmed = 0;
}

FlowSnapshot BlockStreamFlow::Snapshot() const {
    // The stream's kind as the operator knows it: its flow and its words.
    const StreamState& st = m_st;
    FlowSnapshot f;
    f.writing = true;
    f.Count(st.acked, CeilDiv(st.size, kBlockData), "blocks");
    if (st.kindPattern) {
        f.kind = FlowKind::PatternStream;
        f.slot = st.slot;
        f.what = "the user-pattern upload to slot " + std::to_string(f.slot);
    } else if (st.kindPanel && st.firstBlock >= kPanelBlockBase) {
        f.kind = FlowKind::PanelStream;
        f.slot = static_cast<int>((st.firstBlock - kPanelBlockBase) / kPanelBlocksPerSlot);
        f.what = "the panel-image upload to slot " + std::to_string(f.slot);
    } else if (st.kindPanel) {
        f.kind = FlowKind::AnalyzerData;
        f.what = "the analyzer data upload";
    } else if (st.kindAux) {
        f.kind = FlowKind::AuxFpgaStream;
        f.what = "the AUX FPGA image upload";
    } else {
        f.kind = FlowKind::FpgaStream;
        f.what = "the FPGA image upload";
    }
    f.stage = kStageWriting;
    return f;
}

std::string BlockStreamFlow::TimeoutText(unsigned timeoutMs) const {
    const StreamState& st = m_st;
    std::string text = "time-out: the instrument has not acknowledged a block for " + SecondsText(timeoutMs) + "; ";
    if (st.acked == 0) return text + "no block was acknowledged";
    return text + "the last acknowledged block is block " + std::to_string(st.firstBlock + st.acked - 1) +
           " (" + std::to_string(st.acked) + " of " + std::to_string(CeilDiv(st.size, kBlockData)) +
           " blocks acknowledged)";
}

std::string BlockStreamFlow::DoneText() const {
    return Snapshot().what + ": " + WithThousands(m_st.acked) + " blocks acknowledged";
}

} // namespace quillet
