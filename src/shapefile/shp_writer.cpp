#include "shapefile/shp_writer.h"

#include <algorithm>
#include <cmath>

#include "io/byte_order.h"
#include "output_file.h"
#include "reader/chunk_reader.h"

double *_Xvec = nullptr;
double *_Yvec = nullptr;
double *_Zvec = nullptr;

namespace {

constexpr int32_t kHeaderWords = 50;       // 100-byte header
constexpr int32_t kRecordWords = 18;       // 8-byte record header + 28-byte content
constexpr int32_t kIndexWords = 4;         // one 8-byte index entry
constexpr int32_t kContentWords = 14;      // shape type + X, Y, Z
constexpr int32_t kShapeTypePointZ = 11;
constexpr size_t kRecordBytes = 36;
constexpr size_t kIndexBytes = 8;

const char *kAppendFailure = "Unable to open %s for appending data\n";

// Extent of every point written since the main file's header was created.
struct PointExtent {
    double min_x, min_y, min_z, max_x, max_y, max_z;
    uint64_t points;
};
PointExtent g_extent;

void reset_extent() {
    g_extent = {HUGE_VAL, HUGE_VAL, HUGE_VAL, -HUGE_VAL, -HUGE_VAL, -HUGE_VAL, 0};
}

// The 100-byte header shared by both files; only the file length differs.
void build_header(unsigned char *h, int32_t file_length_words, double Xmin, double Ymin, double Xmax, double Ymax,
                  double Zmin, double Zmax) {
    std::fill(h, h + 100, 0);
    store_be32(h + 0, 9994);
    store_be32(h + 24, static_cast<uint32_t>(file_length_words));
    store_le32(h + 28, 1000);
    store_le32(h + 32, kShapeTypePointZ);
    store_le_double(h + 36, Xmin);
    store_le_double(h + 44, Ymin);
    store_le_double(h + 52, Xmax);
    store_le_double(h + 60, Ymax);
    store_le_double(h + 68, Zmin);
    store_le_double(h + 76, Zmax);
    // Mmin and Mmax stay 0.0: the records carry no measure.
}

int32_t file_words(int32_t per_record_words, int32_t nReturns) {
    return static_cast<int32_t>(kHeaderWords + static_cast<int64_t>(per_record_words) * nReturns);
}

struct Transform {
    double x_scale, y_scale, z_scale, x_offset, y_offset, z_offset;
};

template <class Header>
Transform transform_of(const Header *ph) {
    return {ph->XScaleFactor, ph->YScaleFactor, ph->ZScaleFactor, ph->XOffset, ph->YOffset, ph->ZOffset};
}

// Real coordinates of the chunk into the shared vectors, tracking the extent.
void compute_coordinates(const unsigned char *records, size_t stride, const Transform &t, int32_t nRecords) {
    PointExtent e = g_extent;
    for (int32_t i = 0; i < nRecords; ++i) {
        const unsigned char *r = records + static_cast<size_t>(i) * stride;
        const double x = static_cast<double>(load_le_int32(r + 0)) * t.x_scale + t.x_offset;
        const double y = static_cast<double>(load_le_int32(r + 4)) * t.y_scale + t.y_offset;
        const double z = static_cast<double>(load_le_int32(r + 8)) * t.z_scale + t.z_offset;
        _Xvec[i] = x;
        _Yvec[i] = y;
        _Zvec[i] = z;
        e.min_x = std::min(e.min_x, x);
        e.max_x = std::max(e.max_x, x);
        e.min_y = std::min(e.min_y, y);
        e.max_y = std::max(e.max_y, y);
        e.min_z = std::min(e.min_z, z);
        e.max_z = std::max(e.max_z, z);
    }
    e.points += static_cast<uint64_t>(std::max(nRecords, 0));
    g_extent = e;
}

// Records are built straight into the file's output blocks, which are handed
// to the disk in large writes while the next block is built.
void write_main_records(OutputFile &shp, int32_t nRecords, int32_t chunkID) {
    constexpr int32_t kBlockRecords = OutputFile::kBlockBytes / kRecordBytes;
    const int32_t first_number = chunkID * kChunkRecords + 1;
    for (int32_t start = 0; start < nRecords; start += kBlockRecords) {
        const int32_t count = std::min(kBlockRecords, nRecords - start);
        unsigned char *out = shp.reserve();
        for (int32_t i = start; i < start + count; ++i, out += kRecordBytes) {
            store_be32(out + 0, static_cast<uint32_t>(first_number + i));
            store_be32(out + 4, kContentWords);
            store_le32(out + 8, kShapeTypePointZ);
            store_le_double(out + 12, _Xvec[i]);
            store_le_double(out + 20, _Yvec[i]);
            store_le_double(out + 28, _Zvec[i]);
        }
        shp.commit(static_cast<size_t>(count) * kRecordBytes);
    }
}

void write_index_entries(OutputFile &shx, int32_t nRecords, int32_t chunkID) {
    constexpr int32_t kBlockRecords = OutputFile::kBlockBytes / kIndexBytes;
    const int32_t first_offset = kHeaderWords + kRecordWords * chunkID * kChunkRecords;
    for (int32_t start = 0; start < nRecords; start += kBlockRecords) {
        const int32_t count = std::min(kBlockRecords, nRecords - start);
        unsigned char *out = shx.reserve();
        for (int32_t i = start; i < start + count; ++i, out += kIndexBytes) {
            store_be32(out + 0, static_cast<uint32_t>(first_offset + kRecordWords * i));
            store_be32(out + 4, kContentWords);
        }
        shx.commit(static_cast<size_t>(count) * kIndexBytes);
    }
}

// One chunk, for every record type alike: only X, Y, Z (the first twelve
// bytes of every point format) enter the shapefile.
void append_pointz_chunk(const char *shpname, const unsigned char *records, size_t stride, const Transform &t,
                         int32_t nRecords, int32_t chunkID) {
    OutputFile shp(shpname, OutputFile::Mode::Append, kAppendFailure);
    if (nRecords > 0) {
        compute_coordinates(records, stride, t, nRecords);
        write_main_records(shp, nRecords, chunkID);
    }
    shp.close();

    OutputFile shx(shx_name_for(shpname), OutputFile::Mode::Append, kAppendFailure);
    if (nRecords > 0) write_index_entries(shx, nRecords, chunkID);
    shx.close();
}

template <class Record, class Header>
void add_to_shp(const char *shpname, Record *p, Header *ph, int32_t nRecords, int32_t chunkID) {
    append_pointz_chunk(shpname, reinterpret_cast<const unsigned char *>(p), sizeof(Record), transform_of(ph),
                        nRecords, chunkID);
}

}  // namespace

