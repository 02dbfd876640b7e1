#include "Status.h"

namespace Host {

std::string statusWord(int status) {
    switch (status) {
        case 0: return "ok";
        case 1: return "not found";
        case 2: return "device fault";
        case 3: return "bad input";
        case 4: return "no communication";
        case 5: return "not provided";
        case 6: return "failed";
        case kNotSupported: return "not supported";
        case kNotAdded: return "not added";
        default: return "status " + std::to_string(status);
    }
}

}  // namespace Host
