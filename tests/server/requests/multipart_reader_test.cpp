#include "server/requests/multipart_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Part {
    std::string name;
    std::string filename;
    std::string content;
    bool operator==(const Part&) const = default;
};

struct Outcome {
    std::vector<Part> parts;
    bool ok = true;
    bool complete = false;
};

// Feeds `body` in pieces of `piece` bytes.
Outcome read(const std::string& body, std::size_t piece, const std::string& boundary = "xyz") {
    Outcome out;
    server::MultipartReader reader(
        boundary,
        [&](const std::string& name, const std::string& file) {
            out.parts.push_back({name, file, ""});
        },
        [&](std::string_view bytes) { out.parts.back().content.append(bytes); });
    for (std::size_t at = 0; at < body.size() && out.ok; at += piece)
        out.ok = reader.feed(body.substr(at, piece));
    out.complete = reader.complete();
    return out;
}

const std::string two_parts =
    "preamble to ignore\r\n"
    "--xyz\r\nContent-Disposition: form-data; name=\"comment\"\r\n\r\nhello\r\n"
    "--xyz  \r\ncontent-disposition: form-data; filename=\"take.wav\"; name=audio\r\n"
    "Content-Type: audio/wav\r\n\r\nRIFF\r\n--xy\r\n-xyz not yet\r\n--xyz--\r\nepilogue";

TEST(MultipartReader, SplitsPartsWhateverTheFeedSizes) {
    const std::vector<Part> expected{{"comment", "", "hello"},
                                     {"audio", "take.wav", "RIFF\r\n--xy\r\n-xyz not yet"}};
    for (std::size_t piece : {1, 2, 3, 7, 64, 4096}) {
        const Outcome out = read(two_parts, piece);
        EXPECT_TRUE(out.ok) << piece;
        EXPECT_TRUE(out.complete) << piece;
        EXPECT_EQ(out.parts, expected) << piece;
    }
}

TEST(MultipartReader, HoldsBackNoMoreThanABoundaryOfContent) {
    std::size_t passed = 0;
    server::MultipartReader reader(
        "xyz", [](const std::string&, const std::string&) {},
        [&](std::string_view bytes) { passed += bytes.size(); });
    ASSERT_TRUE(reader.feed("--xyz\r\nContent-Disposition: form-data; name=audio\r\n\r\n"));
    const std::string megabyte(1 << 20, 'a');
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(reader.feed(megabyte));
    EXPECT_GE(passed, (8u << 20) - std::string("\r\n--xyz").size());
    EXPECT_FALSE(reader.complete());
}

TEST(MultipartReader, RefusesMalformedBodies) {
    const std::string disposition = "Content-Disposition: form-data; name=a\r\n\r\n";
    struct Row {
        const char* name;
        std::string body;
        bool ok;
        bool complete;
    };
    const Row rows[] = {
        {"cut off inside a part", "--xyz\r\n" + disposition + "data", true, false},
        {"no delimiter at all", "just text", true, false},
        {"part without headers", "--xyz\r\n\r\ndata\r\n--xyz--", false, false},
        {"part without a name", "--xyz\r\nContent-Disposition: form-data\r\n\r\nx\r\n--xyz--", false, false},
        {"not form-data", "--xyz\r\nContent-Disposition: attachment; name=a\r\n\r\nx\r\n--xyz--", false,
         false},
        {"garbage after a delimiter", "--xyzGARBAGE\r\n" + disposition + "x\r\n--xyz--", false, false},
        {"endless part headers", "--xyz\r\nX: " + std::string(20000, 'h'), false, false},
        {"empty form", "--xyz--\r\n", true, true},
    };
    for (const Row& row : rows) {
        const Outcome out = read(row.body, 5);
        EXPECT_EQ(out.ok, row.ok) << row.name;
        EXPECT_EQ(out.complete, row.complete) << row.name;
    }
}

}  // namespace
