#include "laz/decoder_command.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "base/failure.h"

namespace laz {

namespace {

using ull = unsigned long long;

bool is_executable_file(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool is_readable_file(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), R_OK) == 0;
}

// `program` as the shell finds it: a name with a slash is a path; any
// other name is looked up in each directory of the PATH (an empty entry is
// the current directory).  Empty if not found.
std::string search_path(const std::string &program) {
    if (program.find('/') != std::string::npos) return is_executable_file(program) ? program : std::string();
    const char *env = std::getenv("PATH");
    const std::string path = env ? env : "/usr/local/bin:/usr/bin:/bin";
    size_t begin = 0;
    for (;;) {
        const size_t colon = path.find(':', begin);
        const size_t length = (colon == std::string::npos ? path.size() : colon) - begin;
        std::string candidate = length == 0 ? std::string(1, '.') : path.substr(begin, length);
        candidate += '/';
        candidate += program;
        if (is_executable_file(candidate)) return candidate;
        if (colon == std::string::npos) return {};
        begin = colon + 1;
    }
}

uint64_t soft_limit(int resource) {
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
    return limit.rlim_cur;
}

}  // namespace

std::string running_program_dir() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string exe(path, static_cast<size_t>(n));
    const size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : exe.substr(0, slash);
}

DecoderCommand find_decoder(const std::string &name, const std::string &program_dir) {
    DecoderCommand command;
    if (const char *chosen = std::getenv("PELMORA_LAZ_DECODER"); chosen && *chosen) {
        const std::string path = search_path(chosen);
        if (path.empty())
            fail("%s: PELMORA_LAZ_DECODER names %s, which is not an executable program", name.c_str(), chosen);
        command.argv = {path};
        return command;
    }
    const std::string installed = std::string(program_dir).append("/../share/pelmora/decoder/laz-decoder.js");
    const std::string built = std::string(program_dir).append("/decoder/laz-decoder.js");
    std::string script;
    if (is_readable_file(installed))
        script = installed;
    else if (is_readable_file(built))
        script = built;
    else
        fail("%s: the LAZ decoder is not installed: neither %s nor %s exists (run scripts/install-deps.sh, then "
             "build or install again)",
             name.c_str(), installed.c_str(), built.c_str());
    std::string node = search_path("node");
    if (node.empty()) node = search_path("nodejs");
    if (node.empty())
        fail("%s: decoding LAZ needs Node.js, but neither node nor nodejs is on the PATH (scripts/install-deps.sh "
             "installs it)",
             name.c_str());
    command.argv = {node, script};
    command.node = true;
    return command;
}

DecoderLimits current_limits() {
    DecoderLimits limits;
    limits.address_space = soft_limit(RLIMIT_AS);
    limits.open_files = soft_limit(RLIMIT_NOFILE);
    return limits;
}

unsigned threads_within_limits(const std::string &name, unsigned wanted, const DecoderLimits &limits) {
    uint64_t fit = std::max(wanted, 1u);
    if (limits.address_space != UINT64_MAX) {
        const uint64_t one = kAddressSpaceBase + kAddressSpacePerThread;
        if (limits.address_space < one)
            fail("%s: the address-space limit (ulimit -v) of %llu MiB is too low to decode LAZ: the decoder needs "
                 "%llu MiB, and %llu MiB more for each further thread (Node.js reserves about 11 GiB of address "
                 "space for each copy of its WebAssembly codec and uses little of it); raise the limit, e.g. "
                 "ulimit -v unlimited",
                 name.c_str(), static_cast<ull>(limits.address_space >> 20), static_cast<ull>(one >> 20),
                 static_cast<ull>(kAddressSpacePerThread >> 20));
        fit = std::min(fit, (limits.address_space - kAddressSpaceBase) / kAddressSpacePerThread);
    }
    if (limits.open_files != UINT64_MAX) {
        const uint64_t one = kOpenFilesBase + kOpenFilesPerThread;
        if (limits.open_files < one)
            fail("%s: the open-file limit (ulimit -n) of %llu is too low to decode LAZ: the decoder (Node.js) needs "
                 "%llu descriptors, and %llu more for each further thread",
                 name.c_str(), static_cast<ull>(limits.open_files), static_cast<ull>(one),
                 static_cast<ull>(kOpenFilesPerThread));
        fit = std::min(fit, (limits.open_files - kOpenFilesBase) / kOpenFilesPerThread);
    }
    return static_cast<unsigned>(fit);
}

unsigned usable_cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<unsigned>(count);
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

}  // namespace laz
