#include "tests/support/json_check.h"

#include <gtest/gtest.h>

namespace testing_support {

namespace {

// Deep enough for any report; a deeper document is refused rather than risking the stack.
constexpr int kMaxDepth = 64;

class Parser {
  public:
    explicit Parser(const std::string& text) : text_(text) {}

    bool Document(JsonValue* value) {
        SkipSpace();
        if (!Value(value, 0)) {
            return false;
        }
        SkipSpace();
        return at_ == text_.size() || Fail("text after the document");
    }
    const std::string& error() const { return error_; }

  private:
    bool Fail(const std::string& what) {
        if (error_.empty()) {
            error_ = what + " at byte " + std::to_string(at_);
        }
        return false;
    }
    bool AtEnd() const { return at_ >= text_.size(); }
    char Peek() const { return AtEnd() ? '\0' : text_[at_]; }

    void SkipSpace() {
        while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) {
            ++at_;
        }
    }

    bool Literal(const char* word) {
        const std::string expected(word);
        if (text_.compare(at_, expected.size(), expected) != 0) {
            return Fail("unknown literal");
        }
        at_ += expected.size();
        return true;
    }

    bool Value(JsonValue* value, int depth) {
        if (depth > kMaxDepth) {
            return Fail("nesting too deep");
        }
        switch (Peek()) {
            case '{':
                return Object(value, depth);
            case '[':
                return Array(value, depth);
            case '"':
                value->type = JsonValue::Type::kString;
                return String(&value->text);
            case 't':
                value->type = JsonValue::Type::kBool;
                value->boolean = true;
                return Literal("true");
            case 'f':
                value->type = JsonValue::Type::kBool;
                return Literal("false");
            case 'n':
                value->type = JsonValue::Type::kNull;
                return Literal("null");
            default:
                value->type = JsonValue::Type::kNumber;
                return Number(&value->number);
        }
    }

    bool Object(JsonValue* value, int depth) {
        value->type = JsonValue::Type::kObject;
        ++at_;
        SkipSpace();
        if (Peek() == '}') {
            ++at_;
            return true;
        }
        for (;;) {
            SkipSpace();
            if (Peek() != '"') {
                return Fail("a member name must be a string");
            }
            std::wstring wide;
            if (!String(&wide)) {
                return false;
            }
            std::string name;
            for (wchar_t c : wide) {
                if (c >= 0x80) {
                    return Fail("member names of these reports are ASCII");
                }
                name += static_cast<char>(c);
            }
            if (value->Find(name) != nullptr) {
                return Fail("duplicate member \"" + name + "\"");
            }
            SkipSpace();
            if (Peek() != ':') {
                return Fail("':' expected");
            }
            ++at_;
            SkipSpace();
            JsonValue member;
            if (!Value(&member, depth + 1)) {
                return false;
            }
            value->members.emplace_back(name, std::move(member));
            SkipSpace();
            if (Peek() == ',') {
                ++at_;
                continue;
            }
            if (Peek() == '}') {
                ++at_;
                return true;
            }
            return Fail("',' or '}' expected");
        }
    }

    bool Array(JsonValue* value, int depth) {
        value->type = JsonValue::Type::kArray;
        ++at_;
        SkipSpace();
        if (Peek() == ']') {
            ++at_;
            return true;
        }
        for (;;) {
            SkipSpace();
            JsonValue item;
            if (!Value(&item, depth + 1)) {
                return false;
            }
            value->items.push_back(std::move(item));
            SkipSpace();
            if (Peek() == ',') {
                ++at_;
                continue;
            }
            if (Peek() == ']') {
                ++at_;
                return true;
            }
            return Fail("',' or ']' expected");
        }
    }

