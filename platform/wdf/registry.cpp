/*
 * Framework registry calls: keys of the machine's hive opened as framework
 * objects, and typed reads and writes of their values. The rights a key was
 * opened with decide what may be done through it.
 */
#include "wdf/registry.h"

#include <stdexcept>

#include "base/fault.h"
#include "machine/hardware.h"
#include "machine/registry.h"
#include "ntos/ke/irql.h"
#include "wdf/driver.h"
#include "wdf/string.h"

namespace plat::wdf {

FxKey::FxKey(FxObject* parent, const WDF_OBJECT_ATTRIBUTES* attributes, std::wstring keyPath, ACCESS_MASK granted)
    : FxObject(FxType::Key, parent, attributes), path(std::move(keyPath)), access(granted)
{
}

std::string FxKey::Describe() const { return FxObject::Describe() + " (" + RegistryText(path) + ")"; }

namespace {

plat::Registry& Hive() { return Hardware::Current().Registry(); }

ACCESS_MASK Granted(ACCESS_MASK desired)
{
    ACCESS_MASK granted = desired;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= KEY_ALL_ACCESS;
    if (desired & GENERIC_READ) granted |= KEY_READ;
    if (desired & GENERIC_WRITE) granted |= KEY_WRITE;
    return granted;
}

// A name relative to an open key, or an absolute path when there is no parent key.
std::wstring KeyPath(const FxKey* parent, std::wstring_view name)
{
    if (!parent) return std::wstring(name);
    if (name.empty()) return parent->path;
    return parent->path + L"\\" + std::wstring(name);
}

NTSTATUS NewKey(std::wstring path, ACCESS_MASK desired, PWDF_OBJECT_ATTRIBUTES attributes, const char* routine,
                WDFKEY* key)
{
    auto* object = new FxKey(ParentFromAttributes(attributes, routine), attributes, std::move(path), Granted(desired));
    NTSTATUS status = Register(object, attributes);
    if (!NT_SUCCESS(status)) {
        delete object;
        return status;
    }
    *key = static_cast<WDFKEY>(object->handle);
    return STATUS_SUCCESS;
}

FxKey* ParentKey(WDFKEY key, const char* routine)
{
    return key ? ResolveAs<FxKey>(key, FxType::Key, routine) : nullptr;
}

// The checks every open and create makes before touching the hive.
NTSTATUS BeginOpen(const char* routine, const char* faultPoint, PCUNICODE_STRING name,
                   PWDF_OBJECT_ATTRIBUTES attributes, WDFKEY* key)
{
    RequirePointer(key, routine, "Key");
    *key = nullptr;
    RequirePointer(name, routine, "KeyName");
    if (attributes) ValidateAttributes(attributes, routine);
    NTSTATUS status = fault::Check(faultPoint);
    if (!NT_SUCCESS(status)) return status;
    return CheckUnicodeString(name);
}

// The checks every value read or write makes; the key must grant `right`.
NTSTATUS BeginValue(const FxKey* key, PCUNICODE_STRING name, ACCESS_MASK right, const char* routine,
                    const char* faultPoint)
{
    RequirePointer(name, routine, "ValueName");
    NTSTATUS status = faultPoint ? fault::Check(faultPoint) : STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return status;
    status = CheckUnicodeString(name);
    if (!NT_SUCCESS(status)) return status;
    return (key->access & right) ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

// An installed service has its key and Parameters subkey; a machine that
// never installed the driver gets them on the first open.
NTSTATUS CreateServiceKey(const std::wstring& parametersPath)
{
    try {
        Hive().CreateKeyPath(parametersPath);
        return STATUS_SUCCESS;
    } catch (const std::invalid_argument&) {
        return STATUS_OBJECT_NAME_INVALID;
    }
}

}  // namespace
}  // namespace plat::wdf

using namespace plat::wdf;

// The Parameters subkey of the driver's service key, created when missing as
// an installed service has it.
NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER Driver, ACCESS_MASK DesiredAccess,
                                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    plat::RequirePassive(__func__);
    auto* driver = ResolveAs<FxDriver>(Driver, FxType::Driver, __func__);
    RequirePointer(Key, __func__, "Key");
    *Key = nullptr;
    if (KeyAttributes) ValidateAttributes(KeyAttributes, __func__);
    NTSTATUS status = plat::fault::Check("WdfDriverOpenParametersRegistryKey");
    if (!NT_SUCCESS(status)) return status;
    std::wstring path = driver->registryPath + L"\\Parameters";
    status = Hive().OpenKey(path);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) status = CreateServiceKey(path);
    if (!NT_SUCCESS(status)) return status;
    return NewKey(std::move(path), DesiredAccess, KeyAttributes, __func__, Key);
}

