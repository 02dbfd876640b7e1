#include "FakeHam.h"

#include <stdexcept>

namespace TestHost {

void FakeHam::prepare() {
    ++prepareCalls;
    current_.clear();
    answers_.clear();
}

namespace {
FakeHam::Op makeOp(FakeHam::Op::Kind kind, uint32_t reg, uint32_t value = 0, std::string data = std::string(),
                   bool pec = false) {
    FakeHam::Op op;
    op.kind = kind;
    op.reg = reg;
    op.value = value;
    op.data = std::move(data);
    op.pec = pec;
    return op;
}
}  // namespace

::Ham::ResponseId FakeHam::addRecvByte() {
    current_.push_back(makeOp(Op::RecvByte, 0));
    return static_cast<::Ham::ResponseId>(current_.size() - 1);
}
::Ham::ResponseId FakeHam::addRead8(uint32_t reg) {
    current_.push_back(makeOp(Op::Read8, reg));
    return static_cast<::Ham::ResponseId>(current_.size() - 1);
}
::Ham::ResponseId FakeHam::addRead16(uint32_t reg) {
    current_.push_back(makeOp(Op::Read16, reg));
    return static_cast<::Ham::ResponseId>(current_.size() - 1);
}
::Ham::ResponseId FakeHam::addRead(uint32_t reg, uint32_t len, bool) {
    current_.push_back(makeOp(Op::Read, reg, len));
    return static_cast<::Ham::ResponseId>(current_.size() - 1);
}
::Ham::ResponseId FakeHam::addReadBlock(uint32_t reg) {
    current_.push_back(makeOp(Op::ReadBlock, reg));
    return static_cast<::Ham::ResponseId>(current_.size() - 1);
}
::Ham::ResponseId FakeHam::addProcessCall(uint32_t reg, uint16_t value) {
    current_.push_back(makeOp(Op::ProcessCall, reg, value));
    return static_cast<::Ham::ResponseId>(current_.size() - 1);
}
void FakeHam::addSendByte(uint8_t byte, bool pec) { current_.push_back(makeOp(Op::SendByte, 0, byte, {}, pec)); }
void FakeHam::addWrite8(uint32_t reg, uint8_t value, bool pec) {
    current_.push_back(makeOp(Op::Write8, reg, value, {}, pec));
}
void FakeHam::addWrite16(uint32_t reg, uint16_t value, bool pec) {
    current_.push_back(makeOp(Op::Write16, reg, value, {}, pec));
}
void FakeHam::addWrite(uint32_t reg, const uint8_t* data, uint32_t len, bool pec) {
    current_.push_back(makeOp(Op::Write, reg, len, std::string(reinterpret_cast<const char*>(data), len), pec));
}
void FakeHam::addWriteBlock(uint32_t reg, const uint8_t* data, uint32_t len, bool pec) {
    current_.push_back(
        makeOp(Op::WriteBlock, reg, len, std::string(reinterpret_cast<const char*>(data), len), pec));
}

zl_status FakeHam::execute() {
    zl_status rc = status;
    if (!nextStatuses.empty()) {
        rc = nextStatuses.front();
        nextStatuses.pop_front();
    }
    executed.push_back(current_);
    results.push_back(rc);
    if (rc != ZL_STATUS_OK) return rc;

    answers_.assign(current_.size(), std::string());
    for (size_t i = 0; i < current_.size(); ++i) {
        const Op& op = current_[i];
        auto byteAt = [&](uint32_t reg) -> char {
            auto it = bytes.find(reg);
            return static_cast<char>(it != bytes.end() ? it->second : 0);
        };
        switch (op.kind) {
            case Op::RecvByte: answers_[i] = std::string(1, byteAt(0)); break;
            case Op::Read8: answers_[i] = std::string(1, byteAt(op.reg)); break;
            case Op::Read16:
            case Op::ProcessCall: {
                auto w = words.find(op.reg);
                if (w != words.end()) {
                    answers_[i] = std::string{static_cast<char>(w->second & 0xFF), static_cast<char>(w->second >> 8)};
                } else {
                    answers_[i] = std::string{byteAt(op.reg), byteAt(op.reg + 1)};
                }
                break;
            }
            case Op::Read:
                for (uint32_t k = 0; k < op.value; ++k) answers_[i] += byteAt(op.reg + k);
                break;
            case Op::ReadBlock: answers_[i] = blocks[op.reg]; break;
            case Op::SendByte: bytes[0] = static_cast<uint8_t>(op.value); break;
            case Op::Write8: bytes[op.reg] = static_cast<uint8_t>(op.value); break;
            case Op::Write16:
                words.erase(op.reg);
                bytes[op.reg] = static_cast<uint8_t>(op.value & 0xFF);
                bytes[op.reg + 1] = static_cast<uint8_t>(op.value >> 8);
                break;
            case Op::Write:
                for (size_t k = 0; k < op.data.size(); ++k)
                    bytes[op.reg + static_cast<uint32_t>(k)] = static_cast<uint8_t>(op.data[k]);
                break;
            case Op::WriteBlock: blocks[op.reg] = op.data; break;
        }
    }
    return ZL_STATUS_OK;
}

uint8_t FakeHam::get8(::Ham::ResponseId id) {
    if (id >= answers_.size() || answers_[id].empty()) throw std::out_of_range("FakeHam::get8");
    return static_cast<uint8_t>(answers_[id][0]);
}

uint16_t FakeHam::get16(::Ham::ResponseId id) {
    if (id >= answers_.size() || answers_[id].size() < 2) throw std::out_of_range("FakeHam::get16");
    return static_cast<uint16_t>(static_cast<uint8_t>(answers_[id][0]) |
                                 (static_cast<uint8_t>(answers_[id][1]) << 8));
}

std::string FakeHam::getBlock(::Ham::ResponseId id, uint32_t) {
    if (id >= answers_.size()) throw std::out_of_range("FakeHam::getBlock");
    return answers_[id];
}

void FakeHam::setExpected(const Utils::ExpectedValues* values) {
    expected = values;
    ++setExpectedCalls;
}

void FakeHam::setDriverName(const std::string& name, const std::string& deviceLabel) {
    driverName = name;
    label = deviceLabel;
    ++setDriverNameCalls;
}

std::vector<FakeHam::Op> FakeHam::writes() const {
    std::vector<Op> out;
    for (size_t b = 0; b < executed.size(); ++b) {
        for (const Op& op : executed[b]) {
            if (op.kind == Op::Write8 || op.kind == Op::Write16 || op.kind == Op::Write ||
                op.kind == Op::WriteBlock || op.kind == Op::SendByte)
                out.push_back(op);
        }
    }
    return out;
}

std::vector<FakeHam*>& madeFakeHams() {
    // HAMs live for the whole process, as the library's do: kept reachable until exit.
    static auto* all = new std::vector<FakeHam*>;
    return *all;
}

void registerFakeHam() {
    ::Ham::hams["FakeHam"] = [](const Topology::Topology&, const Drivers::DriverArgs& args) -> ::Ham::Ham* {
        auto* ham = new FakeHam();
        ham->did = args.did;
        ham->uid = args.uid;
        madeFakeHams().push_back(ham);
        return ham;
    };
}

void unregisterFakeHam() { ::Ham::hams.erase("FakeHam"); }

FakeRegistrations::FakeRegistrations() { registerFakeHam(); }

FakeRegistrations::~FakeRegistrations() {
    for (const std::string& name : drivers_) Drivers::drivers.erase(name);
    unregisterFakeHam();
}

void FakeRegistrations::addDriver(const std::string& name, Drivers::DriverFactory factory) {
    Drivers::drivers[name] = std::move(factory);
    drivers_.push_back(name);
}

FakeHam* fakeHamFor(uint32_t did) {
    auto& all = madeFakeHams();
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        if ((*it)->did == did) return *it;
    return nullptr;
}

std::string fakeHamTopology(const std::string& devices) {
    return "[{\"type\":\"I2C\",\"ham\":\"FakeHam\",\"id\":3,\"devices\":[" + devices + "]}]";
}

}  // namespace TestHost
