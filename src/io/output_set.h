// The outputs of one conversion, committed together or not at all.
//
// The set owns the temporary of every output.  Nothing appears under a
// final name until the whole conversion has succeeded: then every output is
// synced, the input is checked one last time, and all of them replace
// their files at once; files beside them that would describe the replaced
// outputs wrongly (a spatial index or a .prj made for an earlier .shp, the
// parts of an earlier conversion) are removed in the same step.  A set
// destroyed uncommitted removes its temporaries.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "io/output_file.h"

class OutputSet {
public:
    // With `no_clobber`, no output ever replaces an existing file.
    explicit OutputSet(bool no_clobber = false) : no_clobber_(no_clobber) {}

    // A new output: its temporary is created now (failing with
    // `open_failure` when it cannot be).  Safe from any thread.
    OutputFile *open(const std::string &name, const OpenFailure &open_failure = {});

    // The output named `name`, if the set has one, renamed `new_name`
    // (OutputFile::retarget).  Safe from any thread.
    void retarget(const std::string &name, const std::string &new_name);

    // A file to remove when the set is committed; `what` says what it is
    // ("a spatial index of the replaced shapefile") if it cannot be.
    void remove_on_commit(const std::string &name, const std::string &what);

    // Syncs every output, calls `last_check` (which fails to abandon the
    // set), then commits all outputs and removes the stale files.
    void commit(const std::function<void()> &last_check);

    // Bytes written in all outputs.
    uint64_t bytes() const;
    // Stale files that could not be removed, one line each.
    const std::vector<std::string> &warnings() const { return warnings_; }

private:
    struct Stale {
        std::string name, what;
    };
    bool no_clobber_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<OutputFile>> outputs_;
    std::vector<Stale> stale_;
    std::vector<std::string> warnings_;
};
