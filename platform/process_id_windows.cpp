#include "platform/process_id.h"

#include <windows.h>

unsigned long current_process_id() { return GetCurrentProcessId(); }
