// Runs the event loop until a condition holds. Unlike QTest::qWaitFor it
// never sleeps between rounds, so the serial link's deliveries are handled
// as fast as the program itself handles them.
#pragma once

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <functional>

namespace quillet::gui::test {

inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    QTimer wake;  // wakes the loop now and then to look at the clock
    wake.start(20);
    while (!condition()) {
        if (clock.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace quillet::gui::test
