#include "Drivers/Helpers.h"

#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <new>

#include "Components/LogicalDevices.h"
#include "Topology/Topology.h"

namespace Drivers {

// ---- FormatFdl ----

void FormatFdl::start() {
    result_ = template_;
    active_ = true;
}

namespace {

// Replaces each occurrence of the placeholder once, scanning forward past every inserted
// value: the finite reading of a set whose restarting replacement would never end.
std::string replaceEachOnce(const std::string& text, const std::string& placeholder, const std::string& value) {
    std::string out;
    std::string::size_type from = 0;
    for (;;) {
        auto pos = text.find(placeholder, from);
        if (pos == std::string::npos) break;
        out.append(text, from, pos - from);
        out += value;
        from = pos + placeholder.size();
    }
    out.append(text, from, std::string::npos);
    return out;
}

}  // namespace

bool FormatFdl::set(const std::string& key, const std::string& value) {
    zl_trace(5, "FormatFdl::set( '%s', '%s' )", key.c_str(), value.c_str());
    ZL_CHECK_RULE(active_, "active_ && \"FormatFdl: Must call start() before set(...)\"");

    const std::string placeholder = "{" + key + "}";
    auto pos = result_.find(placeholder);
    if (pos == std::string::npos) {
        zl_trace(0, "Error: FormatFdl::set -- invalid key '%s'", placeholder.c_str());
        ZL_CHECK_RULE(false, "0 && \"Invalid key in FormatFdl::set\"");
    }

    // Every replacement restarts the search at the beginning, so an occurrence that a value
    // forms with the text around it is replaced as well. (The text before the replaced
    // occurrence held none and is unchanged, so the next search may start where a new
    // occurrence could first begin; the result is the same.) A value that holds the
    // placeholder itself would be replaced without end; it is inserted once per occurrence
    // of the text as it stood instead. The same happens to a value that runs away by
    // re-forming the placeholder with its neighbours: finishing passes over description
    // templates take a few replacements, so a pass beyond kMaxReplacements or kMaxLength
    // is stopped.
    static constexpr std::string::size_type kMaxReplacements = 10000;
    static constexpr std::string::size_type kMaxLength = 64 * 1024;
    const std::string original = result_;
    if (value.find(placeholder) != std::string::npos) {
        zl_trace(0, "Error: FormatFdl::set -- value of '%s' holds its placeholder, replaced once",
                 placeholder.c_str());
        result_ = replaceEachOnce(original, placeholder, value);
        return true;
    }
    std::string text = original;
    std::string::size_type replacements = 0;
    while (pos != std::string::npos) {
        if (++replacements > kMaxReplacements || text.size() > kMaxLength) {
            zl_trace(0, "Error: FormatFdl::set -- value of '%s' keeps forming its placeholder, replaced once",
                     placeholder.c_str());
            result_ = replaceEachOnce(original, placeholder, value);
            return true;
        }
        text.replace(pos, placeholder.size(), value);
        pos = text.find(placeholder, pos >= placeholder.size() ? pos - placeholder.size() + 1 : 0);
    }
    result_ = std::move(text);
    return true;
}

std::string FormatFdl::str() {
    ZL_CHECK_RULE(active_, "active_ && \"FormatFdl: Must call start() before str()\"");
    active_ = false;
    return result_;
}

const char* FormatFdl::charPtr() {
    ZL_CHECK_RULE(active_, "active_ && \"FormatFdl: Must call start() before charPtr()\"");
    active_ = false;
    return result_.c_str();
}

// ---- text and commands ----

std::string trim(const std::string& text) {
    static const char* const kBlanks = " \t";
    auto first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return std::string();
    auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

zl_status runCmd(const std::string& command, std::string& output) {
    output.clear();
    FILE* stream = popen(command.c_str(), "r");
    if (stream == nullptr) return ZL_STATUS_FAILED;

    char buffer[128];
    for (;;) {
        if (std::fgets(buffer, sizeof buffer, stream) == nullptr) {
            // The end of the stream ends the loop; a read error would repeat forever, so it
            // ends the call as a failed command.
            if (std::ferror(stream)) {
                pclose(stream);
                return ZL_STATUS_FAILED;
            }
            break;
        }
        try {
            output.append(buffer);
        } catch (const std::bad_alloc&) {
            pclose(stream);
            return ZL_STATUS_FAILED;
        } catch (const std::length_error&) {
            pclose(stream);
            return ZL_STATUS_FAILED;
        }
    }

    int status = pclose(stream);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return ZL_STATUS_FAILED;
    return ZL_STATUS_OK;
}

// ---- other devices by label ----

Component::HardwareDevice* getHardwareDeviceByLabel(const char* label, const std::string& defaultDriver) {
    Topology::Device* device = label != nullptr ? Topology::getDeviceByLabel(label) : nullptr;
    if (device == nullptr) {
        zl_trace(0, "Unable to locate device %s", label != nullptr ? label : "(null)");
        ZL_CHECK(device);
    }
    Component::HardwareDevice* dev = nullptr;
    // A device the topology gives no driver arguments has no driver object.
    if (device->args) {
        if (device->args->driver.empty()) device->args->driver = defaultDriver;
        dev = Component::HardwareDevice::create(*device->args, nullptr);
    }
    ZL_CHECK(dev);
    return dev;
}

Component::LogicalDevice::Gpio* getRegGpioForDevice(Component::HardwareDevice* dev, unsigned reg,
                                                    unsigned bitpos) {
    ZL_CHECK(dev);
    DriverArgs args;
    args.driverArgs["register"] = std::to_string(reg);
    args.driverArgs["bitpos"] = std::to_string(bitpos);
    Component::LogicalDevice::Gpio* gpio = dev->newGpio(args);
    ZL_CHECK(gpio);
    return gpio;
}

Component::LogicalDevice::Gpio* getRegGpioForDevice(const char* label, unsigned reg, unsigned bitpos) {
    return getRegGpioForDevice(getHardwareDeviceByLabel(label, "Dummy"), reg, bitpos);
}

}  // namespace Drivers
