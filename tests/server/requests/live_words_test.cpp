#include "server/requests/live_words.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Kind = server::LiveWords::Reader::Event::Kind;
using Found = server::LiveWords::Found;

const std::string id = "0123456789abcdef0123456789abcdef";

TEST(LiveWords, TakeIdsAreThirtyTwoLowercaseHexDigits) {
    EXPECT_TRUE(server::LiveWords::valid_id(id));
    for (const char* bad : {"", "0123456789abcdef0123456789abcde", "0123456789abcdef0123456789abcdef0",
                            "0123456789ABCDEF0123456789abcdef", "0123456789abcdeg0123456789abcdef",
                            "0123456789abcdef0123456789abcd/.", "0123456789abcdef 123456789abcdef"}) {
        EXPECT_FALSE(server::LiveWords::valid_id(bad)) << bad;
    }
}

// A client may open its events before the upload's audio has begun: the reader waits for the take, and is
// told it is unknown only once the wait is over.
TEST(LiveWords, ReaderWaitsForItsTakeThenGivesUp) {
    server::LiveWords words(1500ms);
    auto waiting = std::async(std::launch::async, [&] { return words.watch(id); });
    EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
    const auto take = words.begin(id);
    ASSERT_TRUE(take);
    const auto found = waiting.get();
    EXPECT_EQ(found.found, Found::take);
    ASSERT_TRUE(found.reader);

    server::LiveWords short_wait(200ms);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(short_wait.watch(id).found, Found::unknown);
    EXPECT_GE(std::chrono::steady_clock::now() - began, 200ms);
}

// The id is what keeps another process from a take's words: one reader per take, ever, and an id being
// decoded can't be taken by a second upload.
TEST(LiveWords, ATakeHasOneReaderAndOneUpload) {
    server::LiveWords words(100ms);
    auto take = words.begin(id);
    ASSERT_TRUE(take);
    EXPECT_FALSE(words.begin(id));
    auto first = words.watch(id);
    EXPECT_EQ(first.found, Found::take);
    EXPECT_EQ(words.watch(id).found, Found::watched);
    first.reader.reset();
    EXPECT_EQ(words.watch(id).found, Found::watched);
    take.reset();
    EXPECT_EQ(words.watch(id).found, Found::unknown);  // its entry went with its upload
    EXPECT_TRUE(words.begin(id));
}

// A reader that falls behind gets the latest text, never a queue of old ones; the last text comes before
// the end, and nothing comes twice.
TEST(LiveWords, ReaderGetsTheLatestTextThenTheEnd) {
    server::LiveWords words(100ms);
    auto take = words.begin(id);
    auto reader = words.watch(id).reader;
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->next(10ms).kind, Kind::none);
    take->publish("one");
    take->publish("one two");
    auto event = reader->next(1s);
    EXPECT_EQ(event.kind, Kind::words);
    EXPECT_EQ(event.text, "one two");
    EXPECT_EQ(reader->next(10ms).kind, Kind::none);
    take->publish("one two");
    EXPECT_EQ(reader->next(10ms).kind, Kind::none);
    take->publish("one two three");
    take.reset();
    event = reader->next(1s);
    EXPECT_EQ(event.kind, Kind::words);
    EXPECT_EQ(event.text, "one two three");
    EXPECT_EQ(reader->next(1s).kind, Kind::end);
    EXPECT_EQ(reader->next(1s).kind, Kind::end);
}

// Words published on the decoding thread reach a reader that is waiting, without waiting out its
// patience.
TEST(LiveWords, WaitingReaderIsWokenByNewWords) {
    server::LiveWords words(100ms);
    auto take = words.begin(id);
    auto reader = words.watch(id).reader;
    std::thread decoding([&] {
        std::this_thread::sleep_for(50ms);
        take->publish("hello");
    });
    const auto began = std::chrono::steady_clock::now();
    const auto event = reader->next(30s);
    decoding.join();
    EXPECT_EQ(event.kind, Kind::words);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 15s);
}

// A stopping server ends every events reply and every wait for a take, whatever their uploads do.
TEST(LiveWords, StopEndsReadersAndWaits) {
    server::LiveWords words(30s);
    auto take = words.begin(id);
    auto reader = words.watch(id).reader;
    auto waiting =
        std::async(std::launch::async, [&] { return words.watch("ffffffffffffffffffffffffffffffff"); });
    auto reading = std::async(std::launch::async, [&] { return reader->next(30s); });
    EXPECT_EQ(reading.wait_for(50ms), std::future_status::timeout);
    words.stop();
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(waiting.get().found, Found::stopping);
    ASSERT_EQ(reading.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(reading.get().kind, Kind::end);
    take->publish("too late to matter");  // an upload still decoding publishes into nothing
}

}  // namespace
