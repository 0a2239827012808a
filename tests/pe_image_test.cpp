// The companion's PE header reader on files written by the test: the machine read from
// well-formed headers, and every kind of broken or hostile header (truncated anywhere,
// offsets out of range, wrong signatures, a magic that contradicts the machine) refused
// without reading past what the file holds. Also what is not a file on a disk.
#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/diag/pe_image.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

constexpr uint32_t kPeOffset = 0x80;
// The machine this test program, and so the simulated driver beside it, is built for.
constexpr uint16_t kBuildMachine =
    sizeof(void*) == 8 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;

void Put16(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<uint8_t>(value);
    bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// The headers of an image, up to and including the optional header's magic, and a little
// padding after them.
struct Headers {
    uint16_t machine = IMAGE_FILE_MACHINE_AMD64;
    uint16_t magic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
    uint16_t optionalHeaderSize = sizeof(IMAGE_OPTIONAL_HEADER64);
    uint16_t characteristics = IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_DLL;
    uint32_t peOffset = kPeOffset;

    std::vector<uint8_t> Bytes() const {
        std::vector<uint8_t> bytes(kPeOffset + 4 + 20 + 2 + 32, 0);
        Put16(bytes, 0, IMAGE_DOS_SIGNATURE);
        Put32(bytes, 0x3C, peOffset);
        Put32(bytes, kPeOffset, IMAGE_NT_SIGNATURE);
        Put16(bytes, kPeOffset + 4, machine);
        Put16(bytes, kPeOffset + 4 + 16, optionalHeaderSize);
        Put16(bytes, kPeOffset + 4 + 18, characteristics);
        Put16(bytes, kPeOffset + 4 + 20, magic);
        return bytes;
    }
};

class PeImageTest : public ::testing::Test {
  protected:
    std::wstring Write(const std::vector<uint8_t>& bytes) {
        const std::wstring path = folder_ / (L"image" + std::to_wstring(++files_) + L".dll");
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        if (!bytes.empty()) {
            WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        }
        CloseHandle(file);
        EXPECT_EQ(written, bytes.size());
        return path;
    }
    PeImageInfo Read(const std::vector<uint8_t>& bytes) {
        return ReadPeImageInfo(Write(bytes).c_str());
    }

    ScopedDirectory folder_;
    unsigned files_ = 0;
};

TEST_F(PeImageTest, ReadsTheMachineOfWellFormedHeaders) {
    struct Case {
        uint16_t machine;
        uint16_t magic;
        const wchar_t* name;
    };
    const Case cases[] = {
        {IMAGE_FILE_MACHINE_I386, IMAGE_NT_OPTIONAL_HDR32_MAGIC, L"i386"},
        {IMAGE_FILE_MACHINE_AMD64, IMAGE_NT_OPTIONAL_HDR64_MAGIC, L"AMD64"},
        {IMAGE_FILE_MACHINE_ARM64, IMAGE_NT_OPTIONAL_HDR64_MAGIC, L"ARM64"},
        {IMAGE_FILE_MACHINE_ARMNT, IMAGE_NT_OPTIONAL_HDR32_MAGIC, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.machine);
        Headers headers;
        headers.machine = c.machine;
        headers.magic = c.magic;
        const PeImageInfo info = Read(headers.Bytes());
        EXPECT_EQ(info.status, PeHeaderStatus::kOk);
        EXPECT_EQ(info.machine, c.machine);
        EXPECT_EQ(info.magic, c.magic);
        EXPECT_TRUE(IsDll(info));
        if (c.name == nullptr) {
            EXPECT_EQ(MachineName(info.machine), nullptr);
        } else {
            EXPECT_STREQ(MachineName(info.machine), c.name);
        }
        // A process loads images of its own machine only: AMD64 for the x64 twin, i386 for
        // the i686 build, under WOW64 too.
        EXPECT_EQ(CanThisProcessLoad(info), c.machine == kBuildMachine);
        EXPECT_EQ(LoadErrorFromHeaders(info), c.machine == kBuildMachine
                                                  ? static_cast<DWORD>(ERROR_SUCCESS)
                                                  : static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    }
    EXPECT_EQ(ThisProcessMachine(), kBuildMachine);
}

TEST_F(PeImageTest, RealImagesAreReadAndLeftUnlocked) {
    const PeImageInfo driver = ReadPeImageInfo(SimDriverPath().c_str());
    EXPECT_EQ(driver.status, PeHeaderStatus::kOk);
    EXPECT_EQ(driver.machine, kBuildMachine);
    EXPECT_TRUE(IsDll(driver));
    EXPECT_TRUE(CanThisProcessLoad(driver));

    const PeImageInfo self = ReadPeImageInfo(ModulePath(nullptr).c_str());
    EXPECT_EQ(self.status, PeHeaderStatus::kOk);
    EXPECT_FALSE(IsDll(self));

    // The file is closed again: it can be deleted at once.
    const std::wstring copy = folder_ / L"nvapi.dll";
    ASSERT_TRUE(CopyFileW(SimDriverPath().c_str(), copy.c_str(), TRUE));
    EXPECT_EQ(ReadPeImageInfo(copy.c_str()).status, PeHeaderStatus::kOk);
    EXPECT_TRUE(DeleteFileW(copy.c_str())) << GetLastError();
}

TEST_F(PeImageTest, HeadersThatTheMachineCannotBeTrustedFromAreRefused) {
    struct Case {
        const char* name;
        Headers headers;
        PeHeaderStatus status;
    };
    Headers mismatch32;
    mismatch32.magic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;  // AMD64 with a PE32 header
    Headers mismatch64;
    mismatch64.machine = IMAGE_FILE_MACHINE_I386;  // i386 with a PE32+ header
    Headers unknownMagic;
    unknownMagic.magic = 0x107;  // a ROM image
    Headers noOptional;
    noOptional.optionalHeaderSize = 1;
    Headers negativeOffset;
    negativeOffset.peOffset = 0x80000000;
    Headers offsetPastEnd;
    offsetPastEnd.peOffset = 0x10000;
    Headers offsetIntoNothing;
    offsetIntoNothing.peOffset = 0xFFFFFFF0;
    const Case cases[] = {
        {"magic of a 32-bit image", mismatch32, PeHeaderStatus::kMagicDoesNotMatch},
        {"magic of a 64-bit image", mismatch64, PeHeaderStatus::kMagicDoesNotMatch},
        {"unknown magic", unknownMagic, PeHeaderStatus::kUnknownMagic},
        {"optional header too small", noOptional, PeHeaderStatus::kNoOptionalHeader},
        {"negative e_lfanew", negativeOffset, PeHeaderStatus::kBadHeaderOffset},
        {"e_lfanew past the end", offsetPastEnd, PeHeaderStatus::kBadHeaderOffset},
        {"e_lfanew near 4 GiB", offsetIntoNothing, PeHeaderStatus::kBadHeaderOffset},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PeImageInfo info = Read(c.headers.Bytes());
        EXPECT_EQ(info.status, c.status);
        EXPECT_FALSE(CanThisProcessLoad(info));
        EXPECT_EQ(LoadErrorFromHeaders(info), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    }

    std::vector<uint8_t> noMz = Headers().Bytes();
    noMz[0] = 'Z';
    EXPECT_EQ(Read(noMz).status, PeHeaderStatus::kNoDosSignature);
    std::vector<uint8_t> noPe = Headers().Bytes();
    noPe[kPeOffset + 2] = 1;
    EXPECT_EQ(Read(noPe).status, PeHeaderStatus::kNoPeSignature);

    Headers notExecutable;
    notExecutable.characteristics = IMAGE_FILE_DLL;
    const PeImageInfo info = Read(notExecutable.Bytes());
    EXPECT_EQ(info.status, PeHeaderStatus::kOk);
    EXPECT_FALSE(CanThisProcessLoad(info)) << "an image not marked executable does not load";
}

TEST_F(PeImageTest, AFileCutAnywhereInItsHeadersIsNeverTakenForAnImage) {
    const std::vector<uint8_t> whole = Headers().Bytes();
    const size_t headersEnd = kPeOffset + 4 + 20 + 2;
    for (size_t length = 0; length < headersEnd; ++length) {
        SCOPED_TRACE(length);
        const std::vector<uint8_t> cut(whole.begin(), whole.begin() + length);
        const PeImageInfo info = Read(cut);
        EXPECT_NE(info.status, PeHeaderStatus::kOk);
        EXPECT_TRUE(info.status == PeHeaderStatus::kTooShort ||
                    info.status == PeHeaderStatus::kBadHeaderOffset)
            << static_cast<int>(info.status);
        EXPECT_FALSE(CanThisProcessLoad(info));
    }
    // Headers that end exactly at the end of the file are enough.
    const std::vector<uint8_t> exact(whole.begin(), whole.begin() + headersEnd);
    EXPECT_EQ(Read(exact).status, PeHeaderStatus::kOk);
}

TEST_F(PeImageTest, WhatIsNoFileOnADiskIsNotRead) {
    const PeImageInfo missing = ReadPeImageInfo((folder_ / L"missing.dll").c_str());
    EXPECT_EQ(missing.status, PeHeaderStatus::kCannotOpen);
    EXPECT_EQ(missing.openError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(LoadErrorFromHeaders(missing), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    const PeImageInfo missingFolder = ReadPeImageInfo((folder_ / L"none\\nvapi.dll").c_str());
    EXPECT_EQ(missingFolder.status, PeHeaderStatus::kCannotOpen);
    EXPECT_EQ(missingFolder.openError, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    const PeImageInfo folder = ReadPeImageInfo(folder_.path().c_str());
    EXPECT_EQ(folder.status, PeHeaderStatus::kCannotOpen);
    EXPECT_NE(folder.openError, static_cast<DWORD>(ERROR_SUCCESS));

    // A pipe with nothing in it: reading it would wait for ever, so it must not be read.
    const wchar_t kPipe[] = L"\\\\.\\pipe\\dispset-diag-pe-image-test";
    HANDLE pipe =
        CreateNamedPipeW(kPipe, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(ReadPeImageInfo(kPipe).status, PeHeaderStatus::kNotADiskFile);
    CloseHandle(pipe);
    EXPECT_NE(ReadPeImageInfo(L"\\\\.\\NUL").status, PeHeaderStatus::kOk);
    EXPECT_EQ(ReadPeImageInfo(nullptr).status, PeHeaderStatus::kCannotOpen);

    const PeImageInfo empty = Read({});
    EXPECT_EQ(empty.status, PeHeaderStatus::kTooShort);
    EXPECT_EQ(LoadErrorFromHeaders(empty), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
}

// --- The import directory -------------------------------------------------------------------

// An image with one section (RVA 0x1000, file offset rawOffset) that holds the import
// descriptors, then the names; every field a case breaks is a member.
struct ImportImage {
    uint16_t magic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
    std::vector<std::string> names = {"KERNEL32.dll", "helper.dll"};
    uint32_t directoryRva = 0x1000;
    uint32_t directoryCount = 16;  // NumberOfRvaAndSizes
    uint16_t sections = 1;
    uint32_t rawOffset = 0x200;
    uint32_t rawSize = 0x1000;
    uint32_t badNameRva = 0;  // given to the last name when set
    size_t cutAt = 0;         // the file ends here when set

    std::vector<uint8_t> Bytes() const {
        const bool wide = magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
        const uint32_t optional = wide ? 240 : 224;
        const uint32_t directories = wide ? 112 : 96;
        std::vector<uint8_t> bytes(rawOffset + rawSize, 0);
        Put16(bytes, 0, IMAGE_DOS_SIGNATURE);
        Put32(bytes, 0x3C, kPeOffset);
        Put32(bytes, kPeOffset, IMAGE_NT_SIGNATURE);
        Put16(bytes, kPeOffset + 4, wide ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386);
        Put16(bytes, kPeOffset + 6, sections);
        Put16(bytes, kPeOffset + 20, optional);
        Put16(bytes, kPeOffset + 22, IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_DLL);
        const size_t header = kPeOffset + 24;
        Put16(bytes, header, magic);
        Put32(bytes, header + directories - 4, directoryCount);
        Put32(bytes, header + directories + 8, directoryRva);
        Put32(bytes, header + directories + 12, 20 * (names.size() + 1));
        const size_t section = header + optional;
        Put32(bytes, section + 12, 0x1000);
        Put32(bytes, section + 16, rawSize);
        Put32(bytes, section + 20, rawOffset);
        uint32_t nameRva = 0x1000 + 20 * static_cast<uint32_t>(names.size() + 1);
        for (size_t i = 0; i < names.size(); ++i) {
            const bool last = i + 1 == names.size();
            Put32(bytes, rawOffset + 20 * i + 12, last && badNameRva != 0 ? badNameRva : nameRva);
            for (size_t c = 0; c < names[i].size() && nameRva - 0x1000 + c < rawSize; ++c) {
                bytes[rawOffset + nameRva - 0x1000 + c] = static_cast<uint8_t>(names[i][c]);
            }
            nameRva += static_cast<uint32_t>(names[i].size()) + 1;
        }
        if (cutAt != 0) {
            bytes.resize(cutAt);
        }
        return bytes;
    }
};

TEST_F(PeImageTest, ImportNamesAreReadWithinTheSectionsAndTheirBounds) {
    struct Case {
        const char* name;
        ImportImage image;
        PeImportStatus status;
        unsigned count;  // names read
    };
    std::vector<Case> cases = {{"PE32+", {}, PeImportStatus::kOk, 2}};
    cases.push_back({"PE32", {}, PeImportStatus::kOk, 2});
    cases.back().image.magic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
    cases.push_back({"no import directory", {}, PeImportStatus::kOk, 0});
    cases.back().image.directoryCount = 1;
    cases.push_back({"longest name", {}, PeImportStatus::kOk, 1});
    cases.back().image.names = {std::string(kMaxImportNameChars, 'a')};
    cases.push_back({"name one longer", {}, PeImportStatus::kBadName, 0});
    cases.back().image.names = {std::string(kMaxImportNameChars + 1, 'a')};
    cases.push_back({"name with a path", {}, PeImportStatus::kBadName, 1});
    cases.back().image.names = {"a.dll", "..\\b.dll"};
    cases.push_back({"name cut by the section's end", {}, PeImportStatus::kBadName, 0});
    cases.back().image.names = {"abc.dll"};
    cases.back().image.badNameRva = 0x1000 + 0x1000 - 3;
    cases.push_back({"name outside every section", {}, PeImportStatus::kOutsideFile, 1});
    cases.back().image.badNameRva = 0x2000;
    cases.push_back({"directory outside every section", {}, PeImportStatus::kOutsideFile, 0});
    cases.back().image.directoryRva = 0x5000;
    cases.push_back({"section data past the end of the file", {}, PeImportStatus::kOutsideFile, 0});
    cases.back().image.cutAt = 0x210;
    cases.push_back({"more sections than Windows loads", {}, PeImportStatus::kBadSectionTable, 0});
    cases.back().image.sections = 97;
    cases.back().image.rawOffset = 0x1200;  // the table ends before the data
    cases.push_back({"section table past the end", {}, PeImportStatus::kBadSectionTable, 0});
    cases.back().image.sections = 80;
    cases.back().image.rawSize = 0x100;
    cases.push_back({"one library too many", {}, PeImportStatus::kTooMany, kMaxImportNames});
    cases.back().image.names.assign(kMaxImportNames + 1, "x.dll");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PeImportNames imports;
        ReadPeImportNames(Write(c.image.Bytes()).c_str(), imports);
        EXPECT_EQ(imports.status, c.status);
        ASSERT_EQ(imports.count, c.count);
        for (unsigned i = 0; i < c.count; ++i) {
            EXPECT_EQ(Narrow(imports.names[i].text()), c.image.names[i]);
        }
    }
    PeImportNames real;
    ReadPeImportNames(ImportingDriverPath().c_str(), real);
    EXPECT_EQ(real.status, PeImportStatus::kOk);
    EXPECT_EQ(real.count, 3u) << "KERNEL32.dll, msvcrt.dll, simhelper.dll";
    ReadPeImportNames(Write({}).c_str(), real);
    EXPECT_EQ(real.status, PeImportStatus::kHeadersUnreadable);
    EXPECT_EQ(real.count, 0u);
}

}  // namespace
