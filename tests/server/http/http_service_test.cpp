#include "server/http/http_service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>

namespace {

class NoEngine : public server::SpeechToText {
public:
    server::Transcript transcribe(const server::SampleSource&) override {
        throw std::runtime_error("not used");
    }
};

// A bound service on a port the kernel picks, with an engine that is never reached.
class HttpServiceStop : public ::testing::Test {
protected:
    HttpServiceStop() : service_(engine_, options_with_any_port()) {}

    void SetUp() override { ASSERT_TRUE(std::holds_alternative<int>(service_.bind())); }

    std::future<bool> serve() {
        return std::async(std::launch::async, [this] { return service_.run(); });
    }

    static server::Options options_with_any_port() {
        server::Options options;
        options.port = 0;
        return options;
    }

    NoEngine engine_;
    server::HttpService service_;
};

// A stop that comes before serving has begun (a signal during start-up) must still end run().
TEST_F(HttpServiceStop, StopBeforeRunIsNotLost) {
    service_.stop();
    auto served = serve();
    ASSERT_EQ(served.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_TRUE(served.get());
}

TEST_F(HttpServiceStop, StopWhileServingEndsRun) {
    auto served = serve();
    service_.stop();
    ASSERT_EQ(served.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_TRUE(served.get());
}

}  // namespace
