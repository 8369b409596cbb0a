// Drives the server's request handling (server::Request, exactly as the HTTP front runs it) with requests
// built from arbitrary bytes: the request line, the headers that matter to it, and a multipart body whose
// parts' content is the bulk of the input (so seeds are WAV files with a few choice bytes at the end), or
// the raw bytes as a body. The body is handed over in pieces whose sizes the input chooses, as the network
// would. The speech engine is a stand-in that hears the audio through and answers at once, or fails as a
// real one may, so the fuzzer reaches every reply without loading a model.
//
// The handling promises never to throw for anything a client sends and to answer with a JSON object; both
// are checked here (an exception escaping is a finding, and so is a reply that is not a JSON object or
// has a status outside 200-599).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/requests/request_handler.h"

namespace {

class InstantEngine : public server::SpeechToText {
public:
    explicit InstantEngine(unsigned failure) : failure_(failure) {}
    server::Transcript transcribe(const server::SampleSource& audio) override {
        if (failure_ == 1) throw server::EngineUnavailable("the stand-in engine has no thread");
        std::size_t heard = 0;
        audio.play([&heard](std::span<const std::int16_t> block) { heard += block.size(); });
        if (failure_ == 2) throw std::runtime_error("the stand-in engine gave up");
        return {heard == 0 ? "" : "heard " + std::to_string(heard) + " samples", 0.0};
    }

private:
    unsigned failure_;
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

std::string form_part(const std::string& name, const std::string& filename, const std::string& content) {
    return "--x\r\nContent-Disposition: form-data; name=\"" + name + "\"; filename=\"" + filename +
           "\"\r\nContent-Type: audio/wav\r\n\r\n" + content + "\r\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Choices in(data, size);
    constexpr std::uint64_t max_upload_bytes = 1 << 20;

    const std::string method = in.pick({"POST", "GET", "PUT", "HEAD"});
    const std::string path = in.pick({"/transcribe", "/health", "/"});
    const bool has_length = in.flag();
    const unsigned length_choice = in.byte();
    std::string content_type;
    if (in.flag()) {
        content_type = in.pick({"multipart/form-data; boundary=x", "multipart/form-data", "audio/wav",
                                "Multipart/Form-Data; BOUNDARY=\"x\"",
                                "multipart/form-data; charset=UTF-8; Boundary=x"});
    }
    const unsigned failure = in.byte() % 16 == 15 ? 1 + in.byte() % 2 : 0;
    // The network hands a body over in pieces of any size; these are chosen before the bulk is taken.
    std::vector<std::size_t> pieces;
    for (int i = 0; i < 4; ++i) pieces.push_back(1 + in.byte() * (1 + in.byte() % 64));
    const bool raw_body = in.byte() % 8 == 7;
    std::string body;
    if (raw_body) {
        body = in.rest();
    } else {
        const int parts = static_cast<int>(in.byte() % 4);
        for (int i = 0; i < parts; ++i) {
            const std::string name = in.pick({"audio", "file", "other"});
            const std::string filename = in.pick({"take.wav", "", "../../etc/passwd"});
            body += form_part(name, filename, i + 1 == parts ? in.rest() : in.text(255));
        }
        body += in.flag() ? "--x--\r\n" : "--x-";  // closed, or cut short
    }

    server::Headers headers;
    if (has_length) {
        const std::string actual = std::to_string(body.size());
        const char* odd[] = {"0", "99999999999", "-1", "+5", "1e3"};
        headers.emplace_back(length_choice & 1 ? "Content-Length" : "content-length",
                             length_choice % 4 < 2 ? actual : odd[(length_choice >> 2) % 5]);
    }
    if (!content_type.empty()) headers.emplace_back("Content-Type", content_type);

    InstantEngine engine(failure);
    server::Request request(method, path, std::move(headers), max_upload_bytes);
    std::optional<server::Reply> reply = request.start();
    for (std::size_t at = 0, i = 0; !reply && at < body.size(); at += pieces[i++ % pieces.size()])
        reply = request.take(std::string_view(body).substr(at, pieces[i % pieces.size()]));
    if (!reply) reply = request.finish(engine);
    if (reply->status < 200 || reply->status > 599) __builtin_trap();
    if (!nlohmann::json::parse(reply->json).is_object()) __builtin_trap();
    return 0;
}
