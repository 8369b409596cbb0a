// Uploading one recording to the transcription server.
#pragma once

#include <string>

// Posts the WAV file at wav_path as the multipart form part "audio" to the transcription server at
// http://localhost:4999/transcribe and returns the reply body exactly as it arrived, whatever the status.
// The upload never goes through a proxy, whatever the environment says: the server is on this machine.
//
// Failure: never reported here. After any failure (no server, refused or dropped connection, missing or
// unreadable file) the result is simply empty or holds what arrived before the failure; a reply longer
// than 64 MiB is cut off there and the transfer stopped, so memory stays bounded. Nothing is printed. Only
// std::bad_alloc can escape, and only before the transfer starts; running out of memory while the reply
// arrives ends the process, since an exception cannot be thrown through the library's C frames.
//
// Waiting: a server that cannot be connected to within 10 seconds gives up the call; once connected there
// is no time limit, because uploading and decoding a long take can legitimately take minutes, so a server
// that accepts and never answers keeps the caller waiting.
//
// Thread: main thread only. Each call sets up and tears down the HTTP library's global state
// (curl_global_init / curl_global_cleanup), which is sound only while no other thread of the process
// uses that library at the same time.
//
// Ownership: the file is read during the transfer, not before; the caller keeps it in place until the
// call returns. Nothing outlives the call.
//
// Callers: none in the program itself. The transcription stage must tell the person what went wrong and
// show the library's trace, so it uses exchange() (transcription_exchange.h), which sends the same
// request; this is the upload for code that wants only the reply. The tests and the upload benchmark run
// it aimed at servers of their own (send_audio_to(), transcription_request_internal.h).
std::string send_audio(std::string wav_path);
