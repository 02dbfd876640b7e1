#include "SmbusCommands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Commands.h"
#include "LibraryCall.h"
#include "ModuleEeprom.h"
#include "Status.h"

namespace Host {

const char* const kSmbusHelp =
    "usage: zolta-host [OPTIONS] smbus get LABEL ADDR REG [b|w]\n"
    "       zolta-host [OPTIONS] smbus set LABEL ADDR REG VALUE [b|w]\n"
    "       zolta-host [OPTIONS] smbus dump LABEL ADDR\n"
    "       zolta-host [OPTIONS] smbus block LABEL ADDR REG\n"
    "\n"
    "Raw SMBus access to one device through the library's SMBus proxy, like i2cget, i2cset\n"
    "and i2cdump. The device is the topology device labelled LABEL<0xADDR> (for example\n"
    "XcvrEeprom1 0x50 names XcvrEeprom1<0x50>); the library gives it the SMBus proxy driver.\n"
    "ADDR is the 7-bit address, REG the register (command) 0-255, VALUE the byte or word;\n"
    "numbers are decimal or 0x hexadecimal. b (default) reads or writes a byte, w a word.\n"
    "get prints the value in hexadecimal, dump the 256 registers read byte by byte as a\n"
    "table with an ASCII column (XX: the read failed), block the bytes of an SMBus block read.\n"
    "Exit status: 0 done, 1 the library reported a failure, 2 usage error.\n";

const char* const kXcvrHelp =
    "usage: zolta-host [OPTIONS] xcvr eeprom PORT [--raw] [--json]\n"
    "\n"
    "Reads the module EEPROM of transceiver port PORT (a port name such as Port7, or its\n"
    "number) through the port's SMBus proxy of the board file and decodes it: identifier,\n"
    "connector, vendor name, OUI, part number, revision, serial number, date code, the ID\n"
    "checksums (CC_BASE, CC_EXT; a wrong one is named), and for QSFP modules the module and\n"
    "per-lane monitors they advertise. SFP: bytes 0-127 of A0h; QSFP: bytes 0-255 (lower page\n"
    "and upper page 00h). --raw prints the bytes read as a table instead, --json as JSON.\n"
    "Exit status: 0 read and decoded with good checksums, 1 a read failed, the image is not\n"
    "an SFP or QSFP map or a checksum is wrong, 2 usage error.\n";

namespace {

// A number as i2c-tools take it: decimal or 0x hexadecimal, within [0, max].
bool parseNumber(const std::string& text, long max, long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < 0 || v > max) return false;
    *value = v;
    return true;
}

std::string hex(long value, int width) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%0*lx", width, value);
    return buffer;
}

// Prints the failed operation with its status, in words too, on stderr; exit status 1.
int failed(const std::string& what, int status) {
    std::fprintf(stderr, "zolta-host: %s: status %d (%s)\n", what.c_str(), status, statusWord(status).c_str());
    return kExitFailed;
}

// The proxy record of LABEL at ADDR, added through the label form of zl_smbus_add; null
// (with the reason printed) when the library refuses it.
zl_smbus* addProxy(Runner& runner, const BoardDevice& device, int* exitStatus) {
    *exitStatus = kExitConfig;
    if (!runner.initAll()) return nullptr;
    *exitStatus = kExitFailed;
    auto* proxy = static_cast<zl_smbus*>(runner.add(device));
    if (!proxy) {
        const Problem& p = runner.problems.back();
        std::fprintf(stderr, "zolta-host: %s<%s>: %s\n", device.name.c_str(), hex(device.address, 0).c_str(),
                     p.text().c_str());
    }
    return proxy;
}

template <class Fn, class... Args>
int call(zl_smbus* proxy, size_t index, Args... args) {
    auto fn = callbackOf<Fn>(proxy, index);
    if (!fn) return kNotSupported;
    return safeCall([&] { return fn(proxy, args...); });
}

}  // namespace

