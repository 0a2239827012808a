#include "app/diag/pe_image.h"

#include "loader/strings/scoped_owner.h"

namespace {

// The fields read, at their fixed offsets; the structures of winnt.h are not overlaid on
// the bytes, so that nothing is read that was not checked to be there.
constexpr DWORD kDosHeaderBytes = 64;  // sizeof(IMAGE_DOS_HEADER)
constexpr DWORD kDosSignatureOffset = 0;
constexpr DWORD kPeHeaderOffsetField = 0x3C;   // e_lfanew
constexpr uint16_t kDosSignature = 0x5A4D;     // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
// Signature, IMAGE_FILE_HEADER, and the optional header's 2-byte magic.
constexpr DWORD kFileHeaderBytes = 20;
constexpr DWORD kPeHeaderBytes = 4 + kFileHeaderBytes + 2;
constexpr DWORD kMachineOffset = 4;
constexpr DWORD kOptionalHeaderSizeOffset = 4 + 16;
constexpr DWORD kCharacteristicsOffset = 4 + 18;
constexpr DWORD kMagicOffset = 4 + kFileHeaderBytes;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;

uint16_t ReadU16(const BYTE* bytes, DWORD offset) {
    return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

uint32_t ReadU32(const BYTE* bytes, DWORD offset) {
    return static_cast<uint32_t>(bytes[offset]) | (static_cast<uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<uint32_t>(bytes[offset + 2]) << 16) |
           (static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

enum class ReadOutcome { kRead, kShort, kFailed };

// Exactly count bytes from offset, or why not.
ReadOutcome ReadAt(HANDLE file, uint64_t offset, BYTE* buffer, DWORD count) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) {
        return ReadOutcome::kFailed;
    }
    DWORD total = 0;
    while (total < count) {
        DWORD got = 0;
        if (!ReadFile(file, buffer + total, count - total, &got, nullptr)) {
            return ReadOutcome::kFailed;
        }
        if (got == 0) {
            return ReadOutcome::kShort;
        }
        total += got;
    }
    return ReadOutcome::kRead;
}

bool IsSixtyFourBitMachine(uint16_t machine) {
    return machine == IMAGE_FILE_MACHINE_AMD64 || machine == IMAGE_FILE_MACHINE_ARM64;
}

PeImageInfo WithStatus(PeImageInfo info, PeHeaderStatus status) {
    info.status = status;
    return info;
}

// A read that did not give all its bytes: a failed one keeps the error it left, a short
// one means the file ends inside its headers.
PeImageInfo WithReadFailure(PeImageInfo info, ReadOutcome outcome) {
    if (outcome == ReadOutcome::kFailed) {
        info.openError = GetLastError();
        return WithStatus(info, PeHeaderStatus::kCannotRead);
    }
    info.openError = ERROR_SUCCESS;
    return WithStatus(info, PeHeaderStatus::kTooShort);
}

PeImageInfo ReadHeaders(HANDLE file, PeImageInfo info) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart < 0) {
        return WithReadFailure(info, ReadOutcome::kFailed);
    }
    const uint64_t fileBytes = static_cast<uint64_t>(size.QuadPart);
    if (fileBytes < kDosHeaderBytes) {
        return WithStatus(info, PeHeaderStatus::kTooShort);
    }
    BYTE dos[kDosHeaderBytes];
    ReadOutcome outcome = ReadAt(file, 0, dos, kDosHeaderBytes);
    if (outcome != ReadOutcome::kRead) {
        return WithReadFailure(info, outcome);
    }
    if (ReadU16(dos, kDosSignatureOffset) != kDosSignature) {
        return WithStatus(info, PeHeaderStatus::kNoDosSignature);
    }
    // e_lfanew is a signed 32-bit field: a negative one, or one whose headers would end past
    // the end of the file, points nowhere.
    const int32_t peOffset = static_cast<int32_t>(ReadU32(dos, kPeHeaderOffsetField));
    if (peOffset < 0 || static_cast<uint64_t>(peOffset) + kPeHeaderBytes > fileBytes) {
        return WithStatus(info, PeHeaderStatus::kBadHeaderOffset);
    }
    BYTE pe[kPeHeaderBytes];
    outcome = ReadAt(file, static_cast<uint64_t>(peOffset), pe, kPeHeaderBytes);
    if (outcome != ReadOutcome::kRead) {
        return WithReadFailure(info, outcome);
    }
    if (ReadU32(pe, 0) != kPeSignature) {
        return WithStatus(info, PeHeaderStatus::kNoPeSignature);
    }
    info.machine = ReadU16(pe, kMachineOffset);
    info.characteristics = ReadU16(pe, kCharacteristicsOffset);
    if (ReadU16(pe, kOptionalHeaderSizeOffset) < sizeof(uint16_t)) {
        return WithStatus(info, PeHeaderStatus::kNoOptionalHeader);
    }
    info.magic = ReadU16(pe, kMagicOffset);
    if (info.magic != kMagicPe32 && info.magic != kMagicPe32Plus) {
        return WithStatus(info, PeHeaderStatus::kUnknownMagic);
    }
    const bool knownMachine = MachineName(info.machine) != nullptr;
    if (knownMachine && IsSixtyFourBitMachine(info.machine) != (info.magic == kMagicPe32Plus)) {
        return WithStatus(info, PeHeaderStatus::kMagicDoesNotMatch);
    }
    return WithStatus(info, PeHeaderStatus::kOk);
}

}  // namespace

