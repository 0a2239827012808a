// Reads the machine type of a module file from its DOS and PE headers, without loading it.
// The file is hostile input: it is opened for reading only, must be a file on a disk (not
// a device or a pipe), is read in two bounded reads at checked offsets, and every field
// that the verdict rests on is checked before it is used.
#pragma once

#include <windows.h>

#include <stdint.h>

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