int runSmbus(const Options& o, Runner& runner) {
    const auto& a = o.args;
    if (a.size() < 2) return usage("smbus: get, set, dump or block?", kSmbusHelp);
    const std::string& op = a[1];
    size_t fixedArgs = op == "get" || op == "block" ? 5 : op == "set" ? 6 : op == "dump" ? 4 : 0;
    if (fixedArgs == 0) return usage("smbus: unknown operation " + op, kSmbusHelp);
    bool word = false;
    if (a.size() == fixedArgs + 1 && (op == "get" || op == "set")) {
        if (a.back() != "b" && a.back() != "w")
            return usage("smbus " + op + ": say b or w, not " + a.back(), kSmbusHelp);
        word = a.back() == "w";
    } else if (a.size() != fixedArgs) {
        return usage("smbus " + op + ": wrong number of arguments", kSmbusHelp);
    }
    long address = 0, reg = 0, value = 0;
    if (!parseNumber(a[3], 0x7F, &address))
        return usage("smbus: ADDR must be a 7-bit address, not " + a[3], kSmbusHelp);
    if (fixedArgs >= 5 && !parseNumber(a[4], 0xFF, &reg))
        return usage("smbus: REG must be 0-255, not " + a[4], kSmbusHelp);
    if (op == "set" && !parseNumber(a[5], word ? 0xFFFF : 0xFF, &value))
        return usage(std::string("smbus set: VALUE must be ") + (word ? "0-0xffff" : "0-0xff") + ", not " + a[5],
                     kSmbusHelp);

    BoardDevice device;
    device.kind = Kind::Smbus;
    device.name = a[2];
    device.text = a[2];
    device.address = static_cast<int>(address);
    int unusable = kExitFailed;
    zl_smbus* proxy = addProxy(runner, device, &unusable);
    if (!proxy) return unusable;

    const std::string where = a[2] + " " + hex(address, 2);
    const auto command = static_cast<unsigned char>(reg);
    const std::string at = " of register " + hex(reg, 2);
    if (op == "get" && !word) {
        unsigned char byte = 0;
        int status = call<zl_smbus_read_byte_fn>(proxy, ZL_SMBUS_READ_BYTE, command, &byte);
        if (status != ZL_STATUS_OK) return failed(where + ": readByte" + at, status);
        std::printf("%s\n", hex(byte, 2).c_str());
    } else if (op == "get") {
        unsigned short w = 0;
        int status = call<zl_smbus_read_word_fn>(proxy, ZL_SMBUS_READ_WORD, command, &w);
        if (status != ZL_STATUS_OK) return failed(where + ": readWord" + at, status);
        std::printf("%s\n", hex(w, 4).c_str());
    } else if (op == "set" && !word) {
        int status =
            call<zl_smbus_write_byte_fn>(proxy, ZL_SMBUS_WRITE_BYTE, command, static_cast<unsigned char>(value));
        if (status != ZL_STATUS_OK) return failed(where + ": writeByte" + at, status);
        std::printf("%s: wrote %s to register %s\n", where.c_str(), hex(value, 2).c_str(), hex(reg, 2).c_str());
    } else if (op == "set") {
        int status =
            call<zl_smbus_write_word_fn>(proxy, ZL_SMBUS_WRITE_WORD, command, static_cast<unsigned short>(value));
        if (status != ZL_STATUS_OK) return failed(where + ": writeWord" + at, status);
        std::printf("%s: wrote %s to register %s\n", where.c_str(), hex(value, 4).c_str(), hex(reg, 2).c_str());
    } else if (op == "block") {
        unsigned char data[ZL_SMBUS_BLOCK_MAX] = {};
        unsigned length = 0;
        int status = call<zl_smbus_block_read_fn>(proxy, ZL_SMBUS_BLOCK_READ, command, data, &length);
        if (status != ZL_STATUS_OK) return failed(where + ": blockRead" + at, status);
        std::string line;
        for (unsigned i = 0; i < length && i < ZL_SMBUS_BLOCK_MAX; ++i) line += (i ? " " : "") + hex(data[i], 2);
        std::printf("%s\n", line.c_str());
    } else {  // dump
        std::vector<int> values(256, -1);
        int firstFailure = ZL_STATUS_OK;
        for (unsigned r = 0; r < 256; ++r) {
            unsigned char byte = 0;
            int status = call<zl_smbus_read_byte_fn>(proxy, ZL_SMBUS_READ_BYTE, static_cast<unsigned char>(r), &byte);
            if (status == ZL_STATUS_OK) values[r] = byte;
            else if (firstFailure == ZL_STATUS_OK) firstFailure = status;
            if (status == kNotSupported) break;
        }
        std::fputs(renderDumpTable(values).c_str(), stdout);
        if (firstFailure != ZL_STATUS_OK) return failed(where + ": readByte", firstFailure);
    }
    return kExitOk;
}

