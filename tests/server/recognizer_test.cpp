#include "server/recognizer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "server/resampler.h"
#include "server/wav_reader.h"

namespace {

std::vector<std::int16_t> samples_of(const std::string& relative_path) {
    std::ifstream in(std::string(POCKETSPHINX_TEST_DATA) + "/" + relative_path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto decoded = server::decode_wav(bytes);
    if (!std::holds_alternative<server::WavAudio>(decoded)) throw std::runtime_error("cannot read " + relative_path);
    return server::to_recognizer_input(std::get<server::WavAudio>(decoded));
}

// The decoder adapts to what it hears. A transcript must not depend on which uploads came before it (one
// client's audio must not change another's text), so a used decoder must agree with a fresh one.
TEST(Recognizer, TranscriptDependsOnTheUploadAlone) {
    const auto before = samples_of("librivox/sense_and_sensibility_01_austen_64kb-0870.wav");
    const std::vector<std::string> takes{"cards/003.wav", "cards/001.wav"};

    server::Recognizer used(server::default_model_dir());
    std::vector<std::string> after_other_speech;
    for (const auto& take : takes) {
        used.transcribe(before);
        after_other_speech.push_back(used.transcribe(samples_of(take)));
    }
    for (std::size_t i = 0; i < takes.size(); ++i) {
        server::Recognizer fresh(server::default_model_dir());
        EXPECT_EQ(after_other_speech[i], fresh.transcribe(samples_of(takes[i]))) << takes[i];
    }
}

TEST(Recognizer, MissingModelIsReportedWithItsFolder) {
    try {
        server::Recognizer recognizer("/nonexistent/model-folder");
        FAIL() << "loaded a model from a folder that does not exist";
    } catch (const std::runtime_error& failure) {
        EXPECT_NE(std::string(failure.what()).find("/nonexistent/model-folder"), std::string::npos);
    }
}

}  // namespace
