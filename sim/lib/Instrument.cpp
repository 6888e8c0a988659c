// The instrument's side of the line: application, STM32 system bootloader
// and input-board boot ROM / RAM loader, fed one byte at a time.
#include "sim/lib/Instrument.h"

#include <algorithm>
#include <cstdarg>
#include <filesystem>
#include <fstream>

#include "pattern/Images.h"
#include "platform/Utf8.h"
#include "protocol/BlockStream.h"
#include "protocol/Bootloader.h"
#include "protocol/Frame.h"

namespace quillet::sim {

namespace {

using boot::kAck;
using boot::kFlashBase;
using boot::kNack;

// Main MCU: STM32F1 medium density (PID 0x410), 128 KiB flash, 1 KiB pages.
constexpr std::uint32_t kFlashSize = 128 * 1024;
constexpr std::uint32_t kPageSize = 1024;
constexpr std::uint32_t kSysBase = 0x1FFFF000;  // system memory (the bootloader itself)
constexpr std::uint32_t kOptBase = 0x1FFFF800;  // option bytes
constexpr std::uint32_t kRamBase = 0x20000000;
constexpr std::uint32_t kRamSize = 20 * 1024;
constexpr std::uint8_t kBootloaderVersion = 0x22;

// Input boards.
constexpr std::uint32_t kLoaderAddress = 0x0510;
constexpr std::uint32_t kLoaderSize = 5446;
constexpr int kLoaderPieces = 22;
constexpr std::uint32_t kBoardFlashBase = 0x00A00000;
constexpr std::uint32_t kBoardFlashSize = 16 * 1024 * 1024;

// Block streams.
constexpr std::uint32_t kPatternBlocks = kRasterBytes / kBlockData;  // 24300
constexpr std::uint32_t kPanelBlocks = kPanelBlocksPerSlot;         // 240 x 160 x 2 / 256
constexpr std::uint32_t kPanelFirst = kPanelBlockBase;              // + 300 n for slot n
constexpr std::uint32_t kPanelSlots = 4;
constexpr std::size_t kMaxListedViolations = 1000;

std::string Format(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

std::string Hex(const std::vector<std::uint8_t>& bytes, std::size_t max = 16) {
    std::string s;
    for (std::size_t i = 0; i < bytes.size() && i < max; ++i)
        s += Format(i ? " %02X" : "%02X", bytes[i]);
    if (bytes.size() > max) s += " ...";
    return s;
}

std::uint32_t Be32(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

// Appends bytes to the replies, merging with the last one when it is due at once.
void Send(std::vector<Reply>& out, std::initializer_list<std::uint8_t> bytes) {
    if (out.empty() || out.back().delayMs != 0) out.push_back(Reply{});
    out.back().bytes.insert(out.back().bytes.end(), bytes.begin(), bytes.end());
}
void SendText(std::vector<Reply>& out, unsigned delayMs, const std::string& text) {
    out.push_back(Reply{delayMs, std::vector<std::uint8_t>(text.begin(), text.end())});
}

// A 24-bit bottom-up BMP from a top-down RGB raster.
std::vector<std::uint8_t> MakeBmp(int width, int height, const std::vector<std::uint8_t>& rgb) {
    const std::uint32_t stride = (std::uint32_t(width) * 3 + 3) & ~3u;
    const std::uint32_t pixels = stride * std::uint32_t(height);
    std::vector<std::uint8_t> f(54 + pixels, 0);
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) f[at + i] = std::uint8_t(v >> (8 * i));
    };
    f[0] = 'B';
    f[1] = 'M';
    put32(2, std::uint32_t(f.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, std::uint32_t(width));
    put32(22, std::uint32_t(height));
    f[26] = 1;
    f[28] = 24;
    put32(34, pixels);
    put32(38, 2835);
    put32(42, 2835);
    for (int r = 0; r < height; ++r) {
        const std::uint8_t* src = &rgb[std::size_t(r) * width * 3];
        std::uint8_t* dst = &f[54 + std::size_t(height - 1 - r) * stride];
        for (int x = 0; x < width; ++x) {
            dst[3 * x] = src[3 * x + 2];
            dst[3 * x + 1] = src[3 * x + 1];
            dst[3 * x + 2] = src[3 * x];
        }
    }
    return f;
}

const char* SubName(std::uint8_t sub, bool analyzerData) {
    switch (sub) {
    case kBlockSubFpga: return "FPGA image";
    case kBlockSubAux: return "AUX FPGA image";
    case kBlockSubPattern: return "user pattern";
    case kBlockSubPanel: return analyzerData ? "analyzer data" : "panel data";
    default: return "unknown stream";
    }
}

} // namespace

std::uint16_t ChunkCrc16(const std::uint8_t* data, std::size_t length) {
    std::uint16_t crc = 0x1021;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= std::uint16_t(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? std::uint16_t((crc << 1) ^ 0x1021) : std::uint16_t(crc << 1);
    }
    return crc;
}

Instrument::Instrument(Options options)
    : m_opt(std::move(options)),
      m_group(m_opt.kind),
      m_rng(m_opt.noiseSeed ? m_opt.noiseSeed : 1) {
    if (m_opt.startInBootloader) EnterBootloader(-1);
}

std::vector<Reply> Instrument::Feed(const std::vector<std::uint8_t>& bytes, std::uint64_t nowMs) {
    std::vector<Reply> all;
    for (std::uint8_t b : bytes) {
        auto r = Feed(b, nowMs);
        all.insert(all.end(), r.begin(), r.end());
    }
    return all;
}

std::vector<Reply> Instrument::Feed(std::uint8_t b, std::uint64_t nowMs, bool lineError) {
    std::vector<Reply> out;
    m_received.push_back(b);
    ++m_sum.bytesReceived;
    KeepTail();
    if (m_opt.silentAfterBytes >= 0 && m_sum.bytesReceived > std::uint64_t(m_opt.silentAfterBytes)) {
        if (m_sum.bytesReceived == std::uint64_t(m_opt.silentAfterBytes) + 1)
            Log(Format("silent from byte %ld on", m_opt.silentAfterBytes + 1));
        return out;
    }
    if (m_swallowLf) {
        m_swallowLf = false;
        if (b == '\n') return out;
    }
    NoteBoundary();
    switch (m_mode) {
    case Mode::Application: AppByte(b, nowMs, out); break;
    case Mode::Bootloader: BootByte(b, lineError, out); break;
    case Mode::InputBoard: BoardByte(b, out); break;
    }
    // The operator re-powered the instrument and searched again: a whole
    // search frame arriving between bootloader commands or board packets
    // brings the instrument back to its application.
    if (m_mode != Mode::Application && SearchFrameEndsHere()) {
        const std::uint64_t start = m_sum.bytesReceived - 10;
        for (std::size_t i = m_violationAt.size(); i-- > 0;) {
            if (m_violationAt[i] >= start) {
                m_violationAt.erase(m_violationAt.begin() + std::ptrdiff_t(i));
                m_sum.violations.erase(m_sum.violations.begin() + std::ptrdiff_t(i));
                --m_violationsTotal;
            }
        }
        Log("search frame: the instrument runs its application again");
        m_mode = Mode::Application;
        m_bl = Bl::WaitSync;
        m_pkt.clear();
        m_inChunk = false;
        m_boundaries.clear();
        m_frame.assign(m_received.end() - 10, m_received.end());
        m_inFrame = false;
        m_line.clear();
        HandleFrame(nowMs, out);
    }
    return out;
}

// ---------------------------------------------------------------- application

void Instrument::AppByte(std::uint8_t b, std::uint64_t now, std::vector<Reply>& out) {
    if (m_inFrame) {
        m_frame.push_back(b);
        if (m_frame.size() < 5) return;
        const unsigned len = m_frame[3] | (m_frame[4] << 8);
        if (m_frame.size() == 5 && (len < 5 || len > 600)) {
            Violation(Format("frame with length field %u", len));
            m_inFrame = false;
            return;
        }
        if (m_frame.size() == 5u + len) {
            m_inFrame = false;
            HandleFrame(now, out);
        }
        return;
    }
    if (b == kRequestHeader) {
        m_inFrame = true;
        m_frame.assign(1, b);
        m_line.clear();
        return;
    }
    if (b == '\r' || b == '\n') {
        if (!m_line.empty()) {
            const std::string line = m_line;
            m_line.clear();
            HandleLine(line, now, out);
            // The line feed of the command's CR LF still belongs to the console.
            m_swallowLf = b == '\r' && m_mode != Mode::Application;
        }
        return;
    }
    if (m_line.size() < 256) m_line.push_back(char(b));
}

void Instrument::HandleFrame(std::uint64_t now, std::vector<Reply>& out) {
    const std::vector<std::uint8_t> f = m_frame;
    const unsigned len = f[3] | (f[4] << 8);
    const unsigned code = f[7] | (f[8] << 8);
    std::uint8_t sum = 0;
    for (std::uint8_t x : f) sum = std::uint8_t(sum + x);

    if (code == kCodeSearch) {
        ++m_sum.searchFrames;
        if (f[1] != m_group || f[2] != 0) {
            Log(Format("search for group %02X: not this instrument", f[1]));
            return;
        }
        if (len != 5) Violation(Format("search frame with length %u (5 expected)", len));
        if (sum != 0) {
            Violation("search frame with a checksum error: " + Hex(f));
            return;
        }
        if (!m_opt.answerSearch) return;
        std::vector<std::uint8_t> r{kReplyHeader, m_group, 0x00, kSearchReplyLength, 0x00, 0x00, 0x00,
                                    CodeLow(kCodeSearch), CodeHigh(kCodeSearch), m_group, 0x00};
        std::uint8_t s = 0;
        for (std::uint8_t x : r) s = std::uint8_t(s + x);
        r.push_back(std::uint8_t(-s));
        out.push_back(Reply{m_opt.searchReplyDelayMs, r});
        return;
    }
    if (code == kCodeBlock) {
        // The first block of a pattern, panel or analyzer-data stream always
        // carries the address 00 00; the others carry the searched address.
        if ((f[1] != m_group && f[1] != 0) || f[2] != 0) return;
        HandleBlock(f, now, out);
        return;
    }
    Violation(Format("frame with unknown command code 0x%04X", code));
}

void Instrument::SendAck(std::uint8_t status, std::vector<Reply>& out) {
    Reply r;
    for (unsigned i = 0; i < m_opt.noiseBytes; ++i) {
        std::uint8_t x;
        do {
            m_rng ^= m_rng << 13;
            m_rng ^= m_rng >> 17;
            m_rng ^= m_rng << 5;
            x = std::uint8_t(m_rng >> 11);
        } while (x == kReplyHeader);
        r.bytes.push_back(x);
    }
    std::uint8_t ack[kBlockAckBytes];
    BuildBlockAck(ack, {m_group, 0x00}, status);
    r.bytes.insert(r.bytes.end(), ack, ack + kBlockAckBytes);
    out.push_back(std::move(r));
}

void Instrument::HandleBlock(const std::vector<std::uint8_t>& f, std::uint64_t now, std::vector<Reply>& out) {
    ++m_sum.blocksReceived;
    const unsigned len = f[3] | (f[4] << 8);
    if (len != kBlockFrameBytes - 5) {
        Violation(Format("block frame with length %u (%zu expected)", len, kBlockFrameBytes - 5));
        return;
    }
    const std::uint8_t sub = f[kBlockSubAt];
    const std::uint32_t num = f[kBlockNumberAt] | (f[kBlockNumberAt + 1] << 8);
    const std::uint8_t marker = f[kBlockMarkerAt];
    std::uint8_t sum = 0;
    for (std::uint8_t x : f) sum = std::uint8_t(sum + x);

    if (m_opt.stopAfterBlocks >= 0 && m_sum.blocksAccepted >= std::uint64_t(m_opt.stopAfterBlocks)) {
        Log(Format("block %u not answered: stopped after %ld blocks", num, m_opt.stopAfterBlocks));
        return;
    }
    if (sum != 0) {
        Violation(Format("block %u: checksum error", num));
        ++m_sum.blocksResent;
        SendAck(1, out);
        return;
    }
    if (m_opt.resendBlocks.count(num) && !m_resendAsked.count(num)) {
        m_resendAsked.insert(num);
        Log(Format("block %u: asking for it again", num));
        ++m_sum.blocksResent;
        SendAck(1, out);
        return;
    }

    // What stream does the block belong to?
    std::uint32_t base = 0;
    std::uint32_t count = 0;
    int slot = 0;
    bool analyzerData = false;
    switch (sub) {
    case kBlockSubPattern:
        count = kPatternBlocks;
        break;
    case kBlockSubPanel:
        if (m_opt.kind == kGroupAnalyzer) {
            analyzerData = true;
        } else {
            if (num < kPanelFirst + kPanelBlocks || num >= kPanelFirst + (kPanelSlots + 1) * kPanelBlocks) {
                Violation(Format("panel data block %u outside the four slots (11400 to 12599)", num));
                SendAck(0, out);
                return;
            }
            slot = int((num - kPanelFirst) / kPanelBlocks);
            base = kPanelFirst + kPanelBlocks * std::uint32_t(slot);
            count = kPanelBlocks;
        }
        break;
    case kBlockSubFpga:
    case kBlockSubAux:
        break;
    default:
        Violation(Format("block %u: unknown sub-command 0x%02X", num, sub));
        SendAck(0, out);
        return;
    }

    Stream& s = m_stream;
    const bool same = s.active && !s.finished && s.sub == sub && s.base == base;
    if (!same || (num == base && num != s.expected)) {
        s = Stream{};
        s.active = true;
        s.sub = sub;
        s.base = base;
        s.count = count;
        s.expected = base;
        s.analyzerData = analyzerData;
        s.slot = slot;
        if (sub == kBlockSubPattern) {
            s.slot = m_patternSlot;
            if (m_patternSlot == 0)
                Violation("user pattern sent without a slot command (\"fpw 7c 06\" to \"fpw 7c 09\", \"cnd 12\")");
            else if (now < m_eraseEnd)
                Violation(Format("user pattern block %u arrived while slot %d was still being erased", num, m_patternSlot));
            m_patternSlot = 0;
        }
        if (num != base) Violation(Format("%s starts with block %u (%u expected)", SubName(sub, analyzerData), num, base));
        s.data.assign(std::size_t(count) * kBlockData, 0);
        s.have.assign(count, false);
        Log(Format("%s stream starts (slot %d)", SubName(sub, analyzerData), s.slot));
    }

    if (num != s.expected) {
        if (num + 1 == s.expected)
            Violation(Format("block %u sent again without a resend request", num));
        else
            Violation(Format("block %u out of order (%u expected)", num, s.expected));
    }
    if (num < s.base || (s.count && num - s.base >= s.count)) {
        Violation(Format("block %u outside the %s", num, SubName(sub, analyzerData)));
        SendAck(0, out);
        ++m_sum.blocksAccepted;
        return;
    }
    const std::uint32_t idx = num - s.base;
    if (s.count) {
        std::uint8_t want = kMarkerNone;
        if (idx == s.count - 1) want = kMarkerLast;
        else if (idx == 0 && sub == kBlockSubPanel) want = kMarkerPanelFirst;
        if (marker != want) Violation(Format("block %u: marker 0x%02X (0x%02X expected)", num, marker, want));
    } else if (marker != kMarkerNone && marker != kMarkerLast) {
        Violation(Format("block %u: marker 0x%02X (0x00 or 0x40 expected)", num, marker));
    }
    if (!s.count && s.data.size() < (std::size_t(idx) + 1) * kBlockData) {
        s.data.resize((std::size_t(idx) + 1) * kBlockData, 0);
        s.have.resize(idx + 1, false);
    }
    std::copy(f.begin() + kBlockDataAt, f.begin() + kBlockDataAt + kBlockData,
              s.data.begin() + std::ptrdiff_t(idx) * kBlockData);
    s.have[idx] = true;
    s.expected = num + 1;
    ++m_sum.blocksAccepted;
    SendAck(0, out);
    const bool last = s.count ? idx == s.count - 1 : marker == kMarkerLast;
    if (last) FinishStream();
}

void Instrument::FinishStream() {
    Stream& s = m_stream;
    s.finished = true;
    const auto missing = std::count(s.have.begin(), s.have.end(), false);
    if (missing) Violation(Format("%s ended with %ld blocks missing", SubName(s.sub, s.analyzerData), long(missing)));
    switch (s.sub) {
    case kBlockSubPattern:
        WriteFile(Format("pattern_slot%d.bmp", s.slot), MakeBmp(1920, 1080, s.data));
        break;
    case kBlockSubPanel:
        if (s.analyzerData) {
            WriteFile("analyzer_data.bin", s.data);
        } else {
            // RGB565, high byte first; each field widened by repeating its top bits.
            std::vector<std::uint8_t> rgb(240 * 160 * 3);
            for (std::size_t p = 0; p < 240 * 160; ++p) {
                const std::uint8_t hi = s.data[2 * p], lo = s.data[2 * p + 1];
                const unsigned r5 = hi >> 3, g6 = ((hi & 7) << 3) | (lo >> 5), b5 = lo & 0x1F;
                rgb[3 * p] = std::uint8_t((r5 << 3) | (r5 >> 2));
                rgb[3 * p + 1] = std::uint8_t((g6 << 2) | (g6 >> 4));
                rgb[3 * p + 2] = std::uint8_t((b5 << 3) | (b5 >> 2));
            }
            WriteFile(Format("panel_slot%d.bmp", s.slot), MakeBmp(240, 160, rgb));
            WriteFile(Format("panel_slot%d.bin", s.slot), s.data);
        }
        break;
    case kBlockSubFpga: WriteFile("fpga.bin", s.data); break;
    case kBlockSubAux: WriteFile("aux_fpga.bin", s.data); break;
    }
}

void Instrument::HandleLine(const std::string& line, std::uint64_t now, std::vector<Reply>& out) {
    Log("console: \"" + line + "\"");
    if (line == "DBG 1") return;
    if (line.rfind("fpw 7c ", 0) == 0) {
        const std::string v = line.substr(7);
        if (v.size() == 2 && v[0] == '0' && v[1] >= '6' && v[1] <= '9') {
            m_fpwSlot = v[1] - '5';
        } else {
            m_fpwSlot = 0;
            Violation("slot command for no user-pattern slot: \"" + line + "\"");
        }
        return;
    }
    if (line == "cnd 12") {
        if (m_fpwSlot == 0) Violation("\"cnd 12\" without a slot chosen by \"fpw 7c 06\" to \"fpw 7c 09\"");
        m_patternSlot = m_fpwSlot;
        m_fpwSlot = 0;
        m_eraseEnd = now + m_opt.eraseTimeMs;
        const unsigned t = m_opt.eraseTimeMs;
        SendText(out, 0, Format("\r\nDBG on\r\nuser pattern %d: erasing flash\r\n", m_patternSlot));
        SendText(out, t / 3, "erase 33%\r\n");
        SendText(out, 2 * t / 3, "erase 66%\r\n");
        SendText(out, t, "erase done\r\n>cnd 12\r\n");
        return;
    }
    if (line == "ISP 32 1") {
        SendText(out, m_opt.bannerDelayMs, "\r\n ISP MODE...\r");
        EnterBootloader(-1);
        return;
    }
    if (line.rfind("UBP 32 2 ", 0) == 0) {
        const std::string rest = line.substr(9);
        if (rest.size() == 1 && rest[0] >= '1' && rest[0] <= '4') {
            SendText(out, m_opt.bannerDelayMs, std::string("\r\nUBD 0") + rest + "\r");
            EnterInputBoard(rest[0] - '0');
            return;
        }
        int index = -1;
        if (rest.size() == 2 && rest[0] == ' ' && rest[1] >= '0' && rest[1] <= '9') index = rest[1] - '0';
        if (rest == "20") index = 10;
        if (index < 0) {
            Violation("boot-mode command for no MCU: \"" + line + "\"");
            return;
        }
        SendText(out, m_opt.bannerDelayMs, "\r\n ISP MODE...\r");
        EnterBootloader(index);
        return;
    }
}

// ---------------------------------------------------------------- STM32 bootloader

void Instrument::EnterBootloader(int target) {
    m_mode = Mode::Bootloader;
    m_bl = Bl::WaitSync;
    m_blTarget = target;
    Flash& fl = m_flash[target];
    if (fl.bytes.empty()) fl.bytes.assign(kFlashSize, 0xFF);
    Log(target < 0 ? "main MCU in its system bootloader" : Format("sub-MCU %d in its system bootloader", target));
}

bool Instrument::ReadableRange(std::uint32_t addr, std::size_t n) const {
    auto in = [&](std::uint32_t base, std::uint32_t size) {
        return addr >= base && std::uint64_t(addr) + n <= std::uint64_t(base) + size;
    };
    return in(kFlashBase, kFlashSize) || in(kSysBase, 0x800) || in(kOptBase, 16) || in(kRamBase, kRamSize);
}

std::uint8_t Instrument::ReadByte(std::uint32_t addr) const {
    if (addr >= kFlashBase && addr < kFlashBase + kFlashSize) return m_flash.at(m_blTarget).bytes[addr - kFlashBase];
    if (addr == boot::kFlashSizeAddress) return std::uint8_t(kFlashSize / 1024);  // flash size in KiB, low byte
    if (addr == boot::kFlashSizeAddress + 1) return std::uint8_t((kFlashSize / 1024) >> 8);
    if (addr >= 0x1FFFF7E8 && addr < 0x1FFFF7F4) return std::uint8_t(0x51 + (addr - 0x1FFFF7E8));  // unique ID
    if (addr >= kOptBase && addr < kOptBase + 16) {
        static const std::uint8_t opt[16] = {0xA5, 0x5A, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00,
                                             0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00};
        return opt[addr - kOptBase];
    }
    return 0x00;
}

void Instrument::StoreFlash() {
    const Flash& fl = m_flash[m_blTarget];
    std::vector<std::uint8_t> image(fl.bytes.begin(), fl.bytes.begin() + std::ptrdiff_t(fl.top));
    WriteFile(m_blTarget < 0 ? "mcu_flash.bin" : Format("sub_mcu%d_flash.bin", m_blTarget), image);
}

std::vector<std::uint8_t> Instrument::McuFlash() const {
    auto it = m_flash.find(-1);
    if (it == m_flash.end()) return {};
    return std::vector<std::uint8_t>(it->second.bytes.begin(), it->second.bytes.begin() + std::ptrdiff_t(it->second.top));
}

void Instrument::BootCommand(std::uint8_t cmd, std::vector<Reply>& out) {
    m_bl = Bl::Cmd;
    switch (cmd) {
    case boot::kGet:  // version and the commands supported
        Send(out, {kAck, 7, kBootloaderVersion, boot::kGet, boot::kGetVersion, boot::kGetId, boot::kReadMemory,
                   boot::kGo, boot::kWriteMemory, boot::kErase, kAck});
        ++m_sum.bootloaderCommands;
        return;
    case boot::kGetVersion:  // and the read protection status
        Send(out, {kAck, kBootloaderVersion, 0x00, 0x00, kAck});
        ++m_sum.bootloaderCommands;
        return;
    case boot::kGetId:  // PID 0x0410
        Send(out, {kAck, 0x01, 0x04, 0x10, kAck});
        ++m_sum.bootloaderCommands;
        return;
    case boot::kReadMemory:
    case boot::kWriteMemory:
    case boot::kGo:
        Send(out, {kAck});
        m_bl = Bl::Collect;
        m_blPhase = 0;
        m_blNeed = 5;
        m_blBuf.clear();
        return;
    case boot::kErase:
        Send(out, {kAck});
        m_bl = Bl::Collect;
        m_blPhase = 0;
        m_blNeed = 1;
        m_blBuf.clear();
        return;
    default:
        Violation(Format("bootloader command 0x%02X is not supported", cmd));
        Send(out, {kNack});
        return;
    }
}

void Instrument::BootByte(std::uint8_t b, bool lineError, std::vector<Reply>& out) {
    if (lineError)
        Violation(Format("bootloader %s 0x%02X arrived with a parity or framing error: the line is not 8E1",
                         (m_bl == Bl::WaitSync && b == boot::kSync) ? "sync byte" : "byte", b));
    switch (m_bl) {
    case Bl::WaitSync:
        if (b == boot::kSync) {  // other bytes are lost to the baud-rate detection
            Send(out, {kAck});
            m_bl = Bl::Cmd;
        }
        return;
    case Bl::Cmd:
        m_blCmd = b;
        m_blCmdWasSync = b == boot::kSync;
        if (m_blCmdWasSync) Send(out, {kAck});  // a repeated sync byte
        m_bl = Bl::Cmpl;
        return;
    case Bl::Cmpl:
        if (m_blCmdWasSync) {
            if (b == boot::Complement(boot::kSync)) {  // 7F 80: a peer probing for the command boundary
                Send(out, {kNack});
                m_blCmdWasSync = false;
                m_bl = Bl::Cmd;
                return;
            }
            m_blCmd = b;
            m_blCmdWasSync = b == boot::kSync;
            if (m_blCmdWasSync) Send(out, {kAck});
            return;
        }
        if (b != boot::Complement(m_blCmd)) {
            Violation(Format("bootloader command 0x%02X followed by 0x%02X, not its complement", m_blCmd, b));
            Send(out, {kNack});
            m_bl = Bl::Cmd;
            return;
        }
        BootCommand(m_blCmd, out);
        return;
    case Bl::Collect:
        break;
    }

    m_blBuf.push_back(b);
    if (m_blBuf.size() < m_blNeed) return;
    const std::vector<std::uint8_t> v = m_blBuf;
    m_blBuf.clear();
    auto fail = [&](const std::string& why) {
        Violation(why);
        Send(out, {kNack});
        m_bl = Bl::Cmd;
    };
    auto addressPart = [&]() -> bool {
        if ((v[0] ^ v[1] ^ v[2] ^ v[3]) != v[4]) {
            fail(Format("bootloader command 0x%02X: address %s with a checksum error", m_blCmd, Hex(v).c_str()));
            return false;
        }
        m_blAddr = Be32(v.data());
        return true;
    };

    if (m_blCmd == boot::kReadMemory) {
        if (m_blPhase == 0) {
            if (!addressPart()) return;
            if (!ReadableRange(m_blAddr, 1)) return fail(Format("Read Memory at unmapped address 0x%08X", m_blAddr));
            Send(out, {kAck});
            m_blPhase = 1;
            m_blNeed = 2;
            return;
        }
        if (v[1] != boot::Complement(v[0])) return fail(Format("Read Memory length %02X %02X with a checksum error", v[0], v[1]));
        if (!ReadableRange(m_blAddr, std::size_t(v[0]) + 1))
            return fail(Format("Read Memory of %u bytes at 0x%08X runs past the memory", v[0] + 1u, m_blAddr));
        Send(out, {kAck});
        for (unsigned i = 0; i <= v[0]; ++i) out.back().bytes.push_back(ReadByte(m_blAddr + i));
        ++m_sum.bootloaderCommands;
        m_bl = Bl::Cmd;
        return;
    }
    if (m_blCmd == boot::kErase) {
        Flash& fl = m_flash[m_blTarget];
        if (m_blPhase == 0) {
            m_blBuf = v;
            if (v[0] == boot::kEraseAllPages) {
                m_blPhase = 1;
                m_blNeed = 2;
            } else {
                m_blPhase = 2;
                m_blNeed = std::size_t(v[0]) + 3;
            }
            return;
        }
        if (m_blPhase == 1) {
            if (v[1] != boot::Complement(boot::kEraseAllPages)) return fail(Format("global erase FF %02X (FF 00 expected)", v[1]));
            std::fill(fl.bytes.begin(), fl.bytes.end(), 0xFF);
            fl.top = 0;
            Log("flash: global erase");
        } else {
            std::uint8_t x = 0;
            for (std::size_t i = 0; i + 1 < v.size(); ++i) x ^= v[i];
            if (x != v.back()) return fail("page erase list with a checksum error");
            for (std::size_t i = 1; i + 1 < v.size(); ++i) {
                if (v[i] >= kFlashSize / kPageSize) return fail(Format("erase of page %u, past the flash", v[i]));
                std::fill_n(fl.bytes.begin() + std::ptrdiff_t(v[i]) * kPageSize, kPageSize, 0xFF);
            }
            Log(Format("flash: %zu pages erased", v.size() - 2));
        }
        Send(out, {kAck});
        ++m_sum.bootloaderCommands;
        m_bl = Bl::Cmd;
        return;
    }
    if (m_blCmd == boot::kWriteMemory) {
        if (m_blPhase == 0) {
            if (!addressPart()) return;
            Send(out, {kAck});
            m_blPhase = 1;
            m_blNeed = 1;
            return;
        }
        if (m_blPhase == 1) {
            m_blBuf = v;
            m_blPhase = 2;
            m_blNeed = std::size_t(v[0]) + 3;
            return;
        }
        std::uint8_t x = 0;
        for (std::size_t i = 0; i + 1 < v.size(); ++i) x ^= v[i];
        if (x != v.back()) return fail(Format("Write Memory at 0x%08X: data checksum error", m_blAddr));
        if (m_opt.nackWrites.count(m_writeCommands++)) {
            // A refusal of the MCU's own (a flash error): nothing written.
            Log(Format("Write Memory at 0x%08X refused with NACK", m_blAddr));
            Send(out, {kNack});
            m_bl = Bl::Cmd;
            return;
        }
        const std::size_t n = std::size_t(v[0]) + 1;
        if (m_blAddr >= kRamBase && std::uint64_t(m_blAddr) + n <= std::uint64_t(kRamBase) + kRamSize) {
            Send(out, {kAck});  // RAM: accepted, not kept
            m_bl = Bl::Cmd;
            return;
        }
        if (m_blAddr < kFlashBase || std::uint64_t(m_blAddr) + n > std::uint64_t(kFlashBase) + kFlashSize)
            return fail(Format("Write Memory of %zu bytes at 0x%08X, outside the flash", n, m_blAddr));
        Flash& fl = m_flash[m_blTarget];
        const std::size_t off = m_blAddr - kFlashBase;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t old = fl.bytes[off + i];
            if (old != 0xFF && old != v[1 + i])
                return fail(Format("Write Memory at 0x%08X: flash not erased", m_blAddr + unsigned(i)));
        }
        std::copy(v.begin() + 1, v.begin() + 1 + std::ptrdiff_t(n), fl.bytes.begin() + std::ptrdiff_t(off));
        fl.top = std::max(fl.top, off + n);
        Send(out, {kAck});
        ++m_sum.bootloaderCommands;
        m_bl = Bl::Cmd;
        StoreFlash();
        return;
    }
    // Go
    if (!addressPart()) return;
    Send(out, {kAck});
    ++m_sum.bootloaderCommands;
    Log(Format("Go 0x%08X: the MCU runs its application", m_blAddr));
    m_bl = Bl::WaitSync;
    m_mode = Mode::Application;
}

// ---------------------------------------------------------------- input board

void Instrument::EnterInputBoard(int board) {
    m_mode = Mode::InputBoard;
    m_board = board;
    m_boardPhase = 0;
    m_pkt.clear();
    m_inChunk = false;
    m_boardImage.clear();
    Log(Format("input board %d in its boot ROM", board));
}

void Instrument::BoardByte(std::uint8_t b, std::vector<Reply>& out) {
    m_pkt.push_back(b);
    if (m_inChunk) {
        if (m_pkt.size() == 8) {
            const std::uint32_t n = Be32(&m_pkt[4]);
            if (n < 1 || n > 4096) {
                Violation(Format("input board: chunk frame of %u bytes at 0x%08X (1 to 4096 allowed)", n, Be32(&m_pkt[0])));
                m_inChunk = false;
                m_pkt.clear();
                return;
            }
            m_pktNeed = 8 + n + 4;
        } else if (m_pkt.size() > 8 && m_pkt.size() == m_pktNeed) {
            BoardChunk(out);
            m_inChunk = false;
            m_pkt.clear();
        }
        return;
    }
    if (m_pkt.size() == 1) {
        if (b < 3) {
            Violation(Format("input board: packet length byte 0x%02X", b));
            m_pkt.clear();
        }
        m_pktNeed = b;
        return;
    }
    if (m_pkt.size() == m_pktNeed) {
        BoardPacket(out);
        m_pkt.clear();
    }
}

void Instrument::BoardPacket(std::vector<Reply>& out) {
    const std::vector<std::uint8_t>& p = m_pkt;
    std::uint8_t sum = 0;
    for (std::uint8_t x : p) sum = std::uint8_t(sum + x);
    if (sum != 0) {
        Violation("input board: packet with a checksum error: " + Hex(p));
        return;
    }
    auto is = [&](std::initializer_list<std::uint8_t> want) {
        return p.size() == want.size() && std::equal(p.begin(), p.end(), want.begin());
    };
    switch (m_boardPhase) {
    case 0:
        if (!is({0x03, 0x09, 0xF4})) break;
        Send(out, {0xF1});
        m_boardPhase = 1;
        return;
    case 1:
        if (!is({0x04, 0x20, 0x00, 0xDC})) break;
        Send(out, {'.'});
        m_boardPhase = 2;
        return;
    case 2:
        if (!is({0x0E, 0x13, 0x05, 0x00, 0x33, 0xC0, 0x8E, 0xD0, 0xEA, 0x10, 0x05, 0x00, 0x00, 0x8A})) break;
        Send(out, {0xF1});
        m_boardPhase = 3;
        m_loaderNext = kLoaderAddress;
        m_loaderBytes = 0;
        m_loaderPieces = 0;
        return;
    case 3:
        if (p[1] == 0x13 && p.size() >= 6) {
            const std::uint32_t addr = (p[2] << 8) | p[3];
            const std::uint32_t n = std::uint32_t(p.size()) - 5;
            const std::uint32_t want = std::min<std::uint32_t>(250, kLoaderSize - std::min(m_loaderBytes, kLoaderSize));
            if (addr != m_loaderNext)
                Violation(Format("input board: RAM loader piece %d at 0x%04X (0x%04X expected)", m_loaderPieces + 1, addr, m_loaderNext));
            if (n != want)
                Violation(Format("input board: RAM loader piece %d of %u bytes (%u expected)", m_loaderPieces + 1, n, want));
            ++m_loaderPieces;
            m_loaderBytes += n;
            m_loaderNext = addr + n;
            Send(out, {0xF1});
            return;
        }
        if (!is({0x05, 0x1D, 0x05, 0x00, 0xD9})) break;
        if (m_loaderPieces != kLoaderPieces || m_loaderBytes != kLoaderSize)
            Violation(Format("input board: RAM loader started after %d pieces of %u bytes in all (22 pieces, 5446 bytes expected)",
                             m_loaderPieces, m_loaderBytes));
        Send(out, {0xEF});  // the RAM loader runs and announces itself
        m_boardPhase = 4;
        return;
    case 4:
        if (!is({0x09, 0x1C, 0xFF, 0x00, 0x00, 0x20, 0x00, 0x00, 0xBC})) break;
        Send(out, {0xDF});
        m_boardPhase = 5;
        return;
    case 5:
        if (!is({0x05, 0x19, 0xFF, 0xFF, 0xE4})) break;
        Send(out, {0xF1});
        m_boardPhase = 6;
        m_chunkNext = kBoardFlashBase;
        return;
    case 6:
        if (!is({0x03, 0x10, 0xED})) break;
        m_inChunk = true;  // a chunk frame follows
        return;
    }
    Violation(Format("input board: unexpected packet %s in step %d", Hex(p).c_str(), m_boardPhase));
}

void Instrument::BoardChunk(std::vector<Reply>& out) {
    const std::vector<std::uint8_t>& p = m_pkt;
    const std::uint32_t addr = Be32(&p[0]);
    const std::uint32_t n = Be32(&p[4]);
    const std::uint8_t* tail = &p[8 + n];
    const std::uint16_t crc = std::uint16_t((tail[2] << 8) | tail[3]);
    const std::uint16_t want = ChunkCrc16(&p[8], n);
    if (tail[0] != 0 || tail[1] != 0)
        Violation(Format("input board: chunk at 0x%08X: %02X %02X before the CRC (00 00 expected)", addr, tail[0], tail[1]));
    if (crc != want) {
        Violation(Format("input board: chunk at 0x%08X: CRC %04X (%04X expected)", addr, crc, want));
        return;  // the RAM loader waits for a good frame
    }
    if (addr != m_chunkNext) Violation(Format("input board: chunk at 0x%08X (0x%08X expected)", addr, m_chunkNext));
    if (addr < kBoardFlashBase || std::uint64_t(addr) - kBoardFlashBase + n > kBoardFlashSize) {
        Violation(Format("input board: chunk at 0x%08X outside the board's flash", addr));
        Send(out, {0xF1});
        return;
    }
    const std::size_t off = addr - kBoardFlashBase;
    if (m_boardImage.size() < off + n) m_boardImage.resize(off + n, 0xFF);
    std::copy(p.begin() + 8, p.begin() + 8 + std::ptrdiff_t(n), m_boardImage.begin() + std::ptrdiff_t(off));
    m_chunkNext = addr + n;
    ++m_sum.chunkFrames;
    WriteFile(Format("input_board%d.bin", m_board), m_boardImage);
    Send(out, {0xF1});
}

// ---------------------------------------------------------------- common

// Positions in the traffic (boundaries, violations) count every byte
// received; only the bytes kept are a tail. It is cut when it has grown to
// twice its size, so each byte is moved at most once.
void Instrument::KeepTail() {
    if (m_opt.trafficKept == kKeepAllTraffic) return;
    const std::size_t keep = std::max(m_opt.trafficKept, kMinTrafficKept);
    if (m_received.size() < 2 * keep) return;
    m_received.erase(m_received.begin(), m_received.end() - std::ptrdiff_t(keep));
}

void Instrument::NoteBoundary() {
    bool boundary = false;
    if (m_mode == Mode::Bootloader) boundary = m_bl == Bl::WaitSync || m_bl == Bl::Cmd;
    // Chunk frames start with the address 00 Ax xx xx, never with a request header.
    if (m_mode == Mode::InputBoard) boundary = m_pkt.empty();
    if (!boundary) return;
    m_boundaries.push_back(m_sum.bytesReceived - 1);
    if (m_boundaries.size() > 16) m_boundaries.pop_front();
}

bool Instrument::SearchFrameEndsHere() const {
    if (m_received.size() < 10) return false;
    const std::uint64_t start = m_sum.bytesReceived - 10;
    if (std::find(m_boundaries.begin(), m_boundaries.end(), start) == m_boundaries.end()) return false;
    const std::uint8_t* f = &m_received[m_received.size() - 10];
    if (f[0] != kRequestHeader || f[2] != 0x00 || f[3] != 0x05 || f[4] != 0x00 || f[7] != CodeLow(kCodeSearch) ||
        f[8] != CodeHigh(kCodeSearch))
        return false;
    std::uint8_t s = 0;
    for (int i = 0; i < 10; ++i) s = std::uint8_t(s + f[i]);
    return s == 0;
}

void Instrument::Violation(std::string text) {
    ++m_violationsTotal;
    if (m_opt.verbose && m_opt.log) std::fprintf(m_opt.log, "       violation: %s\n", text.c_str());
    if (m_sum.violations.size() < kMaxListedViolations) {
        m_sum.violations.push_back(std::move(text));
        m_violationAt.push_back(m_sum.bytesReceived ? m_sum.bytesReceived - 1 : 0);
    }
}

void Instrument::Log(const std::string& text) const {
    if (m_opt.verbose && m_opt.log) std::fprintf(m_opt.log, "       %s\n", text.c_str());
}

std::string Instrument::WriteFile(const std::string& name, const std::vector<std::uint8_t>& data) {
    std::error_code ec;
    const std::filesystem::path dir = PathFromUtf8(m_opt.outputDir);
    std::filesystem::create_directories(dir, ec);
    const std::string path = Utf8FromPath(dir / name);
    std::ofstream f(dir / name, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    f.close();
    if (!f) {
        if (m_opt.log) std::fprintf(m_opt.log, "quillet-sim: cannot write %s\n", path.c_str());
        return {};
    }
    if (std::find(m_sum.filesWritten.begin(), m_sum.filesWritten.end(), path) == m_sum.filesWritten.end()) {
        m_sum.filesWritten.push_back(path);
        Log("stored " + path);
    }
    return path;
}

Summary Instrument::GetSummary() const {
    Summary s = m_sum;
    s.violationsNotListed = m_violationsTotal - m_sum.violations.size();
    return s;
}

std::string Instrument::SummaryText() const {
    const Summary s = GetSummary();
    const DeviceKind& kind = DeviceKindOfGroup(m_group);
    const char* kindName = kind.group == m_group ? kind.name : "unknown";
    std::string t = Format("quillet-sim summary (%s, group address %02X)\n", kindName, m_group);
    t += Format("bytes received: %llu\n", (unsigned long long)s.bytesReceived);
    t += Format("search frames: %llu\n", (unsigned long long)s.searchFrames);
    t += Format("block frames: %llu received, %llu accepted, %llu resend requests\n",
                (unsigned long long)s.blocksReceived, (unsigned long long)s.blocksAccepted,
                (unsigned long long)s.blocksResent);
    if (m_stream.active && !m_stream.finished)
        t += Format("unfinished stream: %s, %u blocks so far\n", SubName(m_stream.sub, m_stream.analyzerData),
                    unsigned(std::count(m_stream.have.begin(), m_stream.have.end(), true)));
    t += Format("bootloader commands: %llu\n", (unsigned long long)s.bootloaderCommands);
    t += Format("input-board chunk frames: %llu\n", (unsigned long long)s.chunkFrames);
    t += Format("files written: %zu\n", s.filesWritten.size());
    for (const auto& f : s.filesWritten) t += "  " + f + "\n";
    t += Format("violations: %llu\n", (unsigned long long)m_violationsTotal);
    for (const auto& v : s.violations) t += "  " + v + "\n";
    if (s.violationsNotListed) t += Format("  ... and %llu more\n", (unsigned long long)s.violationsNotListed);
    return t;
}

std::string Instrument::WriteSummaryFile() {
    const std::string text = SummaryText();
    return WriteFile("summary.txt", std::vector<std::uint8_t>(text.begin(), text.end()));
}

} // namespace quillet::sim
