#include "app/diag/pe_image.h"

#include "base/scoped_owner.h"

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
constexpr DWORD kSectionCountOffset = 4 + 2;
// The import directory: its entry in the optional header's data directories, which begin
// after the directory count, at offsets that depend on the magic.
constexpr DWORD kOptionalHeaderOffset = 4 + kFileHeaderBytes;
constexpr DWORD kImportDirectoryEntry = 1;
constexpr DWORD kDirectoryEntryBytes = 8;
constexpr DWORD kDirectoryCountOffsetPe32 = 92;
constexpr DWORD kDirectoryCountOffsetPe32Plus = 108;
constexpr DWORD kOptionalHeaderReadBytes =
    kDirectoryCountOffsetPe32Plus + 4 + (kImportDirectoryEntry + 1) * kDirectoryEntryBytes;
// Windows loads no image with more sections than this.
constexpr unsigned kMaxSections = 96;
constexpr DWORD kSectionHeaderBytes = 40;
constexpr DWORD kSectionAddressOffset = 12;
constexpr DWORD kSectionRawBytesOffset = 16;
constexpr DWORD kSectionRawOffsetOffset = 20;
constexpr DWORD kImportDescriptorBytes = 20;
constexpr DWORD kDescriptorNameOffset = 12;

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

// Where the headers lie in the file, for the reads that follow them.
struct ImageLayout {
    uint64_t fileBytes = 0;
    uint64_t peOffset = 0;
    uint16_t sectionCount = 0;
    uint16_t optionalHeaderBytes = 0;
};

