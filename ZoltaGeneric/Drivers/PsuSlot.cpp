#include "Drivers/PsuSlot.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>

namespace Drivers {

// Built when the library is loaded; only read through expectedValues() afterwards.
Utils::ExpectedValues PsuSlot::values = {
    // IPMI FRU: product info area at 1 x 8, type/length bytes and the two kept fields.
    {0x04, Utils::ExpectedVal(0x01, 1)},
    {0x0B, Utils::ExpectedVal(0xC5, 1)},  // manufacturer name: ASCII, 5 bytes
    {0x11, Utils::ExpectedVal(0xCB, 1)},  // product name: ASCII, 11 bytes
    {0x12, Utils::ExpectedVal(std::string("DPS550AB6A"), 10)},
    {0x1D, Utils::ExpectedVal(0xCA, 1)},  // part number: ASCII, 10 bytes
    {0x28, Utils::ExpectedVal(0xC3, 1)},  // version: ASCII, 3 bytes
    {0x2C, Utils::ExpectedVal(0xCE, 1)},  // serial number: ASCII, 14 bytes
    {0x2D, Utils::ExpectedVal(std::string("GTVD1615001656"), 14)},
    // PMBus MFR_MODEL and MFR_SERIAL: a count byte, then the text.
    {PsuSlot::MFR_MODEL, Utils::ExpectedVal(std::string("\x10" "PS-2471-1AZ1-LF"), 16)},
    {PsuSlot::MFR_SERIAL, Utils::ExpectedVal(std::string("\x10" "61AZ10101E340DU"), 16)},
};

std::string shellQuote(const std::string& value) {
    static const char safe[] = "._:=+-/,";
    bool plain = true;
    for (const char c : value) {
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && (c == '\0' || std::strchr(safe, c) == nullptr)) {
            plain = false;
            break;
        }
    }
    if (plain) return value;
    std::string quoted = "'";
    for (const char c : value) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += "'";
    return quoted;
}

namespace {

// Reads one whitespace-delimited word after skipping white space; empty at the end.
std::string nextWord(std::istringstream& in) {
    std::string word;
    in >> word;
    return word;
}

}  // namespace

PsuSlot::PsuSlot(Ham::Ham* h) { ham = h; }

PsuSlot::~PsuSlot() = default;

Component::DeviceBase* PsuSlot::create(const FactoryArgs&, Ham::Ham* ham) { return new PsuSlot(ham); }

Component::LogicalDevice::Slot* PsuSlot::newSlot(const FactoryArgs& args) {
    const std::optional<int> id = ArgReader(catalogue, ZL_CALL_NEW_SLOT, args.driverArgs).number("psuId");
    if (!id) return nullptr;
    const uint8_t psuId = static_cast<uint8_t>(*id);
    zl_trace(5, "Creating new PsuSlot for Psu id %hhu", psuId);
    return new Slot(this, static_cast<uint8_t>(psuId - 1), args.driverArgs, args.jsonText);
}

