// A strict JSON reader for the tests of the companion's --json output: one document as
// RFC 8259 defines it and nothing else. No comments, no trailing commas, no leading zeros
// or bare signs, no raw control characters or unknown escapes in strings, no duplicate
// names in an object, no text after the document but white space. Strings come back as
// UTF-16, \uXXXX escapes taken as code units (so a lone surrogate survives).
#pragma once

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace testing_support {

struct JsonValue {
    enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };

    Type type = Type::kNull;
    bool boolean = false;
    std::string number;  // the number's text as written
    std::wstring text;
    std::vector<JsonValue> items;
    std::vector<std::pair<std::string, JsonValue>> members;

    bool is(Type wanted) const { return type == wanted; }
    // The member of an object, or null when there is none (or this is no object).
    const JsonValue* Find(const std::string& name) const;
    // The member, which must exist: a missing one is a test failure and gives a null value.
    const JsonValue& operator[](const std::string& name) const;
    // A number without fraction or exponent as an integer; false otherwise.
    bool AsInteger(int64_t* value) const;
};

// True with *value set when text is exactly one JSON document; otherwise false with *error
// telling what is wrong and where.
bool ParseJson(const std::string& text, JsonValue* value, std::string* error);

// Every byte is 7-bit ASCII.
bool IsAscii(const std::string& text);

}  // namespace testing_support
