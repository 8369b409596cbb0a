#pragma once

#include <string>
#include <string_view>

#include "transcription/transcription_exchange.h"

// The reason, worded for the person, why an exchange with the transcription server gave no transcription;
// empty when a whole 2xx reply arrived, whose body is then the reply reader's to judge. `server` is the
// "host:port" the person would check (taken from the endpoint). The reason never includes the reply
// body whole: a server's own explanation or the start of its body, at most a few hundred bytes. Any thread.
std::string exchange_failure(const transcription::ExchangeOutcome& outcome, std::string_view server);

// The "host:port" part of an http URL, for naming the server in messages; never a name or password the
// URL holds.
std::string server_of(std::string_view url);

// At most a few hundred bytes of text from elsewhere, cut at a character boundary and saying how much was
// left out, so that a message stays one readable line.
std::string start_of(std::string_view text);
