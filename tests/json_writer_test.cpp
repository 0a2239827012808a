// The companion's JSON writer: every UTF-16 code unit escaped so that a strict reader gets
// it back, ASCII-only output, and documents that a strict reader accepts, with misuse of the
// writer caught rather than written.
#include <stdint.h>

#include <string>

#include <gtest/gtest.h>

#include "app/diag/json_writer.h"
#include "tests/support/json_check.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

std::string Narrow8(const TextBuffer& buffer) {
    return Narrow(std::wstring(buffer.text(), buffer.length()));
}

// The text as a JSON string literal, and what a strict reader makes of it.
struct RoundTrip {
    std::string literal;
    bool parsed;
    std::wstring back;
    std::string error;
};

RoundTrip ThroughJson(const std::wstring& text) {
    TextBuffer out;
    out.AppendChar(L'"');
    AppendJsonEscaped(out, text.c_str());
    out.AppendChar(L'"');
    RoundTrip trip;
    // The writer's output is ASCII, so narrowing loses nothing (checked by the callers).
    trip.literal = Narrow8(out);
    JsonValue value;
    trip.parsed =
        ParseJson(trip.literal, &value, &trip.error) && value.is(JsonValue::Type::kString);
    trip.back = value.text;
    return trip;
}

bool IsAsciiText(const TextBuffer& buffer) {
    for (size_t i = 0; i < buffer.length(); ++i) {
        if (buffer.text()[i] >= 0x80) {
            return false;
        }
    }
    return true;
}

TEST(JsonEscaping, EveryCodeUnitComesBackFromAStrictReader) {
    // Each unit alone, the NUL excepted (texts end at it), lone surrogates included.
    for (unsigned unit = 1; unit <= 0xFFFF; ++unit) {
        const std::wstring text(1, static_cast<wchar_t>(unit));
        TextBuffer out;
        AppendJsonEscaped(out, text.c_str());
        ASSERT_TRUE(IsAsciiText(out)) << "unit " << unit;
        const RoundTrip trip = ThroughJson(text);
        ASSERT_TRUE(trip.parsed) << "unit " << unit << ": " << trip.literal << ": " << trip.error;
        ASSERT_EQ(trip.back, text) << "unit " << unit << ": " << trip.literal;
    }
}

TEST(JsonEscaping, UsesTheShortEscapesAndLowerCaseUnicodeEscapes) {
    EXPECT_EQ(ThroughJson(L"\"\\\b\f\n\r\t").literal, "\"\\\"\\\\\\b\\f\\n\\r\\t\"");
    EXPECT_EQ(ThroughJson(L"\x01\x1F\x7F").literal, "\"\\u0001\\u001f\\u007f\"");
    EXPECT_EQ(ThroughJson(L"/a b~").literal, "\"/a b~\"");
    EXPECT_EQ(ThroughJson(L"caf\u00E9 \u202E").literal, "\"caf\\u00e9 \\u202e\"");
    // Outside the BMP: the two surrogates, each escaped.
    EXPECT_EQ(ThroughJson(L"\U0001F600").literal, "\"\\ud83d\\ude00\"");
}

TEST(JsonEscaping, PathsAndHostileRegistryTextRoundTrip) {
    const std::wstring texts[] = {
        L"C:\\Program Files\\NVIDIA Corporation\\nvapi.dll",
        L"\\\\?\\pci#ven_10de&dev_2684#{1ca05180-a699-450a-9a0c-de4fbe3ddd89}",
        L"C:\\Temp\\\x1B[31mred\x1B[0m\r\nforged line\u2028\u0085\\nv\u00E9.dll",
        std::wstring(L"\xD800tail\xDFFF\xDC00\xDBFF"),
    };
    for (const std::wstring& text : texts) {
        const RoundTrip trip = ThroughJson(text);
        ASSERT_TRUE(trip.parsed) << trip.literal << ": " << trip.error;
        EXPECT_EQ(trip.back, text) << trip.literal;
        EXPECT_TRUE(IsAscii(trip.literal)) << trip.literal;
    }
    // A pseudo-random stretch of every kind of unit, the same at every run.
    std::wstring noise;
    uint32_t state = 0x2545F491;
    for (int i = 0; i < 20000; ++i) {
        state = state * 1664525 + 1013904223;
        const wchar_t unit = static_cast<wchar_t>(state >> 16);
        noise += unit == L'\0' ? L'\x01' : unit;
    }
    const RoundTrip trip = ThroughJson(noise);
    ASSERT_TRUE(trip.parsed) << trip.error;
    EXPECT_EQ(trip.back, noise);
}

