#include "loader/strings/wide_strings.h"

#include "base/local_memory.h"

#include <stddef.h>
#include <stdint.h>

namespace {

constexpr wchar_t kSeparator = L'\\';
constexpr wchar_t kSeparatorText[] = L"\\";
constexpr wchar_t kDot = L'.';
constexpr wchar_t kDllExtension[] = L".dll";
constexpr uint32_t kDllExtensionChars = 4;

bool IsAcceptedCount(uint32_t count) {
    return count <= kMaxStringChars;
}

bool IsUsableCapacity(uint32_t capacity) {
    return capacity != 0 && IsAcceptedCount(capacity);
}

// The one copy loop behind both bounded copies. A source that reaches the last slot is cut
// there, so at most capacity source characters are read and never more than maximum.
StringResult CopyAtMost(wchar_t* destination, uint32_t capacity, const wchar_t* source,
                        uint32_t maximum) {
    uint32_t copied = 0;
    while (copied + 1 < capacity && copied < maximum && source[copied] != L'\0') {
        destination[copied] = source[copied];
        ++copied;
    }
    destination[copied] = L'\0';
    bool sourceLeft = copied < maximum && source[copied] != L'\0';
    return sourceLeft ? kStringTruncated : kStringOk;
}

// Folded characters are compared over at most count positions; a NUL shared by both ends
// the comparison early, so nothing past either terminator is read.
bool EqualFoldedUpTo(const wchar_t* a, const wchar_t* b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (ToLowerAscii(a[i]) != ToLowerAscii(b[i])) {
            return false;
        }
        if (a[i] == L'\0') {
            return true;
        }
    }
    return true;
}

// Only an absent extension or ".dll" may be left implicit in a module name.
bool IsDefaultModuleExtension(const wchar_t* extension) {
    return extension[0] == L'\0' || IsEqualIgnoringCase(extension, kDllExtension);
}

// Length of a text that has to be NUL-terminated within the largest accepted capacity.
bool MeasureText(const wchar_t* text, uint32_t* length) {
    return StringLengthBounded(text, kMaxStringChars, length) == kStringOk;
}

// Characters (NUL included) are counted in 64 bits so that no sum of two lengths can wrap;
// a result above the largest capacity cannot be built and is refused before allocating.
bool FitsCapacity(uint64_t chars) {
    return chars <= kMaxStringChars;
}

// chars never exceeds kMaxStringChars, so the byte count fits 32 bits on every target.
bool AllocateChars(LocalString& buffer, uint32_t chars) {
    return buffer.allocate(chars);
}

bool NeedsSeparator(const wchar_t* first, uint32_t firstLength, const wchar_t* second) {
    if (firstLength == 0 || first[firstLength - 1] == kSeparator) {
        return false;
    }
    return second[0] != L'\0' && second[0] != kSeparator;
}

// A new string of first, then separator (may be null), then second, whose lengths the
// caller measured. Copied with the bounded operations into exactly the room they need.
wchar_t* ConcatenateAlloc(const wchar_t* first, uint32_t firstLength, const wchar_t* separator,
                          const wchar_t* second, uint32_t secondLength) {
    const uint64_t separatorLength = separator != nullptr ? 1 : 0;
    const uint64_t chars = uint64_t{firstLength} + separatorLength + secondLength + 1;
    if (!FitsCapacity(chars)) {
        return nullptr;
    }
    const uint32_t capacity = static_cast<uint32_t>(chars);
    LocalString buffer;
    if (!AllocateChars(buffer, capacity)) {
        return nullptr;
    }
    if (StringCopyBounded(buffer.get(), capacity, first) < 0) {
        return nullptr;
    }
    if (separator != nullptr && StringAppendChars(buffer.get(), capacity, separator) < 0) {
        return nullptr;
    }
    if (StringAppendChars(buffer.get(), capacity, second) < 0) {
        return nullptr;
    }
    return buffer.release();
}

}  // namespace

// --- Bounded operations ------------------------------------------------------------------

StringResult StringCopyBounded(wchar_t* destination, uint32_t capacity, const wchar_t* source) {
    if (destination == nullptr || source == nullptr || !IsUsableCapacity(capacity)) {
        return kStringInvalidArgument;
    }
    return CopyAtMost(destination, capacity, source, kMaxStringChars);
}

StringResult StringCopyBoundedN(wchar_t* destination, uint32_t capacity, const wchar_t* source,
                                uint32_t maximum) {
    if (destination == nullptr || source == nullptr || !IsUsableCapacity(capacity) ||
        !IsAcceptedCount(maximum)) {
        return kStringInvalidArgument;
    }
    return CopyAtMost(destination, capacity, source, maximum);
}

StringResult StringLengthBounded(const wchar_t* string, uint32_t bound, uint32_t* length) {
    if (string == nullptr || !IsUsableCapacity(bound)) {
        return kStringInvalidArgument;
    }
    for (uint32_t position = 0; position < bound; ++position) {
        if (string[position] == L'\0') {
            if (length != nullptr) {
                *length = position;
            }
            return kStringOk;
        }
    }
    return kStringInvalidArgument;
}

StringResult StringAppendChars(wchar_t* destination, uint32_t capacity, const wchar_t* source) {
    if (destination == nullptr || source == nullptr || !IsAcceptedCount(capacity)) {
        return kStringInvalidArgument;
    }
    uint32_t used = 0;
    StringResult measured = StringLengthBounded(destination, capacity, &used);
    if (measured != kStringOk) {
        return measured;
    }
    return StringCopyBounded(destination + used, capacity - used, source);
}

