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
#include <sstream>
#include <thread>

#include "Drivers/Device.h"
#include "Ham/SimHam.h"
#include "TestHost.h"

namespace {

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

int openFdCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}

// Points ZOLTALIB_SIMDIR at a directory of its own for the test and puts everything back.
class SimDirScope {
  public:
    explicit SimDirScope(const std::string& dir) {
        if (const char* old = std::getenv("ZOLTALIB_SIMDIR")) saved_ = old, hadOld_ = true;
        setenv("ZOLTALIB_SIMDIR", dir.c_str(), 1);
        Ham::SimHam::resetSimDirectory();
    }
    ~SimDirScope() {
        if (hadOld_)
            setenv("ZOLTALIB_SIMDIR", saved_.c_str(), 1);
        else
            unsetenv("ZOLTALIB_SIMDIR");
        Ham::SimHam::resetSimDirectory();
    }

  private:
    std::string saved_;
    bool hadOld_ = false;
};

const std::string kWarning =
    "WARNING: Simulated Driver %s doesn't yet have expectedVal set for register 0x%x using SIMULATION_HAM()\n";

std::string warningFor(const std::string& driver, uint32_t reg) {
    char buf[256];
    std::snprintf(buf, sizeof buf, kWarning.c_str(), driver.c_str(), reg);
    return buf;
}

class SimHamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zl-simham-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        base_ = pattern;
        dir_ = base_ + "/sim";  // not there yet: the first file creates it
        scope_ = std::make_unique<SimDirScope>(dir_);
        TestHost::clearTraces();
    }
    void TearDown() override {
        scope_.reset();
        std::error_code ec;
        fs::remove_all(base_, ec);
    }

    // A HAM named like the device factory names it, given a table.
    std::unique_ptr<Ham::SimHam> make(const std::string& driver, const std::string& label,
                                      const Utils::ExpectedValues* table) {
        auto ham = std::unique_ptr<Ham::SimHam>(static_cast<Ham::SimHam*>(
            Ham::SimHam::create(Topology::Topology(), Drivers::DriverArgs())));
        ham->setDriverName(driver, label);
        ham->setExpected(table);
        return ham;
    }

    std::string base_;
    std::string dir_;
    std::unique_ptr<SimDirScope> scope_;
};

// 0x01: byte 0x17; 0x02: word 0x2c4b; 0x03: string "abc"; 0x04: word 0x0005.
const Utils::ExpectedValues& mixedTable() {
    static const Utils::ExpectedValues table = {
        {0x01, Utils::ExpectedVal(0x17, 1)},
        {0x02, Utils::ExpectedVal(0x2c4b, 2)},
        {0x03, Utils::ExpectedVal(std::string("abc"), 3)},
        {0x04, Utils::ExpectedVal(0x5, 2)},
    };
    return table;
}

TEST_F(SimHamTest, CreateStartsEmpty) {
    std::unique_ptr<Ham::SimHam> ham(static_cast<Ham::SimHam*>(
        Ham::SimHam::create(Topology::Topology(), Drivers::DriverArgs())));
    EXPECT_EQ(nullptr, ham->expected);
    EXPECT_TRUE(ham->offsets.empty());
    EXPECT_EQ("", ham->driverName);
    EXPECT_EQ(0u, ham->savedReg);
    EXPECT_FALSE(ham->simFileExists_);
    EXPECT_EQ(0u, ham->fileSize);
    EXPECT_EQ("", ham->simFileName_);
}

