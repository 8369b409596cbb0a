#include "platform/console_output.h"

void show_console_text_exactly() {}
