#include "server/adaptation/model_training.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "server/adaptation/sendump_converter.h"
#include "server/adaptation/tool_run.h"
#include "server/adaptation/voice_profile.h"

namespace server {

namespace {

// The stock model is a phonetically tied mixture model: one codebook per base phone, three streams
// (cepstra, their deltas, their second deltas) of 13 values each. The tools must be told so, and told the
// feature settings explicitly, as their defaults differ from the model's. The features are given to them
// with the cepstral mean already removed, as the decoder is given them.
// clang-format off
const std::vector<std::string> model_shape{
    "-ts2cbfn", ".ptm.", "-feat", "1s_c_d_dd", "-svspec", "0-12/13-25/26-38"};
const std::vector<std::string> feature_settings{
    "-cmn", "none", "-agc", "none", "-varnorm", "no"};
// clang-format on

// The floor below which mk_s2sendump's quantisation rounds a weight; the stock dump was made with it, so
// the stock weights go through the converter and back unchanged.
constexpr const char* quantisation_floor = "1e-8";

// How strongly MAP holds the variances, mixture weights and transitions to the stock model (the means
// take the tools' own Bayesian update). The tools' default lets a minute of speech pull the weights so far
// that recognition gets worse; on our measurements (docs/server.md) 10 did best from 75 s and from 8 minutes
// of speech alike, 5 and 20 a little worse.
constexpr const char* map_prior_weight = "10";

std::vector<std::string> joined(std::vector<std::string> first, const std::vector<std::string>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

}  // namespace

ModelTraining::ModelTraining(std::string work_dir, std::string stock_model_dir)
    : work_dir_(std::move(work_dir)), stock_model_dir_(std::move(stock_model_dir)) {}

std::string ModelTraining::stock(const char* file) const {
    return acoustic_model_dir(stock_model_dir_) + "/" + file;
}

void ModelTraining::tool(const char* name, const std::vector<std::string>& args) const {
    run_tool(training_tool(name), args, work("tools.log"));
}

void ModelTraining::prepare() {
    // The definition converter comes with the decoder, not with the training tools.
    run_tool("pocketsphinx_mdef_convert", {"-text", stock("mdef"), work("mdef.txt")}, work("tools.log"));
    write_mixture_weights(read_sendump(stock("sendump")), work("mixture_weights"));
}

std::string ModelTraining::statistics_list() const {
    std::string list;
    for (const auto& dir : statistics_dirs()) list += (list.empty() ? "" : ",") + dir;
    return list;
}

std::vector<std::string> ModelTraining::statistics_dirs() const {
    std::vector<std::string> dirs;
    for (unsigned part = 1; part <= parts_; ++part)
        dirs.push_back(work("statistics-" + std::to_string(part)));
    return dirs;
}

void ModelTraining::gather_statistics(unsigned parts) {
    parts_ = std::max(parts, 1u);
    const std::vector<std::string> dirs = statistics_dirs();
    std::vector<std::string> failures(parts_);
    std::vector<std::thread> running;
    for (unsigned part = 1; part <= parts_; ++part) {
        std::filesystem::create_directories(dirs[part - 1]);
        // clang-format off
        std::vector<std::string> args{
            "-moddeffn", work("mdef.txt"), "-mixwfn", work("mixture_weights"),
            "-meanfn", stock("means"), "-varfn", stock("variances"), "-tmatfn", stock("transition_matrices"),
            "-dictfn", stock_model_dir_ + "/en-us/cmudict-en-us.dict", "-fdictfn", stock("noisedict"),
            "-ctlfn", control_path(), "-lsnfn", transcript_path(),
            "-cepdir", feature_dir(), "-cepext", "mfc", "-accumdir", dirs[part - 1],
            "-npart", std::to_string(parts_), "-part", std::to_string(part), "-timing", "no"};
        // clang-format on
        args = joined(joined(args, model_shape), feature_settings);
        running.emplace_back([this, args, part, &failures] {
            try {
                tool("bw", args);
            } catch (const std::exception& failure) {
                failures[part - 1] = failure.what();
            }
        });
    }
    for (auto& thread : running) thread.join();
    for (const auto& failure : failures)
        if (!failure.empty()) throw std::runtime_error(failure);
}

void ModelTraining::write_map_model(const std::string& acoustic_dir) const {
    const std::string mixture_weights = work("map_mixture_weights");
    std::error_code ignored;
    for (const char* file : {"means", "variances", "transition_matrices", "sendump"})
        std::filesystem::remove(acoustic_dir + "/" + file, ignored);  // staged links to the stock files
    // clang-format off
    std::vector<std::string> args{
        "-moddeffn", work("mdef.txt"), "-meanfn", stock("means"), "-varfn", stock("variances"),
        "-mixwfn", work("mixture_weights"), "-tmatfn", stock("transition_matrices"),
        "-mapmeanfn", acoustic_dir + "/means", "-mapvarfn", acoustic_dir + "/variances",
        "-mapmixwfn", mixture_weights, "-maptmatfn", acoustic_dir + "/transition_matrices",
        "-ts2cbfn", ".ptm.", "-accumdir", statistics_list(),
        "-fixedtau", "yes", "-tau", map_prior_weight};
    // clang-format on
    tool("map_adapt", args);
    // The decoder reads the quantised dump in preference to the weights, so the dump must be remade.
    tool("mk_s2sendump", {"-pocketsphinx", "yes", "-moddeffn", work("mdef.txt"), "-mixwfn", mixture_weights,
                          "-sendumpfn", acoustic_dir + "/sendump", "-mwfloor", quantisation_floor});
}

void write_cepstra(const std::string& path, const float* cepstra, std::size_t frames, std::size_t width) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    const auto values = static_cast<std::int32_t>(frames * width);
    out.write(reinterpret_cast<const char*>(&values), sizeof values);
    out.write(reinterpret_cast<const char*>(cepstra),
              static_cast<std::streamsize>(frames * width * sizeof(float)));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
}

}  // namespace server
