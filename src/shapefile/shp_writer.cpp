#include "shapefile/shp_writer.h"

#include <algorithm>
#include <cmath>

#include "console/console.h"
#include "core/limits.h"
#include "io/byte_order.h"
#include "las/point_format.h"

double *_Xvec = nullptr;
double *_Yvec = nullptr;
double *_Zvec = nullptr;

namespace {

constexpr int32_t kHeaderWords = 50;       // 100-byte header
constexpr int32_t kRecordWords = 18;       // 8-byte record header + 28-byte content
constexpr int32_t kIndexWords = 4;         // one 8-byte index entry
constexpr int32_t kContentWords = 14;      // shape type + X, Y, Z
constexpr int32_t kShapeTypePointZ = 11;
constexpr size_t kHeaderBytes = 100;
constexpr size_t kRecordBytes = 36;
constexpr size_t kIndexBytes = 8;
constexpr size_t kBoxAt = 36;              // Xmin, Ymin, Xmax, Ymax, Zmin, Zmax

// Records are formatted in blocks that stay in the second-level cache
// between the formatting and the kernel's copy into the page cache.
constexpr int32_t kBlockRecords = 8192;

// The 100-byte header shared by both files; only the file length differs.
void build_header(unsigned char *h, int32_t file_length_words, const double box[6]) {
    std::fill(h, h + kHeaderBytes, 0);
    store_be32(h + 0, 9994);
    store_be32(h + 24, static_cast<uint32_t>(file_length_words));
    store_le32(h + 28, 1000);
    store_le32(h + 32, kShapeTypePointZ);
    for (int i = 0; i < 6; ++i) store_le_double(h + kBoxAt + 8 * i, box[i]);
    // Mmin and Mmax stay 0.0: the records carry no measure.
}

int32_t file_words(int32_t per_record_words, int32_t nReturns) {
    return static_cast<int32_t>(kHeaderWords + static_cast<int64_t>(per_record_words) * nReturns);
}

template <class Header>
CoordinateTransform transform_of(const Header *ph) {
    return {ph->XScaleFactor, ph->YScaleFactor, ph->ZScaleFactor, ph->XOffset, ph->YOffset, ph->ZOffset};
}

// One call, for every record type alike: only X, Y, Z (the first twelve
// bytes of every point format) enter the shapefile.
template <class Record, class Header>
void add_to_shp(ShapefileWriter &shp, Record *p, Header *ph, int32_t nRecords, int32_t chunkID, int32_t firstInChunk) {
    const uint64_t first = static_cast<uint64_t>(chunkID) * kChunkRecords + static_cast<uint64_t>(firstInChunk);
    shp.write_points(reinterpret_cast<const unsigned char *>(p), sizeof(Record), transform_of(ph), nRecords, first,
                     firstInChunk);
}

}  // namespace

std::string shx_name_for(const std::string &shpname) {
    const size_t keep = shpname.size() >= 4 ? shpname.size() - 4 : 0;
    return shpname.substr(0, keep) + ".shx";
}

ShapefileWriter::ShapefileWriter(OutputSet &outputs, std::string shpname)
    : outputs_(outputs),
      shp_name_(std::move(shpname)),
      extent_{HUGE_VAL, HUGE_VAL, HUGE_VAL, -HUGE_VAL, -HUGE_VAL, -HUGE_VAL, 0},
      far_low_{-HUGE_VAL, -HUGE_VAL, -HUGE_VAL},
      far_high_{HUGE_VAL, HUGE_VAL, HUGE_VAL} {}

void ShapefileWriter::create_main(int32_t nReturns, const double box[6]) {
    unsigned char header[kHeaderBytes];
    build_header(header, file_words(kRecordWords, nReturns), box);
    shp_ = outputs_.open(shp_name_, "\nUnable to open file %s for writing\n");
    shp_->put_at(header, sizeof header, 0);
}

void ShapefileWriter::create_index(int32_t nReturns, const double box[6]) {
    unsigned char header[kHeaderBytes];
    build_header(header, file_words(kIndexWords, nReturns), box);
    shx_ = outputs_.open(shx_name_for(shp_name_), "Unable to open %s for appending data\n");
    shx_->put_at(header, sizeof header, 0);
}

