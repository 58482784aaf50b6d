/* ACPI objects and the Notify path shared by every firmware back end. */
#include "firmware/firmware.h"

#include <ntstatus.h>

#include <cstdio>
#include <utility>

namespace plat {

AcpiObject AcpiObject::Integer(uint64_t value)
{
    AcpiObject object;
    object.type = Type::Integer;
    object.integer = value;
    return object;
}

AcpiObject AcpiObject::String(std::string value)
{
    AcpiObject object;
    object.type = Type::String;
    object.string = std::move(value);
    return object;
}

AcpiObject AcpiObject::Buffer(std::vector<uint8_t> value)
{
    AcpiObject object;
    object.type = Type::Buffer;
    object.buffer = std::move(value);
    return object;
}

AcpiObject AcpiObject::Package(std::vector<AcpiObject> elements)
{
    AcpiObject object;
    object.type = Type::Package;
    object.package = std::move(elements);
    return object;
}

// Only the member that belongs to the type takes part: a String never equals
// an Integer, whatever the unused members hold.
bool AcpiObject::operator==(const AcpiObject& other) const
{
    if (type != other.type) {
        return false;
    }
    switch (type) {
    case Type::Integer:
        return integer == other.integer;
    case Type::String:
        return string == other.string;
    case Type::Buffer:
        return buffer == other.buffer;
    case Type::Package:
        return package == other.package;
    }
    return false;
}

std::string AcpiObject::Text() const
{
    char hex[24];
    std::string text;
    switch (type) {
    case Type::Integer:
        std::snprintf(hex, sizeof hex, "0x%llX", static_cast<unsigned long long>(integer));
        return hex;
    case Type::String:
        return "\"" + string + "\"";
    case Type::Buffer:
        text = "Buffer {";
        for (size_t i = 0; i < buffer.size(); ++i) {
            std::snprintf(hex, sizeof hex, "%s0x%02X", i ? ", " : "", buffer[i]);
            text += hex;
        }
        return text + "}";
    case Type::Package:
        text = "Package {";
        for (size_t i = 0; i < package.size(); ++i) {
            text += (i ? ", " : "") + package[i].Text();
        }
        return text + "}";
    }
    return text;
}

// EisaId("ABC1234") stores 'A'-'@' etc. in five bits each, big-endian in the
// low 16 bits, then the product's four hex digits, and the whole 32 bits are
// read little-endian: the bytes are swapped back before decoding.
std::string EisaIdText(uint64_t value)
{
    uint32_t raw = static_cast<uint32_t>(value);
    uint32_t id = ((raw & 0xFF) << 24) | ((raw & 0xFF00) << 8) | ((raw >> 8) & 0xFF00) | (raw >> 24);
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    text += char('@' + ((id >> 26) & 0x1F));
    text += char('@' + ((id >> 21) & 0x1F));
    text += char('@' + ((id >> 16) & 0x1F));
    for (int shift = 12; shift >= 0; shift -= 4) {
        text += kHex[(id >> shift) & 0xF];
    }
    return text;
}

namespace {

// An ID object: an Integer is an EISA ID, a String is taken as given.
std::optional<std::string> IdText(const AcpiObject& object)
{
    if (object.type == AcpiObject::Type::Integer) {
        return EisaIdText(object.integer);
    }
    if (object.type == AcpiObject::Type::String) {
        return object.string;
    }
    return std::nullopt;
}

std::string StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace

const char* TypeName(const AcpiObject& object)
{
    switch (object.type) {
    case AcpiObject::Type::Integer:
        return "an Integer";
    case AcpiObject::Type::String:
        return "a String";
    case AcpiObject::Type::Buffer:
        return "a Buffer";
    case AcpiObject::Type::Package:
        return "a Package";
    }
    return "an object";
}

FirmwareDevice DescribeDevice(const std::string& path, const std::function<bool(const std::string&)>& has,
                              const std::function<NTSTATUS(const std::string&, AcpiObject*)>& evaluate)
{
    FirmwareDevice device;
    device.path = path;
    device.hasAdr = has("_ADR");
    AcpiObject value;
    if (has("_HID")) {
        NTSTATUS status = evaluate("_HID", &value);
        if (status < 0) {
            device.hid = std::string();
            device.hidError = "_HID failed with status " + StatusText(status);
        } else if (std::optional<std::string> text = IdText(value)) {
            device.hid = *text;
        } else {
            device.hid = std::string();
            device.hidError = std::string("_HID is ") + TypeName(value);
        }
    }
    if (!device.hid || !device.hidError.empty()) {
        return device;  // nothing else matters to a device the ACPI driver does not enumerate
    }
    if (has("_CID") && evaluate("_CID", &value) >= 0) {
        if (value.type == AcpiObject::Type::Package) {
            for (const AcpiObject& element : value.package) {
                if (std::optional<std::string> text = IdText(element)) {
                    device.cids.push_back(*text);
                }
            }
        } else if (std::optional<std::string> text = IdText(value)) {
            device.cids.push_back(*text);
        }
    }
    if (has("_UID") && evaluate("_UID", &value) >= 0) {
        if (value.type == AcpiObject::Type::Integer) {
            device.uid = std::to_string(value.integer);
        } else if (value.type == AcpiObject::Type::String) {
            device.uid = value.string;
        }
    }
    if (has("_STA")) {
        NTSTATUS status = evaluate("_STA", &value);
        if (status < 0) {
            device.staStatus = status;
        } else if (value.type == AcpiObject::Type::Integer) {
            device.sta = value.integer;
        } else {
            device.staStatus = STATUS_ACPI_INVALID_DATA;
        }
    }
    return device;
}

void Firmware::AcquireUse()
{
    std::lock_guard<std::mutex> guard(useLock_);
    ++uses_;
}

void Firmware::ReleaseUse()
{
    std::lock_guard<std::mutex> guard(useLock_);
    if (--uses_ == 0) {
        unused_.notify_all();
    }
}

void Firmware::WaitUntilUnused()
{
    std::unique_lock<std::mutex> guard(useLock_);
    unused_.wait(guard, [this] { return uses_ == 0; });
}

void Firmware::SetNotifySink(NotifySink sink)
{
    std::lock_guard<std::mutex> guard(sinkLock_);
    sink_ = std::move(sink);
}

// The sink is called outside the lock so that it may take its own locks (and a
// sink being replaced meanwhile does not block a firmware thread).
void Firmware::Notify(const std::string& device, ULONG value)
{
    NotifySink sink;
    {
        std::lock_guard<std::mutex> guard(sinkLock_);
        sink = sink_;
    }
    if (sink) {
        sink(device, value);
    }
}

}  // namespace plat
