#include "platform/process_start.h"

#include "platform/console_output.h"

void prepare_process() { show_console_text_exactly(); }

bool console_closes_with_process() { return false; }
