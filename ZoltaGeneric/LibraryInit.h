// The library's front door: every kind's init connects to the SMBus service (once) and
// loads the topology.
#pragma once

#include <functional>

#include "Kavrin/ZLSocket.h"
#include "zl_api.h"

// The one socket to the SMBus service; null until zlSockInit creates it, null again when
// every connection attempt failed.
extern Kavrin::ZLSocket* _zlSock;

zl_status zoltaLibraryInit(const char* name, const char* text, int attempts);
zl_status zlSockInit(const char* name, int attempts);

namespace Utils {
// The pause between connection attempts (one second); tests replace it.
extern std::function<void(unsigned seconds)> sleepSeconds;
}
