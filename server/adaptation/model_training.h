#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace server {

// The training tools' steps on one work folder. The folder holds:
//   features/NAME.mfc   cepstra, one file per utterance (written by the caller, see write_cepstra)
//   corpus.ctl          the utterance names, one a line
//   corpus.lsn          "<s> words </s> (NAME)" per utterance, in the same order
// and the steps add the text model definition, the mixture weights, the statistics and their logs
// (tools.log). Each throws std::runtime_error naming the tool and the reason (see run_tool) on failure.
// Blocking; one caller per work folder.
class ModelTraining {
public:
    ModelTraining(std::string work_dir, std::string stock_model_dir);

    // Converts what the tools need and the stock model ships only in the decoder's form: the model
    // definition to text and the quantised mixture weights to probabilities.
    void prepare();
    // Aligns the corpus against the stock model and gathers its statistics, the corpus split over
    // `parts` processes run at once.
    void gather_statistics(unsigned parts);
    // MAP re-estimation of the means, variances, mixture weights and transition matrices from the
    // statistics, written into `acoustic_dir` with the mixture weights quantised for the decoder.
    void write_map_model(const std::string& acoustic_dir) const;

    std::string feature_dir() const { return work_dir_ + "/features"; }
    std::string control_path() const { return work_dir_ + "/corpus.ctl"; }
    std::string transcript_path() const { return work_dir_ + "/corpus.lsn"; }

private:
    std::string stock(const char* file) const;
    std::string work(const std::string& file) const { return work_dir_ + "/" + file; }
    void tool(const char* name, const std::vector<std::string>& args) const;
    std::vector<std::string> statistics_dirs() const;
    std::string statistics_list() const;  // comma-separated, as the tools take several folders

    std::string work_dir_;
    std::string stock_model_dir_;
    unsigned parts_ = 0;
};

// Writes `frames` frames of 13 cepstra each in the tools' cepstrum file format (the number of values as
// a 32-bit integer, then the values as 32-bit floats, this machine's byte order). Throws on failure.
void write_cepstra(const std::string& path, const float* cepstra, std::size_t frames, std::size_t width);

}  // namespace server
