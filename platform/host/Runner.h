// The running host: the board file, the driver library loaded from it, and the records the
// library handed out for the board's devices, with every device that could not be added.
#pragma once

#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "BoardFile.h"
#include "Library.h"
#include "Report.h"
#include "Status.h"
#include "zl_api.h"

namespace Host {

class Runner {
  public:
    Board board;
    Library library;
    std::string topologyText;
    std::vector<Problem> problems;  // devices that could not be added or set up

    // LED field read-back: one register GPIO per bit of the field, on the LED's device.
    std::map<const BoardDevice*, std::vector<zl_gpio*>> ledBits;
    // What this process asked of fans (rpm) and LEDs (setting), for the report.
    std::map<const BoardDevice*, int> fanTargets;
    std::map<const BoardDevice*, int> ledSettings;

    Runner();

    // Loads the board file, the topology and the library. Prints why and returns false when
    // one of them is unusable.
    bool start(const std::string& boardPath, const std::string& libraryPath);

    // Whether initAll first connects to the SMBus service itself (the programs do; the tests
    // of a stand-in library that needs no service don't).
    bool checkService = false;

    // Calls every kind's init with the topology. When the SMBus service can't be reached the
    // remaining kinds are not tried (each attempt would wait for the service again). False,
    // with the socket path and the system's reason printed, when the service can't be reached.
    bool initAll();

    // Adds one device of the board once; null (with a problem naming the device and, when
    // the library traced one, its reason) on failure.
    void* add(const BoardDevice& device);

    // Adds every device of the board, then the read-back GPIOs of its LEDs.
    void addAll();

    // kNotSupported when the library lacks the kind, kNotAdded when the add failed, else 0.
    int addStatus(const BoardDevice* device) const;

    template <class Record>
    Record* record(const BoardDevice* device) const {
        auto it = records_.find(device);
        return it == records_.end() ? nullptr : static_cast<Record*>(it->second);
    }

  private:
    void addLedReadback(const BoardDevice& led);

    int initStatus_[std::size(kAllKinds)];  // kNotAdded until the kind's init ran
    std::map<const BoardDevice*, void*> records_;
    std::map<const BoardDevice*, int> addStatus_;
};

// The socket the library connects to: ZOLTA_SMBUS_SOCKET, else the platform's default.
std::string serviceSocketPath();
// Connects to the SMBus service once and hangs up: "" when it answers, else why not
// (strerror text). A service with a full backlog counts as reachable.
std::string serviceProblem(const std::string& path);

// A driver argument of a device text as text ("" when absent or not a string or number).
std::string textDriverArg(const std::string& text, const char* key);

}  // namespace Host
