/* The native firmware model: device mode, device-mode tables, SAR table, BIOS version. */
#include "firmware/native.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "machine/hardware.h"
#include "machine/physmem.h"

namespace plat {

namespace {

// Where the SAR table sits by default: below 4 GiB, since the location travels as 32-bit values.
constexpr uint64_t kDefaultSarAddress = 0x7FFE0000;
constexpr size_t kDefaultSarLength = 384;
constexpr uint64_t kWide = uint64_t{1} << 32;  // makes an integer need 64 bits, low half unchanged
constexpr size_t kOversizedLength = 1024;

AcpiObject NothingHere()
{
    return AcpiObject::Buffer({0x00});
}

std::vector<uint8_t> LittleEndian32(uint64_t value)
{
    return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

// The fourth _DSM argument: an Integer, or (as ACPI defines it) a Package whose first element is one.
bool ArgumentInteger(const AcpiObject& argument, uint64_t* value)
{
    if (argument.type == AcpiObject::Type::Integer) {
        *value = argument.integer;
        return true;
    }
    if (argument.type == AcpiObject::Type::Package && !argument.package.empty() &&
        argument.package[0].type == AcpiObject::Type::Integer) {
        *value = argument.package[0].integer;
        return true;
    }
    return false;
}

bool UuidMatches(const AcpiObject& argument)
{
    return argument.type == AcpiObject::Type::Buffer && argument.buffer.size() == sizeof(NativeFirmware::kDsmUuid) &&
           std::memcmp(argument.buffer.data(), NativeFirmware::kDsmUuid, sizeof(NativeFirmware::kDsmUuid)) == 0;
}

}  // namespace

const uint8_t NativeFirmware::kDsmUuid[16] = {0x72, 0x7E, 0x73, 0x82, 0x33, 0x3A, 0x45, 0x4C,
                                              0xA9, 0xC7, 0x57, 0xC0, 0x41, 0x1A, 0x5F, 0x13};

std::vector<AcpiObject> NativeFirmware::DsmArguments(uint64_t function, uint64_t argument)
{
    return {AcpiObject::Buffer(std::vector<uint8_t>(kDsmUuid, kDsmUuid + sizeof(kDsmUuid))),
            AcpiObject::Integer(kDsmRevision), AcpiObject::Integer(function), AcpiObject::Integer(argument)};
}

bool DeviceModeEntry::operator==(const DeviceModeEntry& other) const
{
    return mode == other.mode && value1 == other.value1 && value2 == other.value2 && value3 == other.value3;
}

// Power limits in eighths of a dBm, lower for higher modes; every (table, mode)
// pair gets values of its own so that a test can tell which entry it was given.
DeviceModeTable NativeFirmware::DefaultTable(size_t index)
{
    static const size_t counts[kTableCount] = {4, 5, 3};
    DeviceModeTable table;
    table.tag = 0x10 + index;
    for (size_t mode = 0; mode < counts[index % kTableCount]; ++mode) {
        uint64_t base = 184 - 8 * mode - 2 * index;
        table.entries.push_back({mode, base, base - 12, base - 24});
    }
    return table;
}

// A header (signature, length, revision, entry count) and deterministic rows,
// closed by a checksum byte that makes the table sum to zero.
std::vector<uint8_t> NativeFirmware::DefaultSarTable()
{
    std::vector<uint8_t> bytes(kDefaultSarLength);
    const char signature[4] = {'T', 'S', 'A', 'R'};
    std::memcpy(bytes.data(), signature, 4);
    std::vector<uint8_t> length = LittleEndian32(bytes.size());
    std::copy(length.begin(), length.end(), bytes.begin() + 4);
    bytes[8] = 1;                        // revision
    bytes[10] = (kDefaultSarLength - 16) / 8;  // rows of 8 bytes after the 16-byte header
    for (size_t i = 16; i + 1 < bytes.size(); ++i) {
        bytes[i] = uint8_t(i * 37 + 11);
    }
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        sum = uint8_t(sum + bytes[i]);
    }
    bytes.back() = uint8_t(0x100 - sum);
    return bytes;
}

NativeFirmware::NativeFirmware()
    : sarAddress_(kDefaultSarAddress),
      sarLength_(kDefaultSarLength),
      sarBytes_(DefaultSarTable()),
      biosVersion_("TVRX-FW 1.07.0 (2024-05-17)")
{
    for (size_t i = 0; i < kTableCount; ++i) {
        tables_[i] = DefaultTable(i);
    }
}

// An evaluation still inside Evaluate (a hung one) would otherwise use a
// destroyed firmware; it is released and given time to leave first.
NativeFirmware::~NativeFirmware()
{
    {
        std::unique_lock<std::mutex> guard(lock_);
        closing_ = true;
        changed_.notify_all();
        changed_.wait(guard, [this] { return active_ == 0; });
    }
    WaitUntilUnused();
}

NativeDevice NativeFirmware::DefaultIdentity()
{
    NativeDevice identity;
    identity.path = kDevicePath;
    identity.hid = AcpiObject::String(kHardwareId);
    identity.uid = AcpiObject::Integer(0);
    return identity;
}

void NativeFirmware::SetIdentity(NativeDevice identity)
{
    std::lock_guard<std::mutex> guard(lock_);
    identity_ = std::move(identity);
}

NativeDevice NativeFirmware::Identity() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return identity_;
}