PsuSlot::Slot::Slot(PsuSlot* device, uint8_t psuIndex, const DriverSpecificArgs& args, const char* jsonText)
    : Component::LogicalDevice::Slot(psuIndex, args, jsonText), device_(device), psuIndex_(psuIndex) {
    ArgReader r(catalogue, ZL_CALL_NEW_SLOT, slotArgs_);
    // Identification method; a missing type is kept as empty text.
    const std::string type = slotArgs_["identificationType"];
    if (type == "pmbus") {
        identificationType_ = IdentificationType::Pmbus;
    } else if (type == "ipmi") {
        identificationType_ = IdentificationType::Ipmi;
    } else if (type == "wedge") {
        identificationType_ = IdentificationType::Wedge;
    } else if (type == "tlv") {
        identificationType_ = IdentificationType::Tlv;
    } else if (type == "ipmitool") {
        identificationType_ = IdentificationType::Ipmitool;
        ipmiCmd_ = r.text("useApi") != nullptr ? "kvIpmi api " : "kvIpmi ";
        if (const std::string* id = r.text("ipmiId")) {
            ipmiCmd_ += "psuSlot " + shellQuote(*id);
            zl_trace(0, "psuSlot ipmi command: '%s'", ipmiCmd_.c_str());
        } else {
            zl_trace(0, "PsuSlot identification type is ipmi but ipmiId not found");
        }
    } else if (type == "ipmitool_raw") {
        identificationType_ = IdentificationType::IpmitoolRaw;
        ipmiCmd_ = "kvIpmi raw";
        const std::string& id = *r.text("ipmiId");
        const std::string& rawModel = *r.text("ipmiRawModel");
        const std::string& rawSerial = *r.text("ipmiRawSerialNumber");
        // Every value reaches the shell as one word that can't start another command.
        ipmiCmd_ += " psuSlot " + shellQuote(id);
        ipmiCmd_ += " ModelNumber=" + shellQuote(rawModel);
        ipmiCmd_ += " SerialNumber=" + shellQuote(rawSerial);
        zl_trace(0, "psuSlot ipmi command: '%s'", ipmiCmd_.c_str());
    } else {
        zl_trace(0, "Invalid identification type: '%s'", type.c_str());
        identificationType_ = IdentificationType::Pmbus;
    }

    // Model -> template table; it ends at the first missing model_<i>.
    for (unsigned i = 1;; ++i) {
        const std::string* model = r.text("model_#", i);
        if (model == nullptr) break;
        fdlByModel_[*model] = *r.text("psuFdl_#", i);
    }

    // Presence and power-good bits of a CPLD.
    if (const std::string* gpioDevice = r.text("gpioDevice")) {
        const unsigned presenceReg = static_cast<unsigned>(*r.number("presenceReg"));
        const unsigned presenceBit = static_cast<unsigned>(*r.number("presenceBit"));
        const unsigned powerOkReg = static_cast<unsigned>(*r.number("powerOkReg"));
        const unsigned powerOkBit = static_cast<unsigned>(*r.number("powerOkBit"));
        const char* label = gpioDevice->c_str();
        std::unique_ptr<Component::LogicalDevice::Gpio> presence(getRegGpioForDevice(label, presenceReg, presenceBit));
        std::unique_ptr<Component::LogicalDevice::Gpio> powerOk(getRegGpioForDevice(label, powerOkReg, powerOkBit));
        presenceGpio_ = presence.release();
        powerOkGpio_ = powerOk.release();
        presenceActiveLow_ = r.flag("presenceActiveLow", true);
        powerOkActiveLow_ = r.flag("powerOkActiveLow", true);
    }
}

PsuSlot::Slot::~Slot() {
    std::free(cachedFdl_);
    delete presenceGpio_;
    delete powerOkGpio_;
}

void PsuSlot::Slot::clearCache() {
    std::free(cachedFdl_);
    cachedFdl_ = nullptr;
    cachedSerial_.clear();
    cachedModel_.clear();
}

zl_status PsuSlot::Slot::getPresence(char** fdl) {
    zl_trace(7, "%s", "getPresence");
    if (fdl == nullptr) return ZL_STATUS_BAD_INPUT;  // nowhere to hand a text to
    std::string serial;
    std::string model;

    if (presenceGpio_ != nullptr && powerOkGpio_ != nullptr) {
        unsigned present = 0;
        unsigned powerOk = 0;
        zl_status rc = presenceGpio_->bitRead(&present);
        if (rc != ZL_STATUS_OK) return rc;
        if (presenceActiveLow_) present = 1 - present;
        rc = powerOkGpio_->bitRead(&powerOk);
        if (rc != ZL_STATUS_OK) return rc;
        if (powerOkActiveLow_) powerOk = 1 - powerOk;
        if (present == 0) return ZL_STATUS_NOT_FOUND;
        if (powerOk == 0) {
            // A PSU without power can't be asked; the table may describe it as "PWR-UNKNOWN".
            serial = "N/A";
            model = "PWR-UNKNOWN";
        }
    }

    if (serial.empty() && model.empty()) {
        const zl_status rc = runIdentification(serial, model);
        if (rc != ZL_STATUS_OK || serial.empty() || model.empty()) {
            zl_trace(7, "Failed to read PSU info '%s' '%s'", serial.c_str(), model.c_str());
            clearCache();
            return ZL_STATUS_NOT_FOUND;
        }
    }

    if (serial == cachedSerial_ && model == cachedModel_ && cachedFdl_ != nullptr) {
        zl_trace(7, "Using cached fdl");
        char* copy = strdup(cachedFdl_);
        if (copy == nullptr) return ZL_STATUS_FAILED;
        *fdl = copy;
        return ZL_STATUS_OK;
    }

    zl_trace(0, "PSU serialNum = '%s'", serial.c_str());
    zl_trace(0, "PSU modelName = '%s'", model.c_str());
    const auto it = fdlByModel_.find(model);
    if (it == fdlByModel_.end()) {
        zl_trace(0, "Unknown modelName. PSU is unmanaged");
        clearCache();
        return ZL_STATUS_NOT_FOUND;
    }

    fdl_ = FormatFdl(it->second);
    fdl_.start();
    fdl_.set("serialNum", serial);
    const char* text = fdl_.charPtr();
    char* handed = strdup(text);
    char* cached = strdup(text);
    if (handed == nullptr || cached == nullptr) {
        std::free(handed);
        std::free(cached);
        return ZL_STATUS_FAILED;
    }
    std::free(cachedFdl_);
    cachedFdl_ = cached;
    cachedSerial_ = serial;
    cachedModel_ = model;
    *fdl = handed;
    return ZL_STATUS_OK;
}

