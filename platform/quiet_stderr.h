#pragma once

// While alive, standard error (descriptor 2) is pointed at the null device (/dev/null, NUL); the destructor
// points it back.
//
// The audio stack prints dozens of lines of its own every time it starts (probing sound cards and sound
// servers that aren't there); they mean nothing to the person at the console and push the dialogue off
// screen. The libraries' own error hooks would not cover all of them (each library has a different one, and
// some print with no hook at all), so the descriptor is muted instead, for exactly the audio calls that
// make the noise. What matters of a failure is carried in our own message instead.
//
// Main thread, and only while no other thread of ours writes to standard error. Does nothing if the
// descriptors cannot be set up.
class QuietStderr {
public:
    QuietStderr();
    ~QuietStderr();
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int saved_ = -1;
};
