#pragma once

#include <string>

namespace server {

// Holds `VOICE_DIR.lock` (beside the profile folder, created with its parents when missing) locked for as
// long as it lives, so that only one adaptation works on a profile at a time. The lock is the kernel's
// (flock), so it goes with the process however that ends, and the file is never removed: removing it would
// let a third run lock a new file while the second still holds the old one. The file holds the holder's
// process id, for the message of a run that finds it taken.
class ProfileLock {
public:
    // Takes the lock without waiting. Throws std::runtime_error when another process holds it ("another
    // adaptation of it is running (pid N, holding VOICE_DIR.lock)") or the file cannot be made or locked,
    // naming it and the reason.
    // `job` names what the other run does in that message.
    explicit ProfileLock(const std::string& voice_dir, const std::string& job = "adaptation");
    ~ProfileLock();
    ProfileLock(const ProfileLock&) = delete;
    ProfileLock& operator=(const ProfileLock&) = delete;

private:
    int fd_ = -1;
};

}  // namespace server