StringResult StringAppendBytes(wchar_t* destination, uint32_t sizeInBytes, const wchar_t* source) {
    return StringAppendChars(destination, sizeInBytes / static_cast<uint32_t>(sizeof(wchar_t)),
                             source);
}

// --- Path inspection ---------------------------------------------------------------------

const wchar_t* GetFileNamePart(const wchar_t* path) {
    if (path == nullptr) {
        return nullptr;
    }
    const wchar_t* namePart = path;
    for (const wchar_t* cursor = path; *cursor != L'\0'; ++cursor) {
        if (*cursor == kSeparator) {
            namePart = cursor + 1;
        }
    }
    return namePart;
}

const wchar_t* FindFileExtension(const wchar_t* name) {
    if (name == nullptr) {
        return nullptr;
    }
    const wchar_t* lastDot = nullptr;
    const wchar_t* cursor = name;
    for (; *cursor != L'\0'; ++cursor) {
        if (*cursor == kDot) {
            lastDot = cursor;
        } else if (*cursor == kSeparator) {
            // A dot in a folder name says nothing about the file's extension.
            lastDot = nullptr;
        }
    }
    return lastDot != nullptr ? lastDot : cursor;
}

int IsSameModuleName(const wchar_t* path, const wchar_t* moduleName) {
    if (path == nullptr || moduleName == nullptr) {
        return 0;
    }
    const wchar_t* fileName = GetFileNamePart(path);
    if (IsEqualIgnoringCase(fileName, moduleName)) {
        return 1;
    }
    const wchar_t* fileExtension = FindFileExtension(fileName);
    const wchar_t* moduleExtension = FindFileExtension(moduleName);
    size_t stemLength = static_cast<size_t>(fileExtension - fileName);
    if (stemLength != static_cast<size_t>(moduleExtension - moduleName)) {
        return 0;
    }
    if (!IsDefaultModuleExtension(moduleExtension) || !IsDefaultModuleExtension(fileExtension)) {
        return 0;
    }
    return EqualFoldedUpTo(fileName, moduleName, stemLength) ? 1 : 0;
}

// --- Allocating operations ---------------------------------------------------------------

wchar_t* DuplicateString(const wchar_t* text) {
    uint32_t length = 0;
    if (text == nullptr || !MeasureText(text, &length)) {
        return nullptr;
    }
    // A measured length is below kMaxStringChars, so length + 1 is still a valid capacity.
    LocalString buffer;
    if (!AllocateChars(buffer, length + 1)) {
        return nullptr;
    }
    if (StringCopyBounded(buffer.get(), length + 1, text) < 0) {
        return nullptr;
    }
    return buffer.release();
}

wchar_t* DuplicateStringPrefix(const wchar_t* text, uint32_t maximum) {
    if (text == nullptr || !IsAcceptedCount(maximum)) {
        return nullptr;
    }
    // Only the first maximum characters are looked at, so the text may be an unterminated
    // piece of a larger buffer. No NUL within them means the prefix is maximum long.
    uint32_t kept = 0;
    if (StringLengthBounded(text, maximum, &kept) != kStringOk) {
        kept = maximum;
    }
    if (!FitsCapacity(static_cast<uint64_t>(kept) + 1)) {
        return nullptr;
    }
    LocalString buffer;
    if (!AllocateChars(buffer, kept + 1)) {
        return nullptr;
    }
    if (StringCopyBoundedN(buffer.get(), kept + 1, text, maximum) < 0) {
        return nullptr;
    }
    return buffer.release();
}

wchar_t* JoinPath(const wchar_t* first, const wchar_t* second) {
    if (first == nullptr) {
        return DuplicateString(second);
    }
    if (second == nullptr) {
        return DuplicateString(first);
    }
    uint32_t firstLength = 0;
    uint32_t secondLength = 0;
    if (!MeasureText(first, &firstLength) || !MeasureText(second, &secondLength)) {
        return nullptr;
    }
    const wchar_t* separator =
        NeedsSeparator(first, firstLength, second) ? kSeparatorText : nullptr;
    return ConcatenateAlloc(first, firstLength, separator, second, secondLength);
}

wchar_t* EnsureDllExtension(const wchar_t* name) {
    uint32_t length = 0;
    if (name == nullptr || !MeasureText(name, &length)) {
        return nullptr;
    }
    // The name is known to be terminated now, so the extension search stays inside it.
    const wchar_t* extension = FindFileExtension(name);
    uint32_t extensionLength = length - static_cast<uint32_t>(extension - name);
    if (extensionLength == 0) {
        return ConcatenateAlloc(name, length, nullptr, kDllExtension, kDllExtensionChars);
    }
    if (extensionLength == 1) {
        return DuplicateStringPrefix(name, length - 1);
    }
    return DuplicateString(name);
}

// --- ASCII case folding ------------------------------------------------------------------

bool IsEqualIgnoringCaseN(const wchar_t* a, const wchar_t* b, uint32_t count) {
    return a != nullptr && b != nullptr && EqualFoldedUpTo(a, b, count);
}

bool IsEqualIgnoringCase(const wchar_t* a, const wchar_t* b) {
    if (a == nullptr || b == nullptr) {
        return false;
    }
    for (size_t i = 0;; ++i) {
        if (ToLowerAscii(a[i]) != ToLowerAscii(b[i])) {
            return false;
        }
        if (a[i] == L'\0') {
            return true;
        }
    }
}