TEST(JsonWriter, WritesDocumentsThatAStrictReaderAccepts) {
    TextBuffer out;
    JsonWriter json(out);
    json.BeginObject();
    json.Field("text", L"C:\\a \"b\"");
    json.Field("absent", nullptr);
    json.FieldSigned("smallest", INT64_MIN);
    json.FieldSigned("negative", -2);
    json.FieldUnsigned("largest", UINT64_MAX);
    json.FieldBool("yes", true);
    json.FieldNull("nothing");
    json.Key("empty object");
    json.BeginObject();
    json.EndObject();
    json.Key("empty array");
    json.BeginArray();
    json.EndArray();
    json.Key("list");
    json.BeginArray();
    json.Unsigned(1);
    json.BeginObject();
    json.Field("inner", L"\u00E9");
    json.EndObject();
    json.BeginArray();
    json.Bool(false);
    json.EndArray();
    json.Null();
    json.EndArray();
    json.EndObject();
    ASSERT_TRUE(json.complete());

    const std::string document = Narrow8(out);
    ASSERT_TRUE(IsAsciiText(out));
    JsonValue value;
    std::string error;
    ASSERT_TRUE(ParseJson(document, &value, &error)) << error << "\n" << document;
    EXPECT_EQ(value["text"].text, L"C:\\a \"b\"");
    EXPECT_TRUE(value["absent"].is(JsonValue::Type::kNull));
    EXPECT_EQ(value["smallest"].number, "-9223372036854775808");
    EXPECT_EQ(value["negative"].number, "-2");
    EXPECT_EQ(value["largest"].number, "18446744073709551615");
    EXPECT_TRUE(value["yes"].boolean);
    EXPECT_TRUE(value["nothing"].is(JsonValue::Type::kNull));
    EXPECT_TRUE(value["empty object"].is(JsonValue::Type::kObject));
    EXPECT_TRUE(value["empty object"].members.empty());
    EXPECT_TRUE(value["empty array"].items.empty());
    ASSERT_EQ(value["list"].items.size(), 4u);
    EXPECT_EQ(value["list"].items[1]["inner"].text, L"\u00E9");
    EXPECT_EQ(value["list"].items[2].items.size(), 1u);
    // Two-space indentation, one member a line.
    EXPECT_NE(document.find("{\n  \"text\": \"C:\\\\a \\\"b\\\"\",\n  \"absent\": null,"),
              std::string::npos)
        << document;
}

TEST(JsonWriter, CatchesMisuseInsteadOfWritingBrokenDocuments) {
    struct Case {
        const char* name;
        void (*write)(JsonWriter&);
    };
    const Case cases[] = {
        {"value without a name in an object",
         [](JsonWriter& json) {
             json.BeginObject();
             json.Unsigned(1);
             json.EndObject();
         }},
        {"name inside an array",
         [](JsonWriter& json) {
             json.BeginArray();
             json.Key("x");
             json.Null();
             json.EndArray();
         }},
        {"name without a value",
         [](JsonWriter& json) {
             json.BeginObject();
             json.Key("x");
             json.EndObject();
         }},
        {"array closed as an object",
         [](JsonWriter& json) {
             json.BeginArray();
             json.EndObject();
         }},
        {"closed twice",
         [](JsonWriter& json) {
             json.BeginObject();
             json.EndObject();
             json.EndObject();
         }},
        {"two documents",
         [](JsonWriter& json) {
             json.Null();
             json.Null();
         }},
        {"too deep",
         [](JsonWriter& json) {
             for (unsigned i = 0; i <= JsonWriter::kMaxDepth; ++i) {
                 json.BeginArray();
             }
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TextBuffer out;
        JsonWriter json(out);
        c.write(json);
        EXPECT_TRUE(json.failed());
        EXPECT_FALSE(json.complete());
    }
    TextBuffer out;
    JsonWriter open(out);
    open.BeginObject();
    EXPECT_FALSE(open.failed());
    EXPECT_FALSE(open.complete()) << "an open object is no document";
}

TEST(StrictReader, RefusesWhatJsonDoesNotAllow) {
    // The reader is the oracle of the companion's tests; it must not let these through.
    const char* const refused[] = {
        "",
        "{",
        "{}}",
        "{\"a\":1,}",
        "[1,]",
        "[01]",
        "[+1]",
        "[1.]",
        "[.5]",
        "[1e]",
        "{\"a\":1,\"a\":2}",
        "{a:1}",
        "['a']",
        "[\"\\x41\"]",
        "[\"\\u12\"]",
        "[\"a\tb\"]",
        "[\"\xC3\"]",
        "[\"\xC0\xAF\"]",
        "[\"\xED\xA0\x80\"]",
        "[nul]",
        "[true false]",
        "// c\n1",
        "1 2",
    };
    for (const char* text : refused) {
        JsonValue value;
        std::string error;
        EXPECT_FALSE(ParseJson(text, &value, &error)) << text;
    }
    JsonValue value;
    std::string error;
    EXPECT_TRUE(ParseJson(" {\"a\": [1, -0.5e+3, \"\\u00e9\\/\", true, null]}\n", &value, &error))
        << error;
}

}  // namespace
