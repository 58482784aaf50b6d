/*
 * A firmware back end: describes the Device objects of its namespace,
 * evaluates the methods of a device and raises Notify on a device. The ACPI
 * driver stand-in (platform/acpi) sits on top of it: it enumerates the
 * devices from Devices() and evaluates and listens on each by its path.
 *
 * API:
 *   Devices()                            every Device of every loaded table, in namespace order,
 *                                        with _HID, _CID, _UID and _STA as the ACPI driver reads them
 *   Evaluate(device, method, args, out)  a method of one device ("\_SB.TVRX", "_DSM")
 *   SetNotifySink(sink) / Notify(device, value)
 *                                        Notify(device, value) reaches the sink with the device's path
 *   EisaIdText(value)                    a compressed EISA ID as its seven characters ("PNP0C09")
 *   DescribeDevice(path, evaluate)       the common reading of a device's identification objects
 */
#pragma once
#include <ntdef.h>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
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

// A Device of the namespace as the ACPI driver reads it. Integers of _HID and
// _CID are compressed EISA IDs and read as their seven characters; Strings are
// taken as given. _UID reads an Integer in decimal, a String as given.
struct FirmwareDevice {
    std::string path;                 // absolute, for example "\\_SB.PCI0.TVRX"
    std::optional<std::string> hid;   // no _HID: nullopt
    std::string hidError;             // a _HID that fails or is neither Integer nor String: why
    std::vector<std::string> cids;    // _CID: one ID or a Package of them (other elements skipped)
    std::optional<std::string> uid;   // no _UID (or an unreadable one): nullopt
    std::optional<uint64_t> sta;      // no _STA: nullopt (present, enabled, shown, working)
    NTSTATUS staStatus = 0;           // a _STA whose evaluation failed: its status (sta is then nullopt)
    bool hasAdr = false;              // an _ADR: a device its parent bus enumerates
};

// The seven characters of a compressed EISA ID (the byte-swapped 32-bit form
// EisaId() compiles to): three letters of five bits each, then four hex digits.
std::string EisaIdText(uint64_t value);

// What an object is, with its article: "an Integer", "a String", "a Buffer", "a Package".
const char* TypeName(const AcpiObject& object);

// Reads a device's identification objects through evaluate(method, result)
// (STATUS_OBJECT_NAME_NOT_FOUND: the object is absent). has(method) tells
// which exist, so absent ones are not evaluated.
FirmwareDevice DescribeDevice(const std::string& path, const std::function<bool(const std::string&)>& has,
                              const std::function<NTSTATUS(const std::string&, AcpiObject*)>& evaluate);

class Firmware {
public:
    virtual ~Firmware() = default;

    // Every Device of the loaded tables, parents before children, with their
    // identification objects evaluated now (a _STA may change between calls).
    virtual std::vector<FirmwareDevice> Devices() = 0;

    // Evaluates a method of a device given by its path (for example "_DSM" of
    // "\\_SB.TVRX"). May block (a hung firmware); the caller's time-out decides
    // how long it waits. A device the firmware does not have:
    // STATUS_NO_SUCH_DEVICE; a method it does not have: STATUS_OBJECT_NAME_NOT_FOUND.
    virtual NTSTATUS Evaluate(const std::string& device, const std::string& method,
                              const std::vector<AcpiObject>& args, AcpiObject* result) = 0;

    // The same when the firmware can answer without blocking; STATUS_PENDING
    // (nothing evaluated, nothing recorded) when the evaluation would have to
    // wait, for a hung method or an interpreter in another process. The ACPI
    // driver completes an evaluation it can answer at once in the caller's
    // call, and gives the others a thread of their own.
    virtual NTSTATUS EvaluateAtOnce(const std::string& device, const std::string& method,
                                    const std::vector<AcpiObject>& args, AcpiObject* result)
    {
        (void)device;
        (void)method;
        (void)args;
        (void)result;
        return STATUS_PENDING;
    }

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

    // Where Notify goes (the ACPI driver stand-in), with the path of the
    // device it was raised on; empty: nowhere.
    using NotifySink = std::function<void(const std::string& device, ULONG value)>;
    void SetNotifySink(NotifySink sink);
    // Raises Notify(device, value).
    void Notify(const std::string& device, ULONG value);

protected:
    void WaitUntilUnused();

private:
    std::mutex useLock_;
    std::condition_variable unused_;
    size_t uses_ = 0;
    std::mutex sinkLock_;
    NotifySink sink_;
};

}  // namespace plat
