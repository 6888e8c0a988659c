// The command line's trace of a run (-v, -vv, -vvv, --log FILE): the
// dialogs' trace (engine/TrafficTrace.h), written to stderr or the log and
// sharing stderr with the progress lines (see Session).
#pragma once

#include "engine/TrafficTrace.h"

namespace quillet::cli {

using Trace = TrafficTrace;

} // namespace quillet::cli
