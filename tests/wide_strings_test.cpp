#include <gtest/gtest.h>

#include <windows.h>

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <wchar.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "loader/strings/wide_strings.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::CountBusyHeapBlocks;
using testing_support::GuardedChars;

constexpr uint32_t kAboveLimit = kMaxStringChars + 1;
constexpr wchar_t kUntouched = L'#';

// --- Small helpers -----------------------------------------------------------------------

std::vector<wchar_t> FilledBuffer(size_t count, wchar_t fill = kUntouched) {
    return std::vector<wchar_t>(count, fill);
}

// Places text (with its NUL) at the start of a buffer already sized for it.
void Place(wchar_t* buffer, const std::wstring& text) {
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = L'\0';
}

std::wstring TextOf(const wchar_t* text) {
    return text == nullptr ? std::wstring(L"(null)") : std::wstring(text);
}

// Owns what an allocating operation returned, and knows what LocalAlloc made of it.
class Allocated {
  public:
    explicit Allocated(wchar_t* pointer) : pointer_(pointer) {}
    ~Allocated() {
        if (pointer_ != nullptr) {
            LocalFree(pointer_);
        }
    }
    Allocated(const Allocated&) = delete;
    Allocated& operator=(const Allocated&) = delete;

    bool null() const { return pointer_ == nullptr; }
    std::wstring text() const { return TextOf(pointer_); }
    size_t bytes() const { return pointer_ == nullptr ? 0 : LocalSize(pointer_); }

  private:
    wchar_t* pointer_;
};

// --- Interception of LocalAlloc ----------------------------------------------------------
//
// The loader is linked statically into this executable, so every LocalAlloc it makes goes
// through this executable's import table. Redirecting that one slot lets a test see each
// allocation request, make one fail, or change the input text between the moment it was
// measured and the moment it is copied (the only way to reach the free-on-failure paths).

using LocalAllocFunction = HLOCAL(WINAPI*)(UINT, SIZE_T);

struct AllocationLog {
    LocalAllocFunction original = nullptr;
    int calls = 0;
    UINT flags = 0;
    SIZE_T bytes = 0;
    bool fail = false;
    DWORD errorAfterAllocation = 0;
    wchar_t* growTarget = nullptr;  // overwritten with growText after the allocation
    const wchar_t* growText = nullptr;
};

AllocationLog g_allocations;

HLOCAL WINAPI RecordingLocalAlloc(UINT flags, SIZE_T bytes) {
    ++g_allocations.calls;
    g_allocations.flags = flags;
    g_allocations.bytes = bytes;
    if (g_allocations.fail) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HLOCAL memory = g_allocations.original(flags, bytes);
    g_allocations.errorAfterAllocation = GetLastError();
    if (g_allocations.growTarget != nullptr) {
        wcscpy(g_allocations.growTarget, g_allocations.growText);
    }
    return memory;
}

// Records (and can fail) this executable's LocalAlloc calls for its lifetime.
class ScopedAllocationHook {
  public:
    ScopedAllocationHook() : patch_("LocalAlloc", reinterpret_cast<void*>(&RecordingLocalAlloc)) {
        // Nothing allocates between the patch and this line on this thread.
        g_allocations = AllocationLog();
        g_allocations.original = patch_.original<LocalAllocFunction>();
    }
    bool ok() const { return patch_.ok(); }

  private:
    testing_support::ScopedImportPatch patch_;
};

// --- Reference model ---------------------------------------------------------------------
//
// Deliberately naive: whole std::wstring values, no pointers, no shared code with the
// implementation. Buffers are modelled as vectors holding every character of the
// destination (and some slack behind it that must stay untouched).

struct BufferOutcome {
    StringResult result;
    std::vector<wchar_t> buffer;
};

wchar_t Fold(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

std::wstring Folded(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), Fold);
    return text;
}

bool ModelEqualIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return Folded(a) == Folded(b);
}

// Text up to its first NUL among the first count characters, and whether a NUL was seen.
std::optional<std::wstring> ModelTerminatedText(const std::vector<wchar_t>& buffer,
                                                uint64_t count) {
    for (size_t i = 0; i < buffer.size() && i < count; ++i) {
        if (buffer[i] == L'\0') {
            return std::wstring(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(i));
        }
    }
    return std::nullopt;
}

BufferOutcome ModelCopy(std::vector<wchar_t> buffer, size_t offset, uint64_t capacity,
                        const std::wstring& source, uint64_t maximum) {
    if (capacity == 0 || capacity > kMaxStringChars || maximum > kMaxStringChars) {
        return {kStringInvalidArgument, buffer};
    }
    std::wstring text =
        source.substr(0, static_cast<size_t>(std::min<uint64_t>(source.size(), maximum)));
    StringResult result = kStringOk;
    if (text.size() >= capacity) {
        text.resize(static_cast<size_t>(capacity - 1));
        result = kStringTruncated;
    }
    std::copy(text.begin(), text.end(), buffer.begin() + static_cast<ptrdiff_t>(offset));
    buffer[offset + text.size()] = L'\0';
    return {result, buffer};
}

BufferOutcome ModelAppend(std::vector<wchar_t> buffer, uint64_t capacity,
                          const std::wstring& source) {
    if (capacity == 0 || capacity > kMaxStringChars) {
        return {kStringInvalidArgument, buffer};
    }
    std::optional<std::wstring> existing = ModelTerminatedText(buffer, capacity);
    if (!existing) {
        return {kStringInvalidArgument, buffer};
    }
    return ModelCopy(buffer, existing->size(), capacity - existing->size(), source,
                     kMaxStringChars);
}

size_t ModelFileNameStart(const std::wstring& path) {
    size_t separator = path.rfind(L'\\');
    return separator == std::wstring::npos ? 0 : separator + 1;
}

size_t ModelExtensionStart(const std::wstring& name) {
    size_t dot = name.rfind(L'.');
    size_t separator = name.rfind(L'\\');
    if (dot == std::wstring::npos) {
        return name.size();
    }
    if (separator != std::wstring::npos && dot < separator) {
        return name.size();
    }
    return dot;
}

bool ModelSameModule(const std::wstring& path, const std::wstring& module) {
    std::wstring file = path.substr(ModelFileNameStart(path));
    if (ModelEqualIgnoringCase(file, module)) {
        return true;
    }
    auto implicitExtension = [](const std::wstring& extension) {
        return extension.empty() || ModelEqualIgnoringCase(extension, L".dll");
    };
    size_t fileStem = ModelExtensionStart(file);
    size_t moduleStem = ModelExtensionStart(module);
    return implicitExtension(file.substr(fileStem)) &&
           implicitExtension(module.substr(moduleStem)) &&
           ModelEqualIgnoringCase(file.substr(0, fileStem), module.substr(0, moduleStem));
}