zl_status PsuSlot::Slot::runIdentification(std::string& serial, std::string& model) {
    switch (identificationType_) {
        case IdentificationType::Pmbus: return readSerialAndModelPmbus(serial, model);
        case IdentificationType::Ipmi: return readSerialAndModelIpmi(serial, model);
        case IdentificationType::Ipmitool: return readSerialAndModelIpmitool(serial, model);
        case IdentificationType::IpmitoolRaw: return readSerialAndModelIpmitoolRaw(serial, model);
        case IdentificationType::Wedge: return readSerialAndModelWedge(serial, model);
        case IdentificationType::Tlv: return readSerialAndModelTlv(serial, model);
    }
    return ZL_STATUS_NOT_FOUND;
}

zl_status PsuSlot::Slot::readSerialAndModelPmbus(std::string& serial, std::string& model) {
    zl_trace(7, "%s", "readSerialAndModelPmbus");
    Ham::Ham* ham = device_->ham;
    if (ham == nullptr) return ZL_STATUS_NO_COMM;

    // The first byte of an SMBus block is its count: read it, then the count byte plus
    // the bytes it counts (a count of 0xFF wraps to an empty read).
    ham->prepare();
    const Ham::ResponseId modelCountId = ham->addRead8(MFR_MODEL);
    const Ham::ResponseId serialCountId = ham->addRead8(MFR_SERIAL);
    zl_status rc = ham->execute();
    if (rc != ZL_STATUS_OK) return rc;
    const uint8_t modelLength = static_cast<uint8_t>(ham->get8(modelCountId) + 1);
    const uint8_t serialLength = static_cast<uint8_t>(ham->get8(serialCountId) + 1);

    ham->prepare();
    const Ham::ResponseId modelId = ham->addRead(MFR_MODEL, modelLength, false);
    const Ham::ResponseId serialId = ham->addRead(MFR_SERIAL, serialLength, false);
    rc = ham->execute();
    if (rc != ZL_STATUS_OK) return rc;
    std::string modelBlock = ham->getBlock(modelId, modelLength);
    std::string serialBlock = ham->getBlock(serialId, serialLength);
    if (!modelBlock.empty()) modelBlock.erase(0, 1);
    if (!serialBlock.empty()) serialBlock.erase(0, 1);

    model = trim(modelBlock);
    serial = serialBlock;
    return ZL_STATUS_OK;
}

zl_status PsuSlot::Slot::readSerialAndModelIpmi(std::string& serial, std::string& model) {
    Ham::Ham* ham = device_->ham;
    if (ham == nullptr) return ZL_STATUS_NO_COMM;

    uint8_t area = 0;
    zl_status rc = ham->read8(FRU_PRODUCT_AREA_OFFSET, &area);
    if (rc != ZL_STATUS_OK) {
        zl_trace(0, "Error reading product info offset");
        return rc;
    }
    // One-byte offsets: everything wraps modulo 256. Skip format version, area length
    // and language code to reach the first type/length byte.
    uint8_t offset = static_cast<uint8_t>(area * 8 + 3);

    // Manufacturer, product name (kept), part number, version, serial number (kept).
    static const bool kept[] = {false, true, false, false, true};
    for (unsigned field = 0; field < sizeof kept / sizeof kept[0]; ++field) {
        uint8_t typeLength = 0;
        rc = ham->read8(offset, &typeLength);
        if (rc != ZL_STATUS_OK) {
            zl_trace(0, "Error reading type/length byte");
            return rc;
        }
        const unsigned type = typeLength >> 6;
        const uint8_t length = typeLength & 0x3F;
        ++offset;
        if (kept[field]) {
            if (type != 3) {
                // Only 8-bit text is understood; anything else is a byte of no known meaning.
                zl_trace(0, "Unexpected type %u of product info field at offset %u", type, static_cast<unsigned>(static_cast<uint8_t>(offset - 1)));
                return ZL_STATUS_DEVICE_FAULT;
            }
            std::string& target = field == 1 ? model : serial;
            rc = ham->read(offset, length, &target, false);
            if (rc != ZL_STATUS_OK) {
                zl_trace(0, "Error reading product info field");
                return rc;
            }
        }
        offset = static_cast<uint8_t>(offset + length);
    }
    model = trim(model);
    return ZL_STATUS_OK;
}

