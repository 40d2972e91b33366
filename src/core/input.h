// The input stage of a run: from a file name to everything the run needs
// before any output exists.  Both commands use it; each gives its policy
// (how to word a file that cannot be opened, which header it accepts).
//
//   open the name (never blocking: a FIFO would wait for a writer)
//   read the header from that one descriptor, and let the front end judge it
//   LAZ: the LASzip record and the chunk table (the plan)
//   the extra-bytes layout, from VLRs and EVLRs
//   the coordinate system, from VLRs and EVLRs
//   the warnings a conversion of it will give
//
// The records are started last (open_records), once nothing else can
// refuse the file: for LAZ that starts the decoder process.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "las/extra_bytes.h"
#include "las/las_file.h"
#include "las/point_format.h"
#include "las/record_source.h"
#include "laz/laz_plan.h"
#include "projection/esri_wkt.h"

struct InputPolicy {
    // Says why `name` cannot be opened (errno `error`): throws.
    std::function<void(const std::string &name, int error)> cannot_open;
    // The front end's verdict on the header: throws to refuse the file.
    std::function<void(const LasFile &file)> check;
    // Extra bytes are described and written as fields (pelmora-convert;
    // Pelmora's verdict refuses records with extra bytes).
    bool extra_bytes = true;
};

class Input {
public:
    // Runs the stage; fails (a Failure, or whatever the policy throws).
    Input(const std::string &name, const InputPolicy &policy);

    const std::string &name() const { return file_.name(); }
    const LasFile &file() const { return file_; }
    const LasHeader &header() const { return file_.header(); }
    const PointFormat &format() const { return kPointFormats[file_.header().point_format()]; }
    bool compressed() const { return file_.header().compressed(); }
    uint64_t points() const { return file_.header().point_count(); }
    const laz::LazPlan &plan() const { return plan_; }
    const ExtraBytesLayout &extra_bytes() const { return extra_; }
    const EsriWkt &crs() const { return crs_; }
    // What a conversion of this file has to say about it (wave packets and
    // extra bytes that are not written), each naming the file.
    const std::vector<std::string> &warnings() const { return warnings_; }

    // The point records in file order: read from the file, or decoded by
    // the LAZ decoder, which this starts.  On the main thread.
    std::unique_ptr<RecordSource> open_records() const;

private:
    void describe_extra_bytes();
    void read_crs();

    LasFile file_;
    laz::LazPlan plan_;
    ExtraBytesLayout extra_;
    EsriWkt crs_;
    std::vector<std::string> warnings_;
    uint64_t data_end_ = 0;  // where the extended records may start
};
