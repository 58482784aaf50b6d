/*
 * The native firmware model: the embedded default firmware of the machine.
 *
 * It answers the device's _DSM with the interface's UUID, revision 0:
 *   function 0  Integer: the supported functions (bit 0 plus one bit per function 1..3)
 *   function 1  Integer: the current device mode
 *   function 2  Package {Integer tag, Integer count, Package {Integer count,
 *               Package {mode, value1, value2, value3} x count}} for table index 0..2
 *   function 3  Package {Integer address, Integer length} of the SAR table in physical memory
 * Anything it does not recognise (another UUID, revision, function or table
 * index) gets Buffer {0x00}, the customary firmware answer for "nothing here".
 * A method other than _DSM does not exist (STATUS_OBJECT_NAME_NOT_FOUND).
 *
 * The namespace holds one device, \_SB.TVRX with _HID "TVRX0001" and _UID 0
 * and no _STA (present and working), whose identification objects and path
 * can be changed (SetIdentity), and any other devices a test places beside it
 * (SetOtherDevices): those have identification objects only, no _DSM.
 *
 * Everything can be changed at run time (then raise Notify(0x80)), and fault
 * knobs reshape or withhold answers. All members are thread-safe.
 */
#pragma once
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <ntstatus.h>
#include "firmware/firmware.h"

namespace plat {

struct DeviceModeEntry {
    uint64_t mode = 0;
    uint64_t value1 = 0;
    uint64_t value2 = 0;
    uint64_t value3 = 0;
    bool operator==(const DeviceModeEntry& other) const;
};

struct DeviceModeTable {
    uint64_t tag = 0;
    std::vector<DeviceModeEntry> entries;
};

// A Device of the model's namespace: its path and identification objects (nullopt: absent).
struct NativeDevice {
    std::string path;
    std::optional<AcpiObject> hid;
    std::optional<AcpiObject> cid;
    std::optional<AcpiObject> uid;
    std::optional<AcpiObject> sta;
};

class NativeFirmware : public Firmware {
public:
    static constexpr const char* kDevicePath = "\\_SB.TVRX";
    static constexpr const char* kHardwareId = "TVRX0001";

    // {82737E72-3A33-4C45-A9C7-57C0411A5F13} in GUID memory order.
    static const uint8_t kDsmUuid[16];
    // The arguments of _DSM (uuid, revision 0, function, argument) as the driver passes them.
    static std::vector<AcpiObject> DsmArguments(uint64_t function, uint64_t argument);
    static constexpr uint64_t kDsmRevision = 0;
    static constexpr size_t kTableCount = 3;
    enum DsmFunction : uint64_t { kSupportedFunctions = 0, kDeviceMode = 1, kDeviceModeTable = 2, kSarLocation = 3 };

    // How results are shaped; everything but Normal is a fault for the driver to survive.
    enum class Shape {
        Normal,
        // Integers above 32 bits, low half unchanged (the ACPI driver hands over the low 32 bits):
        WideFirstInteger,  // f2: each entry's first integer; f0, f1, f3: the first result integer
        WideValues,        // f2: each entry's three values
        ShortEntries,      // f2: entry packages of three integers (mode, value1, value2)
        StringFirst,       // f2: each entry's first element is a String; f0, f1: the result is a String
        BufferValues,      // f2: each entry's values are 4-byte Buffers; f0, f1: the result is a 1-byte Buffer
        CountTooLarge,     // f2: the count element claims one entry more than the table holds
        MissingElements,   // f2: {tag, count} without the table; f3: {address} without the length
        TableAsBuffer,     // f2: the table is a Buffer as long as the table package would be
    };

    struct Faults {
        NTSTATUS evaluationStatus = STATUS_SUCCESS;  // the evaluation fails with this status (an AML error)
        ULONG resultSignature = 0;  // the ACPI driver writes this signature into the result (0: the right one)
        bool emptyResult = false;   // _DSM returns an empty package (Count 0)
        bool oversized = false;     // _DSM returns a 1024-byte Buffer, more than any caller expects
        bool hang = false;          // _DSM blocks until this is cleared or the firmware goes away
        size_t hangAtMost = 0;      // at most this many evaluations hang at once, later ones answer (0: no limit)
        bool answerBeforeHang = false;  // a hung evaluation answers with what held when it was called
        bool noSupportBit = false;  // function 0 answers without bit 0
        Shape shape = Shape::Normal;
        size_t shapeFrom = 0;       // first entry an entry-level shape applies to
        uint32_t functions = 0xF;   // the _DSM functions these faults apply to (bit n: function n)
        uint32_t tables = 0x7;      // for function 2, the table indexes they apply to (bit n: index n)
    };

