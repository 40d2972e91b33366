#include "io/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "base/failure.h"
#include "base/text.h"
#include "io/interrupts.h"
#include "io/large_buffer.h"
#include "io/posix_io.h"

namespace {

// ---- Names ---------------------------------------------------------------------

std::string directory_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Six characters of a name no other run (in this process or another) uses;
// O_EXCL settles any collision.
std::string unique_suffix() {
    static std::atomic<unsigned> counter{0};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t x = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(getpid()) << 32) ^
                 (static_cast<uint64_t>(counter.fetch_add(1)) * 0x9E3779B97F4A7C15ull);
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string suffix(6, '0');
    for (char &c : suffix) {
        c = kDigits[x % 36];
        x /= 36;
    }
    return suffix;
}

}  // namespace

std::string output_target(const std::string &name) {
    std::string path = name;
    // As many links as the kernel would follow.
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 256) + 1, '\0');
        const ssize_t n = readlink(path.c_str(), link.data(), link.size());
        if (n < 0) return path;
        link.resize(static_cast<size_t>(n));
        path = link.starts_with('/') ? link : directory_of(path) + "/" + link;
    }
    return path;
}

std::string temporary_name(const std::string &target, const std::string &suffix, size_t name_max) {
    const std::string tail = ".pelmora-" + suffix;
    std::string base = base_of(target);
    // "." + base + tail must fit: cut base, never below one byte.
    if (1 + base.size() + tail.size() > name_max) base.resize(std::max<size_t>(1, name_max - 1 - tail.size()));
    return directory_of(target) + "/." + base + tail;
}

std::string output_file_key(const std::string &name) {
    const std::string target = output_target(name);
    struct stat st {};
    if (stat(target.c_str(), &st) == 0)
        return "inode " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    char *real = realpath(directory_of(target).c_str(), nullptr);
    std::string key = "path " + (real != nullptr ? std::string(real) : directory_of(target)) + "/" + base_of(target);
    std::free(real);
    return key;
}

std::pair<std::string, std::string> same_output_file(const std::vector<std::string> &names) {
    std::vector<std::string> keys;
    for (const std::string &name : names) keys.push_back(output_file_key(name));
    for (size_t i = 0; i < names.size(); ++i)
        for (size_t j = i + 1; j < names.size(); ++j)
            if (keys[i] == keys[j]) return {names[i], names[j]};
    return {};
}

void refuse_unreplaceable_output(const std::string &name) {
    struct stat st {};
    if (stat(output_target(name).c_str(), &st) != 0 || S_ISREG(st.st_mode)) return;
    fail("%s is %s, not a regular file: an output cannot replace it", name.c_str(), io::kind_of_file(st.st_mode));
}

void OpenFailure::raise(const std::string &name) const {
    Failure failure{formatted(format, name.c_str()), same_line};
    throw failure;
}

OutputFile::OutputFile(std::string name, const OpenFailure &open_failure)
    : name_(std::move(name)), target_(output_target(name_)) {
    // An existing output the user made read-only stays as it is.
    struct stat st {};
    const bool exists = stat(target_.c_str(), &st) == 0;
    if (exists && faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) open_failure.raise(name_);

    const long limit = pathconf(directory_of(target_).c_str(), _PC_NAME_MAX);
    const size_t name_max = limit > 0 ? static_cast<size_t>(limit) : 255;
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        temporary_ = temporary_name(target_, unique_suffix(), name_max);
        remember_temporary(temporary_.c_str());
        // Read and write: an index is built from the .shp written.
        fd_ = io::open_file(temporary_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0) forget_temporary(temporary_.c_str());
        if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) open_failure.raise(name_);
    // A replaced file keeps its permissions.
    if (exists) fchmod(fd_, st.st_mode & 07777);
}

void OutputFile::retarget(const std::string &name, const OpenFailure &open_failure) {
    const std::string target = output_target(name);
    struct stat st {};
    const bool exists = stat(target.c_str(), &st) == 0;
    if (exists && faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) open_failure.raise(name);
    {
        const std::lock_guard lock(name_mutex_);
        name_ = name;
    }
    target_ = target;
    if (exists) chmod(temporary_.c_str(), st.st_mode & 07777);  // a replaced file keeps its permissions
}

OutputFile::~OutputFile() {
    if (committed_) return;
    if (fd_ >= 0) io::close_file(fd_);
    io::hooks().unlink(temporary_.c_str());
    forget_temporary(temporary_.c_str());
}

int OutputFile::write_at(const void *data, size_t size, uint64_t offset) const {
    const int error = io::pwrite_all(fd_, data, size, offset);
    if (error == 0) {
        uint64_t end = offset + size, known = size_.load();
        while (end > known && !size_.compare_exchange_weak(known, end)) {
        }
    }
    return error;
}

bool OutputFile::read_at(void *data, size_t size, uint64_t offset) const {
    return io::pread_fully(fd_, data, size, offset) == static_cast<long long>(size);
}

std::string OutputFile::name() const {
    const std::lock_guard lock(name_mutex_);
    return name_;
}

void OutputFile::fail_write(int error) const { fail("Failed to write %s: %s", name().c_str(), std::strerror(error)); }

void OutputFile::put_at(const void *data, size_t size, uint64_t offset) const {
    if (const int error = write_at(data, size, offset)) fail_write(error);
}

