/*
 * A firmware back end: evaluates the device's ACPI methods and raises Notify
 * on the device. The ACPI driver stand-in (platform/acpi) sits on top of it.
 */
#pragma once
#include <ntdef.h>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace plat {

class Hardware;

// An ACPI object as a method takes or returns it.
struct AcpiObject {
    enum class Type { Integer, String, Buffer, Package };
    Type type = Type::Integer;
    uint64_t integer = 0;
    std::string string;
    std::vector<uint8_t> buffer;
    std::vector<AcpiObject> package;

    static AcpiObject Integer(uint64_t value);
    static AcpiObject String(std::string value);
    static AcpiObject Buffer(std::vector<uint8_t> value);
    static AcpiObject Package(std::vector<AcpiObject> elements);
    bool operator==(const AcpiObject& other) const;
    bool operator!=(const AcpiObject& other) const { return !(*this == other); }
    // ASL-like text: 0x80, "text", Buffer {0x01, 0x02}, Package {...}.
    std::string Text() const;
};

class Firmware {
public:
    virtual ~Firmware() = default;

    // Evaluates a method of the driver's device (for example "_DSM"). May block
    // (a hung firmware); the caller's time-out decides how long it waits.
    virtual NTSTATUS Evaluate(const std::string& method, const std::vector<AcpiObject>& args,
                              AcpiObject* result) = 0;

    // The BIOS version the machine reports in the registry.
    virtual std::string BiosVersion() const = 0;

    // Called when the machine takes this firmware: place tables in physical memory, etc.
    virtual void Attach(Hardware& machine) { (void)machine; }

    // A fault of the ACPI driver's result path that a back end can ask for: the
    // signature written into evaluation results instead of the right one (0: none).
    virtual ULONG ResultSignatureOverride(const std::string& method, const std::vector<AcpiObject>& args) const
    {
        (void)method;
        (void)args;
        return 0;
    }

    // Held across an evaluation that runs on a thread of its own: taken before
    // the thread starts, released once the thread is done with the firmware.
    // A back end's destructor releases whatever blocks and then waits with
    // WaitUntilUnused(), so no such thread is left inside a destroyed firmware.
    void AcquireUse();
    void ReleaseUse();

    // Where Notify on the device goes (the ACPI driver stand-in); empty: nowhere.
    void SetNotifySink(std::function<void(ULONG)> sink);
    // Raises Notify(value) on the device.
    void Notify(ULONG value);

protected:
    void WaitUntilUnused();

private:
    std::mutex useLock_;
    std::condition_variable unused_;
    size_t uses_ = 0;
    std::mutex sinkLock_;
    std::function<void(ULONG)> sink_;
};

}  // namespace plat
