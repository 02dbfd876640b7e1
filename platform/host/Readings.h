// Reading the whole board through the records the runner holds, section by section, into
// one report.
#pragma once

#include "Report.h"
#include "Runner.h"

namespace Host {

// Every reading of the board's devices in `sections` (Section bits); a device without a
// record reads as "not supported" (the library lacks its kind) or "not added" (its add failed).
Report readBoard(const Runner& runner, unsigned sections = kAllSections);

// An LED's field read back bit by bit through its read-back GPIOs; kNotSupported without them.
Reading readLedField(const Runner& runner, const BoardDevice* led);

}  // namespace Host
