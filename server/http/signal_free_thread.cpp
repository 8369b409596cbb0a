#include "server/http/signal_free_thread.h"

#include <pthread.h>
#include <signal.h>

namespace server {

std::thread start_signal_free_thread(std::function<void()> work) {
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    std::thread thread(std::move(work));  // the new thread inherits the mask in force now
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return thread;
}

}  // namespace server