void NativeFirmware::SetOtherDevices(std::vector<NativeDevice> devices)
{
    std::lock_guard<std::mutex> guard(lock_);
    others_ = std::move(devices);
}

namespace {

const std::optional<AcpiObject>* IdentificationObject(const NativeDevice& device, const std::string& method)
{
    if (method == "_HID") {
        return &device.hid;
    }
    if (method == "_CID") {
        return &device.cid;
    }
    if (method == "_UID") {
        return &device.uid;
    }
    if (method == "_STA") {
        return &device.sta;
    }
    return nullptr;
}

}  // namespace

std::vector<FirmwareDevice> NativeFirmware::Devices()
{
    std::vector<NativeDevice> all;
    {
        std::lock_guard<std::mutex> guard(lock_);
        all = others_;
        all.push_back(identity_);
    }
    std::vector<FirmwareDevice> devices;
    for (const NativeDevice& device : all) {
        auto has = [&](const std::string& method) {
            const std::optional<AcpiObject>* object = IdentificationObject(device, method);
            return object != nullptr && object->has_value();
        };
        auto evaluate = [&](const std::string& method, AcpiObject* result) {
            *result = **IdentificationObject(device, method);
            return STATUS_SUCCESS;
        };
        devices.push_back(DescribeDevice(device.path, has, evaluate));
    }
    return devices;
}

NTSTATUS NativeFirmware::Evaluate(const std::string& device, const std::string& method,
                                  const std::vector<AcpiObject>& args, AcpiObject* result)
{
    return EvaluateDevice(device, method, args, result, true);
}

NTSTATUS NativeFirmware::EvaluateAtOnce(const std::string& device, const std::string& method,
                                        const std::vector<AcpiObject>& args, AcpiObject* result)
{
    return EvaluateDevice(device, method, args, result, false);
}