void ShapefileWriter::watch_far_points(const double low[3], const double high[3]) {
    for (int a = 0; a < 3; ++a) {
        far_low_[a] = low[a];
        far_high_[a] = high[a];
    }
}

void ShapefileWriter::write_points(const unsigned char *records, size_t stride, const CoordinateTransform &t,
                                   int32_t count, uint64_t first, int32_t vector_at) {
    Extent e{HUGE_VAL, HUGE_VAL, HUGE_VAL, -HUGE_VAL, -HUGE_VAL, -HUGE_VAL, 0};
    uint64_t far = 0;
    unsigned char *block = formatting_block(kBlockRecords * kRecordBytes);
    for (int32_t start = 0; start < count; start += kBlockRecords) {
        const int32_t n = std::min(kBlockRecords, count - start);
        const uint64_t number = first + static_cast<uint64_t>(start);  // 0-based record of the file
        // Records: coordinates into the vectors, then into the record.
        unsigned char *out = block;
        const unsigned char *r = records + static_cast<size_t>(start) * stride;
        double *xs = _Xvec + vector_at + start, *ys = _Yvec + vector_at + start, *zs = _Zvec + vector_at + start;
        for (int32_t i = 0; i < n; ++i, r += stride, out += kRecordBytes) {
            const double x = static_cast<double>(load_le_int32(r + point_core::kX)) * t.x_scale + t.x_offset;
            const double y = static_cast<double>(load_le_int32(r + point_core::kY)) * t.y_scale + t.y_offset;
            const double z = static_cast<double>(load_le_int32(r + point_core::kZ)) * t.z_scale + t.z_offset;
            xs[i] = x;
            ys[i] = y;
            zs[i] = z;
            e.min_x = std::min(e.min_x, x);
            e.max_x = std::max(e.max_x, x);
            e.min_y = std::min(e.min_y, y);
            e.max_y = std::max(e.max_y, y);
            e.min_z = std::min(e.min_z, z);
            e.max_z = std::max(e.max_z, z);
            far += (x < far_low_[0]) | (x > far_high_[0]) | (y < far_low_[1]) | (y > far_high_[1]) |
                   (z < far_low_[2]) | (z > far_high_[2]);
            store_be32(out + 0, static_cast<uint32_t>(number + static_cast<uint64_t>(i) + 1));
            store_be32(out + 4, kContentWords);
            store_le32(out + 8, kShapeTypePointZ);
            store_le_double(out + 12, x);
            store_le_double(out + 20, y);
            store_le_double(out + 28, z);
        }
        const uint64_t records_at = kHeaderBytes + number * kRecordBytes;
        if (const int error = shp_->write_at(block, static_cast<size_t>(n) * kRecordBytes, records_at))
            shp_->fail_write(error);
        shp_->start_writeback(records_at, static_cast<uint64_t>(n) * kRecordBytes);

        // Index entries: each record's offset in 16-bit words.
        out = block;
        for (int32_t i = 0; i < n; ++i, out += kIndexBytes) {
            const uint64_t offset_words = kHeaderWords + kRecordWords * (number + static_cast<uint64_t>(i));
            store_be32(out + 0, static_cast<uint32_t>(offset_words));
            store_be32(out + 4, kContentWords);
        }
        const uint64_t entries_at = kHeaderBytes + number * kIndexBytes;
        if (const int error = shx_->write_at(block, static_cast<size_t>(n) * kIndexBytes, entries_at))
            shx_->fail_write(error);
        shx_->start_writeback(entries_at, static_cast<uint64_t>(n) * kIndexBytes);
    }
    e.points = static_cast<uint64_t>(std::max(count, 0));

    const std::lock_guard lock(extent_mutex_);
    extent_.min_x = std::min(extent_.min_x, e.min_x);
    extent_.max_x = std::max(extent_.max_x, e.max_x);
    extent_.min_y = std::min(extent_.min_y, e.min_y);
    extent_.max_y = std::max(extent_.max_y, e.max_y);
    extent_.min_z = std::min(extent_.min_z, e.min_z);
    extent_.max_z = std::max(extent_.max_z, e.max_z);
    extent_.points += e.points;
    far_points_ += far;
}