    static int HexValue(char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    bool Escape(std::wstring* out) {
        const char c = Peek();
        ++at_;
        switch (c) {
            case '"':
                *out += L'"';
                return true;
            case '\\':
                *out += L'\\';
                return true;
            case '/':
                *out += L'/';
                return true;
            case 'b':
                *out += L'\b';
                return true;
            case 'f':
                *out += L'\f';
                return true;
            case 'n':
                *out += L'\n';
                return true;
            case 'r':
                *out += L'\r';
                return true;
            case 't':
                *out += L'\t';
                return true;
            case 'u': {
                unsigned unit = 0;
                for (int i = 0; i < 4; ++i) {
                    const int digit = HexValue(Peek());
                    if (digit < 0) {
                        return Fail("\\u needs four hex digits");
                    }
                    unit = unit * 16 + static_cast<unsigned>(digit);
                    ++at_;
                }
                *out += static_cast<wchar_t>(unit);
                return true;
            }
            default:
                --at_;
                return Fail("unknown escape");
        }
    }

    // One UTF-8 sequence, strictly (no overlong forms, no surrogates), as UTF-16.
    bool Utf8(std::wstring* out) {
        const unsigned char lead = static_cast<unsigned char>(Peek());
        int extra = lead >= 0xF0 && lead <= 0xF4 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : -1;
        if (lead >= 0xF5 || extra < 0 || (lead >= 0x80 && lead < 0xC2)) {
            return Fail("invalid UTF-8");
        }
        uint32_t code = lead & (0x3F >> extra);
        ++at_;
        for (int i = 0; i < extra; ++i) {
            const unsigned char next = static_cast<unsigned char>(Peek());
            if ((next & 0xC0) != 0x80) {
                return Fail("invalid UTF-8");
            }
            code = (code << 6) | (next & 0x3F);
            ++at_;
        }
        const uint32_t minimum = extra == 1 ? 0x80 : extra == 2 ? 0x800 : 0x10000;
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return Fail("invalid UTF-8");
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            *out += static_cast<wchar_t>(0xD800 + (code >> 10));
            *out += static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
        } else {
            *out += static_cast<wchar_t>(code);
        }
        return true;
    }

    bool String(std::wstring* out) {
        ++at_;  // the opening quote
        for (;;) {
            if (AtEnd()) {
                return Fail("unterminated string");
            }
            const unsigned char c = static_cast<unsigned char>(Peek());
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c < 0x20) {
                return Fail("raw control character in a string");
            }
            if (c == '\\') {
                ++at_;
                if (!Escape(out)) {
                    return false;
                }
            } else if (c >= 0x80) {
                if (!Utf8(out)) {
                    return false;
                }
            } else {
                *out += static_cast<wchar_t>(c);
                ++at_;
            }
        }
    }

    bool Digits() {
        const size_t start = at_;
        while (Peek() >= '0' && Peek() <= '9') {
            ++at_;
        }
        return at_ > start;
    }

    bool Number(std::string* out) {
        const size_t start = at_;
        if (Peek() == '-') {
            ++at_;
        }
        if (Peek() == '0') {
            ++at_;
        } else if (!Digits()) {
            return Fail("a value expected");
        }
        if (Peek() == '.') {
            ++at_;
            if (!Digits()) {
                return Fail("digits expected after '.'");
            }
        }
        if (Peek() == 'e' || Peek() == 'E') {
            ++at_;
            if (Peek() == '+' || Peek() == '-') {
                ++at_;
            }
            if (!Digits()) {
                return Fail("digits expected in the exponent");
            }
        }
        *out = text_.substr(start, at_ - start);
        return true;
    }

    const std::string& text_;
    size_t at_ = 0;
    std::string error_;
};

}  // namespace

const JsonValue* JsonValue::Find(const std::string& name) const {
    for (const auto& member : members) {
        if (member.first == name) {
            return &member.second;
        }
    }
    return nullptr;
}

const JsonValue& JsonValue::operator[](const std::string& name) const {
    static const JsonValue kMissing;
    const JsonValue* member = type == Type::kObject ? Find(name) : nullptr;
    if (member == nullptr) {
        ADD_FAILURE() << "no member \"" << name << "\"";
        return kMissing;
    }
    return *member;
}

bool JsonValue::AsInteger(int64_t* value) const {
    if (type != Type::kNumber || number.find_first_of(".eE") != std::string::npos) {
        return false;
    }
    *value = std::stoll(number);
    return true;
}

bool ParseJson(const std::string& text, JsonValue* value, std::string* error) {
    Parser parser(text);
    *value = JsonValue();
    const bool ok = parser.Document(value);
    if (!ok && error != nullptr) {
        *error = parser.error();
    }
    return ok;
}

bool IsAscii(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

}  // namespace testing_support
