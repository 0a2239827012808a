// Reads the machine type of a module file from its DOS and PE headers, and the names of the
// libraries it imports, without loading it. The file is hostile input: it is opened for
// reading only, must be a file on a disk (not a device or a pipe), is read in bounded reads
// at checked offsets, and every field that a verdict or a read rests on is checked before it
// is used.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "app/diag/text_buffer.h"

enum class PeHeaderStatus : uint8_t {
    kOk,
    kCannotOpen,         // openError tells why
    kNotADiskFile,       // a device, a pipe or a console
    kCannotRead,         // openError tells why
    kTooShort,           // the file ends inside the headers
    kNoDosSignature,     // no "MZ"
    kBadHeaderOffset,    // e_lfanew points outside the file
    kNoPeSignature,      // no "PE\0\0" where e_lfanew points
    kNoOptionalHeader,   // SizeOfOptionalHeader too small for its magic
    kUnknownMagic,       // neither PE32 (0x10B) nor PE32+ (0x20B)
    kMagicDoesNotMatch,  // a 32-bit magic with a 64-bit machine, or the other way round
};

struct PeImageInfo {
    PeHeaderStatus status = PeHeaderStatus::kCannotOpen;
    DWORD openError = ERROR_SUCCESS;  // what CreateFileW or ReadFile left
    uint16_t machine = 0;             // IMAGE_FILE_HEADER.Machine, when the PE header was read
    uint16_t magic = 0;               // the optional header's magic, when it was read
    uint16_t characteristics = 0;
};

PeImageInfo ReadPeImageInfo(const wchar_t* path);

// "i386", "AMD64", "ARM64", or null for any other machine.
const wchar_t* MachineName(uint16_t machine);
// The machine this process runs as (IMAGE_FILE_MACHINE_I386 for the shipped build).
uint16_t ThisProcessMachine();

bool IsDll(const PeImageInfo& info);
// The headers were read, the image is marked executable, and its machine is this
// process's: only then can LoadLibraryExW in this process load it.
bool CanThisProcessLoad(const PeImageInfo& info);

// What a load of the file would fail with, as far as the headers tell: the open or read
// error, ERROR_BAD_EXE_FORMAT for headers that this process cannot load, ERROR_SUCCESS.
DWORD LoadErrorFromHeaders(const PeImageInfo& info);

// A short English description of status, such as "no PE signature".
const wchar_t* DescribePeHeaderStatus(PeHeaderStatus status);

// The import directory read: how many libraries at most, and how long a name may be.
constexpr unsigned kMaxImportNames = 64;
constexpr unsigned kMaxImportNameChars = 255;

enum class PeImportStatus : uint8_t {
    kOk,                 // every name read; none when the image has no import directory
    kHeadersUnreadable,  // headers.status tells why
    kCannotRead,         // headers.openError tells why
    kBadSectionTable,    // more sections than Windows loads, or a table past the end
    kOutsideFile,        // a descriptor or a name lies in no section's data in the file
    kBadName,            // a name without its NUL in reach, or not a plain file name
    kTooMany,            // more than kMaxImportNames libraries: the rest were not read
};

// What ReadPeImportNames found: the names read before any problem, in the directory's order.
struct PeImportNames {
    PeImageInfo headers;
    PeImportStatus status = PeImportStatus::kHeadersUnreadable;
    unsigned count = 0;
    TextBuffer names[kMaxImportNames];
};

// The libraries that the image at path imports by name (its import directory, entry 1),
// each as written in the file. A plain file name is 1 to kMaxImportNameChars printable
// ASCII characters without a path separator, a colon or a wildcard.
void ReadPeImportNames(const wchar_t* path, PeImportNames& result);

// A short English description of status, such as "a name lies outside the file".
const wchar_t* DescribePeImportStatus(PeImportStatus status);
