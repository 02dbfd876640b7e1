#include "XcvrEeprom.h"

namespace Smbusd {

namespace {

std::string field(const std::map<std::string, std::string>& f, const char* key) {
    auto it = f.find(key);
    return it == f.end() ? std::string() : it->second;
}

// A text field: cut or padded with spaces to its width.
void putText(std::string* image, size_t at, const std::string& text, size_t width) {
    std::string v = text.substr(0, width);
    v.resize(width, ' ');
    image->replace(at, width, v);
}

void putIdentity(std::string* image, const std::map<std::string, std::string>& f, size_t name, size_t pn, size_t sn,
                 size_t date) {
    putText(image, name, field(f, "vendor"), kXcvrTextLength);
    putText(image, pn, field(f, "part"), kXcvrTextLength);
    putText(image, sn, field(f, "serial"), kXcvrTextLength);
    putText(image, date, field(f, "date"), kXcvrDateLength);
}

uint8_t identifier(const std::map<std::string, std::string>& f, uint8_t fallback) {
    const std::string v = field(f, "identifier");
    return v.empty() ? fallback : uint8_t(std::stoul(v, nullptr, 0));
}

}  // namespace

uint8_t xcvrChecksum(const std::string& image, size_t from, size_t to) {
    unsigned sum = 0;
    for (size_t i = from; i <= to && i < image.size(); ++i) sum += uint8_t(image[i]);
    return uint8_t(sum);
}

std::string buildSfpImage(const std::map<std::string, std::string>& f) {
    std::string image(kXcvrImageSize, '\0');
    image[kSfpIdentifier] = char(identifier(f, kXcvrIdSfp));
    image[kSfpExtIdentifier] = char(kSfpExtIdI2c);
    image[kSfpConnector] = char(kConnectorLc);
    putIdentity(&image, f, kSfpVendorName, kSfpVendorPn, kSfpVendorSn, kSfpDateCode);
    image[kSfpCcBase] = char(xcvrChecksum(image, 0, kSfpCcBase - 1));
    image[kSfpCcExt] = char(xcvrChecksum(image, kSfpCcBase + 1, kSfpCcExt - 1));
    return image;
}

std::string buildQsfpImage(const std::map<std::string, std::string>& f) {
    std::string image(kXcvrImageSize, '\0');
    const uint8_t id = identifier(f, kXcvrIdQsfp28);
    image[kQsfpIdentifier] = char(id);
    image[1] = char(kQsfpRevision8636);
    image[kQsfpStatus] = char(kQsfpStatusFlatMem);
    image[kQsfpPageSelect] = 0;
    image[kQsfpUpperIdentifier] = char(id);
    image[kQsfpUpperConnector] = char(kConnectorMpo);
    putIdentity(&image, f, kQsfpVendorName, kQsfpVendorPn, kQsfpVendorSn, kQsfpDateCode);
    image[kQsfpCcBase] = char(xcvrChecksum(image, kQsfpUpperIdentifier, kQsfpCcBase - 1));
    image[kQsfpCcExt] = char(xcvrChecksum(image, kQsfpCcBase + 1, kQsfpCcExt - 1));
    return image;
}

XcvrEepromChip::XcvrEepromChip(bool qsfp) : EepromChip(qsfp ? "qsfp-eeprom" : "sfp-eeprom"), qsfp_(qsfp) {
    declare("identifier", PropKind::Number, std::to_string(qsfp ? kXcvrIdQsfp28 : kXcvrIdSfp));
    declare("vendor", PropKind::Text, "ZOLTA OPTICS");
    declare("part", PropKind::Text, qsfp ? "ZQ28-100G-SR4" : "ZS10-10G-SR");
    declare("serial", PropKind::Text, "ZX0000000001");
    declare("date", PropKind::Text, "26010100");
    regenerate();
}

}  // namespace Smbusd
