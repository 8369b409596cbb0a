#include "server/recognition/recognizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "server/adaptation/word_errors.h"
#include "server/recognition/resampler.h"
#include "server/recognition/wav_reader.h"

namespace {

std::vector<std::int16_t> samples_of(const std::string& relative_path) {
    std::ifstream in(std::string(POCKETSPHINX_TEST_DATA) + "/" + relative_path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto decoded = server::decode_wav(bytes);
    if (!std::holds_alternative<server::WavAudio>(decoded))
        throw std::runtime_error("cannot read " + relative_path);
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

// Seconds of noise at 16 kHz with the given RMS level in dB below full scale; pink noise (equal power per
// octave) comes from white noise through a three-pole filter that approximates the 1/f slope.
std::vector<std::int16_t> noise(double seconds, double dbfs, bool pink) {
    std::mt19937 generator(7);
    std::normal_distribution<double> white(0.0, 1.0);
    std::vector<double> signal(static_cast<std::size_t>(seconds * 16000));
    double b0 = 0, b1 = 0, b2 = 0;
    for (auto& x : signal) {
        const double w = white(generator);
        if (!pink) {
            x = w;
            continue;
        }
        b0 = 0.99765 * b0 + w * 0.0990460;
        b1 = 0.96300 * b1 + w * 0.2965164;
        b2 = 0.57000 * b2 + w * 1.0526913;
        x = b0 + b1 + b2 + w * 0.1848;
    }
    double power = 0;
    for (double x : signal) power += x * x;
    const double gain = 32767.0 * std::pow(10.0, dbfs / 20.0) / std::sqrt(power / signal.size());
    std::vector<std::int16_t> out;
    for (double x : signal) out.push_back(static_cast<std::int16_t>(std::clamp(x * gain, -32768.0, 32767.0)));
    return out;
}

// A word invented from noise ends up in the user's document, so no audio without speech may give any.
TEST(Recognizer, SilenceAndNoiseGiveNoWords) {
    server::Recognizer recognizer(server::default_model_dir());
    EXPECT_EQ(recognizer.transcribe(std::vector<std::int16_t>(160000, 0)), "") << "10 s of silence";
    EXPECT_EQ(recognizer.transcribe(noise(10, -40, false)), "") << "white noise at -40 dBFS";
    EXPECT_EQ(recognizer.transcribe(noise(10, -30, true)), "") << "pink noise at -30 dBFS";
    EXPECT_EQ(recognizer.transcribe({}), "") << "no samples";
}

// Decoded as it arrives, a sentence is normalised with every frame heard up to its pause, so its text is
// the whole upload's, on a fresh decoder and on one that has decoded before.
TEST(Recognizer, SentenceDecodedAsItArrivesReadsAsTheWholeUpload) {
    const auto sentence = samples_of("librivox/sense_and_sensibility_01_austen_64kb-0870.wav");
    server::Recognizer recognizer(server::default_model_dir(), 1);
    const server::SampleSpan span(sentence);
    const std::string live = recognizer.transcribe_live(span, {}).words;
    EXPECT_GT(std::count(live.begin(), live.end(), ' '), 10) << live;
    EXPECT_EQ(recognizer.transcribe(sentence), live);
    EXPECT_EQ(recognizer.transcribe_live(span, {}).words, live);
}

// A take that names no series, or a first take of one, is decoded exactly as before, however much the
// recogniser has learnt of other series: one client's takes must not change another's text.
TEST(Recognizer, TakeOfNoSeriesOrFirstOfOneReadsAsBefore) {
    const auto sentence = samples_of("librivox/sense_and_sensibility_01_austen_64kb-0890.wav");
    const auto other = samples_of("cards/005.wav");
    const server::SampleSpan span(sentence);
    server::Recognizer recognizer(server::default_model_dir(), 1);
    server::DecodeStages stages;
    const std::string before = recognizer.transcribe_live(span, {}, stages).words;
    const std::size_t segments = stages.segments;
    const std::string series(32, 'c');
    for (int i = 0; i < 2; ++i) recognizer.transcribe_live(server::SampleSpan(other), series);
    ASSERT_TRUE(recognizer.series().history(series));

    EXPECT_EQ(recognizer.transcribe_live(span, {}, stages).words, before) << "no series";
    EXPECT_EQ(stages.segments, segments);
    EXPECT_EQ(recognizer.transcribe_live(span, "not a series id").words, before) << "a malformed id";
    EXPECT_EQ(recognizer.transcribe_live(span, std::string(32, 'd'), stages).words, before) << "a new series";
    EXPECT_EQ(recognizer.series().size(), 2u) << "a malformed id names no series";
}

// From a series' second take on, every segment is searched as its frames arrive, normalised with what the
// series' earlier takes taught. The takes then read much as they do alone (not word for word: the mean
// differs), never losing their words.
TEST(Recognizer, LaterTakesOfASeriesAreSearchedAsTheyArriveAndReadMuchTheSame) {
    const std::vector<std::string> takes{"librivox/sense_and_sensibility_01_austen_64kb-0870.wav",
                                         "librivox/sense_and_sensibility_01_austen_64kb-0880.wav",
                                         "librivox/sense_and_sensibility_01_austen_64kb-0890.wav",
                                         "librivox/sense_and_sensibility_01_austen_64kb-0920.wav",
                                         "librivox/sense_and_sensibility_01_austen_64kb-0930.wav"};
    const auto words_of = [](const std::string& text) {
        std::istringstream in(text);
        return std::vector<std::string>(std::istream_iterator<std::string>(in), {});
    };
    server::Recognizer recognizer(server::default_model_dir(), 1);
    const std::string series(32, 'e');
    std::size_t words = 0;
    std::size_t differences = 0;
    for (std::size_t i = 0; i < takes.size(); ++i) {
        SCOPED_TRACE(takes[i]);
        const auto samples = samples_of(takes[i]);
        const server::SampleSpan span(samples);
        const auto alone = words_of(recognizer.transcribe_live(span, {}).words);
        server::DecodeStages stages;
        const auto in_series = words_of(recognizer.transcribe_live(span, series, stages).words);
        if (i == 0) {
            EXPECT_EQ(in_series, alone) << "the first take of a series reads as a take of none";
            continue;
        }
        EXPECT_EQ(stages.searched_early, stages.segments);
        EXPECT_GE(in_series.size() * 2, alone.size()) << "words lost";
        words += alone.size();
        differences += server::word_errors(alone, in_series);
    }
    EXPECT_LE(differences * 5, words) << differences << " of " << words << " words differ";
}

// The engine keeps a ring of frames for a search given them as they come, while its search lags a few
// frames behind: on a decoder that has searched nothing longer before, the ring is short, and the search
// once read frames already overwritten and gave no words at all. A series' later take on a fresh decoder
// must read as on a used one.
TEST(Recognizer, LaterTakeOfASeriesOnAFreshDecoderKeepsItsWords) {
    const auto samples = samples_of("librivox/sense_and_sensibility_01_austen_64kb-0870.wav");
    const server::SampleSpan span(samples);
    const std::string series(32, 'f');
    server::Recognizer used(server::default_model_dir(), 1);
    used.transcribe_live(span, series);
    const std::string expected = used.transcribe_live(span, series).words;
    const auto history = used.series().history(series);
    ASSERT_TRUE(history);
    server::Recognizer fresh(server::default_model_dir(), 1);
    fresh.series().learn(series, *history);
    const std::string later = fresh.transcribe_live(span, series).words;
    EXPECT_GT(std::count(later.begin(), later.end(), ' '), 10) << later;
    EXPECT_EQ(later, expected);
}

// The words of a streamed take are shown as each phrase ends: the decoding tells them as soon as a
// segment's words are final, while the audio still plays, each time all the words so far, and at the end
// exactly the transcript.
TEST(Recognizer, LiveDecodingTellsTheWordsSoFarAsEachSegmentEnds) {
    const auto sentence = samples_of("librivox/sense_and_sensibility_01_austen_64kb-0870.wav");
    const auto room = noise(2, -60, true);
    std::vector<std::int16_t> take = room;
    take.insert(take.end(), sentence.begin(), sentence.end());
    take.insert(take.end(), room.begin(), room.end());
    take.insert(take.end(), sentence.begin(), sentence.end());
    take.insert(take.end(), room.begin(), room.end());
    // Counts what has been played, so a text told can be placed in the take.
    struct Counted final : server::SampleSource {
        const std::vector<std::int16_t>& samples;
        mutable std::size_t played = 0;
        explicit Counted(const std::vector<std::int16_t>& s) : samples(s) {}
        void play(const Sink& sink) const override {
            server::SampleSpan(samples).play([&](std::span<const std::int16_t> block) {
                played += block.size();
                sink(block);
            });
        }
    } audio(take);
    std::vector<std::pair<std::string, std::size_t>> told;
    server::Recognizer recognizer(server::default_model_dir(), 1);
    const std::string words =
        recognizer
            .transcribe_live(audio, {},
                             [&](const std::string& so_far) { told.emplace_back(so_far, audio.played); })
            .words;
    ASSERT_GE(told.size(), 3u) << words;
    EXPECT_EQ(told.back().first, words);
    // The first sentence's words came while the second was still to be heard.
    EXPECT_FALSE(told.front().first.empty());
    EXPECT_LT(told.front().second, take.size() - sentence.size());
    EXPECT_LT(told.front().first.size(), words.size());
    for (std::size_t i = 1; i < told.size(); ++i) {
        EXPECT_EQ(told[i].first.compare(0, told[i - 1].first.size(), told[i - 1].first), 0) << told[i].first;
    }
}

// A segment whose speech seems over is searched before the detector ends it, so a take streamed in has its
// text sooner; the words must be exactly those a search at the segment's end finds, also when the speech
// went on after a short pause (the early search is then thrown away).
TEST(Recognizer, EarlySearchOfASegmentGivesTheWordsOfASearchAtItsEnd) {
    const auto sentence = samples_of("librivox/sense_and_sensibility_01_austen_64kb-0870.wav");
    // A room's quiet, not digital silence, as a microphone gives.
    const auto room = noise(1, -60, true);
    const std::vector<std::int16_t> short_pause(room.begin(), room.begin() + 16000 * 3 / 10);
    std::vector<std::int16_t> ended = room;
    ended.insert(ended.end(), sentence.begin(), sentence.end());
    ended.insert(ended.end(), room.begin(), room.end());
    std::vector<std::int16_t> went_on = room;
    went_on.insert(went_on.end(), sentence.begin(), sentence.end());
    went_on.insert(went_on.end(), short_pause.begin(), short_pause.end());
    went_on.insert(went_on.end(), sentence.begin(), sentence.end());
    went_on.insert(went_on.end(), room.begin(), room.end());
    // Digital silence after speech moves the loudness floor, so the early search is not what a search at
    // the end is given and the segment is searched again.
    std::vector<std::int16_t> zeros_after = sentence;
    zeros_after.resize(sentence.size() + 16000, 0);
    struct Row {
        const char* name;
        const std::vector<std::int16_t>& take;
        bool early_words_kept;
    };
    const Row rows[] = {{"sentence, then quiet", ended, true},
                        {"sentence, a short pause, the sentence again", went_on, true},
                        {"sentence, then digital silence", zeros_after, false}};
    server::Recognizer recognizer(server::default_model_dir(), 1);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        server::DecodeStages stages;
        const std::string live = recognizer.transcribe_live(server::SampleSpan(row.take), {}, stages).words;
        if (row.early_words_kept) {
            EXPECT_GE(stages.searched_early, 1u);
        } else {
            EXPECT_EQ(stages.searched_early, 0u);
        }
        EXPECT_EQ(live, recognizer.transcribe(row.take));
    }
}

// An early search runs on a second decoder's thread when one is idle, and on the take's own decoder when no
// thread can be started; either way the words are those of a search at the segment's end, and the second
// decoder is given back for the next early search.
TEST(Recognizer, EarlySearchesOnASecondDecoderOrWithoutAThreadReadTheSame) {
    std::ifstream raw(std::string(POCKETSPHINX_TEST_DATA) + "/goforward.raw", std::ios::binary);
    std::vector<std::int16_t> sentence(44000);
    raw.read(reinterpret_cast<char*>(sentence.data()), static_cast<std::streamsize>(sentence.size() * 2));
    ASSERT_TRUE(raw) << "cannot read goforward.raw";
    // The sentence, a short pause of a room's quiet, the sentence again, then quiet.
    const auto room = noise(1, -60, true);
    std::vector<std::int16_t> take(sentence.begin(), sentence.begin() + 35200);
    take.insert(take.end(), room.begin(), room.begin() + 16000 * 3 / 10);
    take.insert(take.end(), sentence.begin() + 9600, sentence.begin() + 35200);
    take.insert(take.end(), room.begin(), room.end());
    const server::SampleSpan span(take);

    int started = 0;
    server::Recognizer two(server::default_model_dir(), 2, server::default_tail_frames,
                           [&started](std::function<void()> work) {
                               ++started;
                               return std::thread(std::move(work));
                           });
    const std::string expected = two.transcribe(take);
    ASSERT_NE(expected.find("forward ten meters"), std::string::npos) << expected;
    server::DecodeStages stages;
    EXPECT_EQ(two.transcribe_live(span, {}, stages).words, expected);
    EXPECT_GE(stages.searched_early, 1u);
    EXPECT_GE(started, 1);

    int refused = 0;
    server::Recognizer no_threads(server::default_model_dir(), 2, server::default_tail_frames,
                                  [&refused](std::function<void()>) -> std::thread {
                                      ++refused;
                                      throw std::system_error(EAGAIN, std::generic_category(),
                                                              "pthread_create");
                                  });
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const int before = refused;
        EXPECT_EQ(no_threads.transcribe_live(span, {}).words, expected);
        EXPECT_GT(refused, before) << "the second decoder was not given back";
    }
}

// The running estimate must remove what the two steps over the same frames would: the loud frames' mean
// (or the model's, for too few), then the mean of the frames at least as loud as that.
TEST(Recognizer, RunningMeanIsTheTwoStepsOverTheFramesSoFar) {
    constexpr std::size_t width = 3;
    const std::vector<float> model{4.0f, 1.0f, -1.0f};
    std::mt19937 random(7);
    std::uniform_real_distribution<float> energy(0.0f, 9.0f);
    std::normal_distribution<float> value(0.0f, 2.0f);
    for (std::size_t count : {20u, 400u}) {
        SCOPED_TRACE(count);
        std::vector<float> frames;
        server::RunningCepstralMean running(width, model);
        for (std::size_t f = 0; f < count; ++f) {
            frames.insert(frames.end(), {energy(random), value(random), value(random)});
            running.add(frames.data() + f * width);
        }
        float top = -1e30f;
        for (std::size_t f = 0; f < count; ++f) top = std::max(top, frames[f * width]);
        server::CepstralMean loud(width, server::mean_floor(top));
        for (std::size_t f = 0; f < count; ++f) loud.add(frames.data() + f * width);
        const std::vector<float> first = loud.result(count, model);
        std::vector<float> normalised = frames;
        for (std::size_t f = 0; f < count; ++f) {
            for (std::size_t i = 0; i < width; ++i) normalised[f * width + i] -= first[i];
        }
        server::remove_utterance_mean(normalised.data(), count, width);
        const std::vector<float> removed = running.result();
        for (std::size_t i = 0; i < width; ++i) {
            // Both leave the same frames: the difference is what the running estimate removes.
            EXPECT_NEAR(frames[i] - removed[i], normalised[i], 0.05f) << i;
        }
    }
}

// A short command whose few frames must still be normalised well enough to come out word for word.
TEST(Recognizer, ShortPhraseComesOutExactly) {
    server::Recognizer recognizer(server::default_model_dir());
    EXPECT_EQ(recognizer.transcribe(samples_of("cards/001.wav")), "ten of clubs");
}

// Sentences with a second of silence between them are decoded as separate utterances, on both decoders
// at once when there are two; each starts from the same state, so the text must be the serial decode's.
TEST(Recognizer, UtterancesOnTwoDecodersReadAsOnOne) {
    std::vector<std::int16_t> sentences;
    for (const char* name : {"0880", "0890", "0930", "0870"}) {
        const auto sentence =
            samples_of(std::string("librivox/sense_and_sensibility_01_austen_64kb-") + name + ".wav");
        sentences.insert(sentences.end(), sentence.begin(), sentence.end());
        sentences.insert(sentences.end(), 16000, 0);
    }
    server::Recognizer serial(server::default_model_dir(), 1);
    server::Recognizer parallel(server::default_model_dir(), 2);
    const std::string text = serial.transcribe(sentences);
    EXPECT_GT(std::count(text.begin(), text.end(), ' '), 30) << text;
    EXPECT_EQ(parallel.transcribe(sentences), text);
}

// Each segment keeps its quiet tail up to `keep` frames past its own last loud frame; a segment with nothing
// that loud is left as the detector cut it.
TEST(Recognizer, QuietTailsAreTrimmedPerSegment) {
    struct Case {
        const char* name;
        std::vector<float> energies;  // c0 of each frame; frames of width 2
        std::size_t keep;
        std::size_t kept;
    };
    const std::vector<Case> cases{
        {"up to the last loud frame, then one more", {1, 10, 9, 1, 1, 1}, 1, 4},
        {"nothing as loud as the floor: untouched", {2, 2, 2}, 1, 3},
        {"loud frame in the middle", {1, 8, 1, 1, 1}, 1, 3},
        {"a tail no longer than `keep` stays whole", {10, 1, 1}, 5, 3},
        {"loud to the end", {6, 7, 8}, 0, 3},
    };
    for (const Case& c : cases) {
        std::vector<float> frames;
        for (float energy : c.energies) frames.insert(frames.end(), {energy, 0.0f});
        EXPECT_EQ(server::trimmed_count(frames.data(), c.energies.size(), 2, c.keep, 5.5f), c.kept) << c.name;
    }
}

// However long the speech runs without a pause, no segment grows past max_segment_frames.
TEST(Recognizer, SegmentsAreCutAtTheLongestLength) {
    // The words of "go forward ten meters" without the silence around them, over and over: 35 s of
    // speech with no pause the detector would take for one.
    std::ifstream raw(std::string(POCKETSPHINX_TEST_DATA) + "/goforward.raw", std::ios::binary);
    std::vector<std::int16_t> sentence(44000);
    raw.read(reinterpret_cast<char*>(sentence.data()), static_cast<std::streamsize>(sentence.size() * 2));
    ASSERT_TRUE(raw) << "cannot read goforward.raw";
    const std::vector<std::int16_t> words(sentence.begin() + 9600, sentence.begin() + 35200);
    std::vector<std::int16_t> talk;
    while (talk.size() < 35u * 16000) talk.insert(talk.end(), words.begin(), words.end());
    server::Recognizer recognizer(server::default_model_dir(), 1);
    server::DecodeStages stages;
    recognizer.transcribe(talk, stages);
    EXPECT_GE(stages.segments, 2u) << stages.frames + stages.trimmed_frames << " frames";
}

// A take ends where Enter is pressed, often in the middle of a word, and the engine cannot read some such
// ends at all: wherever the audio stops, the words before it must come out.
TEST(Recognizer, SpeechCutOffMidWordKeepsTheWordsBeforeIt) {
    std::ifstream raw(std::string(POCKETSPHINX_TEST_DATA) + "/goforward.raw", std::ios::binary);
    std::vector<std::int16_t> sentence(44000);
    raw.read(reinterpret_cast<char*>(sentence.data()), static_cast<std::streamsize>(sentence.size() * 2));
    ASSERT_TRUE(raw) << "cannot read goforward.raw";
    server::Recognizer recognizer(server::default_model_dir(), 1);
    // "go forward ten meters" stopped every 10 ms through "ten".
    for (std::size_t ms = 1380; ms <= 1620; ms += 10) {
        const std::vector<std::int16_t> cut(sentence.begin(),
                                            sentence.begin() + static_cast<std::ptrdiff_t>(ms * 16));
        const std::string words = recognizer.transcribe(cut);
        EXPECT_EQ(words.rfind("go forward", 0), 0u) << "cut at " << ms << " ms: '" << words << "'";
    }
}

// Trimming leaves out only silence after the words: the sentences read the same either way.
TEST(Recognizer, TrimmedTailsReadAsWholeSegments) {
    std::vector<std::int16_t> sentences;
    for (const char* name : {"0890", "0930"}) {
        const auto sentence =
            samples_of(std::string("librivox/sense_and_sensibility_01_austen_64kb-") + name + ".wav");
        sentences.insert(sentences.end(), sentence.begin(), sentence.end());
        sentences.insert(sentences.end(), 16000, 0);
    }
    server::Recognizer whole(server::default_model_dir(), 1, SIZE_MAX);
    server::Recognizer trimmed(server::default_model_dir(), 1);
    server::DecodeStages stages;
    EXPECT_EQ(trimmed.transcribe(sentences, stages), whole.transcribe(sentences));
    EXPECT_GT(stages.trimmed_frames, 0u);
}

// Whether, in some louder part of `frames` (`width` values each, c0 first; every frame at least as loud as
// some level), every value averages to zero: what removing a segment's own mean leaves.
bool louder_part_averages_to_zero(const std::vector<float>& frames, std::size_t width) {
    std::vector<const float*> louder;
    for (std::size_t f = 0; f < frames.size() / width; ++f) louder.push_back(frames.data() + f * width);
    std::sort(louder.begin(), louder.end(), [](const float* a, const float* b) { return a[0] > b[0]; });
    std::vector<double> sum(width, 0.0);
    for (std::size_t n = 1; n <= louder.size(); ++n) {
        for (std::size_t i = 0; i < width; ++i) sum[i] += louder[n - 1][i];
        if (n < louder.size() && louder[n][0] == louder[n - 1][0]) continue;  // a level takes all its frames
        if (std::all_of(sum.begin(), sum.end(), [&](double total) { return std::abs(total / n) < 1e-3; }))
            return true;
    }
    return false;
}

// Adaptation trains on frames_of: they must be what a search of the same take is given, segment by
// segment: as many frames, each segment with its own mean removed after the take's, and the quiet put
// before a segment that begins in speech.
TEST(Recognizer, FramesOfAreWhatTheSearchIsGiven) {
    std::ifstream raw(std::string(POCKETSPHINX_TEST_DATA) + "/goforward.raw", std::ios::binary);
    std::vector<std::int16_t> sentence(44000);
    raw.read(reinterpret_cast<char*>(sentence.data()), static_cast<std::streamsize>(sentence.size() * 2));
    ASSERT_TRUE(raw) << "cannot read goforward.raw";
    // Words from the first sample, a pause of a room's quiet, then a sentence read with quiet around it.
    std::vector<std::int16_t> take(sentence.begin() + 9600, sentence.begin() + 35200);
    const auto room = noise(1, -60, true);
    const auto read = samples_of("librivox/sense_and_sensibility_01_austen_64kb-0870.wav");
    for (const auto* part : {&room, &read, &room}) take.insert(take.end(), part->begin(), part->end());

    server::Recognizer recognizer(server::default_model_dir(), 1);
    server::DecodeStages stages;
    recognizer.transcribe(take, stages);
    const auto given = recognizer.frames_of(server::SampleSpan(take));
    ASSERT_GE(stages.segments, 2u);
    EXPECT_EQ(given.starts.size(), stages.segments);
    EXPECT_EQ(given.frames(), stages.frames);

    const std::size_t width = given.width;
    for (std::size_t s = 0; s < given.starts.size(); ++s) {
        const std::size_t end = s + 1 < given.starts.size() ? given.starts[s + 1] : given.frames();
        const auto at = [&](std::size_t frame) {
            return given.cepstra.begin() + static_cast<std::ptrdiff_t>(frame * width);
        };
        EXPECT_TRUE(louder_part_averages_to_zero(std::vector<float>(at(given.starts[s]), at(end)), width))
            << "segment " << s;
    }
    // The first segment begins in speech: the same quiet frame lead_in_frames times, then the speech.
    const auto quiet = given.cepstra.begin();
    for (std::size_t f = 1; f < server::lead_in_frames; ++f)
        EXPECT_TRUE(std::equal(quiet, quiet + static_cast<std::ptrdiff_t>(width),
                               quiet + static_cast<std::ptrdiff_t>(f * width)))
            << "frame " << f;
    EXPECT_FALSE(std::equal(quiet, quiet + static_cast<std::ptrdiff_t>(width),
                            quiet + static_cast<std::ptrdiff_t>(server::lead_in_frames * width)));

    // Streamed, a take of one segment (words, then quiet) is heard whole by the time it is searched: the
    // same frames are kept and the same quiet put before them (only the normalisation is estimated apart).
    const std::vector<std::int16_t> words(take.begin(), take.begin() + 25600 + 16000);
    server::DecodeStages whole;
    recognizer.transcribe(words, whole);
    server::DecodeStages live;
    recognizer.transcribe_live(server::SampleSpan(words), {}, live);
    ASSERT_EQ(whole.segments, 1u);
    EXPECT_EQ(live.segments, 1u);
    EXPECT_EQ(live.frames, whole.frames);
    EXPECT_EQ(live.trimmed_frames, whole.trimmed_frames);
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
