#include "RegisterFile.h"

namespace Smbusd {

RegisterFileChip::RegisterFileChip() : Chip("register-file") { openProperties_ = true; }

}  // namespace Smbusd