int runXcvr(const Options& o, Runner& runner) {
    const auto& a = o.args;
    if (a.size() < 2 || a[1] != "eeprom") return usage("xcvr: the only operation is eeprom", kXcvrHelp);
    std::string port;
    bool raw = false, json = false;
    for (size_t i = 2; i < a.size(); ++i) {
        if (a[i] == "--raw") raw = true;
        else if (a[i] == "--json") json = true;
        else if (port.empty() && a[i][0] != '-') port = a[i];
        else return usage("xcvr eeprom: unexpected argument " + a[i], kXcvrHelp);
    }
    if (port.empty()) return usage("xcvr eeprom: which PORT?", kXcvrHelp);
    if (raw && json) return usage("xcvr eeprom: --raw or --json, not both", kXcvrHelp);
    long number = 0;
    std::string wanted = parseLong(port, &number) ? "Port" + port : port;
    const BoardDevice* device = nullptr;
    for (const auto* d : runner.board.ofKind(Kind::Smbus))
        if (d->port == wanted || d->name == wanted) device = d;
    if (!device) return usage("xcvr eeprom: the board file has no SMBus proxy for port " + port, kXcvrHelp);

    if (!runner.initAll()) return kExitConfig;
    auto* proxy = static_cast<zl_smbus*>(runner.add(*device));
    if (!proxy) {
        std::fprintf(stderr, "zolta-host: %s: %s\n", device->name.c_str(), runner.problems.back().text().c_str());
        return kExitFailed;
    }
    // Bytes 0-127 first; a QSFP map's identifier asks for the upper page too.
    constexpr unsigned kChunk = 128;
    std::vector<uint8_t> image(kChunk);
    auto readAt = [&](unsigned offset) {
        image.resize(offset + kChunk);
        const auto command = static_cast<unsigned char>(offset);
        int status =
            call<zl_smbus_i2c_block_read_fn>(proxy, ZL_SMBUS_I2C_BLOCK_READ, command, image.data() + offset, kChunk);
        if (status != ZL_STATUS_OK)
            failed(wanted + " module EEPROM: i2cBlockRead of " + std::to_string(kChunk) + " bytes at " + hex(offset, 2),
                   status);
        return status == ZL_STATUS_OK;
    };
    if (!readAt(0)) return kExitFailed;
    if (isQsfpIdentifier(image[0])) {
        // A paged module shows upper page 00h only once the page select byte says so.
        if (!(image[Qsfp::kStatus] & Qsfp::kStatusFlatMemory) && image[Qsfp::kPageSelect] != 0) {
            int status = call<zl_smbus_write_byte_fn>(proxy, ZL_SMBUS_WRITE_BYTE,
                                                      static_cast<unsigned char>(Qsfp::kPageSelect),
                                                      static_cast<unsigned char>(0));
            if (status != ZL_STATUS_OK) return failed(wanted + " module EEPROM: writeByte of page select 0", status);
        }
        if (!readAt(kChunk)) return kExitFailed;
    }
    if (raw) {
        std::vector<int> values(image.begin(), image.end());
        std::fputs(renderDumpTable(values).c_str(), stdout);
        return kExitOk;
    }
    ModuleInfo info;
    std::string error;
    if (!decodeModuleEeprom(image.data(), image.size(), &info, &error)) {
        std::fprintf(stderr, "zolta-host: %s module EEPROM: %s\n", wanted.c_str(), error.c_str());
        return kExitFailed;
    }
    std::fputs((json ? renderModuleJson(info) : wanted + " module EEPROM\n" + renderModuleText(info)).c_str(),
               stdout);
    auto bad = info.badChecksums();
    for (const auto& name : bad)
        std::fprintf(stderr, "zolta-host: %s module EEPROM: %s checksum is wrong\n", wanted.c_str(), name.c_str());
    return bad.empty() ? kExitOk : kExitFailed;
}

}  // namespace Host