PeImageInfo ReadHeaders(HANDLE file, PeImageInfo info, ImageLayout& layout) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart < 0) {
        return WithReadFailure(info, ReadOutcome::kFailed);
    }
    const uint64_t fileBytes = static_cast<uint64_t>(size.QuadPart);
    layout.fileBytes = fileBytes;
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
    layout.peOffset = static_cast<uint64_t>(peOffset);
    layout.sectionCount = ReadU16(pe, kSectionCountOffset);
    layout.optionalHeaderBytes = ReadU16(pe, kOptionalHeaderSizeOffset);
    if (layout.optionalHeaderBytes < sizeof(uint16_t)) {
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

// Opens path and reads its headers into info; file is left open for further reads.
PeImageInfo OpenImage(const wchar_t* path, KernelHandle& file, ImageLayout& layout) {
    PeImageInfo info;
    if (path == nullptr) {
        info.openError = ERROR_INVALID_PARAMETER;
        return info;
    }
    // Others may go on reading, writing or deleting the file while it is looked at.
    file.reset(CreateFileW(path, GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        info.openError = GetLastError();
        return info;
    }
    if (GetFileType(file.get()) != FILE_TYPE_DISK) {
        return WithStatus(info, PeHeaderStatus::kNotADiskFile);
    }
    return ReadHeaders(file.get(), info, layout);
}

// --- The import directory ---------------------------------------------------------------------

struct Section {
    uint32_t address;
    uint32_t rawBytes;
    uint32_t rawOffset;
};

// Reads what an RVA points to through the section table: only data that a section holds in
// the file is read, never past the section's data or the end of the file.
class ImageReader {
  public:
    ImageReader(HANDLE file, const ImageLayout& layout) : file_(file), layout_(layout) {}

    PeImportStatus ReadSections() {
        if (layout_.sectionCount > kMaxSections) {
            return PeImportStatus::kBadSectionTable;
        }
        const uint64_t table =
            layout_.peOffset + kOptionalHeaderOffset + layout_.optionalHeaderBytes;
        if (table + uint64_t{layout_.sectionCount} * kSectionHeaderBytes > layout_.fileBytes) {
            return PeImportStatus::kBadSectionTable;
        }
        for (unsigned i = 0; i < layout_.sectionCount; ++i) {
            BYTE header[kSectionHeaderBytes];
            if (ReadAt(file_, table + uint64_t{i} * kSectionHeaderBytes, header,
                       kSectionHeaderBytes) != ReadOutcome::kRead) {
                return PeImportStatus::kCannotRead;
            }
            sections_[i] = {ReadU32(header, kSectionAddressOffset),
                            ReadU32(header, kSectionRawBytesOffset),
                            ReadU32(header, kSectionRawOffsetOffset)};
        }
        return PeImportStatus::kOk;
    }

    // Up to capacity bytes from rva on, as far as its section's file data reaches; the
    // count read, 0 when rva lies in no section's data or the read failed.
    DWORD Read(uint32_t rva, BYTE* buffer, DWORD capacity) const {
        for (unsigned i = 0; i < layout_.sectionCount; ++i) {
            const Section& section = sections_[i];
            if (rva < section.address || rva - section.address >= section.rawBytes) {
                continue;
            }
            const uint64_t offset = uint64_t{section.rawOffset} + (rva - section.address);
            if (offset >= layout_.fileBytes) {
                return 0;
            }
            uint64_t available = section.rawBytes - (rva - section.address);
            if (available > layout_.fileBytes - offset) {
                available = layout_.fileBytes - offset;
            }
            const DWORD count = available < capacity ? static_cast<DWORD>(available) : capacity;
            return ReadAt(file_, offset, buffer, count) == ReadOutcome::kRead ? count : 0;
        }
        return 0;
    }

  private:
    HANDLE file_;
    const ImageLayout& layout_;
    Section sections_[kMaxSections] = {};
};

// The import directory's RVA from the optional header into rva, 0 when the image has none.
PeImportStatus ReadImportDirectory(HANDLE file, PeImportNames& result, const ImageLayout& layout,
                                   uint32_t& rva) {
    BYTE optional[kOptionalHeaderReadBytes] = {};
    DWORD readable = layout.optionalHeaderBytes;
    if (readable > kOptionalHeaderReadBytes) {
        readable = kOptionalHeaderReadBytes;
    }
    if (layout.peOffset + kOptionalHeaderOffset + readable > layout.fileBytes) {
        return PeImportStatus::kOutsideFile;
    }
    const ReadOutcome outcome =
        ReadAt(file, layout.peOffset + kOptionalHeaderOffset, optional, readable);
    if (outcome != ReadOutcome::kRead) {
        result.headers.openError = outcome == ReadOutcome::kFailed ? GetLastError() : 0;
        return outcome == ReadOutcome::kFailed ? PeImportStatus::kCannotRead
                                               : PeImportStatus::kOutsideFile;
    }
    const PeImageInfo& info = result.headers;
    const DWORD countOffset =
        info.magic == kMagicPe32Plus ? kDirectoryCountOffsetPe32Plus : kDirectoryCountOffsetPe32;
    const DWORD entryOffset = countOffset + 4 + kImportDirectoryEntry * kDirectoryEntryBytes;
    rva = 0;
    if (entryOffset + kDirectoryEntryBytes <= readable &&
        ReadU32(optional, countOffset) > kImportDirectoryEntry &&
        ReadU32(optional, entryOffset + 4) != 0) {
        rva = ReadU32(optional, entryOffset);
    }
    return PeImportStatus::kOk;
}

bool IsPlainFileNameCharacter(BYTE c) {
    return c >= 0x20 && c <= 0x7E && c != '\\' && c != '/' && c != ':' && c != '*' && c != '?' &&
           c != '"' && c != '<' && c != '>' && c != '|';
}

// The name at rva into name; kBadName when it is not a plain file name in reach.
PeImportStatus ReadImportName(const ImageReader& image, uint32_t rva, TextBuffer& name) {
    BYTE bytes[kMaxImportNameChars + 1];
    const DWORD count = image.Read(rva, bytes, sizeof(bytes));
    if (count == 0) {
        return PeImportStatus::kOutsideFile;
    }
    DWORD length = 0;
    while (length < count && bytes[length] != 0) {
        if (!IsPlainFileNameCharacter(bytes[length])) {
            return PeImportStatus::kBadName;
        }
        ++length;
    }
    if (length == 0 || length == count) {
        return PeImportStatus::kBadName;
    }
    for (DWORD i = 0; i < length; ++i) {
        name.AppendChar(static_cast<wchar_t>(bytes[i]));
    }
    return PeImportStatus::kOk;
}

PeImportStatus ReadImportDescriptors(const ImageReader& image, uint32_t directory,
                                     PeImportNames& result) {
    for (unsigned index = 0;; ++index) {
        BYTE descriptor[kImportDescriptorBytes];
        const uint64_t rva = uint64_t{directory} + uint64_t{index} * kImportDescriptorBytes;
        if (rva > UINT32_MAX || image.Read(static_cast<uint32_t>(rva), descriptor,
                                           kImportDescriptorBytes) != kImportDescriptorBytes) {
            return PeImportStatus::kOutsideFile;
        }
        // The directory ends with a descriptor that names nothing.
        const uint32_t name = ReadU32(descriptor, kDescriptorNameOffset);
        if (name == 0) {
            return PeImportStatus::kOk;
        }
        if (index == kMaxImportNames) {
            return PeImportStatus::kTooMany;
        }
        const PeImportStatus status = ReadImportName(image, name, result.names[index]);
        if (status != PeImportStatus::kOk) {
            result.names[index].Clear();
            return status;
        }
        result.count = index + 1;
    }
}

}  // namespace

PeImageInfo ReadPeImageInfo(const wchar_t* path) {
    KernelHandle file;
    ImageLayout layout;
    return OpenImage(path, file, layout);
}

void ReadPeImportNames(const wchar_t* path, PeImportNames& result) {
    KernelHandle file;
    ImageLayout layout;
    result.headers = OpenImage(path, file, layout);
    for (TextBuffer& name : result.names) {
        name.Clear();
    }
    result.count = 0;
    if (result.headers.status != PeHeaderStatus::kOk) {
        result.status = PeImportStatus::kHeadersUnreadable;
        return;
    }
    uint32_t directory = 0;
    result.status = ReadImportDirectory(file.get(), result, layout, directory);
    if (result.status != PeImportStatus::kOk || directory == 0) {
        return;
    }
    ImageReader image(file.get(), layout);
    result.status = image.ReadSections();
    if (result.status == PeImportStatus::kOk) {
        result.status = ReadImportDescriptors(image, directory, result);
    }
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

const wchar_t* DescribePeImportStatus(PeImportStatus status) {
    switch (status) {
        case PeImportStatus::kOk:
            return L"import directory read";
        case PeImportStatus::kHeadersUnreadable:
            return L"the headers cannot be read";
        case PeImportStatus::kCannotRead:
            return L"the file cannot be read";
        case PeImportStatus::kBadSectionTable:
            return L"the section table is not one Windows loads";
        case PeImportStatus::kOutsideFile:
            return L"the import directory points outside the file's sections";
        case PeImportStatus::kBadName:
            return L"an imported name is not a plain file name";
        case PeImportStatus::kTooMany:
            return L"more imported libraries than are read";
    }
    return L"unknown";
}
