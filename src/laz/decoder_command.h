// Which program decodes LAZ, and how many threads it may run.
//
// The decoder is decoder/laz-decoder.js run by Node.js: node (else nodejs)
// from the PATH, with the script found relative to the running program,
//   <program dir>/../share/pelmora/decoder/laz-decoder.js  (installed)
//   <program dir>/decoder/laz-decoder.js                   (the build tree)
// PELMORA_LAZ_DECODER, when set, names a program to run instead (tests use
// it for decoders that fail on purpose); it gets the same descriptors and job.
//
// Node.js and its WebAssembly codec need resources a user may have limited:
// each decoding thread's codec reserves about 11 GiB of address space
// (guard regions; a few dozen MB of it are used) and Node.js about 1 GiB
// more; Node.js and each thread need a few descriptors.  Below those
// limits Node.js does not fail cleanly (it aborts or hangs), so the limits
// are checked before it is started and the threads fitted to them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace laz {

struct DecoderCommand {
    std::vector<std::string> argv;  // argv[0]: the program's path
    bool node = false;              // the Node.js decoder: its resource needs apply
};

// The directory of the running program (/proc/self/exe).
std::string running_program_dir();

// Finds the decoder as described above; fails, naming the LAZ file
// `name`, with what is missing.
DecoderCommand find_decoder(const std::string &name, const std::string &program_dir);

// Soft limits; UINT64_MAX for none.
struct DecoderLimits {
    uint64_t address_space = UINT64_MAX;  // bytes (RLIMIT_AS)
    uint64_t open_files = UINT64_MAX;     // RLIMIT_NOFILE
};
DecoderLimits current_limits();

// The Node.js decoder's needs: a base and a share per decoding thread.
constexpr uint64_t kAddressSpaceBase = 3ull << 29;       // 1.5 GiB
constexpr uint64_t kAddressSpacePerThread = 11ull << 30; // 11 GiB
constexpr uint64_t kOpenFilesBase = 24;
constexpr uint64_t kOpenFilesPerThread = 4;

// How many decoding threads fit `limits`, at most `wanted` (at least 1);
// fails, naming the LAZ file and the limit, when not even one fits.
unsigned threads_within_limits(const std::string &name, unsigned wanted, const DecoderLimits &limits);

// The cores this process may run on.
unsigned usable_cores();

}  // namespace laz
