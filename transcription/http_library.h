// The HTTP library's process-wide state, set up once by each program that talks to the server.
#pragma once

#include <string>

namespace transcription {

// Sets up the HTTP library's global state on construction and tears it down on destruction. Neither is
// safe while any other thread of the process uses the library (or, on some systems, runs at all), and a
// take's streamed upload runs a thread of its own, so each program holds one in main(), made before any
// thread starts and destroyed after the last request has ended. Nothing else in the program sets the
// library up or tears it down.
//
// Failure: when the library cannot be set up, problem() says so in one line for the caller's message funnel;
// every request made after that then fails as one the library could not start.
class HttpLibrary {
public:
    HttpLibrary();
    ~HttpLibrary();
    HttpLibrary(const HttpLibrary&) = delete;
    HttpLibrary& operator=(const HttpLibrary&) = delete;

    // Empty when the library is ready.
    const std::string& problem() const { return problem_; }

private:
    std::string problem_;
};

}  // namespace transcription
