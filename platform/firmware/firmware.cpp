/* ACPI objects and the Notify path shared by every firmware back end. */
#include "firmware/firmware.h"

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

void Firmware::SetNotifySink(std::function<void(ULONG)> sink)
{
    std::lock_guard<std::mutex> guard(sinkLock_);
    sink_ = std::move(sink);
}

// The sink is called outside the lock so that it may take its own locks (and a
// sink being replaced meanwhile does not block a firmware thread).
void Firmware::Notify(ULONG value)
{
    std::function<void(ULONG)> sink;
    {
        std::lock_guard<std::mutex> guard(sinkLock_);
        sink = sink_;
    }
    if (sink) {
        sink(value);
    }
}

}  // namespace plat