zl_status PsuSlot::Slot::readSerialAndModelIpmitool(std::string& serial, std::string& model) {
    return readSerialAndModelCommand(serial, model);
}

zl_status PsuSlot::Slot::readSerialAndModelIpmitoolRaw(std::string& serial, std::string& model) {
    return readSerialAndModelCommand(serial, model);
}

zl_status PsuSlot::Slot::readSerialAndModelCommand(std::string& serial, std::string& model) {
    std::string output;
    const zl_status rc = runCmd(ipmiCmd_, output);
    if (rc != ZL_STATUS_OK) return rc;
    // The tool prints a status character ('1': found), then the model word and the
    // serial word; the model word starts right after the status character.
    std::istringstream in(output);
    char status = 0;
    if (!(in >> status)) return ZL_STATUS_NOT_FOUND;
    model = nextWord(in);
    serial = nextWord(in);
    return status == '1' ? ZL_STATUS_OK : ZL_STATUS_NOT_FOUND;
}

zl_status PsuSlot::Slot::readSerialAndModelWedge(std::string& serial, std::string& model) {
    Ham::Ham* ham = device_->ham;
    if (ham == nullptr) return ZL_STATUS_NOT_FOUND;
    uint8_t value = 0;
    if (ham->read8(WEDGE_PRESENCE_REG, &value) != ZL_STATUS_OK) return ZL_STATUS_NOT_FOUND;
    // Bit 1 for PSU 1, bit 0 for PSU 2; a set bit means no PSU.
    const unsigned bit = 1u - psuIndex_;
    if (((value >> bit) & 1u) != 0) return ZL_STATUS_NOT_FOUND;
    serial = "N/A";
    model = "PWR-WEDGE";
    return ZL_STATUS_OK;
}

zl_status PsuSlot::Slot::readSerialAndModelTlv(std::string& serial, std::string& model) {
    Ham::Ham* ham = device_->ham;
    if (ham == nullptr) return ZL_STATUS_NOT_FOUND;

    std::string header;
    if (ham->read(0, TLV_HEADER_SIZE, &header, false) != ZL_STATUS_OK) return ZL_STATUS_NOT_FOUND;
    static const char signature[] = "TlvInfo";  // followed by a NUL: 8 bytes
    if (header.size() < TLV_HEADER_SIZE || header.compare(0, 8, std::string(signature, 8)) != 0 ||
        static_cast<uint8_t>(header[8]) != 0x01) {
        zl_trace(0, "PsuSlot: no TlvInfo header in the PSU EEPROM");
        return ZL_STATUS_NOT_FOUND;
    }
    // Big-endian count of the bytes after the header; records end at total + 10.
    const uint32_t total = static_cast<uint8_t>(header[9]) * 256u + static_cast<uint8_t>(header[10]);
    const uint32_t last = total + TLV_HEADER_SIZE - 1;

    uint32_t offset = TLV_HEADER_SIZE;
    // Every record is at least two bytes, so a sound walk needs fewer steps than this; the
    // bound only stops a walk that wrapped around the 16-bit offset space.
    for (uint32_t steps = 0; steps <= 0x10000; ++steps) {
        if (!model.empty() && !serial.empty()) break;
        if (offset > last) break;
        std::string record;
        if (ham->read(offset, 2, &record, false) != ZL_STATUS_OK || record.size() < 2) {
            zl_trace(0, "PsuSlot: failed to read TlvInfo record at offset %u", offset);
            return ZL_STATUS_NOT_FOUND;
        }
        const uint8_t type = static_cast<uint8_t>(record[0]);
        const uint8_t length = static_cast<uint8_t>(record[1]);
        // The value reads' status is not looked at: a failed read leaves the value empty
        // or as it was, and the result below reports what was found.
        if (type == TLV_PART_NUMBER)
            ham->read(offset + 2, length, &model, false);
        else if (type == TLV_SERIAL_NUMBER)
            ham->read(offset + 2, length, &serial, false);
        offset = (offset + 2 + length) & 0xFFFF;
    }
    return !model.empty() && !serial.empty() ? ZL_STATUS_OK : ZL_STATUS_NOT_FOUND;
}

}  // namespace Drivers