TEST_F(SimHamTest, FileLayoutOffsetsAndDirectory) {
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
    EXPECT_TRUE(TestHost::traced("Created " + dir_ + "/Pmbus-psu1", 5));

    struct stat st {};
    ASSERT_EQ(0, stat(dir_.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0755u, st.st_mode & 07777);
}

TEST_F(SimHamTest, MixedFieldsAndEmptyLabel) {
    auto ham = make("PsuSlot", "", &mixedTable());
    EXPECT_EQ(dir_ + "/PsuSlot", ham->simFileName_);
    EXPECT_EQ("172c4babc0005\n", readFile(ham->simFileName_));
    EXPECT_EQ((std::map<uint32_t, uint32_t>{{1, 0}, {2, 2}, {3, 6}, {4, 9}}), ham->offsets);
    EXPECT_EQ(13u, ham->fileSize);
}

TEST_F(SimHamTest, NumbersAreCutToTheirWidth) {
    const Utils::ExpectedValues table = {{0x10, Utils::ExpectedVal(0x1ff, 1)}, {0x11, Utils::ExpectedVal(0, 4)}};
    auto ham = make("Wide", "x", &table);
    EXPECT_EQ("ff00000000\n", readFile(ham->simFileName_));
}

TEST_F(SimHamTest, SetExpectedRewritesTheFile) {
    auto ham = make("Pmbus", "again", &mixedTable());
    uint8_t value = 0;
    ham->write8(0x01, 0x42, false);
    ASSERT_EQ(0, ham->read8(0x01, &value));
    EXPECT_EQ(0x42, value);
    ham->setExpected(&mixedTable());
    ASSERT_EQ(0, ham->read8(0x01, &value));
    EXPECT_EQ(0x17, value);
}

struct ReadCase {
    const char* name;
    uint32_t reg;
    char kind;  // '8' get8, 'w' get16, 'b' getBlock
    uint32_t len;
    uint32_t number;
    std::string bytes;
};

TEST_F(SimHamTest, ReadsByWidthWithPadding) {
    auto ham = make("Mixed", "r", &mixedTable());
    const std::vector<ReadCase> cases = {
        {"byte field as byte", 0x01, '8', 0, 0x17, ""},
        {"byte field as word is padded with f", 0x01, 'w', 0, 0xff17, ""},
        {"word field as byte takes its first digits", 0x02, '8', 0, 0x2c, ""},
        {"word field as word", 0x02, 'w', 0, 0x2c4b, ""},
        {"small word", 0x04, 'w', 0, 0x0005, ""},
        {"string, exact", 0x03, 'b', 3, 0, "abc"},
        {"string, shorter", 0x03, 'b', 2, 0, "ab"},
        {"string, longer is padded with 0xff", 0x03, 'b', 5, 0, std::string("\xff\xff" "abc")},
        {"string, zero length", 0x03, 'b', 0, 0, ""},
        {"numeric field as block is padded with f", 0x01, 'b', 4, 0, "ff17"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ham->prepare();
        Ham::ResponseId id = c.kind == 'b' ? ham->addReadBlock(c.reg) : ham->addRead8(c.reg);
        EXPECT_EQ(0u, id);
        ASSERT_EQ(0, ham->execute());
        if (c.kind == '8') {
            EXPECT_EQ(c.number, ham->get8(id));
        }
        if (c.kind == 'w') {
            EXPECT_EQ(c.number, ham->get16(id));
        }
        if (c.kind == 'b') {
            EXPECT_EQ(c.bytes, ham->getBlock(id, c.len));
        }
    }
    std::string block = "stale";
    EXPECT_EQ(0, ham->readBlock(0x03, &block));  // asks for length 0
    EXPECT_EQ("", block);
    uint8_t b = 0;
    TestHost::clearTraces();
    EXPECT_EQ(0, ham->recvByte(&b));  // answers the register used last
    EXPECT_TRUE(TestHost::traced(dir_ + "/Mixed-r - Read ab from register 0x3", 5)) << TestHost::dumpTraces();
}

TEST_F(SimHamTest, ABatchAnswersItsLastRegister) {
    auto ham = make("Mixed", "batch", &mixedTable());
    ham->prepare();
    Ham::ResponseId first = ham->addRead16(0x04);
    Ham::ResponseId second = ham->addRead16(0x02);
    ASSERT_EQ(0, ham->execute());
    EXPECT_EQ(0x2c4b, ham->get16(first));
    EXPECT_EQ(0x2c4b, ham->get16(second));
    // processCall and read behave the same; pec and flag are ignored
    uint16_t word = 0;
    EXPECT_EQ(0, ham->processCall(0x04, 0xffff, &word));
    EXPECT_EQ(5, word);
}

struct WriteCase {
    const char* name;
    std::function<void(Ham::SimHam&)> write;
    std::string file;  // the whole file after the write
};

TEST_F(SimHamTest, WritesLandInPlaceWhenQueued) {
    const uint8_t xyz[] = {'x', 'y', 'z'};
    const uint8_t two[] = {'Q', 'R'};
    const std::vector<WriteCase> cases = {
        {"word on a word field", [](Ham::SimHam& h) { h.addWrite16(0x02, 0x1f, false); }, "17001fabc0005\n"},
        {"byte on a byte field", [](Ham::SimHam& h) { h.addWrite8(0x01, 0xa, true); }, "0a2c4babc0005\n"},
        {"word on a byte field is dropped", [](Ham::SimHam& h) { h.addWrite16(0x01, 0x1f, false); },
         "172c4babc0005\n"},
        {"byte on a word field is dropped", [](Ham::SimHam& h) { h.addWrite8(0x02, 0x1f, false); },
         "172c4babc0005\n"},
        {"bytes of the string's length", [&](Ham::SimHam& h) { h.addWrite(0x03, xyz, 3, false); },
         "172c4bxyz0005\n"},
        {"block of the string's length", [&](Ham::SimHam& h) { h.addWriteBlock(0x03, xyz, 3, false); },
         "172c4bxyz0005\n"},
        {"bytes of another length are dropped", [&](Ham::SimHam& h) { h.addWrite(0x03, two, 2, false); },
         "172c4babc0005\n"},
        {"raw bytes on a numeric field of that size", [&](Ham::SimHam& h) { h.addWrite(0x02, two, 2, false); },
         "17QR4babc0005\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto ham = make("Mixed", "w", &mixedTable());
        ham->prepare();
        c.write(*ham);
        EXPECT_EQ(c.file, readFile(ham->simFileName_));  // before execute
        EXPECT_EQ(0, ham->execute());
    }
    // A send byte touches neither the file nor the register in hand (0, not simulated here).
    auto ham = make("Mixed", "w", &mixedTable());
    ham->addSendByte(0x01, false);
    EXPECT_EQ("172c4babc0005\n", readFile(ham->simFileName_));
    EXPECT_EQ(0u, ham->savedReg);
    EXPECT_EQ(4, ham->execute());
}

TEST_F(SimHamTest, WriteTracesWhatItWrote) {
    auto ham = make("Mixed", "t", &mixedTable());
    TestHost::clearTraces();
    EXPECT_EQ(0, ham->write16(0x04, 0xbeef, false));
    EXPECT_TRUE(TestHost::traced(dir_ + "/Mixed-t - Wrote beef to register 0x4", 5)) << TestHost::dumpTraces();
    uint16_t word = 0;
    EXPECT_EQ(0, ham->read16(0x04, &word));
    EXPECT_EQ(0xbeef, word);
}

TEST_F(SimHamTest, DeviceWithoutTableHasNoFile) {
    auto ham = make("TMP75", "temp1", &Component::HardwareDevice::emptyExpectedValues);
    EXPECT_FALSE(ham->simFileExists_);
    EXPECT_FALSE(fs::exists(ham->simFileName_));
    TestHost::clearTraces();
    uint8_t value = 0x55;
    EXPECT_EQ(0, ham->read8(0x00, &value));
    EXPECT_EQ(0, value);
    ASSERT_EQ(1u, TestHost::traces().size());
    EXPECT_EQ(0, TestHost::traces()[0].level);
    EXPECT_EQ(warningFor("TMP75", 0), TestHost::traces()[0].text);
    EXPECT_EQ(0, ham->write8(0x01, 3, false));
    EXPECT_EQ(warningFor("TMP75", 1), TestHost::traces()[1].text);
    EXPECT_EQ("", ham->getBlock(0, 4));
}

TEST_F(SimHamTest, UnsimulatedRegisterWarnsAndFailsTheBatch) {
    auto ham = make("Mixed", "u", &mixedTable());
    TestHost::clearTraces();
    uint16_t word = 0x5555;
    EXPECT_EQ(4, ham->read16(0x99, &word));
    EXPECT_EQ(0x5555, word);
    ham->prepare();
    ham->addRead16(0x99);
    EXPECT_EQ(4, ham->execute());
    EXPECT_EQ(0, ham->get16(0));
    EXPECT_EQ(0, ham->get8(0));
    EXPECT_EQ("", ham->getBlock(0, 3));
    EXPECT_EQ(3, TestHost::traceCount(warningFor("Mixed", 0x99)));
    ham->addWrite8(0x98, 1, false);  // warns, writes nothing
    EXPECT_EQ(4, TestHost::traceCount("WARNING: Simulated Driver Mixed"));
    EXPECT_EQ("172c4babc0005\n", readFile(ham->simFileName_));
}

TEST_F(SimHamTest, StringOfTheWrongLengthBreaksARule) {
    Utils::ExpectedVal broken(std::string("abc"), 3);
    broken.size = 4;
    const Utils::ExpectedValues table = {{0x01, Utils::ExpectedVal(1, 1)}, {0x02, broken}};
    std::unique_ptr<Ham::SimHam> ham(static_cast<Ham::SimHam*>(
        Ham::SimHam::create(Topology::Topology(), Drivers::DriverArgs())));
    ham->setDriverName("Broken", "");
    try {
        ham->setExpected(&table);
        FAIL() << "no consistency failure";
    } catch (const Utils::ConsistencyError& e) {
        EXPECT_EQ("size == val.valStr().length()", e.rule());
    }
    EXPECT_FALSE(ham->simFileExists_);
    EXPECT_EQ(nullptr, ham->expected);
    EXPECT_FALSE(fs::exists(ham->simFileName_));
}

TEST_F(SimHamTest, ExpectedWithoutNameBreaksARule) {
    std::unique_ptr<Ham::SimHam> ham(static_cast<Ham::SimHam*>(
        Ham::SimHam::create(Topology::Topology(), Drivers::DriverArgs())));
    EXPECT_THROW(ham->setExpected(&mixedTable()), Utils::ConsistencyError);
    EXPECT_TRUE(TestHost::traced("consistency check failed: !simFileName_.empty()", 0));
}

TEST_F(SimHamTest, DirectoryThatCannotBeMadeLeavesNoFile) {
    writeFile(base_ + "/plain", "not a directory");
    SimDirScope inner(base_ + "/plain/sim");
    auto ham = make("Pmbus", "psu1", &mixedTable());
    EXPECT_FALSE(ham->simFileExists_);
    EXPECT_TRUE(TestHost::traced("failed to create simulation file " + base_ + "/plain/sim/Pmbus-psu1", 0))
        << TestHost::dumpTraces();
    uint8_t value = 9;
    EXPECT_EQ(0, ham->read8(0x01, &value));  // like a device without a table
    EXPECT_EQ(0, value);
}

TEST_F(SimHamTest, FileThatVanishesOrShrinksBreaksTheMappingRule) {
    auto ham = make("Mixed", "gone", &mixedTable());
    const int fdsBefore = openFdCount();
    uint8_t value = 0;

    writeFile(ham->simFileName_, "17");  // shorter than its fields
    try {
        ham->read8(0x02, &value);
        FAIL() << "no consistency failure";
    } catch (const Utils::ConsistencyError& e) {
        EXPECT_EQ("mm != ((void *) -1)", e.rule());
    }
    EXPECT_THROW(ham->write16(0x04, 1, false), Utils::ConsistencyError);

    fs::remove(ham->simFileName_);
    EXPECT_THROW(ham->read8(0x01, &value), Utils::ConsistencyError);
    EXPECT_THROW(ham->write8(0x01, 1, false), Utils::ConsistencyError);
    EXPECT_EQ(fdsBefore, openFdCount());
}

TEST_F(SimHamTest, NoDescriptorIsLeft) {
    const int fdsBefore = openFdCount();
    auto ham = make("Mixed", "fds", &mixedTable());
    uint16_t word = 0;
    std::string block;
    const uint8_t xyz[] = {'x', 'y', 'z'};
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(0, ham->write16(0x02, static_cast<uint16_t>(i), false));
        ASSERT_EQ(0, ham->read16(0x02, &word));
        ASSERT_EQ(i, word);
        ASSERT_EQ(0, ham->writeBlock(0x03, xyz, 3, false));
        ASSERT_EQ(0, ham->read(0x03, 3, &block, false));
    }
    EXPECT_EQ("xyz", block);
    EXPECT_EQ(fdsBefore, openFdCount());
}

TEST(SimHamDirectory, DefaultAndKeptOnceFound) {
    const char* old = std::getenv("ZOLTALIB_SIMDIR");
    const std::string saved = old ? old : "";
    unsetenv("ZOLTALIB_SIMDIR");
    Ham::SimHam::resetSimDirectory();
    EXPECT_EQ("/tmp/ZoltaSimulationDevices", Ham::SimHam::simDirectory());
    setenv("ZOLTALIB_SIMDIR", "/tmp/zl-first", 1);
    EXPECT_EQ("/tmp/zl-first", Ham::SimHam::simDirectory());
    setenv("ZOLTALIB_SIMDIR", "/tmp/zl-second", 1);
    EXPECT_EQ("/tmp/zl-first", Ham::SimHam::simDirectory());
    unsetenv("ZOLTALIB_SIMDIR");
    EXPECT_EQ("/tmp/zl-first", Ham::SimHam::simDirectory());
    if (old) setenv("ZOLTALIB_SIMDIR", saved.c_str(), 1);
    Ham::SimHam::resetSimDirectory();
}

// ---- sharing the file with another process -------------------------------------------------

void lockWhole(int fd, short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    ASSERT_EQ(0, fcntl(fd, F_SETLKW, &fl));
}

long long msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(SimHamTest, ReadWaitsForAnotherProcessThatHoldsTheLock) {
    auto ham = make("Mixed", "shared", &mixedTable());
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
    const long long waited = msSince(start);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(0xabcd, word);  // the other process's value, not the old one
    EXPECT_GE(waited, 200);
}

TEST_F(SimHamTest, AnotherProcessSeesWritesAndWaitsForOurLock) {
    auto ham = make("Mixed", "peer", &mixedTable());
    ASSERT_EQ(0, ham->write16(0x04, 0x1234, false));

    // Hold a write lock in this process while the child's HAM (a copy made by fork) reads.
    int fd = open(ham->simFileName_.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    lockWhole(fd, F_WRLCK);
    int result[2];
    ASSERT_EQ(0, pipe(result));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        uint16_t before = 0, after = 0;
        try {
            if (ham->read16(0x04, &before) != 0) _exit(2);   // blocks until the parent unlocks
            if (ham->write16(0x04, 0x4321, false) != 0) _exit(3);
            if (ham->read16(0x04, &after) != 0) _exit(4);
        } catch (...) {
            _exit(5);
        }
        uint16_t both[2] = {before, after};
        if (write(result[1], both, sizeof both) != sizeof both) _exit(6);
        _exit(0);
    }
    close(result[1]);
    usleep(200 * 1000);
    // The child is still waiting: nothing arrived yet.
    int flags = fcntl(result[0], F_GETFL);
    fcntl(result[0], F_SETFL, flags | O_NONBLOCK);
    uint16_t both[2] = {0, 0};
    EXPECT_EQ(-1, read(result[0], both, sizeof both));
    ASSERT_EQ(4, pwrite(fd, "00aa", 4, 9));  // change register 0x04 under our lock
    lockWhole(fd, F_UNLCK);
    close(fd);
    fcntl(result[0], F_SETFL, flags);
    ASSERT_EQ(static_cast<ssize_t>(sizeof both), read(result[0], both, sizeof both));
    close(result[0]);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(0x00aa, both[0]);  // read after our change, not before it
    EXPECT_EQ(0x4321, both[1]);
    uint16_t word = 0;
    ASSERT_EQ(0, ham->read16(0x04, &word));  // the child's write is in the shared file
    EXPECT_EQ(0x4321, word);
}

}  // namespace
