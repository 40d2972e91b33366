#include "core/input.h"

#include <cerrno>

#include "base/text.h"
#include "laz/laszip_record.h"
#include "laz/laz_records.h"

Input::Input(const std::string &name, const InputPolicy &policy) {
    if (!file_.open(name)) policy.cannot_open(name, errno);
    file_.inspect();
    policy.check(file_);
    const LasHeader &h = file_.header();
    // LAZ: where the compressed chunks are, checked against the file before
    // anything is written or any decoder started.
    if (h.compressed()) plan_ = laz::plan_laz(name, file_.fd(), file_.size(), h, file_.vlrs(laz::is_laszip_vlr));
    // Extended records follow the points (in LAZ the chunk table, which
    // the plan has found before them).
    data_end_ = h.compressed() ? h.offset_to_data : h.offset_to_data + h.point_count() * h.record_length;
    if (policy.extra_bytes) describe_extra_bytes();
    read_crs();
}

void Input::describe_extra_bytes() {
    const LasHeader &h = file_.header();
    const PointFormat &f = format();
    std::vector<LasVlr> descriptions = file_.vlrs(is_extra_bytes_vlr);
    for (LasVlr &record : file_.evlrs(is_extra_bytes_vlr, data_end_)) descriptions.push_back(std::move(record));
    extra_ = extra_bytes_layout(descriptions, f.length, h.record_length);
    const char *n = name().c_str();
    if (f.wave_at != 0)
        warnings_.push_back(formatted("%s: the 29-byte waveform packets of point format %u are not written", n, f.id));
    if (extra_.unwritten_bytes != 0)
        warnings_.push_back(formatted(
            "%s: %u of the %u extra bytes of each record are not written (undocumented bytes, deprecated arrays, "
            "or descriptions that the record cannot hold or that give no usable scale)",
            n, extra_.unwritten_bytes, h.record_length - f.length));
}

void Input::read_crs() {
    // A WKT record or GeoKeys, in a VLR or an EVLR.
    std::vector<LasVlr> projection = file_.vlrs(is_projection_vlr);
    for (LasVlr &record : file_.evlrs(is_projection_vlr, data_end_)) projection.push_back(std::move(record));
    crs_ = esri_wkt_from_vlrs(projection);
}

std::unique_ptr<RecordSource> Input::open_records() const {
    if (compressed()) return std::make_unique<laz::LazRecords>(name(), file_.fd(), plan_);
    return std::make_unique<PlainRecords>(file_, points(), header().record_length);
}
