// The chip models by name, as the state file and `list` name them.
#pragma once

#include <memory>
#include <string>

#include "Chip.h"

namespace Smbusd {

// A new chip of the model; nullptr for an unknown name.
std::unique_ptr<Chip> makeChip(const std::string& model);
// The model names, comma separated, for messages.
std::string modelNames();

}  // namespace Smbusd
