#include "app/diag/text_buffer.h"

#include <wchar.h>

namespace {

constexpr size_t kInitialCapacity = 256;
// The most characters a buffer holds: doubling its capacity in bytes never overflows.
constexpr size_t kMaxChars = SIZE_MAX / sizeof(wchar_t) / 4;
constexpr char kHexDigits[] = "0123456789ABCDEF";
// \uXXXX escapes are written in lower case, as JSON writers usually do.
constexpr char kEscapeDigits[] = "0123456789abcdef";
// WriteConsoleW and WriteFile are given at most this much at a time.
constexpr DWORD kWriteChunkChars = 8192;

bool IsHighSurrogate(wchar_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(wchar_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Characters that would let shown text pretend to be something else on a terminal.
bool ControlsTheDisplay(wchar_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

bool WriteAll(HANDLE handle, const char* bytes, size_t count) {
    while (count > 0) {
        const DWORD chunk = count < kWriteChunkChars ? static_cast<DWORD>(count) : kWriteChunkChars;
        DWORD written = 0;
        if (!WriteFile(handle, bytes, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        bytes += written;
        count -= written;
    }
    return true;
}

bool WriteToConsole(HANDLE handle, const wchar_t* text, size_t count) {
    while (count > 0) {
        const DWORD chunk = count < kWriteChunkChars ? static_cast<DWORD>(count) : kWriteChunkChars;
        DWORD written = 0;
        if (!WriteConsoleW(handle, text, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        text += written;
        count -= written;
    }
    return true;
}

// UTF-8 in slices of whole characters: a surrogate pair is never cut between two slices.
bool WriteAsUtf8(HANDLE handle, const wchar_t* text, size_t count) {
    char bytes[kWriteChunkChars * 3];
    while (count > 0) {
        size_t slice = count < kWriteChunkChars ? count : kWriteChunkChars;
        if (slice < count && IsHighSurrogate(text[slice - 1])) {
            --slice;
        }
        const int converted =
            WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(slice), bytes,
                                static_cast<int>(sizeof(bytes)), nullptr, nullptr);
        if (converted <= 0 || !WriteAll(handle, bytes, static_cast<size_t>(converted))) {
            return false;
        }
        text += slice;
        count -= slice;
    }
    return true;
}

}  // namespace

TextBuffer::~TextBuffer() {
    if (data_ != nullptr) {
        HeapFree(GetProcessHeap(), 0, data_);
    }
}

bool TextBuffer::Reserve(size_t more) {
    if (failed_) {
        return false;
    }
    // length_ never exceeds kMaxChars, so the room left cannot wrap around.
    if (more > kMaxChars - 1 - length_) {
        failed_ = true;
        return false;
    }
    const size_t needed = length_ + more + 1;
    if (needed <= capacity_) {
        return true;
    }
    size_t capacity = capacity_ != 0 ? capacity_ : kInitialCapacity;
    while (capacity < needed) {
        capacity = capacity * 2 <= kMaxChars ? capacity * 2 : kMaxChars;
    }
    HANDLE heap = GetProcessHeap();
    void* grown = data_ == nullptr ? HeapAlloc(heap, 0, capacity * sizeof(wchar_t))
                                   : HeapReAlloc(heap, 0, data_, capacity * sizeof(wchar_t));
    if (grown == nullptr) {
        failed_ = true;
        return false;
    }
    data_ = static_cast<wchar_t*>(grown);
    capacity_ = capacity;
    data_[length_] = L'\0';
    return true;
}

void TextBuffer::Append(const wchar_t* text, size_t length) {
    if (text == nullptr || length == 0 || !Reserve(length)) {
        return;
    }
    for (size_t i = 0; i < length; ++i) {
        data_[length_ + i] = text[i];
    }
    length_ += length;
    data_[length_] = L'\0';
}

void TextBuffer::Append(const wchar_t* text) {
    if (text != nullptr) {
        Append(text, wcslen(text));
    }
}

void TextBuffer::AppendAscii(const char* text) {
    if (text == nullptr) {
        return;
    }
    for (; *text != '\0'; ++text) {
        AppendChar(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
    }
}

void TextBuffer::AppendChar(wchar_t c) {
    Append(&c, 1);
}

void TextBuffer::AppendDecimal(uint64_t value) {
    wchar_t digits[20];
    size_t count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) {
        AppendChar(digits[--count]);
    }
}

void TextBuffer::AppendSigned(int64_t value) {
    if (value < 0) {
        AppendChar(L'-');
        // Negated in unsigned arithmetic, so that the smallest value has a magnitude too.
        AppendDecimal(0 - static_cast<uint64_t>(value));
        return;
    }
    AppendDecimal(static_cast<uint64_t>(value));
}

void TextBuffer::AppendHex(uint32_t value, unsigned digits) {
    AppendAscii("0x");
    if (digits > 8) {
        digits = 8;
    }
    for (unsigned i = digits; i > 0; --i) {
        AppendChar(static_cast<wchar_t>(kHexDigits[(value >> ((i - 1) * 4)) & 0xF]));
    }
}

void TextBuffer::AppendUnicodeEscape(wchar_t c) {
    AppendAscii("\\u");
    for (int shift = 12; shift >= 0; shift -= 4) {
        AppendChar(static_cast<wchar_t>(kEscapeDigits[(c >> shift) & 0xF]));
    }
}

void TextBuffer::AppendPrintable(const wchar_t* text) {
    if (text == nullptr) {
        return;
    }
    for (const wchar_t* cursor = text; *cursor != L'\0'; ++cursor) {
        const wchar_t c = *cursor;
        if (IsHighSurrogate(c) && IsLowSurrogate(cursor[1])) {
            Append(cursor, 2);
            ++cursor;
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c) || ControlsTheDisplay(c)) {
            AppendUnicodeEscape(c);
        } else {
            AppendChar(c);
        }
    }
}

void TextBuffer::Clear() {
    length_ = 0;
    if (data_ != nullptr) {
        data_[0] = L'\0';
    }
}

void OptionalText::Set(const wchar_t* text) {
    text_.Clear();
    present_ = text != nullptr;
    text_.Append(text);
}

bool WriteToStandardHandle(DWORD handleId, const TextBuffer& text) {
    HANDLE handle = GetStdHandle(handleId);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        return false;
    }
    if (text.empty()) {
        return true;
    }
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        return WriteToConsole(handle, text.text(), text.length());
    }
    return WriteAsUtf8(handle, text.text(), text.length());
}
