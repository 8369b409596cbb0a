// What every POST of a take to the server shares, whether the body is the finished file or the take as it
// records: the reply sink with its caps, the watch, the trace and how the library's result reads.
#pragma once

#include <curl/curl.h>

#include <functional>
#include <string>

#include "transcription/transcription_exchange.h"

namespace transcription_detail {

// Posts to `url` with the body `set_body` puts on the handle (a form or a MIME body), never through a
// proxy and without "Expect: 100-continue", keeping at most reply_cap reply bytes and header_cap header
// bytes, with `watch` polled inside the transfer as exchange() promises, and returns how it went.
// `reply_head`, when set, is called with the status once the head of the reply proper (not an interim 1xx
// one) has arrived; returning false ends the transfer there, as Ending::stopped, and it runs on the
// transfer's thread like the watch.
//
// Thread: whichever thread calls it owns the transfer; the watch's functions run on that thread. The
// library's global state must be set up (curl_global_init) by the caller before and torn down after, on
// a thread that no other use of the library overlaps. Nothing outlives the call but what `set_body` made,
// which the caller frees after it returns.
transcription::ExchangeOutcome perform_post(const std::string& url,
                                            const std::function<void(CURL*)>& set_body,
                                            const transcription::ExchangeWatch& watch,
                                            const std::function<bool(long status)>& reply_head = {});

}  // namespace transcription_detail