NTSTATUS NativeFirmware::EvaluateDevice(const std::string& device, const std::string& method,
                                        const std::vector<AcpiObject>& args, AcpiObject* result, bool mayBlock)
{
    NativeDevice found;
    bool own = false;
    bool known = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (device == identity_.path) {
            found = identity_;
            own = known = true;
        }
        for (size_t i = 0; !known && i < others_.size(); ++i) {
            if (others_[i].path == device) {
                found = others_[i];
                known = true;
            }
        }
    }
    if (!known) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (const std::optional<AcpiObject>* object = IdentificationObject(found, method)) {
        if (!object->has_value()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        *result = **object;
        return STATUS_SUCCESS;
    }
    if (!own || method != "_DSM") {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return EvaluateDsm(args, result, mayBlock);
}

NTSTATUS NativeFirmware::Evaluate(const std::string& method, const std::vector<AcpiObject>& args, AcpiObject* result)
{
    return Evaluate(Identity().path, method, args, result);
}

void NativeFirmware::Notify(ULONG value)
{
    Firmware::Notify(Identity().path, value);
}

// A caller that may not block gets STATUS_PENDING, with nothing recorded,
// where the hang fault would hold the evaluation.
NTSTATUS NativeFirmware::EvaluateDsm(const std::vector<AcpiObject>& args, AcpiObject* result, bool mayBlock)
{
    if (args.size() != 4) {
        return STATUS_ACPI_INCORRECT_ARGUMENT_COUNT;
    }

    DsmCall call;
    call.uuidMatched = UuidMatches(args[0]);
    bool revisionOk = args[1].type == AcpiObject::Type::Integer;
    bool functionOk = args[2].type == AcpiObject::Type::Integer;
    call.revision = revisionOk ? args[1].integer : 0;
    call.function = functionOk ? args[2].integer : 0;
    bool haveArgument = ArgumentInteger(args[3], &call.argument);

    std::unique_lock<std::mutex> guard(lock_);
    if (closing_) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (!mayBlock && HangApplies(call.function, call.argument)) {
        return STATUS_PENDING;
    }
    ++active_;
    calls_.push_back(call);

    // Caller holds lock_.
    auto answer = [&](AcpiObject* object) {
        if (!call.uuidMatched || !revisionOk || call.revision != kDsmRevision || !functionOk) {
            *object = NothingHere();
            return STATUS_SUCCESS;
        }
        if (FaultApplies(call.function, call.argument) && faults_.evaluationStatus != STATUS_SUCCESS) {
            return faults_.evaluationStatus;
        }
        *object = Answer(call.function, call.argument, haveArgument);
        return STATUS_SUCCESS;
    };

    NTSTATUS status = STATUS_SUCCESS;
    bool answered = false;
    if (HangApplies(call.function, call.argument)) {
        // A method that read its data and then stalled returns what it read.
        if (faults_.answerBeforeHang) {
            status = answer(result);
            answered = true;
        }
        ++hung_;
        changed_.notify_all();
        changed_.wait(guard, [&] { return closing_ || !faults_.hang || !FaultApplies(call.function, call.argument); });
        --hung_;
    }

    if (closing_) {
        status = STATUS_NO_SUCH_DEVICE;
    } else if (!answered) {
        status = answer(result);
    }

    --active_;
    changed_.notify_all();
    return status;
}

// Caller holds lock_.
bool NativeFirmware::HangApplies(uint64_t function, uint64_t argument) const
{
    return FaultApplies(function, argument) && faults_.hang && (faults_.hangAtMost == 0 || hung_ < faults_.hangAtMost);
}

bool NativeFirmware::FaultApplies(uint64_t function, uint64_t argument) const
{
    if (function >= 32 || !(faults_.functions & (1u << function))) {
        return false;
    }
    if (function == kDeviceModeTable) {
        return argument < 32 && (faults_.tables & (1u << argument));
    }
    return true;
}

AcpiObject NativeFirmware::Answer(uint64_t function, uint64_t argument, bool haveArgument) const
{
    bool faulty = FaultApplies(function, argument);
    if (faulty && faults_.emptyResult) {
        return AcpiObject::Package({});
    }
    if (faulty && faults_.oversized) {
        return AcpiObject::Buffer(std::vector<uint8_t>(kOversizedLength, 0xA5));
    }
    Shape shape = faulty ? faults_.shape : Shape::Normal;

    switch (function) {
    case kSupportedFunctions: {
        uint64_t bits = (faulty && faults_.noSupportBit) ? (supported_ & ~uint64_t{1}) : supported_;
        if (shape == Shape::StringFirst) {
            return AcpiObject::String(std::to_string(bits));
        }
        if (shape == Shape::BufferValues) {
            return AcpiObject::Buffer({uint8_t(bits)});
        }
        return FirstInteger(bits, faulty);
    }
    case kDeviceMode:
        if (shape == Shape::StringFirst) {
            return AcpiObject::String(std::to_string(deviceMode_));
        }
        if (shape == Shape::BufferValues) {
            return AcpiObject::Buffer({uint8_t(deviceMode_)});
        }
        return FirstInteger(deviceMode_, faulty);
    case kDeviceModeTable:
        if (!haveArgument || argument >= kTableCount) {
            return NothingHere();
        }
        return TableAnswer(size_t(argument), faulty);
    case kSarLocation:
        if (shape == Shape::MissingElements) {
            return AcpiObject::Package({FirstInteger(sarAddress_, faulty)});
        }
        return AcpiObject::Package({FirstInteger(sarAddress_, faulty), AcpiObject::Integer(sarLength_)});
    default:
        return NothingHere();
    }
}

AcpiObject NativeFirmware::FirstInteger(uint64_t value, bool faulty) const
{
    return AcpiObject::Integer((faulty && faults_.shape == Shape::WideFirstInteger) ? (value | kWide) : value);
}

AcpiObject NativeFirmware::TableAnswer(size_t index, bool faulty) const
{
    const DeviceModeTable& table = tables_[index];
    Shape shape = faulty ? faults_.shape : Shape::Normal;
    uint64_t count = table.entries.size();
    uint64_t claimed = shape == Shape::CountTooLarge ? count + 1 : count;

    std::vector<AcpiObject> elements = {AcpiObject::Integer(table.tag), AcpiObject::Integer(claimed)};
    if (shape == Shape::MissingElements) {
        return AcpiObject::Package(std::move(elements));
    }
    if (shape == Shape::TableAsBuffer) {
        // As long as the package would be: a leading integer and 36 bytes per entry.
        elements.push_back(AcpiObject::Buffer(std::vector<uint8_t>(8 + 36 * count, 0x5A)));
        return AcpiObject::Package(std::move(elements));
    }

    std::vector<AcpiObject> rows = {AcpiObject::Integer(count)};
    for (size_t i = 0; i < table.entries.size(); ++i) {
        rows.push_back(EntryObject(table.entries[i], faulty && i >= faults_.shapeFrom));
    }
    elements.push_back(AcpiObject::Package(std::move(rows)));
    return AcpiObject::Package(std::move(elements));
}

AcpiObject NativeFirmware::EntryObject(const DeviceModeEntry& entry, bool faulty) const
{
    Shape shape = faulty ? faults_.shape : Shape::Normal;
    AcpiObject mode = AcpiObject::Integer(entry.mode);
    if (shape == Shape::WideFirstInteger) {
        mode = AcpiObject::Integer(entry.mode | kWide);
    } else if (shape == Shape::StringFirst) {
        mode = AcpiObject::String(std::to_string(entry.mode));
    }

    std::vector<AcpiObject> values;
    for (uint64_t value : {entry.value1, entry.value2, entry.value3}) {
        if (shape == Shape::WideValues) {
            values.push_back(AcpiObject::Integer(value | kWide));
        } else if (shape == Shape::BufferValues) {
            values.push_back(AcpiObject::Buffer(LittleEndian32(value)));
        } else {
            values.push_back(AcpiObject::Integer(value));
        }
    }
    if (shape == Shape::ShortEntries) {
        values.pop_back();
    }
    values.insert(values.begin(), std::move(mode));
    return AcpiObject::Package(std::move(values));
}

std::string NativeFirmware::BiosVersion() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return biosVersion_;
}

