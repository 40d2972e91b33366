#include "in_process.h"

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "frontends/pelmora.h"

int run_in_process(const std::string &las, std::string *console) {
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    FILE *text = std::tmpfile();
    dup2(fileno(text), STDOUT_FILENO);
    char program[] = "Pelmora";
    std::string argument = las;
    char *argv[] = {program, argument.data(), nullptr};
    const int status = run(2, argv);
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    if (console != nullptr) {
        console->clear();
        std::rewind(text);
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, text)) > 0) console->append(buffer, n);
    }
    std::fclose(text);
    return status;
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
