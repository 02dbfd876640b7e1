// Library-wide helpers: the exception types, the consistency-rule mechanism, the guards
// that keep every exception inside the C entry points, the simulation flag and the
// simulated register values.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <stdexcept>
#include <string>

#include "zl_api.h"

// Thrown by operations a driver or HAM does not provide; what() is
// "Not implemented " followed by the operation's name.
class NotImplementedException : public std::exception {
  public:
    explicit NotImplementedException(const std::string& operation);
    const char* what() const noexcept override { return message.c_str(); }

  private:
    std::string message;
};

namespace Utils {

// A broken consistency rule: configuration or programming error. The rule is traced at
// level 0 when it breaks ("consistency check failed: <rule>"), so catchers need not trace it.
class ConsistencyError : public std::logic_error {
  public:
    explicit ConsistencyError(const std::string& rule);
    const std::string& rule() const { return rule_; }

  private:
    std::string rule_;
};

// Traces "consistency check failed: <rule>" at level 0 and throws ConsistencyError.
[[noreturn]] void consistencyFailure(const char* rule);

// Status names for the values the host knows only by number.
const char* statusName(zl_status status);

// Runs fn() (an add or init body) and turns any exception into `failed` after tracing it at
// level 0: not implemented, "stoi", "map::at", consistency failures and anything else.
template <class Result, class Fn>
Result guardEntry(Result failed, Fn&& fn) noexcept {
    try {
        return fn();
    } catch (const ConsistencyError&) {
        // already traced where the rule broke
    } catch (const std::exception& e) {
        zl_trace(0, "%s", e.what());
    } catch (...) {
        zl_trace(0, "unknown exception");
    }
    return failed;
}

// Runs fn() (a callback body): a not-implemented operation gives 5, any other exception or
// consistency failure 6. The host's output arguments are not written then.
template <class Fn>
zl_status guardCallback(Fn&& fn) noexcept {
    try {
        return fn();
    } catch (const NotImplementedException& e) {
        zl_trace(0, "%s", e.what());
        return ZL_STATUS_NOT_PROVIDED;
    } catch (const ConsistencyError&) {
        return ZL_STATUS_FAILED;
    } catch (const std::exception& e) {
        zl_trace(0, "%s", e.what());
        return ZL_STATUS_FAILED;
    } catch (...) {
        zl_trace(0, "unknown exception");
        return ZL_STATUS_FAILED;
    }
}

// -1 until first use, then 1 when SIMULATION_VMID is set (to anything) and 0 otherwise.
extern int32_t isInSimulation;
// Evaluates isInSimulation on first use and returns it.
int32_t inSimulation();

// One simulated register value: a number of `size` bytes, or a byte string of `size` bytes.
class ExpectedVal {
  public:
    ExpectedVal() = default;
    ExpectedVal(uint32_t value, uint32_t size);
    ExpectedVal(const std::string& bytes, uint32_t size);
    ExpectedVal(const ExpectedVal& other);
    ExpectedVal& operator=(const ExpectedVal& other);
    virtual ~ExpectedVal() = default;

    const std::string& valStr() const { return valStr_; }

    uint32_t value = 0;
    uint32_t size = 0;
    bool isNumber = true;

  private:
    std::string valStr_;
};

using ExpectedValues = std::map<uint32_t, ExpectedVal>;

// Decimal conversion of driver arguments, as std::stoi does it ("stoi" errors).
int toInt(const std::string& text);

}  // namespace Utils

// Checks a consistency rule; the rule's text is the condition exactly as written.
#define ZL_CHECK(cond)                                        \
    do {                                                      \
        if (!(cond)) ::Utils::consistencyFailure(#cond);      \
    } while (0)

// Checks a condition and names the broken rule with an explicit text.
#define ZL_CHECK_RULE(cond, rule)                             \
    do {                                                      \
        if (!(cond)) ::Utils::consistencyFailure(rule);       \
    } while (0)