void OutputFile::start_writeback(uint64_t offset, uint64_t size) const {
    if (fd_ < 0) return;  // finished: already on the disk
    // Best effort: a file system without it just syncs everything at the end.
    sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(size), SYNC_FILE_RANGE_WRITE);
}

void OutputFile::finish() {
    if (fd_ < 0) return;
    // The data must be on the disk before the name points at it, or a power
    // failure could leave an empty file under the final name.  File systems
    // that cannot sync (EINVAL) have nothing to wait for.
    if (io::hooks().fdatasync(fd_) != 0 && errno != EINVAL) fail_write(errno);
    const int error = io::close_file(fd_);
    fd_ = -1;
    if (error != 0) fail("Failed to close %s: %s", name().c_str(), std::strerror(error));
}

// Outputs that may not replace a file (all of them with --no-clobber) are
// linked to their names: link() never replaces, so a name that appeared
// since the checks fails here, and the outputs linked before it are taken
// back.  Returns those linked.
std::vector<OutputFile *> OutputFile::link_new_names(const std::vector<OutputFile *> &outputs, bool no_clobber) {
    std::vector<OutputFile *> linked;
    for (OutputFile *output : outputs) {
        if (!(no_clobber || output->never_replace_)) continue;
        if (link(output->temporary_.c_str(), output->target_.c_str()) == 0) {
            linked.push_back(output);
            continue;
        }
        const int error = errno;
        for (OutputFile *done : linked) io::hooks().unlink(done->target_.c_str());
        if (error == EEXIST && no_clobber) fail("%s already exists (--no-clobber): nothing written", output->name_.c_str());
        if (error == EEXIST) fail("%s appeared during the run and is not replaced: nothing written", output->name_.c_str());
        fail("Failed to write %s: %s", output->name_.c_str(), std::strerror(error));
    }
    return linked;
}

// A file about to be replaced, kept meanwhile under a hidden name (a hard
// link) so that a failed rename can put it back.
struct OutputFile::Replaced {
    OutputFile *output;
    std::string kept;  // the replaced file's hidden link; "" if there was none
    bool existed;
};

// The others replace their files.  Each rename replaces one file at once,
// but a set of them can fail half way (a directory that refuses the
// third): then every file renamed before it is put back, and the set is
// new or old, never mixed.
void OutputFile::rename_over(const std::vector<OutputFile *> &outputs, const std::vector<OutputFile *> &linked) {
    std::vector<Replaced> steps;
    for (OutputFile *output : outputs) {
        if (std::find(linked.begin(), linked.end(), output) != linked.end()) continue;
        Replaced step{output, "", access(output->target_.c_str(), F_OK) == 0};
        for (int attempt = 0; step.existed && attempt < 100 && step.kept.empty(); ++attempt) {
            std::string candidate = temporary_name(output->target_, unique_suffix(), 255);
            if (link(output->target_.c_str(), candidate.c_str()) == 0) step.kept = std::move(candidate);
            else if (errno != EEXIST) break;  // no hard links here: no way back for this file
        }
        steps.push_back(std::move(step));
    }
    auto drop_kept = [&] {
        for (const Replaced &step : steps)
            if (!step.kept.empty()) ::unlink(step.kept.c_str());
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        OutputFile *output = steps[i].output;
        if (io::hooks().rename(output->temporary_.c_str(), output->target_.c_str()) == 0) continue;
        const int error = errno;
        for (size_t j = 0; j < i; ++j) {
            if (!steps[j].kept.empty()) {
                if (::rename(steps[j].kept.c_str(), steps[j].output->target_.c_str()) == 0) steps[j].kept.clear();
            } else if (!steps[j].existed) {
                ::unlink(steps[j].output->target_.c_str());
            }
            steps[j].output->mark_committed();  // the renamed temporary is the target now: nothing to remove
        }
        drop_kept();
        for (OutputFile *done : linked) io::hooks().unlink(done->target_.c_str());
        fail("Failed to replace %s: %s", output->name_.c_str(), std::strerror(error));
    }
    for (Replaced &step : steps) step.output->mark_committed();
    drop_kept();
}

// The renames themselves reach the disk with their directory, synced once
// however many outputs it holds.
void OutputFile::sync_directories(const std::vector<OutputFile *> &outputs) {
    std::vector<std::string> directories;
    for (OutputFile *output : outputs)
        if (std::find(directories.begin(), directories.end(), directory_of(output->target_)) == directories.end())
            directories.push_back(directory_of(output->target_));
    for (const std::string &name : directories) {
        const int directory = io::open_file(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (directory >= 0) {
            fsync(directory);
            io::close_file(directory);
        }
    }
}

void OutputFile::mark_committed() {
    forget_temporary(temporary_.c_str());
    committed_ = true;
}

void OutputFile::commit(const std::vector<OutputFile *> &outputs, bool no_clobber) {
    const SignalsBlocked blocked;
    const std::vector<OutputFile *> linked = link_new_names(outputs, no_clobber);
    rename_over(outputs, linked);
    for (OutputFile *output : linked) {
        io::hooks().unlink(output->temporary_.c_str());
        output->mark_committed();
    }
    sync_directories(outputs);
}

unsigned char *formatting_block(size_t bytes) {
    thread_local std::unique_ptr<unsigned char[]> block;
    thread_local size_t capacity = 0;
    if (capacity < bytes) {
        block.reset(new (std::nothrow) unsigned char[bytes]);
        capacity = block ? bytes : 0;
        if (!block) fail("Failed to allocate memory for output buffers");
    }
    return block.get();
}