std::optional<std::wstring> ModelJoin(const std::optional<std::wstring>& first,
                                      const std::optional<std::wstring>& second) {
    if (!first) {
        return second;
    }
    if (!second) {
        return first;
    }
    bool separated =
        !first->empty() && first->back() != L'\\' && !second->empty() && second->front() != L'\\';
    return *first + (separated ? L"\\" : L"") + *second;
}

std::wstring ModelEnsureDll(const std::wstring& name) {
    std::wstring extension = name.substr(ModelExtensionStart(name));
    if (extension.empty()) {
        return name + L".dll";
    }
    if (extension == L".") {
        return name.substr(0, name.size() - 1);
    }
    return name;
}

// --- Random inputs -----------------------------------------------------------------------

class InputGenerator {
  public:
    explicit InputGenerator(uint32_t seed) : random_(seed) {}

    uint32_t Below(uint32_t limit) {
        return std::uniform_int_distribution<uint32_t>(0, limit - 1)(random_);
    }
    bool OneIn(uint32_t n) { return Below(n) == 0; }

    // Mostly path-like characters, so dots and separators land everywhere; the non-ASCII
    // letters and the neighbours of A-Z and a-z check that nothing else is folded.
    std::wstring Text(uint32_t maxLength) {
        static const wchar_t kAlphabet[] = L"aAbBnNvVzZ..\\\\/:@[`{\u00e9\u00c9";
        uint32_t length = Below(maxLength + 1);
        std::wstring text;
        for (uint32_t i = 0; i < length; ++i) {
            text += kAlphabet[Below(static_cast<uint32_t>(wcslen(kAlphabet)))];
        }
        return text;
    }

    std::wstring MixCase(std::wstring text) {
        for (wchar_t& c : text) {
            if (OneIn(2)) {
                c = OneIn(2) && c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A')
                                                       : ToLowerAscii(c);
            }
        }
        return text;
    }

    // Module-like names, so that IsSameModuleName also sees many matches.
    std::wstring ModuleName(bool withFolder) {
        static const wchar_t* const kFolders[] = {L"",       L"C:\\Windows\\",  L"dir.old\\",
                                                  L"a/b.c/", L"\\\\srv\\x.y\\", L"\\"};
        static const wchar_t* const kStems[] = {L"nvapi", L"nvapi64", L"nv", L"", L"a.b", L"."};
        static const wchar_t* const kExtensions[] = {L"",    L".",     L".dll",  L".exe",
                                                     L".dl", L".dlls", L".dll.x"};
        std::wstring name;
        if (withFolder) {
            name += kFolders[Below(std::size(kFolders))];
        }
        name += kStems[Below(std::size(kStems))];
        name += kExtensions[Below(std::size(kExtensions))];
        return MixCase(name);
    }

    std::wstring AnyName(bool withFolder) { return OneIn(3) ? Text(12) : ModuleName(withFolder); }

    // Mostly small capacities around the text lengths, sometimes the edges of the range.
    uint32_t Count(uint32_t typical) {
        switch (Below(16)) {
            case 0:
                return kMaxStringChars;
            case 1:
                return kAboveLimit;
            case 2:
                return 0xFFFFFFFFu;
            default:
                return Below(typical + 1);
        }
    }

  private:
    std::mt19937 random_;
};

