// The driver catalogue from the library's side: how a driver declares its catalogue entry
// (kinds it makes, driver arguments it reads) and how it reads its arguments through that
// declaration, so that keys, conversions, ranges and failure texts exist once. The public
// form, for hosts and tools, is zl_driver_catalogue() (zl_catalogue.h).
//
// Declaring a driver (next to its register map):
//
//   static constexpr zl_driver_arg catalogueArgs[] = {
//       Arg("maxId", ZL_CALL_CREATE, ZL_READ_DECIMAL).required(ZL_MISSING_RULE, "<rule>"),
//       Arg("id", ZL_CALL_NEW_FAN, ZL_READ_DECIMAL_U8).required(ZL_MISSING_RULE, "<rule>")
//           .range(1, 8, "<rule>"),
//       Arg("pec", ZL_CALL_NEW_FAN, ZL_READ_FLAG),
//   };
//   static constexpr zl_driver_entry catalogue = {
//       "Max6620", ZL_KIND_BIT(ZL_KIND_FAN) | ZL_KIND_BIT(ZL_KIND_GPIO), ZL_DRIVER_REG_GPIO,
//       catalogueArgs, std::size(catalogueArgs)};
//
// and list {&Max6620::catalogue, &Max6620::create} in Drivers/Registry.cpp. Reading them:
//
//   ArgReader r(catalogue, ZL_CALL_NEW_FAN, args.driverArgs);
//   const int id = *r.number("id");       // throws the declared failure when absent
//   const bool pec = r.flag("pec", false);
//
// Arguments are declared in the order the driver reads them.
#pragma once

#include <climits>
#include <iterator>
#include <optional>
#include <string>

#include "Drivers/DriverArgs.h"
#include "zl_catalogue.h"

namespace Drivers {

// Builds one zl_driver_arg: optional and of any value unless told otherwise.
class Arg {
  public:
    constexpr Arg(const char* key, unsigned char call, unsigned char read)
        : a_{key, call, read, 0, ZL_MISSING_RULE, nullptr, nullptr, 1, 0, nullptr, nullptr, nullptr, nullptr} {}
    // Required; `rule` (ZL_MISSING_RULE) or `trace` (ZL_MISSING_NULL) name the failure.
    constexpr Arg required(unsigned char missing, const char* rule = nullptr, const char* trace = nullptr) const {
        Arg r = *this;
        r.a_.required = 1;
        r.a_.missing = missing;
        r.a_.missingRule = rule;
        r.a_.missingTrace = trace;
        return r;
    }
    // `rule` null: the driver refuses a number outside in its own words.
    constexpr Arg range(int min, int max, const char* rule) const {
        Arg r = *this;
        r.a_.min = min;
        r.a_.max = max;
        r.a_.rangeRule = rule;
        return r;
    }
    // The only texts accepted, separated by '|'.
    constexpr Arg choices(const char* texts) const {
        Arg r = *this;
        r.a_.choices = texts;
        return r;
    }
    // Read only when `key` is present (with exactly the text `value`, when given).
    constexpr Arg when(const char* key, const char* value = nullptr) const {
        Arg r = *this;
        r.a_.whenKey = key;
        r.a_.whenValue = value;
        return r;
    }
    constexpr operator zl_driver_arg() const { return a_; }

  private:
    zl_driver_arg a_;
};

// The register GPIO every hardware device offers by default (Components/Gpio.cpp).
inline constexpr zl_driver_arg regGpioArgs[] = {
    Arg("register", ZL_CALL_NEW_GPIO, ZL_READ_DECIMAL).required(ZL_MISSING_RULE, "it != args.driverArgs.end()"),
    // Positions 8 to 31 name no bit of the 8-bit register (it reads 0 there); the 32-bit
    // mask has no others.
    Arg("bitpos", ZL_CALL_NEW_GPIO, ZL_READ_DECIMAL)
        .required(ZL_MISSING_RULE, "it != args.driverArgs.end()")
        .range(0, 31, "0 <= bitpos && bitpos <= 31"),
};
inline constexpr zl_driver_entry regGpioEntry = {"register GPIO", ZL_KIND_BIT(ZL_KIND_GPIO), 0, regGpioArgs,
                                                 std::size(regGpioArgs)};

// The transceiver kind's own arguments, read by Components/Xcvr.cpp for every driver that
// makes transceivers. Such a driver declares them again with its cage range and port types.
inline constexpr Arg xcvrIdArg =
    Arg("id", ZL_CALL_NEW_XCVR, ZL_READ_DECIMAL).required(ZL_MISSING_NULL, nullptr, "No id argument given for Xcvr");
inline constexpr Arg xcvrTypeArg =
    Arg("type", ZL_CALL_NEW_XCVR, ZL_READ_TEXT).required(ZL_MISSING_NULL, nullptr, "No type argument given for Xcvr");
inline constexpr zl_driver_arg xcvrArgs[] = {xcvrIdArg, xcvrTypeArg.choices("sfp|sfp+|qsfp|qsfp+")};
inline constexpr zl_driver_entry xcvrEntry = {"transceiver", ZL_KIND_BIT(ZL_KIND_XCVR), 0, xcvrArgs,
                                              std::size(xcvrArgs)};

// The key of member `index` of a numbered series ("psuFdl_#", 2 -> "psuFdl_2").
std::string seriesKey(const char* key, unsigned index);

// Reads the arguments of one call as the driver's entry declares them. Failures are those
// the declaration names: a missing required argument traces and throws its rule
// (Utils::ConsistencyError), throws std::out_of_range "map::at", or yields nullopt/null
// (ZL_MISSING_NULL, after its trace); a number that is not one throws std::stoi's error; a
// number out of range throws its rule. Reading a key the entry doesn't declare for this
// call is a programming error (a consistency failure naming the key).
class ArgReader {
  public:
    ArgReader(const zl_driver_entry& driver, unsigned call, const DriverSpecificArgs& args)
        : driver_(driver), call_(call), args_(args) {}

    // The value after its conversion (and 8-bit cut); nullopt when absent and not required.
    std::optional<int> number(const char* key, unsigned index = 0);
    // The text; null when absent and not required.
    const std::string* text(const char* key, unsigned index = 0);
    // True exactly when the text is "true"; `absent` when missing.
    bool flag(const char* key, bool absent);

  private:
    const zl_driver_arg& declared(const char* key) const;
    const std::string* find(const zl_driver_arg& arg, unsigned index);

    const zl_driver_entry& driver_;
    unsigned call_;
    const DriverSpecificArgs& args_;
};

}  // namespace Drivers
