#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace server {

// The words of streamed takes while they are decoded, by the take id their client chose, for the events
// replies that show them as they come (GET /transcribe/events/<id>). A take is here only while its upload
// is being decoded; a reader that comes before its take waits for it a while.
//
// Nothing a reader does holds up the decoding: publishing only replaces the take's text under a short lock,
// and a reader that falls behind is given the latest text, never the ones it missed, so memory per take is
// one text whatever the reader does. The id is what keeps another local process from reading a take's
// words, so a take has at most one reader. Every member is safe from any thread.
class LiveWords {
    struct Shared;
    struct Entry;

public:
    static constexpr std::chrono::milliseconds default_wait{10000};

    // `wait_for_take` is how long a reader waits for a take that has not begun.
    explicit LiveWords(std::chrono::milliseconds wait_for_take = default_wait);
    ~LiveWords();
    LiveWords(const LiveWords&) = delete;
    LiveWords& operator=(const LiveWords&) = delete;

    // Whether `id` is one a client may choose: 32 lowercase hexadecimal digits.
    static bool valid_id(std::string_view id);

    // One take being decoded, held by its upload. Destroying it ends the take: its reader is told so after
    // the last text, and the id is no longer found.
    class Take {
    public:
        ~Take();
        Take(const Take&) = delete;
        Take& operator=(const Take&) = delete;
        // The take's words so far, replacing the last ones (the same words again are no news). Called on the
        // decoding thread; never waits for a reader.
        void publish(std::string text);

    private:
        friend class LiveWords;
        Take(std::shared_ptr<Shared> shared, std::string id, std::shared_ptr<Entry> entry);
        std::shared_ptr<Shared> shared_;
        std::string id_;
        std::shared_ptr<Entry> entry_;
    };

    // The events of one take, for its one reader.
    class Reader {
    public:
        struct Event {
            enum class Kind { words, end, none };
            Kind kind = Kind::none;
            std::string text;  // of words: all the take's words so far
        };
        ~Reader();
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;
        // Waits up to `patience` for something new: the latest text when it has changed since the last
        // call (texts published meanwhile are skipped), else the take's end (after its last text, or once
        // the registry stops), else none.
        Event next(std::chrono::milliseconds patience);

    private:
        friend class LiveWords;
        Reader(std::shared_ptr<Shared> shared, std::shared_ptr<Entry> entry);
        std::shared_ptr<Shared> shared_;
        std::shared_ptr<Entry> entry_;
        std::uint64_t seen_ = 0;
    };

    // Registers `id` (a valid one) as a take now being decoded. Null when a take with that id is being
    // decoded already: the second upload goes on without live words.
    std::unique_ptr<Take> begin(const std::string& id);

    enum class Found { take, unknown, watched, stopping };
    struct Lookup {
        Found found = Found::unknown;
        std::unique_ptr<Reader> reader;  // when found is take
    };
    // The reader of take `id`, waiting up to the registry's wait for the take to begin: unknown when it
    // did not, watched when the take has had a reader already, stopping once stop() was called.
    Lookup watch(const std::string& id);

    // Ends every reader's events (after the text it has not yet read) and every wait for a take; later
    // watches find the registry stopping. Called when the server stops.
    void stop();

private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace server
