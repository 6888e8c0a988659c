// The serial port the command line gives the dialog: the real link with
// the tap (serial/TrafficPort.h) that feeds the trace and notes when the
// instrument last sent a byte (the time-out measure).
#pragma once

#include "serial/TrafficPort.h"

namespace quillet::cli {

using TrafficPort = quillet::TrafficPort;

} // namespace quillet::cli
