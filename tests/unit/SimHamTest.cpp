// The simulation HAM: file layout, widths and padding, writes in place, the warning for
// registers without a value, the whole-file lock shared with other processes, and hosts
// that survive a directory or file they cannot use.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "Drivers/Device.h"
#include "FakeHam.h"
#include "FakeService.h"
#include "Ham/SimHam.h"
#include "TestHost.h"

namespace {

namespace fs = std::filesystem;
using Ham::SimHam;
using TestHost::brokenRule;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

int openFdCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}

std::string warningFor(const std::string& driver, uint32_t reg) {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "WARNING: Simulated Driver %s doesn't yet have expectedVal set for register 0x%x using "
                  "SIMULATION_HAM()\n",
                  driver.c_str(), reg);
    return buf;
}

// Points ZOLTALIB_SIMDIR at a directory for the scope and forgets the cached directory.
struct SimDirScope {
    explicit SimDirScope(const char* dir) : env("ZOLTALIB_SIMDIR", dir) { SimHam::resetSimDirectory(); }
    ~SimDirScope() { SimHam::resetSimDirectory(); }
    TestHost::ScopedEnv env;
};

std::unique_ptr<SimHam> newSimHam() {
    return std::unique_ptr<SimHam>(static_cast<SimHam*>(SimHam::create(Topology::Topology(), Drivers::DriverArgs())));
}

class SimHamTest : public ::testing::Test {
  protected:
    void SetUp() override { TestHost::clearTraces(); }
    // A HAM named like the device factory names it, given a table.
    std::unique_ptr<SimHam> make(const std::string& driver, const std::string& label,
                                 const Utils::ExpectedValues* table = &mixedTable()) {
        return sim_.ham(driver, label, table);
    }
    // 0x01: byte 0x17; 0x02: word 0x2c4b; 0x03: string "abc"; 0x04: word 0x0005.
    static const Utils::ExpectedValues& mixedTable() {
        static const Utils::ExpectedValues table = {
            {0x01, Utils::ExpectedVal(0x17, 1)},
            {0x02, Utils::ExpectedVal(0x2c4b, 2)},
            {0x03, Utils::ExpectedVal(std::string("abc"), 3)},
            {0x04, Utils::ExpectedVal(0x5, 2)},
        };
        return table;
    }

    TestHost::SimulationDir sim_{"simham"};  // removed with everything in it afterwards
    const std::string base_ = sim_.dir, dir_ = base_ + "/sim";  // not there yet: the first file creates it
    SimDirScope scope_{dir_.c_str()};
};

const char kMixedFile[] = "172c4babc0005\n";

