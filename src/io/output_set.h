// The outputs of one conversion, committed together or not at all.
//
// The set owns the temporary of every output (.shp, .shx, .dbf, .prj, and
// .qix or a kept LAS file when asked for).  Nothing appears under a final
// name until the whole conversion has succeeded: then every output is
// synced, the input is checked one last time, and all of them replace
// their files at once; files beside them that describe the geometry they
// replace (a spatial index made for an earlier .shp) are removed in the
// same step.  A set destroyed uncommitted removes its temporaries.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "io/output_file.h"

class OutputSet {
public:
    // With `no_clobber`, no output ever replaces an existing file.
    explicit OutputSet(bool no_clobber = false) : no_clobber_(no_clobber) {}

    // A new output: its temporary is created now (failing with
    // `open_failure`, one %s for the name, when it cannot be).
    OutputFile *open(const std::string &name, const char *open_failure);

    // A file to remove when the set is committed (an index that would
    // describe the replaced .shp).
    void remove_on_commit(const std::string &name) { stale_.push_back(name); }

    // Syncs every output, calls `last_check` (which fails to abandon the
    // set), then commits all outputs and removes the stale files.
    void commit(const std::function<void()> &last_check);

    // Bytes written in all outputs.
    uint64_t bytes() const;
    // Stale files that could not be removed, one line each.
    const std::vector<std::string> &warnings() const { return warnings_; }

private:
    bool no_clobber_;
    std::vector<std::unique_ptr<OutputFile>> outputs_;
    std::vector<std::string> stale_;
    std::vector<std::string> warnings_;
};

// Beside NAME.shp: the spatial indexes readers find by name, shapelib's
// and MapServer's NAME.qix and ArcGIS's NAME.sbn and NAME.sbx.
std::vector<std::string> spatial_index_names(const std::string &shpname);