void NativeFirmware::Attach(Hardware& machine)
{
    std::lock_guard<std::mutex> guard(lock_);
    machine_ = &machine;
    machine.Memory().AddRegion(sarAddress_, sarBytes_);
    sarPlaced_ = true;
}

ULONG NativeFirmware::ResultSignatureOverride(const std::string& method, const std::vector<AcpiObject>& args) const
{
    std::lock_guard<std::mutex> guard(lock_);
    if (method != "_DSM" || args.size() != 4 || args[2].type != AcpiObject::Type::Integer) {
        return 0;
    }
    uint64_t argument = 0;
    ArgumentInteger(args[3], &argument);
    return FaultApplies(args[2].integer, argument) ? faults_.resultSignature : 0;
}

void NativeFirmware::SetSupportedFunctions(uint64_t bits)
{
    std::lock_guard<std::mutex> guard(lock_);
    supported_ = bits;
}

void NativeFirmware::SetDeviceMode(uint64_t mode)
{
    std::lock_guard<std::mutex> guard(lock_);
    deviceMode_ = mode;
}

uint64_t NativeFirmware::DeviceMode() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return deviceMode_;
}

void NativeFirmware::SetTable(size_t index, DeviceModeTable table)
{
    std::lock_guard<std::mutex> guard(lock_);
    tables_[index % kTableCount] = std::move(table);
}

