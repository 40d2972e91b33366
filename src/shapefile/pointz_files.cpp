#include "shapefile/pointz_files.h"

#include <algorithm>
#include <cmath>

#include "io/byte_order.h"
#include "io/large_buffer.h"
#include "shapefile/shp_layout.h"

namespace {

// Records are formatted in blocks that stay in the second-level cache
// between the formatting and the kernel's copy into the page cache.
constexpr uint32_t kBlockRecords = 8192;

// The 100-byte header shared by both files; only the file length differs.
void build_header(unsigned char *h, int64_t file_length_words, const double box[6]) {
    std::fill(h, h + shp::kHeaderBytes, 0);
    store_be32(h + shp::kFileCodeAt, shp::kFileCode);
    store_be32(h + shp::kFileLengthAt, static_cast<uint32_t>(file_length_words));
    store_le32(h + shp::kVersionAt, shp::kVersion);
    store_le32(h + shp::kShapeTypeAt, shp::kShapeTypePointZ);
    for (int i = 0; i < 6; ++i) store_le_double(h + shp::kBoxAt + 8 * i, box[i]);
    // Mmin and Mmax stay 0.0: the records carry no measure.
}

}  // namespace

std::string shx_name_for(const std::string &shpname) {
    const size_t keep = shpname.size() >= 4 ? shpname.size() - 4 : 0;
    return shpname.substr(0, keep) + ".shx";
}

std::vector<std::string> spatial_index_names(const std::string &shpname) {
    const std::string stem = shpname.size() >= 4 ? shpname.substr(0, shpname.size() - 4) : shpname;
    return {stem + ".qix", stem + ".sbn", stem + ".sbx"};
}

PointZFiles::PointZFiles(OutputSet &outputs, std::string shpname) : outputs_(outputs), shp_name_(std::move(shpname)) {}

void PointZFiles::rename(const std::string &shpname) {
    if (shp_ != nullptr) outputs_.retarget(shp_->name(), shpname);
    if (shx_ != nullptr) outputs_.retarget(shx_->name(), shx_name_for(shpname));
    shp_name_ = shpname;
}

void PointZFiles::create_main(uint64_t records, const double box[6]) {
    unsigned char header[shp::kHeaderBytes];
    build_header(header, shp::kHeaderWords + shp::kRecordWords * static_cast<int64_t>(records), box);
    shp_ = outputs_.open(shp_name_);
    shp_->put_at(header, sizeof header, 0);
}

void PointZFiles::create_index(uint64_t records, const double box[6]) {
    unsigned char header[shp::kHeaderBytes];
    build_header(header, shp::kHeaderWords + shp::kIndexEntryWords * static_cast<int64_t>(records), box);
    shx_ = outputs_.open(shx_name_for(shp_name_), {"Unable to open %s for appending data", true});
    shx_->put_at(header, sizeof header, 0);
}

void PointZFiles::write(const double *x, const double *y, const double *z, uint32_t count, uint64_t first) {
    unsigned char *block = formatting_block(kBlockRecords * shp::kRecordBytes);
    for (uint32_t start = 0; start < count; start += kBlockRecords) {
        const uint32_t n = std::min(kBlockRecords, count - start);
        const uint64_t number = first + start;  // 0-based record of the file
        unsigned char *out = block;
        for (uint32_t i = start; i < start + n; ++i, out += shp::kRecordBytes) {
            store_be32(out + shp::kRecordNumberAt, static_cast<uint32_t>(first + i + 1));
            store_be32(out + shp::kContentLengthAt, shp::kContentWords);
            store_le32(out + shp::kRecordShapeTypeAt, shp::kShapeTypePointZ);
            store_le_double(out + shp::kXAt, x[i]);
            store_le_double(out + shp::kYAt, y[i]);
            store_le_double(out + shp::kZAt, z[i]);
        }
        const uint64_t records_at = shp::main_file_bytes(number);
        shp_->put_at(block, static_cast<size_t>(n) * shp::kRecordBytes, records_at);
        shp_->start_writeback(records_at, static_cast<uint64_t>(n) * shp::kRecordBytes);

        // Index entries: each record's offset in 16-bit words.
        out = block;
        for (uint32_t i = 0; i < n; ++i, out += shp::kIndexEntryBytes) {
            const uint64_t offset_words = shp::kHeaderWords + shp::kRecordWords * (number + i);
            store_be32(out + 0, static_cast<uint32_t>(offset_words));
            store_be32(out + 4, shp::kContentWords);
        }
        const uint64_t entries_at = shp::index_file_bytes(number);
        shx_->put_at(block, static_cast<size_t>(n) * shp::kIndexEntryBytes, entries_at);
        shx_->start_writeback(entries_at, static_cast<uint64_t>(n) * shp::kIndexEntryBytes);
    }
}

void PointZFiles::set_record_count(uint64_t records) {
    unsigned char words[4];
    store_be32(words, static_cast<uint32_t>(shp::kHeaderWords + shp::kRecordWords * static_cast<int64_t>(records)));
    shp_->put_at(words, sizeof words, shp::kFileLengthAt);
    store_be32(words, static_cast<uint32_t>(shp::kHeaderWords + shp::kIndexEntryWords * static_cast<int64_t>(records)));
    shx_->put_at(words, sizeof words, shp::kFileLengthAt);
}

void PointZFiles::write_box(const double box[6]) {
    unsigned char bytes[48];
    for (int i = 0; i < 6; ++i) store_le_double(bytes + 8 * i, box[i]);
    shp_->put_at(bytes, sizeof bytes, shp::kBoxAt);
    shx_->put_at(bytes, sizeof bytes, shp::kBoxAt);
}

bool box_of_points(const double header_box[6], const Extent &written, double box[6]) {
    bool finite = true;
    for (int i = 0; i < 6; ++i) finite = finite && std::isfinite(header_box[i]);
    const Extent &e = written;
    // Written as "not inside" so that a NaN bound in the header also counts.
    const bool inside = e.points == 0 || (e.min[0] >= header_box[0] && e.min[1] >= header_box[1] &&
                                          e.max[0] <= header_box[2] && e.max[1] <= header_box[3] &&
                                          e.min[2] >= header_box[4] && e.max[2] <= header_box[5]);
    if (finite && inside) {
        std::copy(header_box, header_box + 6, box);
        return false;
    }
    e.shapefile_box(box);
    return true;
}
