#include "transcription/transcription_reply.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <optional>
#include <ostream>
#include <string>
#include <utility>

namespace {

// One reply body and what extract_text must make of it: either the text, or the library error with its id
// and full message.
struct ReplyCase {
    const char* name;
    std::string body;
    std::optional<std::string> text;
    int error_id = 0;
    std::string error_message;
};

ReplyCase gives(const char* name, std::string body, std::string text) {
    return {name, std::move(body), std::move(text), 0, ""};
}

ReplyCase fails(const char* name, std::string body, int id, std::string message) {
    return {name, std::move(body), std::nullopt, id, std::move(message)};
}

void PrintTo(const ReplyCase& row, std::ostream* out) { *out << row.name; }

class ExtractText : public testing::TestWithParam<ReplyCase> {};

TEST_P(ExtractText, GivesTheTextOrTheLibrarysError) {
    const ReplyCase& row = GetParam();
    if (row.text) {
        EXPECT_EQ(extract_text(row.body), *row.text);
        return;
    }
    try {
        const std::string text = extract_text(row.body);
        ADD_FAILURE() << "expected error " << row.error_id << ", got text \"" << text << "\"";
    } catch (const nlohmann::json::exception& error) {
        EXPECT_EQ(error.id, row.error_id);
        EXPECT_STREQ(error.what(), row.error_message.c_str());
    }
}

const std::string parse_error = "[json.exception.parse_error.101] parse error at line 1, ";
const std::string lookup_error =
    "[json.exception.type_error.305] cannot use operator[] with a string argument with ";
const std::string not_string = "[json.exception.type_error.302] type must be string, but is ";

INSTANTIATE_TEST_SUITE_P(
    Replies, ExtractText,
    testing::Values(
        gives("PlainText", R"({"text":"Hello world."})", "Hello world."),
        gives("EmptyText", R"({"text":""})", ""),
        gives("EscapeBecomesUtf8", R"({"text":"caf\u00e9"})", "caf\xC3\xA9"),
        gives("OtherMemberFirstIsIgnored", R"({"language":"en","text":"hi"})", "hi"),
        gives("WhitespaceAround", " \r\n\t{\"text\":\"x\"}\n ", "x"),
        gives("ByteOrderMarkAccepted", "\xEF\xBB\xBF{\"text\":\"bom\"}", "bom"),
        gives("LineEndsKept", R"({"text":"a\nb"})", "a\nb"),
        fails("EmptyBody", "", 101,
              parse_error + "column 1: attempting to parse an empty input; check that your input string or "
                            "stream contains the expected JSON"),
        fails("NotJson", "not json", 101,
              parse_error + "column 2: syntax error while parsing value - invalid literal; last read: 'no'"),
        fails("TrailingGarbage", R"({"text":"a"} x)", 101,
              parse_error + "column 14: syntax error while parsing value - invalid literal; last read: "
                            "'\"a\"} x'; expected end of input"),
        fails("CommentsRefused", R"(/* c */ {"text":"a"})", 101,
              parse_error + "column 1: syntax error while parsing value - invalid literal; last read: '/'"),
        fails("TruncatedObject", R"({"text":"a")", 101,
              parse_error + "column 12: syntax error while parsing object - unexpected end of input; "
                            "expected '}'"),
        fails("ArrayDocument", R"(["text"])", 305, lookup_error + "array"),
        fails("StringDocument", R"("text")", 305, lookup_error + "string"),
        fails("NumberDocument", "42", 305, lookup_error + "number"),
        fails("BooleanDocument", "true", 305, lookup_error + "boolean"),
        fails("NullDocument", "null", 302, not_string + "null"),
        fails("MissingText", R"({"segments":[]})", 302, not_string + "null"),
        fails("NullText", R"({"text":null})", 302, not_string + "null"),
        fails("NumberText", R"({"text":1.5})", 302, not_string + "number"),
        fails("BooleanText", R"({"text":false})", 302, not_string + "boolean"),
        fails("ArrayText", R"({"text":["a"]})", 302, not_string + "array"),
        fails("ObjectText", R"({"text":{"a":"b"}})", 302, not_string + "object")),
    [](const testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

}  // namespace
