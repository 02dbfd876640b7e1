#include "Utils.h"

#include <cstdlib>

NotImplementedException::NotImplementedException(const std::string& operation)
    : message("Not implemented " + operation) {}

namespace Utils {

ConsistencyError::ConsistencyError(const std::string& rule)
    : std::logic_error("consistency check failed: " + rule), rule_(rule) {}

void consistencyFailure(const char* rule) {
    zl_trace(0, "consistency check failed: %s", rule);
    throw ConsistencyError(rule);
}

const char* statusName(zl_status status) {
    switch (status) {
        case ZL_STATUS_OK: return "ok";
        case ZL_STATUS_NOT_FOUND: return "not found";
        case ZL_STATUS_DEVICE_FAULT: return "device fault";
        case ZL_STATUS_BAD_INPUT: return "bad input";
        case ZL_STATUS_NO_COMM: return "no communication";
        case ZL_STATUS_NOT_PROVIDED: return "not provided";
        case ZL_STATUS_FAILED: return "failed";
        default: return "unknown status";
    }
}

int32_t isInSimulation = -1;

int32_t inSimulation() {
    if (isInSimulation == -1) isInSimulation = std::getenv("SIMULATION_VMID") != nullptr ? 1 : 0;
    return isInSimulation;
}

ExpectedVal::ExpectedVal(uint32_t v, uint32_t s) : value(v), size(s), isNumber(true) {}

ExpectedVal::ExpectedVal(const std::string& bytes, uint32_t s) : size(s), isNumber(false), valStr_(bytes) {
    ZL_CHECK(size == valStr_.length());
}

ExpectedVal::ExpectedVal(const ExpectedVal& other) { *this = other; }

ExpectedVal& ExpectedVal::operator=(const ExpectedVal& other) {
    isNumber = other.isNumber;
    size = other.size;
    if (isNumber)
        value = other.value;
    else
        valStr_ = other.valStr_;
    return *this;
}

int toInt(const std::string& text) { return std::stoi(text); }

}  // namespace Utils