PeImageInfo ReadPeImageInfo(const wchar_t* path) {
    PeImageInfo info;
    if (path == nullptr) {
        info.openError = ERROR_INVALID_PARAMETER;
        return info;
    }
    // Others may go on reading, writing or deleting the file while it is looked at.
    KernelHandle file(CreateFileW(path, GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        info.openError = GetLastError();
        return info;
    }
    if (GetFileType(file.get()) != FILE_TYPE_DISK) {
        return WithStatus(info, PeHeaderStatus::kNotADiskFile);
    }
    return ReadHeaders(file.get(), info);
}

const wchar_t* MachineName(uint16_t machine) {
    switch (machine) {
        case IMAGE_FILE_MACHINE_I386:
            return L"i386";
        case IMAGE_FILE_MACHINE_AMD64:
            return L"AMD64";
        case IMAGE_FILE_MACHINE_ARM64:
            return L"ARM64";
        default:
            return nullptr;
    }
}

uint16_t ThisProcessMachine() {
#if defined(__i386__)
    return IMAGE_FILE_MACHINE_I386;
#elif defined(__x86_64__)
    return IMAGE_FILE_MACHINE_AMD64;
#elif defined(__aarch64__)
    return IMAGE_FILE_MACHINE_ARM64;
#else
#error "unknown target machine"
#endif
}

bool IsDll(const PeImageInfo& info) {
    return (info.characteristics & IMAGE_FILE_DLL) != 0;
}

bool CanThisProcessLoad(const PeImageInfo& info) {
    return info.status == PeHeaderStatus::kOk &&
           (info.characteristics & IMAGE_FILE_EXECUTABLE_IMAGE) != 0 &&
           info.machine == ThisProcessMachine();
}

DWORD LoadErrorFromHeaders(const PeImageInfo& info) {
    if ((info.status == PeHeaderStatus::kCannotOpen ||
         info.status == PeHeaderStatus::kCannotRead) &&
        info.openError != ERROR_SUCCESS) {
        return info.openError;
    }
    return CanThisProcessLoad(info) ? ERROR_SUCCESS : ERROR_BAD_EXE_FORMAT;
}

const wchar_t* DescribePeHeaderStatus(PeHeaderStatus status) {
    switch (status) {
        case PeHeaderStatus::kOk:
            return L"PE headers read";
        case PeHeaderStatus::kCannotOpen:
            return L"the file cannot be opened";
        case PeHeaderStatus::kNotADiskFile:
            return L"not a file on a disk";
        case PeHeaderStatus::kCannotRead:
            return L"the file cannot be read";
        case PeHeaderStatus::kTooShort:
            return L"the file ends inside its headers";
        case PeHeaderStatus::kNoDosSignature:
            return L"no MZ signature: not an executable image";
        case PeHeaderStatus::kBadHeaderOffset:
            return L"the PE header offset points outside the file";
        case PeHeaderStatus::kNoPeSignature:
            return L"no PE signature";
        case PeHeaderStatus::kNoOptionalHeader:
            return L"no optional header";
        case PeHeaderStatus::kUnknownMagic:
            return L"the optional header is neither PE32 nor PE32+";
        case PeHeaderStatus::kMagicDoesNotMatch:
            return L"the optional header does not match the machine";
    }
    return L"unknown";
}
