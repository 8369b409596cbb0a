#include "server/recognition/take_series.h"

#include <gtest/gtest.h>

#include <string>

namespace {

server::SeriesHistory take_with(float value) {
    server::SeriesHistory take;
    take.mean = {value, value};
    take.loudest = value;
    take.quietest = {-value, 0.0f};
    take.takes = 1;
    return take;
}

const std::string first(32, 'a');
const std::string second(32, 'b');

// A series is known only from its first finished take on, and each series only from its own takes.
TEST(TakeSeries, HistoryComesFromTheSeriesOwnFinishedTakes) {
    server::TakeSeries series;
    EXPECT_FALSE(series.history(first)) << "an unknown series";
    series.learn(first, take_with(1.0f));
    EXPECT_FALSE(series.history(second)) << "another series' takes";
    const auto known = series.history(first);
    ASSERT_TRUE(known);
    EXPECT_EQ(known->mean, (std::vector<float>{1.0f, 1.0f}));
    EXPECT_EQ(known->takes, 1u);
    // A history taken before a take is learnt is not changed by it: a take is normalised with what the
    // takes before it taught, never with itself.
    series.learn(first, take_with(3.0f));
    EXPECT_EQ(known->mean, (std::vector<float>{1.0f, 1.0f}));
    const auto later = series.history(first);
    ASSERT_TRUE(later);
    EXPECT_EQ(later->mean, (std::vector<float>{2.0f, 2.0f}));
    // The loudness range is the newest take's alone.
    EXPECT_EQ(later->loudest, 3.0f);
    EXPECT_EQ(later->quietest, (std::vector<float>{-3.0f, 0.0f}));
    EXPECT_EQ(later->takes, 2u);
}

// A speaker who moves (another room, another microphone) is followed: past the takes remembered, the newest
// take weighs a fixed share, so an old take's weight fades away.
TEST(TakeSeries, NewTakesOutweighOldOnesPastTheTakesRemembered) {
    server::TakeSeries series;
    series.learn(first, take_with(0.0f));
    for (int i = 0; i < 40; ++i) series.learn(first, take_with(10.0f));
    EXPECT_NEAR(series.history(first)->mean[0], 10.0f, 0.01f);
}

// Clients that never come back cost nothing: the series used least recently is forgotten first, and a look
// at a series counts as a use.
TEST(TakeSeries, KeepsOnlyTheSeriesUsedLast) {
    server::TakeSeries series(3);
    const std::string ids[] = {std::string(32, '1'), std::string(32, '2'), std::string(32, '3'),
                               std::string(32, '4')};
    for (int i = 0; i < 3; ++i) series.learn(ids[i], take_with(static_cast<float>(i)));
    EXPECT_TRUE(series.history(ids[0]));  // now the one used last
    series.learn(ids[3], take_with(3.0f));
    EXPECT_EQ(series.size(), 3u);
    EXPECT_TRUE(series.history(ids[0]));
    EXPECT_FALSE(series.history(ids[1])) << "the one unused longest";
    EXPECT_TRUE(series.history(ids[2]));
    EXPECT_TRUE(series.history(ids[3]));

    server::TakeSeries bounded;
    for (int i = 0; i < 200; ++i) {
        std::string id = std::to_string(i);
        bounded.learn(id.insert(0, 32 - id.size(), '0'), take_with(1.0f));
    }
    EXPECT_EQ(bounded.size(), server::TakeSeries::default_capacity);
}

TEST(TakeSeries, AnIdIsThirtyTwoLowercaseHexDigits) {
    struct Row {
        std::string id;
        bool valid;
    };
    const Row rows[] = {
        {"0123456789abcdef0123456789abcdef", true},  {"", false},
        {"0123456789abcdef0123456789abcde", false},  {"0123456789abcdef0123456789abcdef0", false},
        {"0123456789ABCDEF0123456789abcdef", false}, {"0123456789abcdef0123456789abcdeg", false},
        {"0123456789abcdef 123456789abcdef", false}};
    for (const Row& row : rows) EXPECT_EQ(server::is_series_id(row.id), row.valid) << '"' << row.id << '"';
}

}  // namespace
