/* The installable-file-system kit's header: ntddk.h plus the file records and calls it adds. */
#pragma once
#include <ntddk.h>

EXTERN_C_START

typedef struct _FILE_RENAME_INFORMATION {
    BOOLEAN ReplaceIfExists;
    HANDLE RootDirectory;
    ULONG FileNameLength;
    WCHAR FileName[1];
} FILE_RENAME_INFORMATION, *PFILE_RENAME_INFORMATION;

#ifdef __cplusplus
static_assert(FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) == 20, "the name follows its length at 20");
#endif

NTSYSAPI NTSTATUS ZwDeleteFile(POBJECT_ATTRIBUTES ObjectAttributes);
NTSYSAPI NTSTATUS ZwFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);

EXTERN_C_END