    // One _DSM evaluation as the firmware saw it.
    struct DsmCall {
        bool uuidMatched = false;
        uint64_t revision = 0;
        uint64_t function = 0;
        uint64_t argument = 0;  // the fourth argument (an Integer, or the first Integer of a Package)
    };

    NativeFirmware();
    ~NativeFirmware() override;  // releases hung evaluations and waits until they have left

    std::vector<FirmwareDevice> Devices() override;
    NTSTATUS Evaluate(const std::string& device, const std::string& method, const std::vector<AcpiObject>& args,
                      AcpiObject* result) override;
    // Answers at once unless the hang fault applies to the call.
    NTSTATUS EvaluateAtOnce(const std::string& device, const std::string& method, const std::vector<AcpiObject>& args,
                            AcpiObject* result) override;
    // The same on the model's own device, and Notify raised on it.
    NTSTATUS Evaluate(const std::string& method, const std::vector<AcpiObject>& args, AcpiObject* result);
    using Firmware::Notify;
    void Notify(ULONG value);

    // The model's own device (the one with the _DSM above), and the devices beside it.
    void SetIdentity(NativeDevice identity);
    NativeDevice Identity() const;
    static NativeDevice DefaultIdentity();
    void SetOtherDevices(std::vector<NativeDevice> devices);  // listed before the model's device
    std::string BiosVersion() const override;
    void Attach(Hardware& machine) override;
    ULONG ResultSignatureOverride(const std::string& method, const std::vector<AcpiObject>& args) const override;

    void SetSupportedFunctions(uint64_t bits);
    void SetDeviceMode(uint64_t mode);
    uint64_t DeviceMode() const;
    void SetTable(size_t index, DeviceModeTable table);  // index 0..2
    DeviceModeTable Table(size_t index) const;
    // Places the SAR table at address (replacing the previous region) and reports it from function 3.
    void SetSarTable(uint64_t address, std::vector<uint8_t> bytes);
    // Reports a location without touching physical memory (a range with nothing
    // behind it, which reads as 0xFF bytes; a wrong length).
    void SetSarLocation(uint64_t address, uint64_t length);
    uint64_t SarAddress() const;
    uint64_t SarLength() const;
    std::vector<uint8_t> SarBytes() const;
    void SetBiosVersion(std::string version);

    void SetFaults(const Faults& faults);  // also releases hung evaluations when hang is cleared
    Faults GetFaults() const;
    void ClearFaults();

    std::vector<DsmCall> Calls() const;
    void ClearCalls();
    // Evaluations blocked by the hang fault right now; WaitForHung waits until at least count are.
    size_t HungEvaluations() const;
    bool WaitForHung(size_t count, std::chrono::milliseconds timeout) const;

    static DeviceModeTable DefaultTable(size_t index);
    static std::vector<uint8_t> DefaultSarTable();

private:
    NTSTATUS EvaluateDevice(const std::string& device, const std::string& method, const std::vector<AcpiObject>& args,
                            AcpiObject* result, bool mayBlock);
    NTSTATUS EvaluateDsm(const std::vector<AcpiObject>& args, AcpiObject* result, bool mayBlock);
    bool HangApplies(uint64_t function, uint64_t argument) const;
    bool FaultApplies(uint64_t function, uint64_t argument) const;
    AcpiObject Answer(uint64_t function, uint64_t argument, bool haveArgument) const;
    AcpiObject TableAnswer(size_t index, bool faulty) const;
    AcpiObject EntryObject(const DeviceModeEntry& entry, bool faulty) const;
    AcpiObject FirstInteger(uint64_t value, bool faulty) const;

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    Hardware* machine_ = nullptr;
    uint64_t supported_ = 0xF;
    uint64_t deviceMode_ = 1;
    DeviceModeTable tables_[kTableCount];
    uint64_t sarAddress_;
    uint64_t sarLength_;
    std::vector<uint8_t> sarBytes_;
    bool sarPlaced_ = false;  // sarBytes_ is in the attached machine's memory at sarAddress_
    std::string biosVersion_;
    NativeDevice identity_ = DefaultIdentity();
    std::vector<NativeDevice> others_;
    Faults faults_;
    std::vector<DsmCall> calls_;
    size_t active_ = 0;
    size_t hung_ = 0;
    bool closing_ = false;
};

std::shared_ptr<NativeFirmware> MakeNativeFirmware();
// The firmware a new machine starts with: the native model.
std::shared_ptr<Firmware> MakeDefaultFirmware();

}  // namespace plat
