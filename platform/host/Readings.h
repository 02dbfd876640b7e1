// Reading the whole board through the records the runner holds, section by section, into
// one report.
#pragma once

#include "Report.h"
#include "Runner.h"

namespace Host {

// Every reading of every device of the board; a device without a record reads as
// "not supported" (the library lacks its kind) or "not added" (its add failed).
Report readBoard(const Runner& runner);

}  // namespace Host
