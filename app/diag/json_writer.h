// Writes one JSON document into a TextBuffer, indented by two spaces. Strings come from the
// registry, the file system and the driver, so they are hostile: the output is ASCII only,
// with quotes, backslashes, control characters and every character from U+007F on escaped
// as \uXXXX (a character outside the BMP as its two surrogates, a lone surrogate as itself).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "app/diag/text_buffer.h"

class JsonWriter {
  public:
    explicit JsonWriter(TextBuffer& out) : out_(out) {}
    JsonWriter(const JsonWriter&) = delete;
    JsonWriter& operator=(const JsonWriter&) = delete;

    // Containers nest at most kMaxDepth deep; deeper ones are not opened (the writer then
    // reports failed()).
    static constexpr unsigned kMaxDepth = 16;

    void BeginObject();
    void EndObject();
    void BeginArray();
    void EndArray();
    // Inside an object: the member's name, then exactly one value or container.
    void Key(const char* name);

    void String(const wchar_t* text);  // null writes null
    void Signed(int64_t value);
    void Unsigned(uint64_t value);
    void Bool(bool value);
    void Null();

    // A member in one call.
    void Field(const char* name, const wchar_t* text) {
        Key(name);
        String(text);
    }
    void FieldSigned(const char* name, int64_t value) {
        Key(name);
        Signed(value);
    }
    void FieldUnsigned(const char* name, uint64_t value) {
        Key(name);
        Unsigned(value);
    }
    void FieldBool(const char* name, bool value) {
        Key(name);
        Bool(value);
    }
    void FieldNull(const char* name) {
        Key(name);
        Null();
    }

    // A container closed that was not open, a member without a name, a name outside an
    // object, nesting too deep, or a failed buffer.
    bool failed() const { return misused_ || out_.failed(); }
    // The document is complete: every container that was opened is closed.
    bool complete() const { return depth_ == 0 && wroteValue_ && !failed(); }

  private:
    void BeforeValue();
    void Open(wchar_t bracket);
    void Close(wchar_t bracket);
    void NewLine();

    TextBuffer& out_;
    unsigned depth_ = 0;
    bool hasMembers_[kMaxDepth + 1] = {};
    bool isObject_[kMaxDepth + 1] = {};
    bool afterKey_ = false;
    bool wroteValue_ = false;
    bool misused_ = false;
};

// text as the contents of a JSON string (without the quotes), by the rules above.
void AppendJsonEscaped(TextBuffer& out, const wchar_t* text);
