#include "Ham/SimHam.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace Ham {

namespace {

// Opens a simulation file without following a link and without waiting for a writer of a
// FIFO; anything but a regular file is refused (ELOOP for a link, EINVAL otherwise), so a
// file planted in a shared directory never redirects or blocks the host.
int openRegularFile(const std::string& path, int flags, mode_t mode = 0) {
    int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}


const char kDefaultSimDir[] = "/tmp/ZoltaSimulationDevices";
const char kMapRule[] = "mm != ((void *) -1)";

struct SimDirState {
    bool found = false;
    std::string dir;
};

SimDirState& simDirState() {
    static SimDirState state;
    return state;
}

// value as lower-case hex, zero-padded on the left to 2 * size digits; digits beyond the
// field's width are dropped so that a field never grows.
std::string hexField(uint32_t value, uint32_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text(2 * static_cast<size_t>(size), '0');
    uint64_t rest = value;
    for (size_t i = text.size(); i > 0 && rest != 0; --i) {
        text[i - 1] = digits[rest & 0xF];
        rest >>= 4;
    }
    return text;
}

// One locked, mapped view of a simulation file; everything is released when it goes out
// of scope, also when a consistency failure is thrown while it is being set up.
class LockedFile {
  public:
    LockedFile() = default;
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;
    ~LockedFile() {
        if (mm_ != MAP_FAILED) ::munmap(mm_, length_);
        if (locked_) {
            struct flock fl {};
            fl.l_type = F_UNLCK;
            fl.l_whence = SEEK_SET;
            ::fcntl(fd_, F_SETLK, &fl);
        }
        if (fd_ >= 0) ::close(fd_);
    }

    // Opens the file, waits for a whole-file lock (read or write) and maps `length` bytes
    // (privately for reading, shared for writing). `needed` bytes must exist in the file.
    char* open(const std::string& path, bool forWrite, uint32_t length, uint64_t needed) {
        fd_ = openRegularFile(path, forWrite ? O_RDWR : O_RDONLY);
        if (fd_ < 0) {
            zl_trace(0, "cannot open simulation file %s: %s", path.c_str(), std::strerror(errno));
            ::Utils::consistencyFailure(kMapRule);
        }
        struct flock fl {};
        fl.l_type = forWrite ? F_WRLCK : F_RDLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 0;
        fl.l_len = 0;
        int rc;
        do {
            rc = ::fcntl(fd_, F_SETLKW, &fl);
        } while (rc == -1 && errno == EINTR);
        locked_ = rc == 0;
        // A file shortened behind our back would fault when the missing part is touched.
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || static_cast<uint64_t>(st.st_size) < needed || length < needed) {
            zl_trace(0, "simulation file %s is shorter than its fields", path.c_str());
            ::Utils::consistencyFailure(kMapRule);
        }
        length_ = length;
        mm_ = ::mmap(nullptr, length_, forWrite ? PROT_READ | PROT_WRITE : PROT_READ,
                     forWrite ? MAP_SHARED : MAP_PRIVATE, fd_, 0);
        ZL_CHECK_RULE(mm_ != MAP_FAILED, kMapRule);
        return static_cast<char*>(mm_);
    }

  private:
    int fd_ = -1;
    bool locked_ = false;
    void* mm_ = MAP_FAILED;
    size_t length_ = 0;
};

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

Ham* SimHam::create(const Topology::Topology&, const Drivers::DriverArgs&) { return new SimHam(); }

std::string SimHam::simDirectory() {
    SimDirState& state = simDirState();
    if (!state.found) {
        if (const char* env = std::getenv("ZOLTALIB_SIMDIR")) {
            state.dir = env;
            state.found = true;
        }
    }
    return state.found ? state.dir : std::string(kDefaultSimDir);
}

void SimHam::resetSimDirectory() {
    simDirState().found = false;
    simDirState().dir.clear();
}

void SimHam::warn() const {
    zl_trace(0,
             "WARNING: Simulated Driver %s doesn't yet have expectedVal set for register 0x%x using "
             "SIMULATION_HAM()\n",
             driverName.c_str(), savedReg);
}

uint32_t SimHam::fieldWidth(uint32_t reg) const {
    const Utils::ExpectedVal& val = expected->at(reg);
    return val.isNumber ? 2 * val.size : val.size;
}

zl_status SimHam::execute() {
    if (!simFileExists_) return ZL_STATUS_OK;
    return isAddrSimulated() ? ZL_STATUS_OK : ZL_STATUS_NO_COMM;
}

uint8_t SimHam::get8(ResponseId) {
    if (!simFileExists_ || !isAddrSimulated()) {
        warn();
        return 0;
    }
    return static_cast<uint8_t>(std::strtoul(readFromFile(2).c_str(), nullptr, 16) & 0xFF);
}

uint16_t SimHam::get16(ResponseId) {
    if (!simFileExists_ || !isAddrSimulated()) {
        warn();
        return 0;
    }
    return static_cast<uint16_t>(std::strtoul(readFromFile(4).c_str(), nullptr, 16) & 0xFFFF);
}

std::string SimHam::getBlock(ResponseId, uint32_t len) {
    if (!simFileExists_ || !isAddrSimulated()) {
        warn();
        return std::string();
    }
    return readFromFile(len);
}

