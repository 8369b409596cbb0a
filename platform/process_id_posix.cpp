#include "platform/process_id.h"

#include <unistd.h>

unsigned long current_process_id() { return static_cast<unsigned long>(::getpid()); }
