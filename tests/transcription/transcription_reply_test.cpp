#include "transcription/transcription_reply.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <optional>
#include <ostream>
#include <string>
#include <utility>

namespace {

// One reply body and what extract_text must make of it: either the text, or the library's error, known by
// its id and, for a document of the wrong type, the type it names. The library's own sentence is not pinned:
// its wording is the library's, and a new release may reword it without any fault of ours.
struct ReplyCase {
    const char* name;
    std::string body;
    std::optional<std::string> text;
    int error_id = 0;
    std::string type_named;
};

ReplyCase gives(const char* name, std::string body, std::string text) {
    return {name, std::move(body), std::move(text), 0, ""};
}

ReplyCase fails(const char* name, std::string body, int id, std::string type_named = "") {
    return {name, std::move(body), std::nullopt, id, std::move(type_named)};
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
        EXPECT_EQ(error.id, row.error_id) << error.what();
        const std::string message = error.what();
        if (!row.type_named.empty()) {
            EXPECT_TRUE(message.ends_with(" " + row.type_named)) << message;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ExtractText,
    testing::Values(
        gives("PlainText", R"({"text":"Hello world."})", "Hello world."),
        gives("EmptyText", R"({"text":""})", ""),
        gives("EscapeBecomesUtf8", R"({"text":"caf\u00e9"})", "caf\xC3\xA9"),
        gives("OtherMemberFirstIsIgnored", R"({"language":"en","text":"hi"})", "hi"),
        gives("WhitespaceAround", " \r\n\t{\"text\":\"x\"}\n ", "x"),
        gives("ByteOrderMarkAccepted", "\xEF\xBB\xBF{\"text\":\"bom\"}", "bom"),
        gives("LineEndsKept", R"({"text":"a\nb"})", "a\nb"), fails("EmptyBody", "", 101),
        fails("NotJson", "not json", 101), fails("TrailingGarbage", R"({"text":"a"} x)", 101),
        fails("CommentsRefused", R"(/* c */ {"text":"a"})", 101),
        fails("TruncatedObject", R"({"text":"a")", 101), fails("ArrayDocument", R"(["text"])", 305, "array"),
        fails("StringDocument", R"("text")", 305, "string"), fails("NumberDocument", "42", 305, "number"),
        fails("BooleanDocument", "true", 305, "boolean"), fails("NullDocument", "null", 302, "null"),
        fails("MissingText", R"({"segments":[]})", 302, "null"),
        fails("NullText", R"({"text":null})", 302, "null"),
        fails("NumberText", R"({"text":1.5})", 302, "number"),
        fails("BooleanText", R"({"text":false})", 302, "boolean"),
        fails("ArrayText", R"({"text":["a"]})", 302, "array"),
        fails("ObjectText", R"({"text":{"a":"b"}})", 302, "object")),
    [](const testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

}  // namespace
