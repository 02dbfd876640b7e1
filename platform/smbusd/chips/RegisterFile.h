// A plain 256-byte register file: CPLDs, mux registers, dummies and every part without a
// richer model. It takes any property name (free text), so bindings can use them.
#pragma once

#include "Chip.h"

namespace Smbusd {

class RegisterFileChip : public Chip {
  public:
    RegisterFileChip();
    std::unique_ptr<Chip> clone() const override { return std::make_unique<RegisterFileChip>(*this); }
};

}  // namespace Smbusd
