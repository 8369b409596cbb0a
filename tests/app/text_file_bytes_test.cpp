#include "platform/text_file_bytes.h"

#include <gtest/gtest.h>

namespace {

TEST(CrlfLineEnds, LoneLineFeedsGainACarriageReturnAndExistingPairsStayAsTheyAre) {
    const struct {
        std::string_view text, bytes;
    } rows[] = {
        {"", ""},
        {"a\nb", "a\r\nb"},
        {"a\r\nb", "a\r\nb"},
        {"\n\n", "\r\n\r\n"},
        {"a\r\n\nb\r", "a\r\n\r\nb\r"},
        {"\r\r\n", "\r\r\n"},
        {"caf\xc3\xa9\n", "caf\xc3\xa9\r\n"},
    };
    for (const auto& row : rows) EXPECT_EQ(with_crlf_line_ends(row.text), row.bytes) << row.text;
}

TEST(TextFileBytes, EndWithThisSystemsLineEnd) {
#if defined(_WIN32)
    EXPECT_EQ(text_file_bytes("a\r\nb"), "a\r\nb\r\n");
#else
    EXPECT_EQ(text_file_bytes("a\r\nb"), "a\r\nb\n");
#endif
}

}  // namespace