bool SimHam::beginWrite(uint32_t reg) {
    savedReg = reg;
    if (!simFileExists_ || !isAddrSimulated()) {
        warn();
        return false;
    }
    return true;
}

void SimHam::addWrite8(uint32_t reg, uint8_t value, bool) {
    if (!beginWrite(reg)) return;
    if (expected->at(reg).size == 1) writeToFile(hexField(value, 1));
}

void SimHam::addWrite16(uint32_t reg, uint16_t value, bool) {
    if (!beginWrite(reg)) return;
    if (expected->at(reg).size == 2) writeToFile(hexField(value, 2));
}

void SimHam::addWrite(uint32_t reg, const uint8_t* data, uint32_t len, bool) {
    if (!beginWrite(reg)) return;
    if (data != nullptr && len != 0 && len == expected->at(reg).size)
        writeToFile(std::string(reinterpret_cast<const char*>(data), len));
}

void SimHam::addWriteBlock(uint32_t reg, const uint8_t* data, uint32_t len, bool pec) {
    addWrite(reg, data, len, pec);
}

void SimHam::setDriverName(const std::string& name, const std::string& deviceLabel) {
    driverName = name;
    label = deviceLabel;
    simFileName_ = simDirectory() + "/" + driverName;
    if (!label.empty()) simFileName_ += "-" + label;
}

void SimHam::setExpected(const Utils::ExpectedValues* table) {
    const Utils::ExpectedValues* previous = expected;
    expected = table;
    if (table == nullptr || table->empty()) return;
    try {
        createSimFile();
    } catch (...) {
        expected = previous;  // a broken table changes nothing
        throw;
    }
}

void SimHam::createSimFile() {
    ZL_CHECK(!simFileName_.empty());

    // Lay the fields out first, so that a broken entry changes neither the file nor state.
    std::map<uint32_t, uint32_t> newOffsets = offsets;
    std::string content;
    uint32_t running = 0;
    for (const auto& [reg, val] : *expected) {
        newOffsets.emplace(reg, running);
        if (val.isNumber) {
            content += hexField(val.value, val.size);
            running += 2 * val.size;
        } else {
            const uint32_t size = val.size;
            ZL_CHECK_RULE(size == val.valStr().length(), "size == val.valStr().length()");
            content += val.valStr();
            running += size;
        }
    }
    content += '\n';

    const std::string dir = simDirectory();
    if (DIR* handle = ::opendir(dir.c_str())) {
        ::closedir(handle);
    } else {
        ::mkdir(dir.c_str(), 0755);
    }

    int fd = openRegularFile(simFileName_, O_WRONLY | O_CREAT, 0644);
    if (fd < 0) {
        zl_trace(0, "failed to create simulation file %s: %s", simFileName_.c_str(), std::strerror(errno));
        simFileExists_ = false;
        return;
    }
    // Readers in other processes lock the file; rewrite it under the write lock.
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    int rc;
    do {
        rc = ::fcntl(fd, F_SETLKW, &fl);
    } while (rc == -1 && errno == EINTR);
    bool ok = ::ftruncate(fd, 0) == 0 && writeAll(fd, content);
    fl.l_type = F_UNLCK;
    ::fcntl(fd, F_SETLK, &fl);
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        zl_trace(0, "failed to write simulation file %s: %s", simFileName_.c_str(), std::strerror(errno));
        simFileExists_ = false;
        return;
    }
    offsets.swap(newOffsets);
    simFileExists_ = true;
    fileSize = running;
    zl_trace(5, "Created %s", simFileName_.c_str());
}

std::string SimHam::readFromFile(uint32_t n) {
    ZL_CHECK(simFileExists_);
    ZL_CHECK(isAddrSimulated());
    const Utils::ExpectedVal& val = expected->at(savedReg);
    const uint32_t width = fieldWidth(savedReg);
    std::string result;
    uint32_t take = n;
    if (n > width) {
        result.assign(n - width, val.isNumber ? 'f' : '\xff');
        take = width;
    }
    if (take != 0) {
        const uint32_t offset = offsets.at(savedReg);
        LockedFile file;
        const char* mm = file.open(simFileName_, false, fileSize, static_cast<uint64_t>(offset) + take);
        result.append(mm + offset, take);
    }
    zl_trace(5, "%s - Read %s from register 0x%x", simFileName_.c_str(), result.c_str(), savedReg);
    return result;
}

void SimHam::writeToFile(const std::string& text) {
    ZL_CHECK(simFileExists_);
    ZL_CHECK(isAddrSimulated());
    const uint32_t width = fieldWidth(savedReg);
    const uint32_t count = text.size() < width ? static_cast<uint32_t>(text.size()) : width;
    if (count != 0) {
        const uint32_t offset = offsets.at(savedReg);
        LockedFile file;
        char* mm = file.open(simFileName_, true, fileSize, static_cast<uint64_t>(offset) + count);
        std::memcpy(mm + offset, text.data(), count);
    }
    zl_trace(5, "%s - Wrote %s to register 0x%x", simFileName_.c_str(), text.c_str(), savedReg);
}

}  // namespace Ham
