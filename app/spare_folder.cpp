#include "app/spare_folder.h"

#include <cerrno>
#include <filesystem>

#include "audio/wav_writer.h"

namespace {

// More takes in one second than anyone makes.
constexpr int most_names = 1000;

int make_folder(std::string& folder) {
    std::error_code error;
    std::string parent = std::filesystem::temp_directory_path(error).generic_string();
    if (error) return error.value() != 0 ? error.value() : ENOENT;
    if (parent.empty() || parent.back() != '/') parent += '/';
    return create_private_folder(parent, "dictate-", folder);
}

}  // namespace

SpareFolder::Copy SpareFolder::keep(const std::string& timestamp, FileHandle head, std::uint64_t head_samples,
                                    const SampleBuffer& rest) {
    Copy copy;
    if (folder_.empty()) {
        if ((copy.error = make_folder(folder_)) != 0) {
            folder_.clear();
            copy.path = "a temporary folder";
            return copy;
        }
    }
    WavWrite write;
    write.error = EEXIST;
    for (int n = 1; n <= most_names && write.error == EEXIST; ++n) {
        copy.path = folder_ + paths_.wav_name(n == 1 ? timestamp : timestamp + "_" + std::to_string(n));
        write = write_wav_joined(copy.path, head, head_samples, rest);
    }
    copy.error = write.error;
    if (write.error != 0) {
        if (write.file_kept) (void)remove_file(copy.path);  // a copy is worth keeping only whole
        return copy;
    }
    FileHandle file;
    if (open_existing(copy.path, file) == 0) {
        (void)sync_data(file);
        close_file(file);
    }
    (void)sync_directory(folder_);
    return copy;
}
