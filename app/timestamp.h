#pragma once

#include <ctime>
#include <sstream>
#include <string>

// Formats `when` as local time "%d-%m-%Y_%H-%M-%S" (e.g. 06-12-2026_07-08-15), the name shared by a take's
// files. `formatter` is the caller's long-lived stream: it must be empty and in a good state, and is left
// holding the text (the caller resets it between cycles).
std::string format_timestamp(std::time_t when, std::ostringstream& formatter);
