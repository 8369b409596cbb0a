#include "app/text_delivery.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(TypedKeys, NoControlCharacterIsTypedAndALineEndIsEnterOnlyWhenAsked) {
    const struct {
        std::string text;
        std::string plain;     // without --type-newlines
        std::string newlines;  // with it
    } rows[] = {
        {"Hello world.", "Hello world. ", "Hello world. "},
        {"one\ntwo\r\nthree\rfour", "one two three four ", "one\ntwo\nthree\nfour "},
        {"tab\there", "tab here ", "tab here "},
        {"bell\x07, escape\x1b[2J, delete\x7f", "bell, escape[2J, delete ", "bell, escape[2J, delete "},
        {"C1 \xc2\x9b"
         "31m, not C1 \xc2\xa0\xc3\xa9 \xe6\x97\xa5",
         "C1 31m, not C1 \xc2\xa0\xc3\xa9 \xe6\x97\xa5 ", "C1 31m, not C1 \xc2\xa0\xc3\xa9 \xe6\x97\xa5 "},
        {"", "", ""},
        {"\x07\x1b", "", ""},
        {"\n\t \r\n", "", ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(typed_keys(row.text, false), row.plain) << row.text;
        EXPECT_EQ(typed_keys(row.text, true), row.newlines) << row.text;
    }
}

struct Calls {
    std::vector<std::string> copied, typed, told;
};

DesktopSeams desktop(Calls& calls, DesktopResult copy_result, DesktopResult type_result) {
    return {[&calls, copy_result](const std::string& text, std::chrono::milliseconds) {
                calls.copied.push_back(text);
                return copy_result;
            },
            [&calls, type_result](const std::string& keys, std::chrono::milliseconds) {
                calls.typed.push_back(keys);
                return type_result;
            }};
}

TEST(TextDelivery, NoDesktopIsToldOnceAndNotTriedAgainButAFailingToolEveryTake) {
    using Outcome = DesktopResult::Outcome;
    Calls calls;
    TextDelivery delivery(
        {true, true, false}, [&calls](std::string_view line) { calls.told.emplace_back(line); },
        desktop(calls, {Outcome::unavailable, "install xclip"}, {Outcome::failed, "xdotool: stuck"}));
    delivery.deliver("first\ntake");
    delivery.deliver("second");
    EXPECT_EQ(calls.copied, (std::vector<std::string>{"first\ntake"}));  // as saved, line end and all
    EXPECT_EQ(calls.typed, (std::vector<std::string>{"first take ", "second "}));
    EXPECT_EQ(
        calls.told,
        (std::vector<std::string>{
            "the text can't be copied to the clipboard: install xclip; dictation goes on, the text is shown "
            "and saved as always",
            "this take's text was not typed: xdotool: stuck; it is shown and saved as always",
            "this take's text was not typed: xdotool: stuck; it is shown and saved as always"}));
}

}  // namespace
