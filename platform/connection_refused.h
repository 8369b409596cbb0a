#pragma once

// True when `os_error`, the system's error number for a failed connect() as the HTTP library reports it
// (CURLINFO_OS_ERRNO), says that nothing accepts connections there: ECONNREFUSED on POSIX, Winsock's
// WSAECONNREFUSED on Windows. Any thread.
bool is_connection_refused(long os_error);
