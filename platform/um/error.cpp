/* The calling thread's last error and the status-to-error translation Win32 uses. */
#include <windows.h>

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

extern "C" {

DWORD GetLastError(VOID) { return t_lastError; }

VOID SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

ULONG RtlNtStatusToDosError(NTSTATUS Status)
{
    switch (static_cast<unsigned int>(Status)) {
    case 0x00000000u: return ERROR_SUCCESS;
    case 0x00000102u: return WAIT_TIMEOUT;                  // STATUS_TIMEOUT
    case 0x00000103u: return ERROR_IO_PENDING;              // STATUS_PENDING
    case 0x80000005u: return ERROR_MORE_DATA;               // STATUS_BUFFER_OVERFLOW
    case 0x80000002u: return ERROR_NOACCESS;                // STATUS_DATATYPE_MISALIGNMENT
    case 0x80000006u: return ERROR_NO_MORE_FILES;
    case 0x80000011u: return ERROR_BUSY;                    // STATUS_DEVICE_BUSY
    case 0x8000001Au: return ERROR_NO_MORE_ITEMS;           // STATUS_NO_MORE_ENTRIES
    case 0xC0000001u: return ERROR_GEN_FAILURE;             // STATUS_UNSUCCESSFUL
    case 0xC0000002u: return ERROR_INVALID_FUNCTION;        // STATUS_NOT_IMPLEMENTED
    case 0xC0000003u: return ERROR_INVALID_PARAMETER;       // STATUS_INVALID_INFO_CLASS
    case 0xC0000004u: return ERROR_BAD_LENGTH;              // STATUS_INFO_LENGTH_MISMATCH
    case 0xC0000005u: return ERROR_NOACCESS;                // STATUS_ACCESS_VIOLATION
    case 0xC0000006u: return ERROR_SWAPERROR;               // STATUS_IN_PAGE_ERROR
    case 0xC0000008u: return ERROR_INVALID_HANDLE;          // STATUS_INVALID_HANDLE
    case 0xC000000Du: return ERROR_INVALID_PARAMETER;       // STATUS_INVALID_PARAMETER
    case 0xC000000Eu: return ERROR_FILE_NOT_FOUND;          // STATUS_NO_SUCH_DEVICE
    case 0xC000000Fu: return ERROR_FILE_NOT_FOUND;          // STATUS_NO_SUCH_FILE
    case 0xC0000010u: return ERROR_INVALID_FUNCTION;        // STATUS_INVALID_DEVICE_REQUEST
    case 0xC0000011u: return ERROR_HANDLE_EOF;              // STATUS_END_OF_FILE
    case 0xC0000017u: return ERROR_NOT_ENOUGH_MEMORY;       // STATUS_NO_MEMORY
    case 0xC0000022u: return ERROR_ACCESS_DENIED;           // STATUS_ACCESS_DENIED
    case 0xC0000023u: return ERROR_INSUFFICIENT_BUFFER;     // STATUS_BUFFER_TOO_SMALL
    case 0xC0000024u: return ERROR_INVALID_HANDLE;          // STATUS_OBJECT_TYPE_MISMATCH
    case 0xC0000033u: return ERROR_INVALID_NAME;            // STATUS_OBJECT_NAME_INVALID
    case 0xC0000034u: return ERROR_FILE_NOT_FOUND;          // STATUS_OBJECT_NAME_NOT_FOUND
    case 0xC0000035u: return ERROR_ALREADY_EXISTS;          // STATUS_OBJECT_NAME_COLLISION
    case 0xC0000039u: return ERROR_BAD_PATHNAME;            // STATUS_OBJECT_PATH_INVALID
    case 0xC000003Au: return ERROR_PATH_NOT_FOUND;          // STATUS_OBJECT_PATH_NOT_FOUND
    case 0xC000003Bu: return ERROR_BAD_PATHNAME;            // STATUS_OBJECT_PATH_SYNTAX_BAD
    case 0xC0000043u: return ERROR_SHARING_VIOLATION;
    case 0xC0000046u: return ERROR_NOT_OWNER;               // STATUS_MUTANT_NOT_OWNED
    case 0xC0000056u: return ERROR_ACCESS_DENIED;           // STATUS_DELETE_PENDING
    case 0xC0000073u: return ERROR_NONE_MAPPED;
    case 0xC000007Au: return ERROR_PROC_NOT_FOUND;
    case 0xC000007Bu: return ERROR_BAD_EXE_FORMAT;          // STATUS_INVALID_IMAGE_FORMAT
    case 0xC000007Fu: return ERROR_DISK_FULL;
    case 0xC0000095u: return ERROR_ARITHMETIC_OVERFLOW;     // STATUS_INTEGER_OVERFLOW
    case 0xC000009Au: return ERROR_NO_SYSTEM_RESOURCES;     // STATUS_INSUFFICIENT_RESOURCES
    case 0xC000009Cu: return ERROR_CRC;                     // STATUS_DEVICE_DATA_ERROR
    case 0xC000009Du: return ERROR_DEVICE_NOT_CONNECTED;
    case 0xC00000A2u: return ERROR_WRITE_PROTECT;           // STATUS_MEDIA_WRITE_PROTECTED
    case 0xC00000A3u: return ERROR_NOT_READY;               // STATUS_DEVICE_NOT_READY
    case 0xC00000B5u: return ERROR_SEM_TIMEOUT;             // STATUS_IO_TIMEOUT
    case 0xC00000BAu: return ERROR_ACCESS_DENIED;           // STATUS_FILE_IS_A_DIRECTORY
    case 0xC00000BBu: return ERROR_NOT_SUPPORTED;           // STATUS_NOT_SUPPORTED
    case 0xC00000C0u: return ERROR_DEV_NOT_EXIST;           // STATUS_DEVICE_DOES_NOT_EXIST
    case 0xC00000E8u: return ERROR_INVALID_USER_BUFFER;     // STATUS_INVALID_USER_BUFFER
    case 0xC0000103u: return ERROR_DIRECTORY;               // STATUS_NOT_A_DIRECTORY
    case 0xC000010Au: return ERROR_ACCESS_DENIED;           // STATUS_PROCESS_IS_TERMINATING
    case 0xC0000120u: return ERROR_OPERATION_ABORTED;       // STATUS_CANCELLED
    case 0xC0000141u: return ERROR_INVALID_ADDRESS;
    case 0xC000014Cu: return ERROR_BADDB;                   // STATUS_REGISTRY_CORRUPT
    case 0xC0000184u: return ERROR_BAD_COMMAND;             // STATUS_INVALID_DEVICE_STATE
    case 0xC0000185u: return ERROR_IO_DEVICE;               // STATUS_IO_DEVICE_ERROR
    case 0xC0000206u: return ERROR_INVALID_USER_BUFFER;     // STATUS_INVALID_BUFFER_SIZE
    case 0xC0000225u: return ERROR_NOT_FOUND;               // STATUS_NOT_FOUND
    case 0xC00002B9u: return ERROR_NOINTERFACE;             // STATUS_NOINTERFACE
    case 0xC00002D3u: return ERROR_NOT_READY;               // STATUS_POWER_STATE_INVALID
    default: break;
    }
    // Success and informational codes without an equivalent are no error.
    return NT_SUCCESS(Status) ? ERROR_SUCCESS : ERROR_MR_MID_NOT_FOUND;
}

}  // extern "C"
