// Simulation files changed under the library: the input replaces the whole file, then every
// field is read and written through the simulation HAM. Broken files may fail a rule (a
// status at the host), never touch memory outside the mapping.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "FuzzHost.h"
#include "Ham/SimHam.h"
#include "Topology/Topology.h"
#include "Utils.h"

namespace {

const Utils::ExpectedValues& table() {
    static const Utils::ExpectedValues values = {
        {0x01, Utils::ExpectedVal(0x17, 1)},
        {0x02, Utils::ExpectedVal(0x2c4b, 2)},
        {0x03, Utils::ExpectedVal(std::string("abcdef"), 6)},
        {0x04, Utils::ExpectedVal(0x5, 4)},
    };
    return values;
}

Ham::SimHam* makeHam() {
    ::setenv("ZOLTALIB_SIMDIR", Fuzz::scratchDir("sim").c_str(), 1);
    Ham::SimHam::resetSimDirectory();
    auto* ham = static_cast<Ham::SimHam*>(Ham::SimHam::create(Topology::Topology(), Drivers::DriverArgs()));
    ham->setDriverName("Fuzz", "file");
    ham->setExpected(&table());
    if (!ham->simFileExists_) std::abort();
    return ham;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Ham::SimHam* ham = makeHam();
    int fd = ::open(ham->simFileName_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) std::abort();
    if (size > 0 && ::write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
    ::close(fd);
    uint8_t byte = 0;
    uint16_t word = 0;
    uint32_t dword = 0;
    std::string block;
    const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::function<void()> operations[] = {
        [&] { ham->read8(0x01, &byte); },      [&] { ham->read16(0x02, &word); },
        [&] { ham->read(0x03, 8, &block, false); }, [&] { ham->read32(0x04, &dword); },
        [&] { ham->write8(0x01, 0x55, false); }, [&] { ham->write(0x03, bytes, 8, false); },
        [&] { ham->read8(0x7f, &byte); },
    };
    for (const auto& operation : operations) {
        try {
            operation();
        } catch (...) {
            // A broken rule or an operation the HAM lacks: the callback guard makes either a
            // status at the host.
        }
    }
    return 0;
}
