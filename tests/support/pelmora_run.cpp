#include "pelmora_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

const char *const kBanner =
    "\nOstrine LiDAR Utilities"
    "\n\nDeveloped by the Pelmora project developers"
    "\nPelmora -- LAS to ESRI shapefile conversion"
    "\nPelmora Project, 7 Survey Lane, Ostrine"
    "\n\n** No warranty regarding script behavior is given or implied **"
    "\n** Acknowledging the author's efforts ensures script updates and availability **\n";

void generate_las(const std::string &path, const std::vector<std::string> &args) {
    std::vector<std::string> argv{LASGEN_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(path);
    const Captured c = run_program(argv);
    ASSERT_EQ(c.exit_status, 0) << "lasgen failed: " << c.err;
}

Captured run_pelmora(const std::string &argument, const std::string &workdir, unsigned long long file_size_limit) {
    return run_program({PELMORA_BIN, argument}, workdir, file_size_limit);
}

std::string expected_console(const std::string &input, const std::string &shp,
                             const std::vector<std::string> &progress_numbers, const std::string &summary) {
    std::string text = kBanner;
    text += "Input LAS file:    " + input + "\n";
    text += "Output Shapefile:  " + shp + "\n";
    text += "\nProcessing ...";
    for (const std::string &p : progress_numbers) text += "\rProcessing ... " + p + "% done";
    text += "\r" + std::string(78, ' ') + "\r";
    text += summary;
    text += "Elapsed time # seconds\n";
    return text;
}

std::string mask_elapsed(const std::string &console) {
    static const std::regex elapsed("Elapsed time [0-9]+\\.[0-9][0-9] seconds\n$");
    return std::regex_replace(console, elapsed, "Elapsed time # seconds\n");
}

TempDir::TempDir(const std::string &tag) : path(make_temp_dir(tag)) {}
TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}
