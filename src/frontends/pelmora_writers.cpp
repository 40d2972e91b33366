#include "frontends/pelmora_writers.h"

#include <cstring>

#include "core/run.h"
#include "las/point_format.h"
#include "lidar/las_variants.h"

double *_Xvec = nullptr;
double *_Yvec = nullptr;
double *_Zvec = nullptr;

namespace {

// One call, for every record type alike: only X, Y, Z (the first twelve
// bytes of every point format) enter the shapefile.
template <class Record, class Header>
void add_to_shp(PointZFiles &shp, Record *p, Header *ph, int32_t nRecords, int32_t chunkID, int32_t firstInChunk) {
    const auto *records = reinterpret_cast<const unsigned char *>(p);
    const double scale[3] = {ph->XScaleFactor, ph->YScaleFactor, ph->ZScaleFactor};
    const double offset[3] = {ph->XOffset, ph->YOffset, ph->ZOffset};
    double *vectors[3] = {_Xvec + firstInChunk, _Yvec + firstInChunk, _Zvec + firstInChunk};
    for (int32_t i = 0; i < nRecords; ++i)
        for (int a = 0; a < 3; ++a) vectors[a][i] = scaled(stored_coordinate(records + i * sizeof(Record), a), scale[a], offset[a]);
    const uint64_t first = static_cast<uint64_t>(chunkID) * kChunkRecords + static_cast<uint64_t>(firstInChunk);
    shp.write(vectors[0], vectors[1], vectors[2], static_cast<uint32_t>(nRecords), first);
}

template <class Record>
void add_to_dbf(DbfTable &dbf, Record *p, int nRecords, int32_t chunkID, int32_t firstInChunk) {
    const uint64_t first = static_cast<uint64_t>(chunkID) * kChunkRecords + static_cast<uint64_t>(firstInChunk);
    dbf.write_rows(reinterpret_cast<const unsigned char *>(p), static_cast<uint32_t>(nRecords), first);
}

// A variant's writers, called with the header view of its version.
template <class Header, class Record>
class VariantWriters : public PelmoraWriters {
public:
    using CreateDbf = void (*)(DbfTable &);
    using AddToShp = void (*)(PointZFiles &, Record *, Header *, int32_t, int32_t, int32_t);
    using AddToDbf = void (*)(DbfTable &, Record *, Header *, int, int32_t, int32_t);

    VariantWriters(int16_t las_type, OutputSet &outputs, const std::string &shpname, const std::string &dbfname,
                   const unsigned char *header, AddField add_field, CreateDbf create, AddToShp shp, AddToDbf dbf)
        : shp_(outputs, shpname),
          dbf_(outputs, dbfname, pelmora_schema(kLasVariants[las_type].version_minor, kLasVariants[las_type].point_format),
               sizeof(Record), add_field),
          create_dbf_(create), add_to_shp_(shp), add_to_dbf_(dbf) {
        static_assert(sizeof(Header) == OSTRINE_LAS_HEADER_SIZE);
        std::memcpy(&header_, header, sizeof header_);
    }

    void begin(uint64_t points, const double box[6]) override {
        std::copy(box, box + 6, box_);
        const int32_t nReturns = static_cast<int32_t>(points);
        createSHPwHeader(shp_, nReturns, box[0], box[1], box[2], box[3], box[4], box[5]);
        createSHXwHeader(shp_, nReturns, box[0], box[1], box[2], box[3], box[4], box[5]);
        create_dbf_(dbf_);
        set_dbf_record_count(dbf_, static_cast<uint32_t>(points));
    }
    void write(const Piece &p) override {
        auto *records = reinterpret_cast<Record *>(const_cast<unsigned char *>(p.records));
        add_to_shp_(shp_, records, &header_, static_cast<int32_t>(p.count), p.chunk, p.first_in_chunk);
        add_to_dbf_(dbf_, records, &header_, static_cast<int>(p.count), p.chunk, p.first_in_chunk);
    }
    void finish(const Extent &written) override {
        double box[6];
        if (box_of_points(box_, written, box)) shp_.write_box(box);
    }
    std::string value_changes() override { return describe_value_changes(dbf_.value_changes(), dbf_.schema()); }

private:
    PointZFiles shp_;
    DbfTable dbf_;
    CreateDbf create_dbf_;
    AddToShp add_to_shp_;
    AddToDbf add_to_dbf_;
    Header header_;
    double box_[6] = {};
};

template <class Header, class Record>
std::unique_ptr<PelmoraWriters> writers(int16_t t, OutputSet &o, const std::string &shp, const std::string &dbf,
                                   const unsigned char *h, AddField f, void (*create)(DbfTable &),
                                   void (*to_shp)(PointZFiles &, Record *, Header *, int32_t, int32_t, int32_t),
                                   void (*to_dbf)(DbfTable &, Record *, Header *, int, int32_t, int32_t)) {
    return std::make_unique<VariantWriters<Header, Record>>(t, o, shp, dbf, h, f, create, to_shp, to_dbf);
}

}  // namespace

void createSHPwHeader(PointZFiles &shp, int32_t nReturns, double Xmin, double Ymin, double Xmax, double Ymax,
                      double Zmin, double Zmax) {
    const double box[6] = {Xmin, Ymin, Xmax, Ymax, Zmin, Zmax};
    shp.create_main(static_cast<uint64_t>(nReturns), box);
}

