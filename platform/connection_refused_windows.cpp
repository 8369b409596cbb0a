#include "platform/connection_refused.h"

#include <winsock2.h>

bool is_connection_refused(long os_error) { return os_error == WSAECONNREFUSED; }