NTSTATUS WdfRegistryOpenKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    plat::RequirePassive(__func__);
    FxKey* parent = plat::wdf::ParentKey(ParentKey, __func__);
    NTSTATUS status = BeginOpen(__func__, "WdfRegistryOpenKey", KeyName, KeyAttributes, Key);
    if (!NT_SUCCESS(status)) return status;
    std::wstring path = KeyPath(parent, View(KeyName));
    status = Hive().OpenKey(path);
    if (!NT_SUCCESS(status)) return status;
    return NewKey(std::move(path), DesiredAccess, KeyAttributes, __func__, Key);
}

NTSTATUS WdfRegistryCreateKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                              ULONG CreateOptions, PULONG CreateDisposition, PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                              WDFKEY* Key)
{
    plat::RequirePassive(__func__);
    FxKey* parent = plat::wdf::ParentKey(ParentKey, __func__);
    NTSTATUS status = BeginOpen(__func__, "WdfRegistryCreateKey", KeyName, KeyAttributes, Key);
    if (!NT_SUCCESS(status)) return status;
    // Every key of the hive is saved with it; a volatile one cannot be had.
    if (CreateOptions != REG_OPTION_NON_VOLATILE) {
        return CreateOptions == REG_OPTION_VOLATILE ? STATUS_NOT_SUPPORTED : STATUS_INVALID_PARAMETER;
    }
    std::wstring path = KeyPath(parent, View(KeyName));
    bool created = false;
    status = Hive().CreateKey(path, &created);
    if (!NT_SUCCESS(status)) return status;
    if (CreateDisposition) *CreateDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return NewKey(std::move(path), DesiredAccess, KeyAttributes, __func__, Key);
}

VOID WdfRegistryClose(WDFKEY Key)
{
    plat::RequirePassive(__func__);
    Delete(ResolveAs<FxKey>(Key, FxType::Key, __func__));
}

NTSTATUS WdfRegistryQueryString(WDFKEY Key, PCUNICODE_STRING ValueName, WDFSTRING String)
{
    plat::RequirePassive(__func__);
    auto* key = ResolveAs<FxKey>(Key, FxType::Key, __func__);
    auto* string = ResolveAs<FxString>(String, FxType::String, __func__);
    NTSTATUS status = BeginValue(key, ValueName, KEY_QUERY_VALUE, __func__, "WdfRegistryQueryString");
    if (!NT_SUCCESS(status)) return status;
    plat::RegistryValue value;
    status = Hive().QueryValue(key->path, View(ValueName), &value);
    if (!NT_SUCCESS(status)) return status;
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) return STATUS_OBJECT_TYPE_MISMATCH;
    return string->Assign(value.Text());
}

NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value)
{
    plat::RequirePassive(__func__);
    auto* key = ResolveAs<FxKey>(Key, FxType::Key, __func__);
    RequirePointer(Value, __func__, "Value");
    NTSTATUS status = BeginValue(key, ValueName, KEY_QUERY_VALUE, __func__, nullptr);
    if (!NT_SUCCESS(status)) return status;
    plat::RegistryValue value;
    status = Hive().QueryValue(key->path, View(ValueName), &value);
    if (!NT_SUCCESS(status)) return status;
    if (value.type != REG_DWORD || value.data.size() != sizeof(ULONG)) return STATUS_OBJECT_TYPE_MISMATCH;
    const auto& d = value.data;
    *Value = d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<ULONG>(d[3]) << 24);
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryAssignString(WDFKEY Key, PCUNICODE_STRING ValueName, WDFSTRING String)
{
    plat::RequirePassive(__func__);
    auto* key = ResolveAs<FxKey>(Key, FxType::Key, __func__);
    auto* string = ResolveAs<FxString>(String, FxType::String, __func__);
    NTSTATUS status = BeginValue(key, ValueName, KEY_SET_VALUE, __func__, "WdfRegistryAssignString");
    if (!NT_SUCCESS(status)) return status;
    return Hive().WriteValue(key->path, View(ValueName), plat::RegistryValue::String(string->Text(), REG_SZ));
}

NTSTATUS WdfRegistryAssignULong(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value)
{
    plat::RequirePassive(__func__);
    auto* key = ResolveAs<FxKey>(Key, FxType::Key, __func__);
    NTSTATUS status = BeginValue(key, ValueName, KEY_SET_VALUE, __func__, "WdfRegistryAssignULong");
    if (!NT_SUCCESS(status)) return status;
    return Hive().WriteValue(key->path, View(ValueName), plat::RegistryValue::Dword(Value));
}
