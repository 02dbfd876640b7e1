// The raw SMBus commands of zolta-host: `smbus` (get, set, dump, block through an SMBus
// proxy named by topology label and address, in the manner of i2c-tools) and `xcvr eeprom`
// (a port's module EEPROM read through its SMBus proxy and decoded).
#pragma once

#include "Options.h"
#include "Runner.h"

namespace Host {

extern const char* const kSmbusHelp;
extern const char* const kXcvrHelp;

int runSmbus(const Options& options, Runner& runner);
int runXcvr(const Options& options, Runner& runner);

}  // namespace Host
