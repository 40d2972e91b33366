#include "in_process.h"

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "frontends/convert.h"
#include "frontends/pelmora.h"

namespace {

// Runs `main` with the descriptor `fd` of `stream` sent to a file whose text
// ends in `captured`.
template <class Main>
int captured_run(FILE *stream, int fd, std::string *captured, Main main) {
    std::fflush(stream);
    const int saved = dup(fd);
    FILE *text = std::tmpfile();
    dup2(fileno(text), fd);
    const int status = main();
    std::fflush(stream);
    dup2(saved, fd);
    close(saved);
    if (captured != nullptr) {
        captured->clear();
        std::rewind(text);
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, text)) > 0) captured->append(buffer, n);
    }
    std::fclose(text);
    return status;
}

}  // namespace

int run_in_process(const std::string &las, std::string *console, const RunLimits &limits) {
    char program[] = "Pelmora";
    std::string argument = las;
    char *argv[] = {program, argument.data(), nullptr};
    return captured_run(stdout, STDOUT_FILENO, console, [&] { return run(2, argv, limits); });
}

int run_convert_in_process(const std::vector<std::string> &arguments, std::string *errors,
                           const RunLimits &limits) {
    std::vector<std::string> words = {"pelmora-convert"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    return captured_run(stderr, STDERR_FILENO, errors,
                        [&] { return convert_main(static_cast<int>(words.size()), argv.data(), limits); });
}

int open_descriptor_count() {
    int count = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

size_t heap_in_use() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}