TEST_F(SimHamTest, FileLayoutOffsetsWidthsAndDirectory) {
    const mode_t oldMask = umask(022);
    const Utils::ExpectedValues pmbusLike = {{0x20, Utils::ExpectedVal(0x17, 1)},
                                             {0x79, Utils::ExpectedVal(0x2c4b, 2)}};
    auto ham = make("Pmbus", "psu1", &pmbusLike);
    umask(oldMask);
    EXPECT_EQ(dir_ + "/Pmbus-psu1", ham->simFileName_);
    ASSERT_TRUE(ham->simFileExists_);
    EXPECT_EQ("172c4b\n", readFile(ham->simFileName_));
    EXPECT_EQ((std::map<uint32_t, uint32_t>{{0x20, 0}, {0x79, 2}}), ham->offsets);
    EXPECT_EQ(6u, ham->fileSize);
    struct stat st {};
    ASSERT_EQ(0, stat(dir_.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0755u, st.st_mode & 07777);

    auto mixed = make("PsuSlot", "");  // no label: no dash
    EXPECT_EQ(dir_ + "/PsuSlot", mixed->simFileName_);
    EXPECT_EQ(kMixedFile, readFile(mixed->simFileName_));
    EXPECT_EQ((std::map<uint32_t, uint32_t>{{1, 0}, {2, 2}, {3, 6}, {4, 9}}), mixed->offsets);
    EXPECT_EQ(13u, mixed->fileSize);

    const Utils::ExpectedValues wide = {{0x10, Utils::ExpectedVal(0x1ff, 1)}, {0x11, Utils::ExpectedVal(0, 4)}};
    EXPECT_EQ("ff00000000\n", readFile(make("Wide", "x", &wide)->simFileName_));  // cut to the width
}

TEST_F(SimHamTest, ReadsByWidthWithPadding) {
    auto ham = make("Mixed", "r");
    // kind '8' get8, 'w' get16, 'b' getBlock
    const struct { const char* name; uint32_t reg; char kind; uint32_t len, number; std::string bytes; } cases[] = {
        {"byte field as byte", 0x01, '8', 0, 0x17, ""},
        {"byte field as word is padded with f", 0x01, 'w', 0, 0xff17, ""},
        {"word field as byte takes its first digits", 0x02, '8', 0, 0x2c, ""},
        {"string, longer is padded with 0xff", 0x03, 'b', 5, 0, std::string("\xff\xff" "abc")},
        {"string, zero length", 0x03, 'b', 0, 0, ""},
        {"numeric field as block is padded with f", 0x01, 'b', 4, 0, "ff17"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ham->prepare();
        Ham::ResponseId id = c.kind == 'b' ? ham->addReadBlock(c.reg) : ham->addRead8(c.reg);
        ASSERT_EQ(0, ham->execute());
        if (c.kind == 'b') {
            EXPECT_EQ(c.bytes, ham->getBlock(id, c.len));
        } else {
            EXPECT_EQ(c.number, c.kind == '8' ? ham->get8(id) : ham->get16(id));
        }
    }
    // A batch answers its last register; processCall is a read, its value ignored.
    ham->prepare();
    Ham::ResponseId first = ham->addRead16(0x04);
    ham->addRead16(0x02);
    ASSERT_EQ(0, ham->execute());
    EXPECT_EQ(0x2c4b, ham->get16(first));
    uint16_t word = 0;
    EXPECT_EQ(0, ham->processCall(0x04, 0xffff, &word));
    EXPECT_EQ(5, word);
}

TEST_F(SimHamTest, WritesLandInPlaceWhenQueuedAndLeaveNoDescriptor) {
    const int fdsBefore = openFdCount();
    const uint8_t xyz[] = {'x', 'y', 'z'}, two[] = {'Q', 'R'};
    const std::pair<std::function<void(SimHam&)>, std::string> cases[] = {
        {[](SimHam& h) { h.addWrite16(0x02, 0x1f, false); }, "17001fabc0005\n"},
        {[](SimHam& h) { h.addWrite8(0x01, 0xa, true); }, "0a2c4babc0005\n"},
        {[](SimHam& h) { h.addWrite16(0x01, 0x1f, false); }, kMixedFile},  // another width: dropped
        {[&](SimHam& h) { h.addWrite(0x03, xyz, 3, false); }, "172c4bxyz0005\n"},
        {[&](SimHam& h) { h.addWrite(0x03, two, 2, false); }, kMixedFile},         // another length: dropped
        {[&](SimHam& h) { h.addWrite(0x02, two, 2, false); }, "17QR4babc0005\n"},  // raw bytes of the field's size
    };
    for (const auto& [write, file] : cases) {
        SCOPED_TRACE(file);
        auto ham = make("Mixed", "w");
        ham->prepare();
        write(*ham);
        EXPECT_EQ(file, readFile(ham->simFileName_));  // before execute
        EXPECT_EQ(0, ham->execute());
    }
    // A send byte touches neither the file nor the register in hand, and is not simulated.
    auto ham = make("Mixed", "w");
    ham->addSendByte(0x01, false);
    EXPECT_EQ(kMixedFile, readFile(ham->simFileName_));
    EXPECT_EQ(0u, ham->savedReg);
    EXPECT_EQ(4, ham->execute());

    uint8_t value = 0;
    ASSERT_EQ(0, ham->write8(0x01, 0x42, false));
    ASSERT_EQ(0, ham->read8(0x01, &value));
    EXPECT_EQ(0x42, value);
    ham->setExpected(&mixedTable());  // rewrites the file
    ASSERT_EQ(0, ham->read8(0x01, &value));
    EXPECT_EQ(0x17, value);
    EXPECT_EQ(fdsBefore, openFdCount());
}

TEST_F(SimHamTest, RegistersWithoutAValueWarn) {
    auto none = make("TMP75", "temp1", &Component::HardwareDevice::emptyExpectedValues);
    EXPECT_FALSE(none->simFileExists_);
    EXPECT_FALSE(fs::exists(none->simFileName_));
    TestHost::clearTraces();
    uint8_t value = 0x55;
    EXPECT_EQ(0, none->read8(0x00, &value));  // no table: reads 0, succeeds
    EXPECT_EQ(0, value);
    EXPECT_EQ(0, none->write8(0x01, 3, false));
    ASSERT_EQ(2u, TestHost::traces().size());
    EXPECT_EQ(warningFor("TMP75", 1), TestHost::traces()[1].text);
    EXPECT_EQ("", none->getBlock(0, 4));

    auto ham = make("Mixed", "u");  // a table without this register fails the batch
    TestHost::clearTraces();
    uint16_t word = 0x5555;
    EXPECT_EQ(4, ham->read16(0x99, &word));
    EXPECT_EQ(0x5555, word);
    ham->addWrite8(0x98, 1, false);  // warns, writes nothing
    EXPECT_TRUE(TestHost::traced(warningFor("Mixed", 0x98)));
    EXPECT_EQ(kMixedFile, readFile(ham->simFileName_));
}

TEST_F(SimHamTest, BrokenTablesAndUnusableFiles) {
    Utils::ExpectedVal broken(std::string("abc"), 3);
    broken.size = 4;
    const Utils::ExpectedValues table = {{0x01, Utils::ExpectedVal(1, 1)}, {0x02, broken}};
    auto ham = newSimHam();
    EXPECT_EQ("!simFileName_.empty()", brokenRule([&] { ham->setExpected(&mixedTable()); }));  // no name yet
    ham->setDriverName("Broken", "");
    EXPECT_EQ("size == val.valStr().length()", brokenRule([&] { ham->setExpected(&table); }));
    EXPECT_FALSE(ham->simFileExists_);
    EXPECT_EQ(nullptr, ham->expected);
    EXPECT_FALSE(fs::exists(ham->simFileName_));

    // A file that shrinks or vanishes breaks the mapping rule and leaks no descriptor.
    auto gone = make("Mixed", "gone");
    const int fdsBefore = openFdCount();
    uint8_t value = 0;
    std::ofstream(gone->simFileName_, std::ios::trunc) << "17";
    EXPECT_EQ("mm != ((void *) -1)", brokenRule([&] { gone->read8(0x02, &value); }));
    EXPECT_THROW(gone->write16(0x04, 1, false), Utils::ConsistencyError);
    fs::remove(gone->simFileName_);
    EXPECT_THROW(gone->read8(0x01, &value), Utils::ConsistencyError);
    EXPECT_EQ(fdsBefore, openFdCount());

    // A directory that cannot be made: no file (what such a HAM reads: the planted-file test).
    std::ofstream(base_ + "/plain") << "not a directory";
    SimDirScope inner((base_ + "/plain/sim").c_str());
    TestHost::clearTraces();
    EXPECT_FALSE(make("Pmbus", "psu1")->simFileExists_);
    EXPECT_TRUE(TestHost::traced("failed to create simulation file " + base_ + "/plain/sim/Pmbus-psu1", 0));
}

// Something planted under a simulation file's name is never written through or waited on:
// a link (to a file or a FIFO) or a FIFO counts as a file that cannot be created.
TEST_F(SimHamTest, PlantedLinksAndFifosAreNeverUsed) {
    fs::create_directories(dir_);
    const std::string victim = base_ + "/victim", fifo = base_ + "/fifo";
    std::ofstream(victim) << "keep";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    const struct { const char* label; std::function<void(const std::string&)> plant; } cases[] = {
        {"link", [&](const std::string& at) { fs::create_symlink(victim, at); }},
        {"linkToFifo", [&](const std::string& at) { fs::create_symlink(fifo, at); }},
        {"fifo", [&](const std::string& at) { ASSERT_EQ(0, ::mkfifo(at.c_str(), 0600)); }},
    };
    for (const auto& c : cases) {
        c.plant(dir_ + "/Pmbus-" + c.label);
        TestHost::clearTraces();
        auto ham = make("Pmbus", c.label);  // would block in open() on a FIFO
        EXPECT_FALSE(ham->simFileExists_) << c.label;
        EXPECT_TRUE(TestHost::traced("failed to create simulation file " + dir_ + "/Pmbus-" + c.label, 0)) << c.label;
        uint8_t value = 9;
        EXPECT_EQ(0, ham->read8(0x01, &value)) << c.label;
        EXPECT_EQ(0, value) << c.label;
    }
    EXPECT_EQ("keep", readFile(victim));
}

TEST(SimHamDirectory, DefaultAndKeptOnceFound) {
    {
        SimDirScope unset(nullptr);
        EXPECT_EQ("/tmp/ZoltaSimulationDevices", SimHam::simDirectory());
    }
    SimDirScope first("/tmp/zl-first");
    EXPECT_EQ("/tmp/zl-first", SimHam::simDirectory());
    setenv("ZOLTALIB_SIMDIR", "/tmp/zl-second", 1);
    EXPECT_EQ("/tmp/zl-first", SimHam::simDirectory());
}

TEST_F(SimHamTest, ReadWaitsForAnotherProcessThatHoldsTheLock) {
    auto ham = make("Mixed", "shared");
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The other process: lock, announce, change the word field slowly, unlock.
        int fd = open(ham->simFileName_.c_str(), O_RDWR);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        if (fd < 0 || fcntl(fd, F_SETLKW, &fl) != 0) _exit(2);
        if (write(ready[1], "L", 1) != 1) _exit(3);
        usleep(300 * 1000);
        if (pwrite(fd, "abcd", 4, 2) != 4) _exit(4);
        fl.l_type = F_UNLCK;
        fcntl(fd, F_SETLK, &fl);
        close(fd);
        _exit(0);
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    close(ready[0]);
    const auto start = std::chrono::steady_clock::now();
    uint16_t word = 0;
    ASSERT_EQ(0, ham->read16(0x02, &word));
    const auto waited = std::chrono::steady_clock::now() - start;
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(0xabcd, word);  // the other process's value, not the old one
    EXPECT_GE(waited, std::chrono::milliseconds(200));
}

}  // namespace
