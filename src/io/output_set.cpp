#include "io/output_set.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "io/posix_io.h"

OutputFile *OutputSet::open(const std::string &name, const OpenFailure &open_failure) {
    auto output = std::make_unique<OutputFile>(name, open_failure);
    const std::lock_guard lock(mutex_);
    outputs_.push_back(std::move(output));
    return outputs_.back().get();
}

void OutputSet::retarget(const std::string &name, const std::string &new_name) {
    const std::lock_guard lock(mutex_);
    for (const auto &output : outputs_)
        if (output->name() == name) output->retarget(new_name);
}

void OutputSet::remove_on_commit(const std::string &name, const std::string &what) {
    const std::lock_guard lock(mutex_);
    stale_.push_back({name, what});
}

void OutputSet::commit(const std::function<void()> &last_check) {
    for (const auto &output : outputs_) output->start_writeback(0, 0);  // 0, 0: the whole file
    for (const auto &output : outputs_) output->finish();
    last_check();
    std::vector<OutputFile *> all;
    for (const auto &output : outputs_) all.push_back(output.get());
    OutputFile::commit(all, no_clobber_);
    for (const Stale &stale : stale_) {
        struct stat st {};
        if (lstat(stale.name.c_str(), &st) != 0) continue;
        if (io::hooks().unlink(stale.name.c_str()) != 0 && errno != ENOENT)
            warnings_.push_back("could not remove " + stale.name + ", " + stale.what + ": " + std::strerror(errno) +
                                "; readers may use it with the new one");
    }
}

uint64_t OutputSet::bytes() const {
    const std::lock_guard lock(mutex_);
    uint64_t total = 0;
    for (const auto &output : outputs_) total += output->size();
    return total;
}
