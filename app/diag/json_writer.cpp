#include "app/diag/json_writer.h"

namespace {

constexpr unsigned kIndentSpaces = 2;

// The two-character escapes that JSON defines, or 0.
char ShortEscape(wchar_t c) {
    switch (c) {
        case L'"':
            return '"';
        case L'\\':
            return '\\';
        case L'\b':
            return 'b';
        case L'\f':
            return 'f';
        case L'\n':
            return 'n';
        case L'\r':
            return 'r';
        case L'\t':
            return 't';
        default:
            return 0;
    }
}

}  // namespace

void AppendJsonEscaped(TextBuffer& out, const wchar_t* text) {
    if (text == nullptr) {
        return;
    }
    for (const wchar_t* cursor = text; *cursor != L'\0'; ++cursor) {
        const wchar_t c = *cursor;
        if (const char escape = ShortEscape(c)) {
            out.AppendChar(L'\\');
            out.AppendChar(static_cast<wchar_t>(escape));
        } else if (c < 0x20 || c >= 0x7F) {
            out.AppendUnicodeEscape(c);
        } else {
            out.AppendChar(c);
        }
    }
}

void JsonWriter::NewLine() {
    out_.AppendChar(L'\n');
    for (unsigned i = 0; i < depth_ * kIndentSpaces; ++i) {
        out_.AppendChar(L' ');
    }
}

void JsonWriter::BeforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (depth_ == 0) {
        // A second document, or a value where an object needs a name first.
        misused_ = misused_ || wroteValue_;
        wroteValue_ = true;
        return;
    }
    if (isObject_[depth_]) {
        misused_ = true;  // a member needs its name first
    }
    if (hasMembers_[depth_]) {
        out_.AppendChar(L',');
    }
    hasMembers_[depth_] = true;
    NewLine();
}

void JsonWriter::Open(wchar_t bracket) {
    if (depth_ == kMaxDepth) {
        misused_ = true;
        return;
    }
    BeforeValue();
    out_.AppendChar(bracket);
    ++depth_;
    hasMembers_[depth_] = false;
    isObject_[depth_] = bracket == L'{';
}

void JsonWriter::Close(wchar_t bracket) {
    if (depth_ == 0 || afterKey_ || isObject_[depth_] != (bracket == L'}')) {
        misused_ = true;
        return;
    }
    const bool hadMembers = hasMembers_[depth_];
    --depth_;
    if (hadMembers) {
        NewLine();
    }
    out_.AppendChar(bracket);
}

void JsonWriter::BeginObject() {
    Open(L'{');
}

void JsonWriter::EndObject() {
    Close(L'}');
}

void JsonWriter::BeginArray() {
    Open(L'[');
}

void JsonWriter::EndArray() {
    Close(L']');
}

void JsonWriter::Key(const char* name) {
    if (depth_ == 0 || afterKey_ || !isObject_[depth_]) {
        misused_ = true;
        return;
    }
    if (hasMembers_[depth_]) {
        out_.AppendChar(L',');
    }
    hasMembers_[depth_] = true;
    NewLine();
    out_.AppendChar(L'"');
    for (const char* cursor = name; *cursor != '\0'; ++cursor) {
        const wchar_t c = static_cast<wchar_t>(static_cast<unsigned char>(*cursor));
        wchar_t one[2] = {c, L'\0'};
        AppendJsonEscaped(out_, one);
    }
    out_.AppendAscii("\": ");
    afterKey_ = true;
}

void JsonWriter::String(const wchar_t* text) {
    if (text == nullptr) {
        Null();
        return;
    }
    BeforeValue();
    out_.AppendChar(L'"');
    AppendJsonEscaped(out_, text);
    out_.AppendChar(L'"');
}

void JsonWriter::Signed(int64_t value) {
    BeforeValue();
    out_.AppendSigned(value);
}

void JsonWriter::Unsigned(uint64_t value) {
    BeforeValue();
    out_.AppendDecimal(value);
}

void JsonWriter::Bool(bool value) {
    BeforeValue();
    out_.AppendAscii(value ? "true" : "false");
}

void JsonWriter::Null() {
    BeforeValue();
    out_.AppendAscii("null");
}
