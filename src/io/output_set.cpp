#include "io/output_set.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "io/posix_io.h"

OutputFile *OutputSet::open(const std::string &name, const char *open_failure) {
    outputs_.push_back(std::make_unique<OutputFile>(name, open_failure));
    return outputs_.back().get();
}

void OutputSet::commit(const std::function<void()> &last_check) {
    for (const auto &output : outputs_) output->start_writeback(0, 0);  // 0, 0: the whole file
    for (const auto &output : outputs_) output->finish();
    last_check();
    std::vector<OutputFile *> all;
    for (const auto &output : outputs_) all.push_back(output.get());
    OutputFile::commit(all, no_clobber_);
    for (const std::string &name : stale_) {
        struct stat st {};
        if (lstat(name.c_str(), &st) != 0) continue;
        if (io::hooks().unlink(name.c_str()) != 0 && errno != ENOENT)
            warnings_.push_back("could not remove " + name + ", a spatial index of the replaced shapefile: " +
                                std::strerror(errno) + "; readers may use it with the new one");
    }
}

uint64_t OutputSet::bytes() const {
    uint64_t total = 0;
    for (const auto &output : outputs_) total += output->size();
    return total;
}

std::vector<std::string> spatial_index_names(const std::string &shpname) {
    const std::string stem = shpname.size() >= 4 ? shpname.substr(0, shpname.size() - 4) : shpname;
    return {stem + ".qix", stem + ".sbn", stem + ".sbx"};
}