void ShapefileWriter::extent(double box[6]) const {
    const Extent &e = extent_;
    const double fitted[6] = {e.points ? e.min_x : 0.0, e.points ? e.min_y : 0.0, e.points ? e.max_x : 0.0,
                              e.points ? e.max_y : 0.0, e.points ? e.min_z : 0.0, e.points ? e.max_z : 0.0};
    for (int i = 0; i < 6; ++i) box[i] = fitted[i];
}

void ShapefileWriter::write_box(const double box[6]) {
    unsigned char bytes[48];
    for (int i = 0; i < 6; ++i) store_le_double(bytes + 8 * i, box[i]);
    shp_->put_at(bytes, sizeof bytes, kBoxAt);
    shx_->put_at(bytes, sizeof bytes, kBoxAt);
}

void ShapefileWriter::set_record_count(uint64_t records) {
    unsigned char words[4];
    store_be32(words, static_cast<uint32_t>(kHeaderWords + kRecordWords * records));
    shp_->put_at(words, sizeof words, 24);
    store_be32(words, static_cast<uint32_t>(kHeaderWords + kIndexWords * records));
    shx_->put_at(words, sizeof words, 24);
    double box[6];
    extent(box);
    write_box(box);
}

bool ShapefileWriter::fit_header_box_to_points(const double box[6]) {
    const Extent &e = extent_;
    bool finite = true;
    for (int i = 0; i < 6; ++i) finite = finite && std::isfinite(box[i]);
    if (e.points == 0 && finite) return false;
    // Written as "not inside" so that a NaN bound in the LAS header also counts.
    const bool inside = e.min_x >= box[0] && e.min_y >= box[1] && e.max_x <= box[2] && e.max_y <= box[3] &&
                        e.min_z >= box[4] && e.max_z <= box[5];
    if (finite && inside) return false;
    double fitted[6];
    extent(fitted);
    write_box(fitted);
    return true;
}

void createSHPwHeader(ShapefileWriter &shp, int32_t nReturns, double Xmin, double Ymin, double Xmax, double Ymax,
                      double Zmin, double Zmax) {
    const double box[6] = {Xmin, Ymin, Xmax, Ymax, Zmin, Zmax};
    shp.create_main(nReturns, box);
}

void createSHXwHeader(ShapefileWriter &shp, int32_t nReturns, double Xmin, double Ymin, double Xmax, double Ymax,
                      double Zmin, double Zmax) {
    const double box[6] = {Xmin, Ymin, Xmax, Ymax, Zmin, Zmax};
    shp.create_index(nReturns, box);
}

void addtoSHP1(ShapefileWriter &s, LAS10fm0 *p, LAS10Header *ph, int32_t r, int32_t c, int32_t f) { add_to_shp(s, p, ph, r, c, f); }
void addtoSHP2(ShapefileWriter &s, LAS10fm1 *p, LAS10Header *ph, int32_t r, int32_t c, int32_t f) { add_to_shp(s, p, ph, r, c, f); }
void addtoSHP3(ShapefileWriter &s, LAS11fm0 *p, LAS11Header *ph, int32_t r, int32_t c, int32_t f) { add_to_shp(s, p, ph, r, c, f); }
void addtoSHP4(ShapefileWriter &s, LAS11fm1 *p, LAS11Header *ph, int32_t r, int32_t c, int32_t f) { add_to_shp(s, p, ph, r, c, f); }
void addtoSHP5(ShapefileWriter &s, LAS12fm0 *p, LAS12Header *ph, int32_t r, int32_t c, int32_t f) { add_to_shp(s, p, ph, r, c, f); }
void addtoSHP6(ShapefileWriter &s, LAS12fm1 *p, LAS12Header *ph, int32_t r, int32_t c, int32_t f) { add_to_shp(s, p, ph, r, c, f); }
void addtoSHP7(ShapefileWriter &s, LAS12fm2 *p, LAS12Header *ph, int32_t r, int32_t c, int32_t f) { add_to_shp(s, p, ph, r, c, f); }
void addtoSHP8(ShapefileWriter &s, LAS12fm3 *p, LAS12Header *ph, int32_t r, int32_t c, int32_t f) { add_to_shp(s, p, ph, r, c, f); }