std::wstring Describe(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

// --- Bounded copy ------------------------------------------------------------------------

TEST(StringCopyBounded, RefusesZeroCapacityAndLeavesDestination) {
    std::vector<wchar_t> buffer = FilledBuffer(4);
    EXPECT_EQ(kStringInvalidArgument, StringCopyBounded(buffer.data(), 0, L"abc"));
    EXPECT_EQ(FilledBuffer(4), buffer);
}

TEST(StringCopyBounded, RefusesCapacityAboveLimitAndLeavesDestination) {
    std::vector<wchar_t> buffer = FilledBuffer(4);
    EXPECT_EQ(kStringInvalidArgument, StringCopyBounded(buffer.data(), kAboveLimit, L"abc"));
    EXPECT_EQ(kStringInvalidArgument, StringCopyBounded(buffer.data(), 0xFFFFFFFFu, L"abc"));
    EXPECT_EQ(FilledBuffer(4), buffer);
}

TEST(StringCopyBounded, AcceptsLargestCapacityWithoutTouchingMoreThanTheText) {
    std::vector<wchar_t> buffer = FilledBuffer(8);
    EXPECT_EQ(kStringOk, StringCopyBounded(buffer.data(), kMaxStringChars, L"abc"));
    EXPECT_EQ(std::wstring(L"abc"), buffer.data());
    EXPECT_EQ(kUntouched, buffer[4]);
}

TEST(StringCopyBounded, FitsExactlyOrTruncatesByOne) {
    std::vector<wchar_t> buffer = FilledBuffer(6);
    EXPECT_EQ(kStringOk, StringCopyBounded(buffer.data(), 4, L"abc"));
    EXPECT_EQ(std::wstring(L"abc"), buffer.data());

    buffer = FilledBuffer(6);
    EXPECT_EQ(kStringTruncated, StringCopyBounded(buffer.data(), 4, L"abcd"));
    EXPECT_EQ(std::wstring(L"abc"), buffer.data());
    EXPECT_EQ(kUntouched, buffer[4]);

    buffer = FilledBuffer(2);
    EXPECT_EQ(kStringTruncated, StringCopyBounded(buffer.data(), 1, L"x"));
    EXPECT_EQ(L'\0', buffer[0]);
    EXPECT_EQ(kUntouched, buffer[1]);

    EXPECT_EQ(kStringOk, StringCopyBounded(buffer.data(), 1, L""));
    EXPECT_EQ(L'\0', buffer[0]);
}

TEST(StringCopyBounded, RefusesNullArgumentsWithoutWriting) {
    std::vector<wchar_t> buffer = FilledBuffer(4);
    EXPECT_EQ(kStringInvalidArgument, StringCopyBounded(buffer.data(), 4, nullptr));
    EXPECT_EQ(kStringInvalidArgument, StringCopyBounded(nullptr, 4, L"abc"));
    EXPECT_EQ(kStringInvalidArgument, StringCopyBoundedN(buffer.data(), 4, nullptr, 2));
    EXPECT_EQ(kStringInvalidArgument, StringAppendChars(buffer.data(), 4, nullptr));
    EXPECT_EQ(kStringInvalidArgument, StringLengthBounded(nullptr, 4, nullptr));
    EXPECT_EQ(FilledBuffer(4), buffer);
}

TEST(StringCopyBoundedN, MaximumLimitsTheCopiedText) {
    std::vector<wchar_t> buffer = FilledBuffer(8);
    EXPECT_EQ(kStringOk, StringCopyBoundedN(buffer.data(), 8, L"abcdef", 0));
    EXPECT_EQ(std::wstring(), buffer.data());
    EXPECT_EQ(kUntouched, buffer[1]);

    EXPECT_EQ(kStringOk, StringCopyBoundedN(buffer.data(), 8, L"abcdef", 3));
    EXPECT_EQ(std::wstring(L"abc"), buffer.data());

    EXPECT_EQ(kStringOk, StringCopyBoundedN(buffer.data(), 8, L"ab", 6));
    EXPECT_EQ(std::wstring(L"ab"), buffer.data());

    // Cut to the maximum first, then to the capacity.
    EXPECT_EQ(kStringOk, StringCopyBoundedN(buffer.data(), 4, L"abcdef", 3));
    EXPECT_EQ(std::wstring(L"abc"), buffer.data());
    EXPECT_EQ(kStringTruncated, StringCopyBoundedN(buffer.data(), 3, L"abcdef", 3));
    EXPECT_EQ(std::wstring(L"ab"), buffer.data());
}

TEST(StringCopyBoundedN, RefusesBadCapacityOrMaximumWithoutWriting) {
    std::vector<wchar_t> buffer = FilledBuffer(4);
    EXPECT_EQ(kStringInvalidArgument, StringCopyBoundedN(buffer.data(), 0, L"abc", 2));
    EXPECT_EQ(kStringInvalidArgument, StringCopyBoundedN(buffer.data(), kAboveLimit, L"abc", 2));
    EXPECT_EQ(kStringInvalidArgument, StringCopyBoundedN(buffer.data(), 4, L"abc", kAboveLimit));
    EXPECT_EQ(FilledBuffer(4), buffer);
    EXPECT_EQ(kStringOk, StringCopyBoundedN(buffer.data(), 4, L"abc", kMaxStringChars));
    EXPECT_EQ(std::wstring(L"abc"), buffer.data());
}

// --- Bounded length ----------------------------------------------------------------------

TEST(StringLengthBounded, NulMustLieWithinTheBound) {
    uint32_t length = 77;
    EXPECT_EQ(kStringInvalidArgument, StringLengthBounded(L"abc", 3, &length));
    EXPECT_EQ(77u, length);
    EXPECT_EQ(kStringOk, StringLengthBounded(L"abc", 4, &length));
    EXPECT_EQ(3u, length);
    EXPECT_EQ(kStringOk, StringLengthBounded(L"", 1, &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(kStringOk, StringLengthBounded(L"abc", kMaxStringChars, &length));
    EXPECT_EQ(3u, length);
}

TEST(StringLengthBounded, RefusesZeroOrOversizedBoundAndAcceptsNoLengthPlace) {
    uint32_t length = 77;
    EXPECT_EQ(kStringInvalidArgument, StringLengthBounded(L"", 0, &length));
    EXPECT_EQ(kStringInvalidArgument, StringLengthBounded(L"abc", kAboveLimit, &length));
    EXPECT_EQ(77u, length);
    EXPECT_EQ(kStringOk, StringLengthBounded(L"abc", 10, nullptr));
    EXPECT_EQ(kStringInvalidArgument, StringLengthBounded(L"abc", 2, nullptr));
}

// --- Appends -----------------------------------------------------------------------------

TEST(StringAppendChars, RefusesDestinationWithoutNulWithinCapacity) {
    std::vector<wchar_t> buffer = FilledBuffer(6);
    EXPECT_EQ(kStringInvalidArgument, StringAppendChars(buffer.data(), 4, L"x"));
    EXPECT_EQ(FilledBuffer(6), buffer);

    buffer[4] = L'\0';  // just outside the capacity
    std::vector<wchar_t> before = buffer;
    EXPECT_EQ(kStringInvalidArgument, StringAppendChars(buffer.data(), 4, L"x"));
    EXPECT_EQ(kStringInvalidArgument, StringAppendChars(buffer.data(), 0, L"x"));
    EXPECT_EQ(kStringInvalidArgument, StringAppendChars(buffer.data(), kAboveLimit, L"x"));
    EXPECT_EQ(before, buffer);
}

TEST(StringAppendChars, AppendsFitsAndTruncates) {
    std::vector<wchar_t> buffer = FilledBuffer(8);
    Place(buffer.data(), L"ab");
    EXPECT_EQ(kStringOk, StringAppendChars(buffer.data(), 6, L"cde"));
    EXPECT_EQ(std::wstring(L"abcde"), buffer.data());
    EXPECT_EQ(kStringTruncated, StringAppendChars(buffer.data(), 7, L"fgh"));
    EXPECT_EQ(std::wstring(L"abcdef"), buffer.data());
    EXPECT_EQ(kUntouched, buffer[7]);
}

TEST(StringAppendChars, FullDestinationTakesEmptySourceOnly) {
    std::vector<wchar_t> buffer = FilledBuffer(6);
    Place(buffer.data(), L"abc");
    EXPECT_EQ(kStringOk, StringAppendChars(buffer.data(), 4, L""));
    EXPECT_EQ(std::wstring(L"abc"), buffer.data());
    EXPECT_EQ(kStringTruncated, StringAppendChars(buffer.data(), 4, L"d"));
    EXPECT_EQ(std::wstring(L"abc"), buffer.data());
    EXPECT_EQ(kUntouched, buffer[4]);
}

TEST(StringAppendChars, LargestCapacityUsesOnlyWhatTheTextNeeds) {
    std::vector<wchar_t> buffer = FilledBuffer(8);
    Place(buffer.data(), L"ab");
    EXPECT_EQ(kStringOk, StringAppendChars(buffer.data(), kMaxStringChars, L"cd"));
    EXPECT_EQ(std::wstring(L"abcd"), buffer.data());
    EXPECT_EQ(kUntouched, buffer[5]);
}

TEST(StringAppendBytes, OddByteIsNotUsed) {
    std::vector<wchar_t> buffer = FilledBuffer(8);
    Place(buffer.data(), L"a");
    EXPECT_EQ(kStringTruncated, StringAppendBytes(buffer.data(), 9, L"bcdef"));
    EXPECT_EQ(std::wstring(L"abc"), buffer.data());
    EXPECT_EQ(kUntouched, buffer[4]);

    Place(buffer.data(), L"a");
    EXPECT_EQ(kStringOk, StringAppendBytes(buffer.data(), 9, L"bc"));
    EXPECT_EQ(std::wstring(L"abc"), buffer.data());

    // One byte is no character at all.
    std::vector<wchar_t> before = buffer;
    EXPECT_EQ(kStringInvalidArgument, StringAppendBytes(buffer.data(), 1, L""));
    EXPECT_EQ(before, buffer);
}

TEST(StringAppendBytes, LargestByteSizeIsAnAcceptedCapacity) {
    std::vector<wchar_t> buffer = FilledBuffer(8);
    Place(buffer.data(), L"ab");
    EXPECT_EQ(kStringOk, StringAppendBytes(buffer.data(), 0xFFFFFFFFu, L"cd"));
    EXPECT_EQ(std::wstring(L"abcd"), buffer.data());
    EXPECT_EQ(kUntouched, buffer[5]);
}

// --- Capacity never exceeded, checked against a no-access page -------------------------

constexpr wchar_t kGuardSource[] = L"C:\\Windows\\System32\\nvapi.dll";
constexpr uint32_t kGuardSourceLength = std::size(kGuardSource) - 1;

TEST(GuardedBuffers, CopiesStayWithinEveryCapacity) {
    const std::wstring source = kGuardSource;
    for (uint32_t capacity = 0; capacity <= kGuardSourceLength + 3; ++capacity) {
        SCOPED_TRACE(testing::Message() << "capacity " << capacity);
        GuardedChars buffer(capacity);
        std::vector<wchar_t> model(capacity + 1, kUntouched);
        std::fill_n(buffer.data(), capacity, kUntouched);

        BufferOutcome expected = ModelCopy(model, 0, capacity, source, kMaxStringChars);
        EXPECT_EQ(expected.result, StringCopyBounded(buffer.data(), capacity, kGuardSource));
        EXPECT_TRUE(std::equal(buffer.data(), buffer.data() + capacity, expected.buffer.begin()));

        for (uint32_t maximum = 0; maximum <= kGuardSourceLength + 1; ++maximum) {
            expected = ModelCopy(model, 0, capacity, source, maximum);
            EXPECT_EQ(expected.result,
                      StringCopyBoundedN(buffer.data(), capacity, kGuardSource, maximum))
                << "maximum " << maximum;
        }
    }
}

TEST(GuardedBuffers, AppendsStayWithinEveryCapacity) {
    const std::wstring source = kGuardSource;
    const std::wstring start = L"D:";
    for (uint32_t capacity = 0; capacity <= kGuardSourceLength + 5; ++capacity) {
        SCOPED_TRACE(testing::Message() << "capacity " << capacity);
        std::vector<wchar_t> model(capacity + 1, kUntouched);
        if (capacity > start.size()) {
            Place(model.data(), start);
        }
        BufferOutcome expected = ModelAppend(model, capacity, source);

        GuardedChars chars(capacity);
        std::copy_n(model.begin(), capacity, chars.data());
        EXPECT_EQ(expected.result, StringAppendChars(chars.data(), capacity, kGuardSource));
        EXPECT_TRUE(std::equal(chars.data(), chars.data() + capacity, expected.buffer.begin()));

        // The byte size is given with and without an odd byte; the odd one lies on the
        // no-access page and must not be used.
        for (uint32_t extra = 0; extra <= 1; ++extra) {
            GuardedChars bytes(capacity);
            std::copy_n(model.begin(), capacity, bytes.data());
            EXPECT_EQ(expected.result,
                      StringAppendBytes(bytes.data(), capacity * 2 + extra, kGuardSource));
            EXPECT_TRUE(std::equal(bytes.data(), bytes.data() + capacity, expected.buffer.begin()));
        }
    }
}

TEST(GuardedBuffers, LengthReadsNoFurtherThanTheBound) {
    for (uint32_t bound = 0; bound <= kGuardSourceLength + 2; ++bound) {
        SCOPED_TRACE(testing::Message() << "bound " << bound);
        GuardedChars unterminated(bound);
        std::fill_n(unterminated.data(), bound, L'x');
        uint32_t length = 99;
        EXPECT_EQ(kStringInvalidArgument, StringLengthBounded(unterminated.data(), bound, &length));
        EXPECT_EQ(99u, length);

        if (bound > 0) {
            GuardedChars terminated(bound);
            std::fill_n(terminated.data(), bound, L'x');
            terminated.data()[bound - 1] = L'\0';
            EXPECT_EQ(kStringOk, StringLengthBounded(terminated.data(), bound, &length));
            EXPECT_EQ(bound - 1, length);
        }
    }
}

TEST(GuardedBuffers, SourcesAreReadNoFurtherThanNeeded) {
    const uint32_t sourceLength = 12;
    GuardedChars source(sourceLength);  // no NUL anywhere
    std::fill_n(source.data(), sourceLength, L'n');
    std::vector<wchar_t> destination = FilledBuffer(sourceLength + 4);

    // The copy stops reading at the capacity, however long the source is.
    for (uint32_t capacity = 1; capacity <= sourceLength; ++capacity) {
        EXPECT_EQ(kStringTruncated, StringCopyBounded(destination.data(), capacity, source.data()));
        EXPECT_EQ(std::wstring(capacity - 1, L'n'), destination.data());
    }
    // The copy of at most N characters needs no NUL within them.
    for (uint32_t maximum = 0; maximum <= sourceLength; ++maximum) {
        GuardedChars tail(maximum);
        std::fill_n(tail.data(), maximum, L'm');
        EXPECT_EQ(kStringOk,
                  StringCopyBoundedN(destination.data(), sourceLength + 4, tail.data(), maximum));
        EXPECT_EQ(std::wstring(maximum, L'm'), destination.data());

        Allocated prefix(DuplicateStringPrefix(tail.data(), maximum));
        EXPECT_EQ(std::wstring(maximum, L'm'), prefix.text());
    }
}

// --- Path inspection ---------------------------------------------------------------------

TEST(GetFileNamePart, AfterTheLastBackslashOnly) {
    const wchar_t* path = L"C:\\Windows\\nvapi.dll";
    EXPECT_EQ(path + 11, GetFileNamePart(path));
    const wchar_t* bare = L"nvapi.dll";
    EXPECT_EQ(bare, GetFileNamePart(bare));
    const wchar_t* trailing = L"C:\\Windows\\";
    EXPECT_EQ(trailing + 11, GetFileNamePart(trailing));
    EXPECT_EQ(L'\0', *GetFileNamePart(trailing));
    const wchar_t* forward = L"C:/Windows/nvapi.dll";
    EXPECT_EQ(forward, GetFileNamePart(forward));
    const wchar_t* empty = L"";
    EXPECT_EQ(empty, GetFileNamePart(empty));
}

TEST(FindFileExtension, LastDotAfterEveryBackslash) {
    const wchar_t* archive = L"archive.tar.gz";
    EXPECT_EQ(std::wstring(L".gz"), FindFileExtension(archive));
    EXPECT_EQ(archive + 11, FindFileExtension(archive));

    const wchar_t* folderDot = L"dir.old\\nvapi";
    EXPECT_EQ(folderDot + 13, FindFileExtension(folderDot));
    EXPECT_EQ(L'\0', *FindFileExtension(folderDot));

    const wchar_t* dotFirst = L".dll";
    EXPECT_EQ(dotFirst, FindFileExtension(dotFirst));

    const wchar_t* trailingDot = L"nvapi.";
    EXPECT_EQ(trailingDot + 5, FindFileExtension(trailingDot));

    const wchar_t* empty = L"";
    EXPECT_EQ(empty, FindFileExtension(empty));

    // A forward slash is an ordinary character.
    const wchar_t* forward = L"dir.old/nvapi";
    EXPECT_EQ(forward + 3, FindFileExtension(forward));
}

TEST(IsSameModuleName, DllExtensionMayBeLeftOutOnEitherSide) {
    EXPECT_EQ(1, IsSameModuleName(L"C:\\Windows\\System32\\NVAPI.DLL", L"nvapi"));
    EXPECT_EQ(1, IsSameModuleName(L"C:\\drv\\nvapi", L"nvapi.dll"));
    EXPECT_EQ(1, IsSameModuleName(L"C:\\drv\\nvapi.dll", L"NvApi.Dll"));
    EXPECT_EQ(1, IsSameModuleName(L"nvapi", L"NVAPI"));
}

TEST(IsSameModuleName, OtherExtensionsMustMatchWhole) {
    EXPECT_EQ(1, IsSameModuleName(L"C:\\drv\\nvapi.exe", L"NVAPI.EXE"));
    EXPECT_EQ(0, IsSameModuleName(L"C:\\drv\\nvapi.exe", L"nvapi"));
    EXPECT_EQ(0, IsSameModuleName(L"C:\\drv\\nvapi", L"nvapi.exe"));
    EXPECT_EQ(0, IsSameModuleName(L"C:\\drv\\nvapi.", L"nvapi"));
    EXPECT_EQ(0, IsSameModuleName(L"C:\\drv\\nvapi.dll", L"nvapi."));
}

TEST(IsSameModuleName, StemsMustMatch) {
    EXPECT_EQ(0, IsSameModuleName(L"C:\\drv\\nvapi64.dll", L"nvapi.dll"));
    EXPECT_EQ(0, IsSameModuleName(L"C:\\drv\\nvap.dll", L"nvapi.dll"));
    EXPECT_EQ(0, IsSameModuleName(L"C:\\drv\\nvapj.dll", L"nvapi"));
    EXPECT_EQ(0, IsSameModuleName(L"C:\\nvapi.dll\\other.dll", L"nvapi.dll"));
}

TEST(IsSameModuleName, OnlyBackslashSeparatesAndOnlyAsciiFolds) {
    EXPECT_EQ(0, IsSameModuleName(L"C:/Windows/nvapi.dll", L"nvapi.dll"));
    EXPECT_EQ(1, IsSameModuleName(L"C:/Windows/nvapi.dll", L"c:/windows/NVAPI"));
    EXPECT_EQ(0, IsSameModuleName(L"C:\\\u00c9.dll", L"\u00e9.dll"));
    EXPECT_EQ(1, IsSameModuleName(L"C:\\\u00c9.dll", L"\u00c9"));
}

TEST(IsSameModuleName, EmptyNamesAndEmptyStems) {
    EXPECT_EQ(1, IsSameModuleName(L"C:\\Windows\\", L""));
    EXPECT_EQ(1, IsSameModuleName(L"C:\\Windows\\", L".dll"));
    EXPECT_EQ(1, IsSameModuleName(L"C:\\Windows\\.DLL", L""));
    EXPECT_EQ(0, IsSameModuleName(L"C:\\Windows\\x", L""));
}

// --- Case folding ------------------------------------------------------------------------

TEST(IsEqualIgnoringCase, FoldsAsciiLettersOnly) {
    EXPECT_EQ(1, IsEqualIgnoringCase(L"NvApi.DLL", L"nvapi.dll"));
    EXPECT_EQ(1, IsEqualIgnoringCase(L"", L""));
    EXPECT_EQ(0, IsEqualIgnoringCase(L"nvapi", L"nvapi.dll"));
    EXPECT_EQ(0, IsEqualIgnoringCase(L"nvapi.dll", L"nvapi"));
    EXPECT_EQ(0, IsEqualIgnoringCase(L"\u00c9", L"\u00e9"));
    // Neighbours of the letter ranges differ by the same 0x20 and must not fold.
    EXPECT_EQ(0, IsEqualIgnoringCase(L"@", L"`"));
    EXPECT_EQ(0, IsEqualIgnoringCase(L"[", L"{"));
    EXPECT_EQ(0, IsEqualIgnoringCase(L"\\", L"|"));
}

TEST(IsEqualIgnoringCaseN, ComparesAtMostCountAndStopsAtTheEnd) {
    EXPECT_EQ(1, IsEqualIgnoringCaseN(L"NVAPI64", L"nvapi32", 5));
    EXPECT_EQ(0, IsEqualIgnoringCaseN(L"NVAPI64", L"nvapi32", 6));
    EXPECT_EQ(1, IsEqualIgnoringCaseN(L"abc", L"xyz", 0));
    EXPECT_EQ(1, IsEqualIgnoringCaseN(L"abc", L"ABC", 100));
    EXPECT_EQ(0, IsEqualIgnoringCaseN(L"ab", L"abc", 3));

    // Both strings end on the no-access page's doorstep: a shared NUL ends the comparison.
    GuardedChars a(3);
    GuardedChars b(3);
    Place(a.data(), L"Ab");
    Place(b.data(), L"aB");
    EXPECT_EQ(1, IsEqualIgnoringCaseN(a.data(), b.data(), 1000));
    EXPECT_EQ(1, IsEqualIgnoringCase(a.data(), b.data()));
}

// A missing text is never read: inspection gives null, comparison gives no match.
TEST(PathInspection, NullTextsAreNeverRead) {
    EXPECT_EQ(nullptr, GetFileNamePart(nullptr));
    EXPECT_EQ(nullptr, FindFileExtension(nullptr));
    EXPECT_EQ(0, IsSameModuleName(nullptr, L"nvapi.dll"));
    EXPECT_EQ(0, IsSameModuleName(L"C:\\x\\nvapi.dll", nullptr));
    EXPECT_EQ(0, IsEqualIgnoringCaseN(nullptr, L"nv", 2));
    EXPECT_EQ(0, IsEqualIgnoringCaseN(L"nv", nullptr, 2));
    EXPECT_EQ(0, IsEqualIgnoringCase(nullptr, L""));
    EXPECT_EQ(0, IsEqualIgnoringCase(L"", nullptr));
}

// --- Allocating operations ---------------------------------------------------------------

TEST(DuplicateString, CopiesWholeTextIntoExactSize) {
    Allocated copy(DuplicateString(L"C:\\Windows"));
    EXPECT_EQ(std::wstring(L"C:\\Windows"), copy.text());
    EXPECT_EQ(22u, copy.bytes());

    Allocated empty(DuplicateString(L""));
    EXPECT_EQ(std::wstring(), empty.text());
    EXPECT_EQ(2u, empty.bytes());

    EXPECT_TRUE(Allocated(DuplicateString(nullptr)).null());
}

TEST(DuplicateStringPrefix, CutsAtMaximumOrCopiesWhole) {
    Allocated whole(DuplicateStringPrefix(L"nvapi", 5));
    EXPECT_EQ(std::wstring(L"nvapi"), whole.text());
    EXPECT_EQ(12u, whole.bytes());

    Allocated beyond(DuplicateStringPrefix(L"nvapi", 100));
    EXPECT_EQ(std::wstring(L"nvapi"), beyond.text());
    EXPECT_EQ(12u, beyond.bytes());

    Allocated largest(DuplicateStringPrefix(L"nvapi", kMaxStringChars));
    EXPECT_EQ(std::wstring(L"nvapi"), largest.text());
    EXPECT_EQ(12u, largest.bytes());

    Allocated cut(DuplicateStringPrefix(L"nvapi", 2));
    EXPECT_EQ(std::wstring(L"nv"), cut.text());
    EXPECT_EQ(6u, cut.bytes());

    Allocated none(DuplicateStringPrefix(L"nvapi", 0));
    EXPECT_EQ(std::wstring(), none.text());
    EXPECT_EQ(2u, none.bytes());
}

TEST(DuplicateStringPrefix, NullTextOrOversizedMaximumAllocatesNothing) {
    ScopedAllocationHook hook;
    ASSERT_TRUE(hook.ok());
    EXPECT_TRUE(Allocated(DuplicateStringPrefix(nullptr, 3)).null());
    EXPECT_TRUE(Allocated(DuplicateStringPrefix(L"nvapi", kAboveLimit)).null());
    EXPECT_TRUE(Allocated(DuplicateStringPrefix(L"nvapi", 0xFFFFFFFFu)).null());
    EXPECT_EQ(0, g_allocations.calls);
}

TEST(JoinPath, AddsOneBackslashOnlyWhereNeitherSideHasOne) {
    struct Case {
        const wchar_t* first;
        const wchar_t* second;
        const wchar_t* joined;
    };
    const Case cases[] = {
        {L"C:\\Windows", L"nvapi.dll", L"C:\\Windows\\nvapi.dll"},
        {L"C:\\Windows\\", L"nvapi.dll", L"C:\\Windows\\nvapi.dll"},
        {L"C:\\Windows", L"\\nvapi.dll", L"C:\\Windows\\nvapi.dll"},
        {L"C:\\Windows\\", L"\\nvapi.dll", L"C:\\Windows\\\\nvapi.dll"},
        {L"C:/Windows", L"nvapi.dll", L"C:/Windows\\nvapi.dll"},
        {L"C:\\Windows", L"/nvapi.dll", L"C:\\Windows\\/nvapi.dll"},
        {L"..", L".\\x", L"..\\.\\x"},
        {L"", L"nvapi.dll", L"nvapi.dll"},
        {L"C:\\Windows", L"", L"C:\\Windows"},
        {L"", L"", L""},
        {nullptr, L"nvapi.dll", L"nvapi.dll"},
        {L"C:\\Windows", nullptr, L"C:\\Windows"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << TextOf(c.first) << " + " << TextOf(c.second));
        Allocated joined(JoinPath(c.first, c.second));
        std::wstring expected = c.joined;
        EXPECT_EQ(expected, joined.text());
        EXPECT_EQ(2 * (expected.size() + 1), joined.bytes());
    }
    EXPECT_TRUE(Allocated(JoinPath(nullptr, nullptr)).null());
}

TEST(EnsureDllExtension, CompletesCutsOrCopies) {
    struct Case {
        const wchar_t* name;
        const wchar_t* result;
        size_t bytes;
    };
    const Case cases[] = {
        {L"nvapi", L"nvapi.dll", 20},
        {L"nvapi.", L"nvapi", 12},
        {L"nvapi.dll", L"nvapi.dll", 20},
        {L"nvapi.exe", L"nvapi.exe", 20},
        {L"NVAPI.Dll", L"NVAPI.Dll", 20},
        {L"", L".dll", 10},
        {L".", L"", 2},
        {L"dir.old\\nvapi", L"dir.old\\nvapi.dll", 36},
        {L"dir\\", L"dir\\.dll", 18},
        {L"a.b.", L"a.b", 8},
        {L"dir/nv.x", L"dir/nv.x", 18},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name);
        Allocated result(EnsureDllExtension(c.name));
        EXPECT_EQ(std::wstring(c.result), result.text());
        EXPECT_EQ(c.bytes, result.bytes());
    }
    EXPECT_TRUE(Allocated(EnsureDllExtension(nullptr)).null());
}

// --- Allocation requests, failures and leaks ---------------------------------------------

TEST(Allocations, EachOperationAsksOnceForZeroFilledMemoryOfTheTabledSize) {
    struct Case {
        const char* what;
        wchar_t* (*run)();
        SIZE_T bytes;
    };
    const Case cases[] = {
        {"DuplicateString", [] { return DuplicateString(L"nvapi"); }, 12},
        {"DuplicateStringPrefix", [] { return DuplicateStringPrefix(L"nvapi", 3); }, 8},
        {"JoinPath", [] { return JoinPath(L"C:\\x", L"nvapi"); }, 22},
        {"JoinPath with trailing backslash", [] { return JoinPath(L"C:\\x\\", L"nvapi"); }, 22},
        {"JoinPath with one null", [] { return JoinPath(nullptr, L"nvapi"); }, 12},
        {"EnsureDllExtension appends", [] { return EnsureDllExtension(L"nvapi"); }, 20},
        {"EnsureDllExtension cuts", [] { return EnsureDllExtension(L"nvapi."); }, 12},
        {"EnsureDllExtension copies", [] { return EnsureDllExtension(L"nvapi.exe"); }, 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        size_t busyBefore = CountBusyHeapBlocks();
        {
            ScopedAllocationHook hook;
            ASSERT_TRUE(hook.ok());
            SetLastError(0x1234);
            Allocated result(c.run());
            EXPECT_FALSE(result.null());
            EXPECT_EQ(1, g_allocations.calls);
            EXPECT_EQ(static_cast<UINT>(LMEM_ZEROINIT), g_allocations.flags);
            EXPECT_EQ(c.bytes, g_allocations.bytes);
            EXPECT_EQ(c.bytes, result.bytes());
            EXPECT_EQ(g_allocations.errorAfterAllocation, GetLastError());
        }
        EXPECT_EQ(busyBefore, CountBusyHeapBlocks());
    }
}

TEST(Allocations, FailedAllocationGivesNullAndKeepsItsLastError) {
    struct Case {
        const char* what;
        wchar_t* (*run)();
    };
    const Case cases[] = {
        {"DuplicateString", [] { return DuplicateString(L"nvapi"); }},
        {"DuplicateStringPrefix", [] { return DuplicateStringPrefix(L"nvapi", 3); }},
        {"JoinPath", [] { return JoinPath(L"C:\\x", L"nvapi"); }},
        {"JoinPath with one null", [] { return JoinPath(L"C:\\x", nullptr); }},
        {"EnsureDllExtension appends", [] { return EnsureDllExtension(L"nvapi"); }},
        {"EnsureDllExtension cuts", [] { return EnsureDllExtension(L"nvapi."); }},
        {"EnsureDllExtension copies", [] { return EnsureDllExtension(L"nvapi.dll"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        size_t busyBefore = CountBusyHeapBlocks();
        {
            ScopedAllocationHook hook;
            ASSERT_TRUE(hook.ok());
            g_allocations.fail = true;
            SetLastError(0);
            EXPECT_TRUE(Allocated(c.run()).null());
            EXPECT_EQ(1, g_allocations.calls);
            EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
        }
        EXPECT_EQ(busyBefore, CountBusyHeapBlocks());
    }
}

// A text that grows after it was measured makes the copy into the allocation fail: the
// operation has to give its buffer back and report null instead of a cut-off string.
TEST(Allocations, FailedCopyStepFreesTheBuffer) {
    struct Case {
        const char* what;
        const wchar_t* first;
        const wchar_t* second;
        int grow;  // 0: first, 1: second
        const wchar_t* grownText;
        wchar_t* (*run)(const wchar_t*, const wchar_t*);
    };
    const Case cases[] = {
        {"DuplicateString", L"nvapi", nullptr, 0, L"nvapi64",
         [](const wchar_t* a, const wchar_t*) { return DuplicateString(a); }},
        {"DuplicateStringPrefix", L"nv", nullptr, 0, L"nvapi",
         [](const wchar_t* a, const wchar_t*) { return DuplicateStringPrefix(a, 5); }},
        // Capacity 17: the first part no longer fits.
        {"JoinPath, first part", L"C:\\dir", L"nvapi.dll", 0, L"C:\\directory\\more",
         [](const wchar_t* a, const wchar_t* b) { return JoinPath(a, b); }},
        // The first part now fills the buffer, so the separator does not fit.
        {"JoinPath, separator", L"C:\\dir", L"nvapi.dll", 0, L"C:\\directory\\mor",
         [](const wchar_t* a, const wchar_t* b) { return JoinPath(a, b); }},
        {"JoinPath, second part", L"C:\\dir", L"nvapi.dll", 1, L"nvapi64.dll",
         [](const wchar_t* a, const wchar_t* b) { return JoinPath(a, b); }},
        {"JoinPath, one part null", L"C:\\dir", nullptr, 0, L"C:\\directory",
         [](const wchar_t* a, const wchar_t* b) { return JoinPath(a, b); }},
        // Capacity 10: the name no longer fits.
        {"EnsureDllExtension, name", L"nvapi", nullptr, 0, L"nvapi64bit",
         [](const wchar_t* a, const wchar_t*) { return EnsureDllExtension(a); }},
        // The name still fits, the extension does not.
        {"EnsureDllExtension, extension", L"nvapi", nullptr, 0, L"nvapi64",
         [](const wchar_t* a, const wchar_t*) { return EnsureDllExtension(a); }},
        {"EnsureDllExtension, copy", L"nvapi.exe", nullptr, 0, L"nvapi.exe.x",
         [](const wchar_t* a, const wchar_t*) { return EnsureDllExtension(a); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        wchar_t first[32] = {};
        wchar_t second[32] = {};
        wcscpy(first, c.first);
        if (c.second != nullptr) {
            wcscpy(second, c.second);
        }
        size_t busyBefore = CountBusyHeapBlocks();
        {
            ScopedAllocationHook hook;
            ASSERT_TRUE(hook.ok());
            g_allocations.growTarget = c.grow == 0 ? first : second;
            g_allocations.growText = c.grownText;
            SetLastError(0x1234);
            EXPECT_TRUE(Allocated(c.run(first, c.second ? second : nullptr)).null());
            EXPECT_EQ(1, g_allocations.calls);
            EXPECT_EQ(g_allocations.errorAfterAllocation, GetLastError());
        }
        EXPECT_EQ(busyBefore, CountBusyHeapBlocks());
    }
}

TEST(Allocations, NullInputsAllocateNothing) {
    size_t busyBefore = CountBusyHeapBlocks();
    {
        ScopedAllocationHook hook;
        ASSERT_TRUE(hook.ok());
        EXPECT_TRUE(Allocated(DuplicateString(nullptr)).null());
        EXPECT_TRUE(Allocated(DuplicateStringPrefix(nullptr, 4)).null());
        EXPECT_TRUE(Allocated(JoinPath(nullptr, nullptr)).null());
        EXPECT_TRUE(Allocated(EnsureDllExtension(nullptr)).null());
        EXPECT_EQ(0, g_allocations.calls);
    }
    EXPECT_EQ(busyBefore, CountBusyHeapBlocks());
}

TEST(LastError, SuccessfulOperationsLeaveItAlone) {
    std::vector<wchar_t> buffer = FilledBuffer(16);
    uint32_t length = 0;
    SetLastError(0x4321);
    StringCopyBounded(buffer.data(), 4, L"abcdef");
    StringCopyBoundedN(buffer.data(), 0, L"abc", 2);
    StringLengthBounded(L"abc", 2, &length);
    StringAppendChars(buffer.data(), 16, L"xyz");
    StringAppendBytes(buffer.data(), 3, L"xyz");
    GetFileNamePart(L"a\\b");
    FindFileExtension(L"a.b");
    IsSameModuleName(L"a\\nvapi.dll", L"nvapi");
    IsEqualIgnoringCase(L"a", L"A");
    IsEqualIgnoringCaseN(L"a", L"B", 1);
    EXPECT_EQ(0x4321u, GetLastError());
}

// --- Randomized comparison with the reference model -------------------------------------

constexpr uint32_t kSeed = 0x5EED2024;
constexpr int kRounds = 4000;
constexpr size_t kSlack = 4;

TEST(Differential, BoundedOperationsMatchTheModel) {
    InputGenerator generate(kSeed);
    for (int round = 0; round < kRounds; ++round) {
        std::wstring source = generate.Text(20);
        std::wstring existing = generate.Text(10);
        uint32_t capacity = generate.Count(24);
        uint32_t maximum = generate.Count(24);
        // A capacity beyond the buffer is safe only when the existing text ends inside it; the
        // buffer is big enough for any of the texts generated here.
        size_t bufferSize = std::min<size_t>(capacity, 40) + kSlack;
        std::vector<wchar_t> initial = FilledBuffer(bufferSize);
        bool terminated = !generate.OneIn(5) || capacity > 40;
        size_t placed = std::min(existing.size(), bufferSize - 1);
        std::copy_n(existing.begin(), placed, initial.begin());
        if (terminated) {
            initial[placed] = L'\0';
        }
        SCOPED_TRACE(testing::Message()
                     << "seed " << kSeed << " round " << round << " source " << Describe(source)
                     << " existing " << Describe(existing) << " capacity " << capacity
                     << " maximum " << maximum << " terminated " << terminated);

        std::vector<wchar_t> buffer = initial;
        BufferOutcome expected = ModelCopy(initial, 0, capacity, source, kMaxStringChars);
        EXPECT_EQ(expected.result, StringCopyBounded(buffer.data(), capacity, source.c_str()));
        EXPECT_EQ(expected.buffer, buffer);

        buffer = initial;
        expected = ModelCopy(initial, 0, capacity, source, maximum);
        EXPECT_EQ(expected.result,
                  StringCopyBoundedN(buffer.data(), capacity, source.c_str(), maximum));
        EXPECT_EQ(expected.buffer, buffer);

        buffer = initial;
        expected = ModelAppend(initial, capacity, source);
        EXPECT_EQ(expected.result, StringAppendChars(buffer.data(), capacity, source.c_str()));
        EXPECT_EQ(expected.buffer, buffer);

        uint32_t bytes = capacity <= kMaxStringChars ? capacity * 2 + generate.Below(2) : capacity;
        buffer = initial;
        expected = ModelAppend(initial, bytes / 2, source);
        EXPECT_EQ(expected.result, StringAppendBytes(buffer.data(), bytes, source.c_str()));
        EXPECT_EQ(expected.buffer, buffer);

        uint32_t length = 0xDEAD;
        std::optional<std::wstring> text = ModelTerminatedText(initial, capacity);
        bool lengthKnown = capacity != 0 && capacity <= kMaxStringChars && text.has_value();
        EXPECT_EQ(lengthKnown ? kStringOk : kStringInvalidArgument,
                  StringLengthBounded(initial.data(), capacity, &length));
        EXPECT_EQ(lengthKnown ? text->size() : 0xDEADu, length);
    }
}

TEST(Differential, PathInspectionMatchesTheModel) {
    InputGenerator generate(kSeed + 1);
    for (int round = 0; round < kRounds; ++round) {
        std::wstring path = generate.AnyName(true);
        std::wstring module = generate.AnyName(generate.OneIn(6));
        uint32_t count = generate.Below(16);
        SCOPED_TRACE(testing::Message()
                     << "seed " << kSeed + 1 << " round " << round << " path " << Describe(path)
                     << " module " << Describe(module) << " count " << count);

        EXPECT_EQ(ModelFileNameStart(path),
                  static_cast<size_t>(GetFileNamePart(path.c_str()) - path.c_str()));
        EXPECT_EQ(ModelExtensionStart(path),
                  static_cast<size_t>(FindFileExtension(path.c_str()) - path.c_str()));
        EXPECT_EQ(ModelSameModule(path, module) ? 1 : 0,
                  IsSameModuleName(path.c_str(), module.c_str()));

        EXPECT_EQ(ModelEqualIgnoringCase(path, module) ? 1 : 0,
                  IsEqualIgnoringCase(path.c_str(), module.c_str()));
        std::wstring pathPrefix = path.substr(0, std::min<size_t>(count, path.size()));
        std::wstring modulePrefix = module.substr(0, std::min<size_t>(count, module.size()));
        EXPECT_EQ(ModelEqualIgnoringCase(pathPrefix, modulePrefix) ? 1 : 0,
                  IsEqualIgnoringCaseN(path.c_str(), module.c_str(), count));
    }
}

TEST(Differential, AllocatingOperationsMatchTheModelAndLeakNothing) {
    InputGenerator generate(kSeed + 2);
    size_t busyBefore = CountBusyHeapBlocks();
    for (int round = 0; round < kRounds; ++round) {
        std::optional<std::wstring> first;
        std::optional<std::wstring> second;
        if (!generate.OneIn(10)) {
            first = generate.AnyName(true);
        }
        if (!generate.OneIn(10)) {
            second = generate.OneIn(4) ? L"\\" + generate.AnyName(false) : generate.AnyName(false);
        }
        uint32_t maximum = generate.Count(16);
        const wchar_t* firstText = first ? first->c_str() : nullptr;
        const wchar_t* secondText = second ? second->c_str() : nullptr;
        SCOPED_TRACE(testing::Message()
                     << "seed " << kSeed + 2 << " round " << round << " first "
                     << (first ? Describe(*first) : L"(null)") << " second "
                     << (second ? Describe(*second) : L"(null)") << " maximum " << maximum);

        auto expectAllocated = [](const std::optional<std::wstring>& expected, wchar_t* actual,
                                  const char* what) {
            Allocated result(actual);
            EXPECT_EQ(!expected.has_value(), result.null()) << what;
            if (expected && !result.null()) {
                EXPECT_EQ(*expected, result.text()) << what;
                EXPECT_EQ(2 * (expected->size() + 1), result.bytes()) << what;
            }
        };

        expectAllocated(first, DuplicateString(firstText), "DuplicateString");
        std::optional<std::wstring> prefix;
        if (first && maximum <= kMaxStringChars) {
            prefix = first->substr(0, std::min<size_t>(maximum, first->size()));
        }
        expectAllocated(prefix, DuplicateStringPrefix(firstText, maximum), "DuplicateStringPrefix");
        expectAllocated(ModelJoin(first, second), JoinPath(firstText, secondText), "JoinPath");
        std::optional<std::wstring> completed;
        if (second) {
            completed = ModelEnsureDll(*second);
        }
        expectAllocated(completed, EnsureDllExtension(secondText), "EnsureDllExtension");
    }
    EXPECT_EQ(busyBefore, CountBusyHeapBlocks());
}

}  // namespace