DeviceModeTable NativeFirmware::Table(size_t index) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return tables_[index % kTableCount];
}

// The machine the firmware was attached to may be gone (a firmware kept by a
// test past its machine); its memory is only touched while it is current.
void NativeFirmware::SetSarTable(uint64_t address, std::vector<uint8_t> bytes)
{
    std::lock_guard<std::mutex> guard(lock_);
    bool attached = machine_ != nullptr && Hardware::CurrentOrNull() == machine_;
    if (attached && sarPlaced_) {
        machine_->Memory().RemoveRegion(sarAddress_);
    }
    sarAddress_ = address;
    sarLength_ = bytes.size();
    sarBytes_ = std::move(bytes);
    sarPlaced_ = attached;
    if (attached) {
        machine_->Memory().AddRegion(sarAddress_, sarBytes_);
    }
}

void NativeFirmware::SetSarLocation(uint64_t address, uint64_t length)
{
    std::lock_guard<std::mutex> guard(lock_);
    sarAddress_ = address;
    sarLength_ = length;
    sarPlaced_ = false;  // whatever region was placed stays where it is
}

uint64_t NativeFirmware::SarAddress() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return sarAddress_;
}

uint64_t NativeFirmware::SarLength() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return sarLength_;
}

std::vector<uint8_t> NativeFirmware::SarBytes() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return sarBytes_;
}

void NativeFirmware::SetBiosVersion(std::string version)
{
    std::lock_guard<std::mutex> guard(lock_);
    biosVersion_ = std::move(version);
}

void NativeFirmware::SetFaults(const Faults& faults)
{
    std::lock_guard<std::mutex> guard(lock_);
    faults_ = faults;
    changed_.notify_all();
}

NativeFirmware::Faults NativeFirmware::GetFaults() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return faults_;
}

void NativeFirmware::ClearFaults()
{
    SetFaults(Faults());
}

std::vector<NativeFirmware::DsmCall> NativeFirmware::Calls() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return calls_;
}

void NativeFirmware::ClearCalls()
{
    std::lock_guard<std::mutex> guard(lock_);
    calls_.clear();
}

size_t NativeFirmware::HungEvaluations() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return hung_;
}

bool NativeFirmware::WaitForHung(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return hung_ >= count; });
}

std::shared_ptr<NativeFirmware> MakeNativeFirmware()
{
    return std::make_shared<NativeFirmware>();
}

std::shared_ptr<Firmware> MakeDefaultFirmware()
{
    return MakeNativeFirmware();
}

}  // namespace plat
