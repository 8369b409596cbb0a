#pragma once

#include <string_view>

// Everything the program tells the person at the console, other than the dialogue on standard output,
// goes through here: one line on standard error, prefixed "dictate: ". Messages name the thing (a path,
// a call, a server) and the reason.
void tell_user(std::string_view message);
