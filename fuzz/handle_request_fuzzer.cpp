// Drives the server's request handling with requests built from arbitrary bytes: the request line,
// the headers that matter to it, and form parts whose content is the bulk of the input (so seeds are WAV
// files with a few choice bytes at the end). The speech engine is a stand-in that answers at once, or
// fails as a real one may, so the fuzzer reaches every reply without loading a model.
//
// The last part's bytes are also read as a whole multipart body by the streaming form reader.
//
// The handler promises never to throw for anything a client sends and to answer with a JSON object; both
// are checked here (an exception escaping is a finding, and so is a reply that is not a JSON object or
// has a status outside 200-599).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/multipart_reader.h"
#include "server/request_handler.h"

namespace {

class InstantEngine : public server::SpeechToText {
public:
    explicit InstantEngine(bool fails) : fails_(fails) {}
    std::string transcribe(std::span<const std::int16_t> samples) override {
        if (fails_) throw std::runtime_error("the stand-in engine gave up");
        return samples.empty() ? "" : "heard " + std::to_string(samples.size()) + " samples";
    }

private:
    bool fails_;
};

// Reads choices one byte at a time from the end of the input and free text from its front, so the bulk
// of an input (a WAV file in the seeds) becomes part content. Written here rather than taken from the
// fuzzing engine's headers so the same target also builds with gcc for replaying saved inputs.
class Choices {
public:
    Choices(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    unsigned byte() { return size_ == 0 ? 0 : data_[--size_]; }
    bool flag() { return byte() & 1; }
    std::string text(std::size_t longest) {
        const std::size_t n = std::min<std::size_t>(byte() % (longest + 1), size_);
        return take(n);
    }
    std::string rest() { return take(size_); }

    // Mostly one of the values a real client sends, sometimes anything at all.
    std::string pick(std::initializer_list<const char*> usual) {
        const unsigned choice = byte();
        if (choice % 8 == 7) return text(64);
        return usual.begin()[choice % usual.size()];
    }

private:
    std::string take(std::size_t n) {
        std::string out(reinterpret_cast<const char*>(data_), n);
        data_ += n;
        size_ -= n;
        return out;
    }
    const std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Choices in(data, size);
    constexpr std::uint64_t max_upload_bytes = 1 << 20;

    server::Request request;
    request.method = in.pick({"POST", "GET", "PUT"});
    request.path = in.pick({"/transcribe", "/health", "/"});
    if (in.flag()) {
        request.headers.emplace_back(in.pick({"Content-Length", "content-length"}),
                                     in.pick({"100", "0", "99999999999", "-1", "1e3"}));
    }
    if (in.flag()) {
        request.headers.emplace_back(in.pick({"Content-Type", "CONTENT-TYPE"}),
                                     in.pick({"multipart/form-data; boundary=x", "multipart/form-data",
                                              "audio/wav", "Multipart/Form-Data; BOUNDARY=\"a b\"",
                                              "multipart/form-data; charset=UTF-8; Boundary=x"}));
    }
    const bool engine_fails = in.byte() % 16 == 15;
    const int parts = static_cast<int>(in.byte() % 4);
    // The parts' contents must outlive the request, which only points into them.
    std::vector<std::string> contents;
    contents.reserve(parts);
    for (int i = 0; i < parts; ++i) {
        const std::string name = in.pick({"audio", "file", "other"});
        const std::string filename = in.pick({"take.wav", "", "../../etc/passwd"});
        contents.push_back(i + 1 == parts ? in.rest() : in.text(255));
        request.parts.push_back({name, filename, contents.back()});
    }

    // The last part's bytes also go through the streaming form reader, in pieces of a chosen size, as
    // if they were a whole body: it must neither crash nor pass on more content than it was given.
    if (!contents.empty()) {
        const std::string& body = contents.back();
        const std::size_t piece = 1 + in.byte() % 64;
        std::size_t passed = 0;
        const auto count = [&passed](std::string_view bytes) { passed += bytes.size(); };
        server::MultipartReader form(
            "x", [](const std::string&, const std::string&) {}, count);
        for (std::size_t at = 0; at < body.size() && form.feed(std::string_view(body).substr(at, piece));
             at += piece) {
        }
        if (passed > body.size()) __builtin_trap();
    }

    InstantEngine engine(engine_fails);
    const server::Reply reply = server::handle_request(request, engine, max_upload_bytes);
    if (reply.status < 200 || reply.status > 599) __builtin_trap();
    if (!nlohmann::json::parse(reply.json).is_object()) __builtin_trap();
    return 0;
}