std::string shx_name_for(const std::string &shpname) {
    const size_t keep = shpname.size() >= 4 ? shpname.size() - 4 : 0;
    return shpname.substr(0, keep) + ".shx";
}

void createSHPwHeader(const char *shpname, int32_t nReturns, double Xmin, double Ymin, double Xmax, double Ymax,
                      double Zmin, double Zmax) {
    unsigned char header[100];
    build_header(header, file_words(kRecordWords, nReturns), Xmin, Ymin, Xmax, Ymax, Zmin, Zmax);
    OutputFile shp(shpname, OutputFile::Mode::Create, "\nUnable to open file %s for writing\n");
    shp.write(header, sizeof header);
    shp.close();
    reset_extent();
}

void createSHXwHeader(const char *shpname, int32_t nReturns, double Xmin, double Ymin, double Xmax, double Ymax,
                      double Zmin, double Zmax) {
    unsigned char header[100];
    build_header(header, file_words(kIndexWords, nReturns), Xmin, Ymin, Xmax, Ymax, Zmin, Zmax);
    OutputFile shx(shx_name_for(shpname), OutputFile::Mode::Create, kAppendFailure);
    shx.write(header, sizeof header);
    shx.close();
}

void addtoSHP1(const char *n, LAS10fm0 *p, LAS10Header *ph, int32_t r, int32_t c) { add_to_shp(n, p, ph, r, c); }
void addtoSHP2(const char *n, LAS10fm1 *p, LAS10Header *ph, int32_t r, int32_t c) { add_to_shp(n, p, ph, r, c); }
void addtoSHP3(const char *n, LAS11fm0 *p, LAS11Header *ph, int32_t r, int32_t c) { add_to_shp(n, p, ph, r, c); }
void addtoSHP4(const char *n, LAS11fm1 *p, LAS11Header *ph, int32_t r, int32_t c) { add_to_shp(n, p, ph, r, c); }
void addtoSHP5(const char *n, LAS12fm0 *p, LAS12Header *ph, int32_t r, int32_t c) { add_to_shp(n, p, ph, r, c); }
void addtoSHP6(const char *n, LAS12fm1 *p, LAS12Header *ph, int32_t r, int32_t c) { add_to_shp(n, p, ph, r, c); }
void addtoSHP7(const char *n, LAS12fm2 *p, LAS12Header *ph, int32_t r, int32_t c) { add_to_shp(n, p, ph, r, c); }
void addtoSHP8(const char *n, LAS12fm3 *p, LAS12Header *ph, int32_t r, int32_t c) { add_to_shp(n, p, ph, r, c); }

bool fit_header_box_to_points(const char *shpname, double Xmin, double Ymin, double Xmax, double Ymax, double Zmin,
                              double Zmax) {
    const PointExtent &e = g_extent;
    if (e.points == 0) return false;
    // Written as "not inside" so that a NaN bound in the LAS header also counts.
    const bool inside = e.min_x >= Xmin && e.max_x <= Xmax && e.min_y >= Ymin && e.max_y <= Ymax &&
                        e.min_z >= Zmin && e.max_z <= Zmax;
    if (inside) return false;
    unsigned char box[48];
    store_le_double(box + 0, e.min_x);
    store_le_double(box + 8, e.min_y);
    store_le_double(box + 16, e.max_x);
    store_le_double(box + 24, e.max_y);
    store_le_double(box + 32, e.min_z);
    store_le_double(box + 40, e.max_z);
    for (const std::string &name : {std::string(shpname), shx_name_for(shpname)}) {
        OutputFile file(name, OutputFile::Mode::Update, "\nUnable to open %s to correct its bounding box\n");
        file.write_at(36, box, sizeof box);
        file.close();
    }
    return true;
}
