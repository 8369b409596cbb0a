#include "transcription/transcription_exchange.h"

#include <utility>

#include "transcription/http_transfer.h"

transcription::ExchangeOutcome transcription::exchange(const Endpoint& server, std::string wav_path,
                                                       const ExchangeWatch& watch) {
    transcription_detail::AudioPart part;
    part.file_path = std::move(wav_path);
    return transcription_detail::perform_post(server, part, watch);
}
