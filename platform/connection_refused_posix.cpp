#include "platform/connection_refused.h"

#include <cerrno>

bool is_connection_refused(long os_error) { return os_error == ECONNREFUSED; }
