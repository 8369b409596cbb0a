#include "transcription/transcription_request_internal.h"

#include <utility>

#include "transcription/transcription_exchange.h"

std::string transcription_detail::send_audio_to(std::string url, std::string wav_path) {
    return transcription::exchange(std::move(url), std::move(wav_path), transcription::ExchangeWatch{}).body;
}
