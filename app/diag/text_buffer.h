// The companion's text: a growable UTF-16 buffer on the process heap, and writing it to a
// standard handle. The companion formats everything itself rather than with msvcrt's
// _snwprintf: a printf-style call writes into a fixed size that a long registry path can
// overrun or cut short, and its output follows the C runtime's locale, while every report
// here must come out the same on every machine. The buffer grows instead, and a failed
// allocation is remembered (failed()) rather than truncating silently.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

class TextBuffer {
  public:
    TextBuffer() = default;
    ~TextBuffer();
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;

    // A null text appends nothing. When an allocation fails the buffer keeps what it had
    // and stays failed; what is appended after that is dropped.
    void Append(const wchar_t* text);
    void Append(const wchar_t* text, size_t length);
    void AppendAscii(const char* text);
    void AppendChar(wchar_t c);
    void AppendDecimal(uint64_t value);
    void AppendSigned(int64_t value);
    // "0x" and exactly digits upper-case hex digits (at most 8).
    void AppendHex(uint32_t value, unsigned digits);
    // c as \uXXXX, four lower-case hex digits: the one escape of both the text and the
    // JSON reports.
    void AppendUnicodeEscape(wchar_t c);
    // Text that may come from the registry or the file system, for a terminal: characters
    // that control or reorder what is shown (C0, DEL, C1, bidirectional marks, line and
    // paragraph separators) and lone surrogates appear as \uXXXX.
    void AppendPrintable(const wchar_t* text);

    void Clear();
    // Always NUL-terminated; "" when nothing was appended.
    const wchar_t* text() const { return data_ != nullptr ? data_ : L""; }
    size_t length() const { return length_; }
    bool empty() const { return length_ == 0; }
    bool failed() const { return failed_; }

  private:
    bool Reserve(size_t more);

    wchar_t* data_ = nullptr;
    size_t length_ = 0;
    size_t capacity_ = 0;  // characters, the NUL included
    bool failed_ = false;
};

// A copied text that may also be absent (null), as the loader's reports give them.
class OptionalText {
  public:
    void Set(const wchar_t* text);
    bool present() const { return present_; }
    const wchar_t* get() const { return present_ ? text_.text() : nullptr; }

  private:
    TextBuffer text_;
    bool present_ = false;
};

// Writes text to the standard handle (STD_OUTPUT_HANDLE or STD_ERROR_HANDLE): as UTF-16 to
// a console, as UTF-8 to a file or pipe. False when it could not all be written.
bool WriteToStandardHandle(DWORD handleId, const TextBuffer& text);
