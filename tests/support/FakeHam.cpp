#include "FakeHam.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "TestHost.h"

namespace TestHost {

using Op = FakeHam::Op;

void FakeHam::prepare() {
    current_.clear();
    answers_.clear();
}

namespace {
// Appends an operation to the batch; its position is the response id of a read.
::Ham::ResponseId queue(FakeHam::Batch& batch, Op::Kind kind, uint32_t reg, uint32_t value = 0,
                        std::string data = {}, bool pec = false) {
    batch.push_back(Op{kind, reg, value, std::move(data), pec});
    return static_cast<::Ham::ResponseId>(batch.size() - 1);
}
std::string bytesOf(const uint8_t* data, uint32_t len) { return std::string(reinterpret_cast<const char*>(data), len); }
}  // namespace

::Ham::ResponseId FakeHam::addRecvByte() { return queue(current_, Op::RecvByte, 0); }
::Ham::ResponseId FakeHam::addRead8(uint32_t reg) { return queue(current_, Op::Read8, reg); }
::Ham::ResponseId FakeHam::addRead16(uint32_t reg) { return queue(current_, Op::Read16, reg); }
::Ham::ResponseId FakeHam::addRead(uint32_t reg, uint32_t len, bool) { return queue(current_, Op::Read, reg, len); }
::Ham::ResponseId FakeHam::addReadBlock(uint32_t reg) { return queue(current_, Op::ReadBlock, reg); }
::Ham::ResponseId FakeHam::addProcessCall(uint32_t reg, uint16_t v) { return queue(current_, Op::ProcessCall, reg, v); }
void FakeHam::addSendByte(uint8_t byte, bool pec) { queue(current_, Op::SendByte, 0, byte, {}, pec); }
void FakeHam::addWrite8(uint32_t reg, uint8_t value, bool pec) { queue(current_, Op::Write8, reg, value, {}, pec); }
void FakeHam::addWrite16(uint32_t reg, uint16_t value, bool pec) { queue(current_, Op::Write16, reg, value, {}, pec); }
void FakeHam::addWrite(uint32_t reg, const uint8_t* data, uint32_t len, bool pec) {
    queue(current_, Op::Write, reg, len, bytesOf(data, len), pec);
}
void FakeHam::addWriteBlock(uint32_t reg, const uint8_t* data, uint32_t len, bool pec) {
    queue(current_, Op::WriteBlock, reg, len, bytesOf(data, len), pec);
}

zl_status FakeHam::execute() {
    zl_status rc = status;
    if (!nextStatuses.empty()) rc = nextStatuses.front(), nextStatuses.pop_front();
    executed.push_back(current_);
    results.push_back(rc);
    if (rc != ZL_STATUS_OK) return rc;
    auto byteAt = [&](uint32_t reg) { return char(bytes.count(reg) ? bytes[reg] : 0); };
    answers_.assign(current_.size(), std::string());
    for (size_t i = 0; i < current_.size(); ++i) {
        const Op& op = current_[i];
        std::string& a = answers_[i];
        auto block = blocks.find(op.reg);
        if (block != blocks.end() && (op.kind == Op::Read8 || op.kind == Op::Read)) {
            a = block->second;
            a.resize(op.kind == Op::Read8 ? 1 : op.value, '\xFF');
            continue;
        }
        switch (op.kind) {
            case Op::RecvByte: a = byteAt(0); break;
            case Op::Read8: a = byteAt(op.reg); break;
            case Op::Read16:
            case Op::ProcessCall:
                a = words.count(op.reg) ? std::string{char(words[op.reg] & 0xFF), char(words[op.reg] >> 8)}
                                        : std::string{byteAt(op.reg), byteAt(op.reg + 1)};
                break;
            case Op::Read:
                for (uint32_t k = 0; k < op.value; ++k) a += byteAt(op.reg + k);
                break;
            case Op::ReadBlock: a = blocks[op.reg]; break;
            case Op::SendByte: bytes[0] = uint8_t(op.value); break;
            case Op::Write8: bytes[op.reg] = uint8_t(op.value); break;
            case Op::Write16:
                words.erase(op.reg);
                bytes[op.reg] = uint8_t(op.value & 0xFF);
                bytes[op.reg + 1] = uint8_t(op.value >> 8);
                break;
            case Op::Write:
                for (size_t k = 0; k < op.data.size(); ++k) bytes[op.reg + uint32_t(k)] = uint8_t(op.data[k]);
                break;
            case Op::WriteBlock: blocks[op.reg] = op.data; break;
        }
    }
    return ZL_STATUS_OK;
}

namespace {
const std::string& answer(const std::vector<std::string>& answers, ::Ham::ResponseId id, size_t size) {
    if (id >= answers.size() || answers[id].size() < size) throw std::out_of_range("FakeHam: no such answer");
    return answers[id];
}
}  // namespace

uint8_t FakeHam::get8(::Ham::ResponseId id) { return uint8_t(answer(answers_, id, 1)[0]); }
uint16_t FakeHam::get16(::Ham::ResponseId id) {
    const std::string& a = answer(answers_, id, 2);
    return uint16_t(uint8_t(a[0]) | uint8_t(a[1]) << 8);
}
std::string FakeHam::getBlock(::Ham::ResponseId id, uint32_t) { return answer(answers_, id, 0); }

void FakeHam::setExpected(const Utils::ExpectedValues* values) { expected = values; }

void FakeHam::setDriverName(const std::string& name, const std::string& deviceLabel) {
    driverName = name;
    label = deviceLabel;
    ++setDriverNameCalls;
}

std::string FakeHam::traffic() {
    static const char* const names[] = {"recv", "r8", "r16", "r", "rblock", "call", "send", "w8", "w16", "w", "wblock"};
    std::string out;
    char buf[32];
    auto add = [&](const char* format, unsigned value) { out += (std::snprintf(buf, sizeof buf, format, value), buf); };
    for (size_t b = 0; b < executed.size(); ++b) {
        if (b > 0) out += " | ";
        for (size_t i = 0; i < executed[b].size(); ++i) {
            const Op& op = executed[b][i];
            out += (i > 0 ? ", " : "") + std::string(names[op.kind]);
            if (op.kind == Op::SendByte) add(" %02x", op.value);
            if (op.kind != Op::RecvByte && op.kind != Op::SendByte) add(" %02x", op.reg);
            if (op.kind == Op::Read) add("*%u", op.value);
            if (op.kind == Op::Write8) add("=%02x", op.value);
            if (op.kind == Op::Write16 || op.kind == Op::ProcessCall) add("=%04x", op.value);
            if (op.kind == Op::Write || op.kind == Op::WriteBlock) {
                out += "=[";
                for (size_t k = 0; k < op.data.size(); ++k) add(k ? " %02x" : "%02x", uint8_t(op.data[k]));
                out += "]";
            }
            if (op.pec) out += " pec";
        }
        if (b < results.size() && results[b] != ZL_STATUS_OK) out += " !" + std::to_string(results[b]);
    }
    executed.clear();
    results.clear();
    return out;
}

std::string brokenRule(const std::function<void()>& call) {
    clearTraces();
    try {
        call();
    } catch (const Utils::ConsistencyError& e) {
        return traced("consistency check failed: " + e.rule(), 0) ? e.rule() : "untraced rule " + e.rule();
    } catch (const std::exception& e) {
        return std::string("exception ") + e.what();
    }
    return "no rule broken";
}

FakeHam::~FakeHam() {
    auto& all = madeFakeHams();
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
}

std::vector<FakeHam*>& madeFakeHams() {
    static auto* all = new std::vector<FakeHam*>;  // HAMs live for the whole process, as the library's do
    return *all;
}

FakeRegistrations::FakeRegistrations() {
    ::Ham::hams["FakeHam"] = [](const Topology::Topology&, const Drivers::DriverArgs& args) -> ::Ham::Ham* {
        auto* ham = new FakeHam();
        ham->did = args.did;
        madeFakeHams().push_back(ham);
        return ham;
    };
}

FakeRegistrations::~FakeRegistrations() {
    for (const std::string& name : drivers_) Drivers::drivers.erase(name);
    ::Ham::hams.erase("FakeHam");
}

void FakeRegistrations::addDriver(const std::string& name, Drivers::DriverFactory factory) {
    Drivers::drivers[name] = std::move(factory);
    drivers_.push_back(name);
}

FakeHam* fakeHamFor(uint32_t did) {
    for (auto it = madeFakeHams().rbegin(); it != madeFakeHams().rend(); ++it)
        if ((*it)->did == did) return *it;
    return nullptr;
}

void forgetDevices(std::initializer_list<uint32_t> dids) {
    for (uint32_t did : dids) {
        auto cached = Component::DeviceBase::devices.find(did);
        if (cached == Component::DeviceBase::devices.end()) continue;
        delete cached->second;
        Component::DeviceBase::devices.erase(cached);
    }
}

std::string fakeHamTopology(const std::string& devices) {
    return "[{\"type\":\"I2C\",\"ham\":\"FakeHam\",\"id\":3,\"devices\":[" + devices + "]}]";
}

SimulationDir::SimulationDir(const std::string& name) {
    std::string pattern = "/tmp/zl-" + name + "-sim-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = pattern;
    Utils::isInSimulation = 1;
    setenv("ZOLTALIB_SIMDIR", dir.c_str(), 1);
    ::Ham::SimHam::resetSimDirectory();
}

SimulationDir::~SimulationDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    unsetenv("ZOLTALIB_SIMDIR");
    ::Ham::SimHam::resetSimDirectory();
    Utils::isInSimulation = 0;
}

std::unique_ptr<::Ham::SimHam> SimulationDir::ham(const std::string& driver, const std::string& label,
                                                  const Utils::ExpectedValues* table) const {
    Topology::Topology topology;
    Drivers::DriverArgs args;
    std::unique_ptr<::Ham::SimHam> made(static_cast<::Ham::SimHam*>(::Ham::SimHam::create(topology, args)));
    made->setDriverName(driver, label);
    made->setExpected(table);
    return made;
}

}  // namespace TestHost
