// libFuzzer target for the receive side: arbitrary bytes through
// OnSerialRxChar into the reply-frame parser and the search-reply matcher,
// on the virtual clock with a recording port.
//
// The first input byte picks the mode:
//   bit 0..1  0: parser only (frames, console filter, opcode table)
//             1: a device search answered with the remaining bytes, the
//                clock moving on between bursts (ticks of timer 4)
//             2: both, the search flag switched on and off by marker bytes
//                so the shared receive state passes between the consumers
//             3: parser with a firmware-entry flag set (banner hand-off)
//   bit 2..4  device group address / search button
//   bit 5     a console address that takes only its own frames
//
// Built with -DQUILLET_FUZZ=ON and clang; under ASan/UBSan any store past
// the reply buffer or any other fault stops the run.
#include <cstddef>
#include <cstdint>

#include "../support/FakeSerialPort.h"
#include "dialog/LoaderDlg.h"
#include "platform/VirtualHost.h"
#include "protocol/Frame.h"
#include "../support/DialogProbe.h"

namespace {

constexpr std::uint8_t kToggle = 0xC3;  // mode 2: flips the search flag
constexpr std::uint8_t kTick = 0x3C;    // modes 1, 2: the clock moves 250 ms

void Check(quillet::CLoaderDlg& dlg) {
    // The receive state is idle or a position inside an acceptable frame
    // (the matcher uses 0..9 of the same range).
    const int state = quillet::test::Probe(dlg).RxState();
    if (state < -1 || state > 503) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quillet;
    if (size == 0) return 0;
    const std::uint8_t control = data[0];
    const int mode = control & 0x03;
    const auto group = static_cast<std::uint8_t>((control >> 2) & 0x07);

    VirtualHost host;
    test::FakeSerialPort port;
    for (unsigned p = 1; p <= 4; ++p) port.present.insert(p);
    CLoaderDlg dlg(host, &port);
    // What OnInitDialog sets up for the receive side, without the 6 MB
    // raster that would make every run slow (the reply table is the
    // link's from the start).
    test::Probe(dlg).Stream().buffer.assign(10, 0);
    test::Probe(dlg).RxState() = -1;
    if (control & 0x20) {
        test::Probe(dlg).ConsoleGroup() = 0x00;
        test::Probe(dlg).ConsoleMachine() = 0x5A;
    }

    if (mode == 1 || mode == 2) {
        dlg.StartDeviceSearch(group);
    } else {
        test::Probe(dlg).DeviceGroup() = group;
        dlg.OnPortButton();
        if (mode == 3) test::Probe(dlg).Entry().mcuEntry = 1;
    }

    for (std::size_t i = 1; i < size; ++i) {
        const std::uint8_t b = data[i];
        if ((mode == 1 || mode == 2) && b == kTick) {
            host.Advance(250);
            continue;
        }
        if (mode == 2 && b == kToggle) {
            test::Probe(dlg).Search().inProgress = test::Probe(dlg).Search().inProgress == 1 ? 0 : 1;
            continue;
        }
        // Every byte also goes straight to the consumer, so the parser and
        // the matcher are reached whatever the routing flags say.
        if (mode == 1 && (i & 1)) {
            test::Probe(dlg).Core().Search().OnByte(b);
        } else if (mode == 0 && (i & 1)) {
            test::Probe(dlg).Link().TakeReplyByte(b);
        } else {
            dlg.OnSerialRxChar(b, static_cast<std::intptr_t>(1 + (i % 99)));
        }
        Check(dlg);
    }
    // Let a running scan run to its end.
    if (mode == 1 || mode == 2) host.Advance(2000);
    Check(dlg);
    return 0;
}
