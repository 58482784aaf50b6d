/* Encoding and decoding of the method-evaluation records. */
#include "acpi/eval.h"

#include <algorithm>
#include <cstring>

namespace plat::acpi {

namespace {

constexpr size_t kArgumentHeaderSize = 4;  // Type, DataLength
constexpr size_t kMaxDataLength = 0xFFFF;

// How an Integer is written. A result of IOCTL_ACPI_EVAL_METHOD carries it in
// the ULONG of ACPI_METHOD_ARGUMENT: 4 bytes, the low 32 bits. An input record
// built here keeps a value above 32 bits in 8 bytes, as the decoder accepts it.
enum class Integers { Ulong, Natural };

uint16_t Read16(const uint8_t* p)
{
    return uint16_t(p[0] | (p[1] << 8));
}

uint32_t Read32(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void Write16(uint8_t* p, uint32_t value)
{
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
}

void Write32(uint8_t* p, uint32_t value)
{
    Write16(p, value);
    Write16(p + 2, value >> 16);
}

size_t Packed(size_t dataLength)
{
    return kArgumentHeaderSize + std::max<size_t>(4, dataLength);
}

// ---------------------------------------------------------------- encoding

size_t DataLength(const AcpiObject& object, size_t depth, Integers integers);

size_t SizeAt(const AcpiObject& object, size_t depth, Integers integers)
{
    size_t data = DataLength(object, depth, integers);
    return data == SIZE_MAX ? 0 : Packed(data);
}

// SIZE_MAX when the object cannot be represented.
size_t DataLength(const AcpiObject& object, size_t depth, Integers integers)
{
    size_t length = 0;
    switch (object.type) {
    case AcpiObject::Type::Integer:
        length = (integers == Integers::Natural && object.integer > 0xFFFFFFFFu) ? 8 : 4;
        break;
    case AcpiObject::Type::String:
        length = object.string.size() + 1;
        break;
    case AcpiObject::Type::Buffer:
        length = object.buffer.size();
        break;
    case AcpiObject::Type::Package:
        if (depth >= kMaxNesting) {
            return SIZE_MAX;
        }
        for (const AcpiObject& element : object.package) {
            size_t size = SizeAt(element, depth + 1, integers);
            if (size == 0) {
                return SIZE_MAX;
            }
            length += size;
            if (length > kMaxDataLength) {
                return SIZE_MAX;
            }
        }
        break;
    }
    return length > kMaxDataLength ? SIZE_MAX : length;
}

uint16_t TypeCode(AcpiObject::Type type)
{
    switch (type) {
    case AcpiObject::Type::Integer:
        return ACPI_METHOD_ARGUMENT_INTEGER;
    case AcpiObject::Type::String:
        return ACPI_METHOD_ARGUMENT_STRING;
    case AcpiObject::Type::Buffer:
        return ACPI_METHOD_ARGUMENT_BUFFER;
    case AcpiObject::Type::Package:
        return ACPI_METHOD_ARGUMENT_PACKAGE;
    }
    return ACPI_METHOD_ARGUMENT_INTEGER;
}

// Writes a representable object at out (its packed size, zeroed by the caller).
uint8_t* WriteArgument(const AcpiObject& object, uint8_t* out, Integers integers)
{
    size_t length = DataLength(object, 0, integers);
    Write16(out, TypeCode(object.type));
    Write16(out + 2, uint32_t(length));
    uint8_t* data = out + kArgumentHeaderSize;
    switch (object.type) {
    case AcpiObject::Type::Integer:
        for (size_t i = 0; i < length; ++i) {
            data[i] = uint8_t(object.integer >> (8 * i));
        }
        break;
    case AcpiObject::Type::String:
        std::memcpy(data, object.string.data(), object.string.size());
        data[object.string.size()] = 0;
        break;
    case AcpiObject::Type::Buffer:
        if (!object.buffer.empty()) {
            std::memcpy(data, object.buffer.data(), object.buffer.size());
        }
        break;
    case AcpiObject::Type::Package: {
        uint8_t* next = data;
        for (const AcpiObject& element : object.package) {
            next = WriteArgument(element, next, integers);
        }
        break;
    }
    }
    return out + Packed(length);
}

// ---------------------------------------------------------------- decoding

// Reads one argument at [at, end); its packed size must fit there too.
bool ReadArgument(const uint8_t* at, const uint8_t* end, size_t depth, AcpiObject* object, const uint8_t** next);

bool ReadArguments(const uint8_t* at, const uint8_t* end, size_t depth, std::vector<AcpiObject>* elements)
{
    while (at < end) {
        AcpiObject element;
        if (!ReadArgument(at, end, depth, &element, &at)) {
            return false;
        }
        elements->push_back(std::move(element));
    }
    return true;
}

bool ReadArgument(const uint8_t* at, const uint8_t* end, size_t depth, AcpiObject* object, const uint8_t** next)
{
    size_t room = size_t(end - at);
    if (room < kArgumentHeaderSize) {
        return false;
    }
    uint16_t type = Read16(at);
    size_t length = Read16(at + 2);
    if (Packed(length) > room) {
        return false;
    }
    const uint8_t* data = at + kArgumentHeaderSize;
    switch (type) {
    case ACPI_METHOD_ARGUMENT_INTEGER: {
        if (length == 0 || length > 8) {
            return false;
        }
        uint64_t value = 0;
        for (size_t i = 0; i < length; ++i) {
            value |= uint64_t(data[i]) << (8 * i);
        }
        *object = AcpiObject::Integer(value);
        break;
    }
    case ACPI_METHOD_ARGUMENT_STRING: {
        const uint8_t* nul = std::find(data, data + length, uint8_t(0));
        *object = AcpiObject::String(std::string(reinterpret_cast<const char*>(data), size_t(nul - data)));
        break;
    }
    case ACPI_METHOD_ARGUMENT_BUFFER:
        *object = AcpiObject::Buffer(std::vector<uint8_t>(data, data + length));
        break;
    case ACPI_METHOD_ARGUMENT_PACKAGE: {
        if (depth >= kMaxNesting) {
            return false;
        }
        std::vector<AcpiObject> elements;
        if (!ReadArguments(data, data + length, depth + 1, &elements)) {
            return false;
        }
        *object = AcpiObject::Package(std::move(elements));
        break;
    }
    default:
        return false;
    }
    *next = at + Packed(length);
    return true;
}

bool ValidMethodName(const uint8_t* name)
{
    for (size_t i = 0; i < 4; ++i) {
        uint8_t c = name[i];
        bool letter = (c >= 'A' && c <= 'Z') || c == '_';
        bool digit = c >= '0' && c <= '9';
        if (!letter && !(digit && i > 0)) {
            return false;
        }
    }
    return true;
}

NTSTATUS DecodeComplex(const uint8_t* data, size_t size, EvalInput* input)
{
    if (size < kComplexHeaderSize) {
        return STATUS_INVALID_PARAMETER;
    }
    size_t argumentsSize = Read32(data + 8);
    uint32_t count = Read32(data + 12);
    if (count > kMaxMethodArguments || argumentsSize > size - kComplexHeaderSize) {
        return STATUS_INVALID_PARAMETER;
    }
    const uint8_t* at = data + kComplexHeaderSize;
    const uint8_t* end = at + argumentsSize;
    for (uint32_t i = 0; i < count; ++i) {
        AcpiObject argument;
        if (!ReadArgument(at, end, 0, &argument, &at)) {
            return STATUS_INVALID_PARAMETER;
        }
        input->arguments.push_back(std::move(argument));
    }
    // A Size that says more than the arguments take is as inconsistent as one that says less.
    return at == end ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

}  // namespace

size_t ArgumentSize(const AcpiObject& object)
{
    return SizeAt(object, 0, Integers::Ulong);
}

const std::vector<AcpiObject>& ResultArguments(const AcpiObject& result, std::vector<AcpiObject>& single)
{
    if (result.type == AcpiObject::Type::Package) {
        return result.package;
    }
    single.assign(1, result);
    return single;
}

EncodeOutcome EncodeEvalOutput(const AcpiObject& result, uint8_t* out, size_t outSize, ULONG signature)
{
    EncodeOutcome outcome;
    std::vector<AcpiObject> single;
    const std::vector<AcpiObject>& arguments = ResultArguments(result, single);

    size_t needed = kOutputHeaderSize;
    for (const AcpiObject& argument : arguments) {
        size_t size = ArgumentSize(argument);
        if (size == 0 || needed + size > 0xFFFFFFFFu) {
            outcome.status = STATUS_ACPI_INVALID_DATA;
            return outcome;
        }
        needed += size;
    }
    outcome.needed = needed;

    if (outSize < kOutputRecordSize) {
        outcome.status = STATUS_BUFFER_TOO_SMALL;
        return outcome;
    }
    Write32(out, signature);
    Write32(out + 4, uint32_t(needed));
    Write32(out + 8, uint32_t(arguments.size()));
    if (outSize < needed) {
        // The fixed record goes back, its argument slot empty, so the caller
        // can read Length and retry with a buffer that size.
        std::memset(out + kOutputHeaderSize, 0, kOutputRecordSize - kOutputHeaderSize);
        outcome.status = STATUS_BUFFER_OVERFLOW;
        outcome.information = kOutputRecordSize;
        return outcome;
    }
    std::memset(out + kOutputHeaderSize, 0, needed - kOutputHeaderSize);
    uint8_t* next = out + kOutputHeaderSize;
    for (const AcpiObject& argument : arguments) {
        next = WriteArgument(argument, next, Integers::Ulong);
    }
    outcome.information = needed;
    return outcome;
}

NTSTATUS DecodeEvalOutput(const uint8_t* data, size_t size, EvalOutput* output)
{
    if (size < kOutputHeaderSize) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    output->signature = Read32(data);
    output->length = Read32(data + 4);
    output->count = Read32(data + 8);
    output->arguments.clear();
    if (output->length < kOutputHeaderSize || output->length > size) {
        return STATUS_ACPI_INVALID_DATA;
    }
    const uint8_t* at = data + kOutputHeaderSize;
    const uint8_t* end = data + output->length;
    for (ULONG i = 0; i < output->count; ++i) {
        AcpiObject argument;
        if (!ReadArgument(at, end, 0, &argument, &at)) {
            return STATUS_ACPI_INVALID_DATA;
        }
        output->arguments.push_back(std::move(argument));
    }
    return STATUS_SUCCESS;
}

NTSTATUS DecodeEvalInput(const uint8_t* data, size_t size, EvalInput* input)
{
    input->method.clear();
    input->arguments.clear();
    if (size < 8 || !ValidMethodName(data + 4)) {
        return STATUS_INVALID_PARAMETER;
    }
    input->method.assign(reinterpret_cast<const char*>(data + 4), 4);

    switch (Read32(data)) {
    case ACPI_EVAL_INPUT_BUFFER_SIGNATURE:
        return STATUS_SUCCESS;
    case ACPI_EVAL_INPUT_BUFFER_SIMPLE_INTEGER_SIGNATURE:
        if (size < 12) {
            return STATUS_INVALID_PARAMETER;
        }
        input->arguments.push_back(AcpiObject::Integer(Read32(data + 8)));
        return STATUS_SUCCESS;
    case ACPI_EVAL_INPUT_BUFFER_SIMPLE_STRING_SIGNATURE: {
        if (size < 12) {
            return STATUS_INVALID_PARAMETER;
        }
        size_t length = Read32(data + 8);
        if (length > size - 12) {
            return STATUS_INVALID_PARAMETER;
        }
        const uint8_t* text = data + 12;
        const uint8_t* nul = std::find(text, text + length, uint8_t(0));
        input->arguments.push_back(AcpiObject::String(std::string(reinterpret_cast<const char*>(text), nul - text)));
        return STATUS_SUCCESS;
    }
    case ACPI_EVAL_INPUT_BUFFER_COMPLEX_SIGNATURE:
        return DecodeComplex(data, size, input);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

std::vector<uint8_t> EncodeEvalInput(const std::string& method, const std::vector<AcpiObject>& arguments)
{
    size_t argumentsSize = 0;
    for (const AcpiObject& argument : arguments) {
        size_t size = SizeAt(argument, 0, Integers::Natural);
        if (size == 0) {
            return {};
        }
        argumentsSize += size;
    }
    std::vector<uint8_t> record(kComplexHeaderSize + argumentsSize, 0);
    Write32(record.data(), ACPI_EVAL_INPUT_BUFFER_COMPLEX_SIGNATURE);
    for (size_t i = 0; i < 4 && i < method.size(); ++i) {
        record[4 + i] = uint8_t(method[i]);
    }
    Write32(record.data() + 8, uint32_t(argumentsSize));
    Write32(record.data() + 12, uint32_t(arguments.size()));
    uint8_t* next = record.data() + kComplexHeaderSize;
    for (const AcpiObject& argument : arguments) {
        next = WriteArgument(argument, next, Integers::Natural);
    }
    return record;
}

}  // namespace plat::acpi
