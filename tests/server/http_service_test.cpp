#include "server/http_service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>

namespace {

class NoEngine : public server::SpeechToText {
public:
    std::string transcribe(std::span<const std::int16_t>) override { throw std::runtime_error("not used"); }
};

// A stop that comes before serving has begun (a signal during start-up) must still end run().
TEST(HttpService, StopBeforeRunIsNotLost) {
    NoEngine engine;
    server::Options options;
    options.port = 0;
    server::HttpService service(engine, options);
    ASSERT_TRUE(std::holds_alternative<int>(service.bind()));
    service.stop();
    auto served = std::async(std::launch::async, [&] { return service.run(); });
    ASSERT_EQ(served.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_TRUE(served.get());
}

TEST(HttpService, StopWhileServingEndsRun) {
    NoEngine engine;
    server::Options options;
    options.port = 0;
    server::HttpService service(engine, options);
    ASSERT_TRUE(std::holds_alternative<int>(service.bind()));
    auto served = std::async(std::launch::async, [&] { return service.run(); });
    service.stop();
    ASSERT_EQ(served.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_TRUE(served.get());
}

}  // namespace