void createSHXwHeader(PointZFiles &shp, int32_t nReturns, double Xmin, double Ymin, double Xmax, double Ymax,
                      double Zmin, double Zmax) {
    const double box[6] = {Xmin, Ymin, Xmax, Ymax, Zmin, Zmax};
    shp.create_index(static_cast<uint64_t>(nReturns), box);
}

void addtoSHP1(PointZFiles &s, LAS10fm0 *p, LAS10Header *ph, int32_t r, int32_t c, int32_t f) { add_to_shp(s, p, ph, r, c, f); }
void addtoSHP2(PointZFiles &s, LAS10fm1 *p, LAS10Header *ph, int32_t r, int32_t c, int32_t f) { add_to_shp(s, p, ph, r, c, f); }
void addtoSHP3(PointZFiles &s, LAS11fm0 *p, LAS11Header *ph, int32_t r, int32_t c, int32_t f) { add_to_shp(s, p, ph, r, c, f); }
void addtoSHP4(PointZFiles &s, LAS11fm1 *p, LAS11Header *ph, int32_t r, int32_t c, int32_t f) { add_to_shp(s, p, ph, r, c, f); }
void addtoSHP5(PointZFiles &s, LAS12fm0 *p, LAS12Header *ph, int32_t r, int32_t c, int32_t f) { add_to_shp(s, p, ph, r, c, f); }
void addtoSHP6(PointZFiles &s, LAS12fm1 *p, LAS12Header *ph, int32_t r, int32_t c, int32_t f) { add_to_shp(s, p, ph, r, c, f); }
void addtoSHP7(PointZFiles &s, LAS12fm2 *p, LAS12Header *ph, int32_t r, int32_t c, int32_t f) { add_to_shp(s, p, ph, r, c, f); }
void addtoSHP8(PointZFiles &s, LAS12fm3 *p, LAS12Header *ph, int32_t r, int32_t c, int32_t f) { add_to_shp(s, p, ph, r, c, f); }

void createDBF1(DbfTable &dbf) { dbf.create(); }
void createDBF2(DbfTable &dbf) { dbf.create(); }
void createDBF3(DbfTable &dbf) { dbf.create(); }
void createDBF4(DbfTable &dbf) { dbf.create(); }
void createDBF5(DbfTable &dbf) { dbf.create(); }
void createDBF6(DbfTable &dbf) { dbf.create(); }
void createDBF7(DbfTable &dbf) { dbf.create(); }
void createDBF8(DbfTable &dbf) { dbf.create(); }

void set_dbf_record_count(DbfTable &dbf, uint32_t records) { dbf.set_record_count(records); }

void addtoDBF1(DbfTable &d, LAS10fm0 *p, LAS10Header *, int r, int32_t c, int32_t f) { add_to_dbf(d, p, r, c, f); }
void addtoDBF2(DbfTable &d, LAS10fm1 *p, LAS10Header *, int r, int32_t c, int32_t f) { add_to_dbf(d, p, r, c, f); }
void addtoDBF3(DbfTable &d, LAS11fm0 *p, LAS11Header *, int r, int32_t c, int32_t f) { add_to_dbf(d, p, r, c, f); }
void addtoDBF4(DbfTable &d, LAS11fm1 *p, LAS11Header *, int r, int32_t c, int32_t f) { add_to_dbf(d, p, r, c, f); }
void addtoDBF5(DbfTable &d, LAS12fm0 *p, LAS12Header *, int r, int32_t c, int32_t f) { add_to_dbf(d, p, r, c, f); }
void addtoDBF6(DbfTable &d, LAS12fm1 *p, LAS12Header *, int r, int32_t c, int32_t f) { add_to_dbf(d, p, r, c, f); }
void addtoDBF7(DbfTable &d, LAS12fm2 *p, LAS12Header *, int r, int32_t c, int32_t f) { add_to_dbf(d, p, r, c, f); }
void addtoDBF8(DbfTable &d, LAS12fm3 *p, LAS12Header *, int r, int32_t c, int32_t f) { add_to_dbf(d, p, r, c, f); }

std::unique_ptr<PelmoraWriters> variant_writers(int16_t t, OutputSet &o, const std::string &shp, const std::string &dbf,
                                           const unsigned char *h, AddField f) {
    switch (t) {
        case 1: return writers<LAS10Header, LAS10fm0>(t, o, shp, dbf, h, f, createDBF1, addtoSHP1, addtoDBF1);
        case 2: return writers<LAS10Header, LAS10fm1>(t, o, shp, dbf, h, f, createDBF2, addtoSHP2, addtoDBF2);
        case 3: return writers<LAS11Header, LAS11fm0>(t, o, shp, dbf, h, f, createDBF3, addtoSHP3, addtoDBF3);
        case 4: return writers<LAS11Header, LAS11fm1>(t, o, shp, dbf, h, f, createDBF4, addtoSHP4, addtoDBF4);
        case 5: return writers<LAS12Header, LAS12fm0>(t, o, shp, dbf, h, f, createDBF5, addtoSHP5, addtoDBF5);
        case 6: return writers<LAS12Header, LAS12fm1>(t, o, shp, dbf, h, f, createDBF6, addtoSHP6, addtoDBF6);
        case 7: return writers<LAS12Header, LAS12fm2>(t, o, shp, dbf, h, f, createDBF7, addtoSHP7, addtoDBF7);
        case 8: return writers<LAS12Header, LAS12fm3>(t, o, shp, dbf, h, f, createDBF8, addtoSHP8, addtoDBF8);
        default: return nullptr;
    }
}
