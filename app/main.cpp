#include <unistd.h>

#include <ctime>
#include <iostream>

#include "app/interrupt_signal.h"
#include "app/recording_cycle.h"

int main() {
    install_interrupt_handlers();
    const CycleSeams seams{STDIN_FILENO, std::cout, [] { return std::time(nullptr); }, {}};
    return run_recording_cycles(seams);
}
