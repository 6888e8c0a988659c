#include "pattern/StreamState.h"

#include <algorithm>
#include <cstring>

#include "protocol/Frame.h"

namespace quillet {

void SetStreamKind(StreamState& st, int kind) {
    st.kindFpga = kind == kStreamFpga;
    st.kindAux = kind == kStreamAux;
    st.kindPattern = kind == kStreamPattern;
    st.kindPanel = kind == kStreamPanel;
}

std::uint8_t BlockSubCommand(const StreamState& st) {
    if (st.kindFpga) return kBlockSubFpga;
    if (st.kindAux) return kBlockSubAux;
    if (st.kindPattern) return kBlockSubPattern;
    if (st.kindPanel) return kBlockSubPanel;
    return kBlockSubFpga;
}

int FillNextBlock(StreamState& st) {
    const std::vector<std::uint8_t>& bytes = st.Bytes();
    const std::size_t end = std::min<std::size_t>(st.size, bytes.size());
    const std::size_t left = st.position < end ? end - st.position : 0;
    const std::size_t n = std::min<std::size_t>(left, kBlockData);
    std::uint8_t* data = st.block + kBlockHeader;
    if (n) std::memcpy(data, bytes.data() + st.position, n);
    std::memset(data + n, 0, kBlockData - n);
    st.position += static_cast<std::uint32_t>(n);
    return static_cast<int>(n);
}

void SetBlockHeader(StreamState& st, std::uint8_t subCommand, std::uint32_t number, std::uint8_t marker) {
    st.block[0] = subCommand;
    st.block[1] = static_cast<std::uint8_t>(number & 0xFF);
    st.block[2] = static_cast<std::uint8_t>((number >> 8) & 0xFF);
    st.block[3] = marker;
}

void BuildBlockFrame(const std::uint8_t* payload, std::uint8_t group, std::uint8_t machine,
                     std::uint8_t* frame) {
    BuildRequestFrame(frame, {group, machine}, {0x00, 0x00}, kCodeBlock, payload, kBlockPayload);
}

} // namespace quillet
