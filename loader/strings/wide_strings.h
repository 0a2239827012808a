// Bounded UTF-16 string and path operations used by the trusted module loader.
//
// Characters are UTF-16 code units; lengths never include the terminating NUL. The
// backslash is the only path separator here; case folding touches ASCII A-Z only.
// Nothing here sets the thread's last-error value, apart from what LocalAlloc leaves.
//
// Overlapping buffers: the destination of a bounded operation must not overlap its source.
// Callers never pass overlapping buffers; the result of doing so is unspecified (the
// operations copy forwards one character at a time, but make no promise about it).
#pragma once

#include <stdint.h>

using StringResult = int32_t;

constexpr StringResult kStringOk = 0;
constexpr StringResult kStringInvalidArgument =
    static_cast<StringResult>(0x80070057);  // E_INVALIDARG
constexpr StringResult kStringTruncated =
    static_cast<StringResult>(0x8007007A);  // insufficient buffer

// Largest capacity, bound or count that the bounded operations accept, in characters.
constexpr uint32_t kMaxStringChars = 0x7FFFFFFF;

// --- Bounded operations on a caller-owned buffer -----------------------------------------

// Copies source into destination (capacity in characters, NUL included). Truncates to
// capacity - 1 characters with kStringTruncated when the source does not fit.
StringResult StringCopyBounded(wchar_t* destination, uint32_t capacity, const wchar_t* source);

// As StringCopyBounded, but reads at most maximum characters of source, which then needs no
// NUL within them.
StringResult StringCopyBoundedN(wchar_t* destination, uint32_t capacity, const wchar_t* source,
                                uint32_t maximum);

// Length of string when its NUL lies within the first bound characters; length may be null.
StringResult StringLengthBounded(const wchar_t* string, uint32_t bound, uint32_t* length);

// Appends source to the NUL-terminated text in destination (capacity in characters).
StringResult StringAppendChars(wchar_t* destination, uint32_t capacity, const wchar_t* source);

// As StringAppendChars with the capacity given in bytes (an odd byte is not used).
StringResult StringAppendBytes(wchar_t* destination, uint32_t sizeInBytes, const wchar_t* source);

// --- Path inspection: positions inside the given string, no allocation -------------------

// Just after the last backslash, or path itself when it has none.
const wchar_t* GetFileNamePart(const wchar_t* path);
// The last dot after every backslash, or the terminating NUL when there is none.
const wchar_t* FindFileExtension(const wchar_t* name);
// 1 when the file-name part of path names the same module as moduleName (a missing
// extension counts as ".dll"), else 0.
int IsSameModuleName(const wchar_t* path, const wchar_t* moduleName);

// --- Allocating operations: LocalAlloc(LMEM_ZEROINIT), freed by the caller with LocalFree --

wchar_t* DuplicateString(const wchar_t* text);
wchar_t* DuplicateStringPrefix(const wchar_t* text, uint32_t maximum);
// first, a backslash where neither side supplies one, second.
wchar_t* JoinPath(const wchar_t* first, const wchar_t* second);
// name + ".dll" when it has no extension; name without its final dot when the extension is a
// lone dot; otherwise an unchanged copy.
wchar_t* EnsureDllExtension(const wchar_t* name);

// --- ASCII-only case folding, shared by every case-insensitive test of the loader ---------

constexpr wchar_t ToLowerAscii(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + (L'a' - L'A')) : c;
}
constexpr bool IsAsciiLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// Whether the first count characters of a and b are equal ignoring ASCII case. Reads no
// further than the first difference, so a shorter NUL-terminated string stops the scan.
bool IsEqualIgnoringCaseN(const wchar_t* a, const wchar_t* b, uint32_t count);
// Whether a and b are equal ignoring ASCII case (same length, same folded characters).
bool IsEqualIgnoringCase(const wchar_t* a, const wchar_t* b);
