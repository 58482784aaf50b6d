/*
 * Method evaluation through the ACPI driver: IOCTL_ACPI_EVAL_METHOD and its
 * input and output records. All records are little-endian; an argument is
 * followed by the next at 4 + max(4, DataLength) bytes from its start.
 */
#pragma once

#include <ntdef.h>
#include <devioctl.h>

#define IOCTL_ACPI_EVAL_METHOD CTL_CODE(FILE_DEVICE_ACPI, 1, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_ACPI_EVAL_METHOD_EX CTL_CODE(FILE_DEVICE_ACPI, 6, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
static_assert(IOCTL_ACPI_EVAL_METHOD == 0x0032C004, "IOCTL_ACPI_EVAL_METHOD");

#define ACPI_EVAL_INPUT_BUFFER_SIGNATURE 0x42696541 /* "AeiB" */
#define ACPI_EVAL_INPUT_BUFFER_SIMPLE_INTEGER_SIGNATURE 0x49696541 /* "AeiI" */
#define ACPI_EVAL_INPUT_BUFFER_SIMPLE_STRING_SIGNATURE 0x53696541 /* "AeiS" */
#define ACPI_EVAL_INPUT_BUFFER_COMPLEX_SIGNATURE 0x43696541 /* "AeiC" */
#define ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE 0x426F6541 /* "AeoB" */

#define ACPI_METHOD_ARGUMENT_INTEGER 0x0
#define ACPI_METHOD_ARGUMENT_STRING 0x1
#define ACPI_METHOD_ARGUMENT_BUFFER 0x2
#define ACPI_METHOD_ARGUMENT_PACKAGE 0x3
#define ACPI_METHOD_ARGUMENT_PACKAGE_EX 0x4

typedef struct _ACPI_METHOD_ARGUMENT {
    USHORT Type;
    USHORT DataLength;
    union {
        ULONG Argument;
        UCHAR Data[4];
    };
} ACPI_METHOD_ARGUMENT, *PACPI_METHOD_ARGUMENT;

#define ACPI_METHOD_ARGUMENT_LENGTH(DataLength) \
    (FIELD_OFFSET(ACPI_METHOD_ARGUMENT, Data) + ((DataLength) > sizeof(ULONG) ? (DataLength) : sizeof(ULONG)))
#define ACPI_METHOD_ARGUMENT_LENGTH_FROM_ARGUMENT(Argument) ACPI_METHOD_ARGUMENT_LENGTH((Argument)->DataLength)
#define ACPI_METHOD_NEXT_ARGUMENT(Argument) \
    ((PACPI_METHOD_ARGUMENT)((PUCHAR)(Argument) + ACPI_METHOD_ARGUMENT_LENGTH_FROM_ARGUMENT(Argument)))

#define ACPI_METHOD_SET_ARGUMENT_INTEGER(MethodArgument, IntData) \
    do {                                                          \
        (MethodArgument)->Type = ACPI_METHOD_ARGUMENT_INTEGER;    \
        (MethodArgument)->DataLength = sizeof(ULONG);             \
        (MethodArgument)->Argument = (IntData);                   \
    } while (0)

#define ACPI_METHOD_SET_ARGUMENT_BUFFER(MethodArgument, BufferData, BufferLength)         \
    do {                                                                                  \
        (MethodArgument)->Type = ACPI_METHOD_ARGUMENT_BUFFER;                             \
        (MethodArgument)->DataLength = (USHORT)(BufferLength);                            \
        memcpy((MethodArgument)->Data, (BufferData), (MethodArgument)->DataLength);       \
    } while (0)

typedef struct _ACPI_EVAL_INPUT_BUFFER {
    ULONG Signature;
    union {
        UCHAR MethodName[4];
        ULONG MethodNameAsUlong;
    };
} ACPI_EVAL_INPUT_BUFFER, *PACPI_EVAL_INPUT_BUFFER;

typedef struct _ACPI_EVAL_INPUT_BUFFER_COMPLEX {
    ULONG Signature;
    union {
        UCHAR MethodName[4];
        ULONG MethodNameAsUlong;
    };
    ULONG Size;
    ULONG ArgumentCount;
    ACPI_METHOD_ARGUMENT Argument[1];
} ACPI_EVAL_INPUT_BUFFER_COMPLEX, *PACPI_EVAL_INPUT_BUFFER_COMPLEX;

typedef struct _ACPI_EVAL_OUTPUT_BUFFER {
    ULONG Signature;
    ULONG Length;
    ULONG Count;
    ACPI_METHOD_ARGUMENT Argument[1];
} ACPI_EVAL_OUTPUT_BUFFER, *PACPI_EVAL_OUTPUT_BUFFER;

static_assert(sizeof(ACPI_METHOD_ARGUMENT) == 8, "ACPI_METHOD_ARGUMENT");
static_assert(FIELD_OFFSET(ACPI_EVAL_INPUT_BUFFER_COMPLEX, Argument) == 16, "complex input header");
static_assert(FIELD_OFFSET(ACPI_EVAL_OUTPUT_BUFFER, Argument) == 12, "output header");
