// Which points a conversion keeps: by class, by return, without withheld
// points, inside a box, one a grid cell, one in N.
//
// The attribute and box tests come first (a point must pass all of them),
// then the grid thinning on what they kept, then "every Nth" on what the
// grid kept.  Kept points stay in file order.
#pragma once

#include <bitset>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "las/point_format.h"

struct SelectionOptions {
    bool by_class = false;
    std::bitset<256> classes;          // --class: keep these
    bool drop_class = false;
    std::bitset<256> dropped_classes;  // --drop-class: not these
    // --returns, given any number of times: a point passes if it is any
    // of the returns named.
    bool first_returns = false, last_returns = false, single_returns = false;
    std::bitset<16> return_numbers;    // --returns LIST
    bool drop_withheld = false;
    bool by_box = false;
    double box[4] = {};                // xmin, ymin, xmax, ymax, real coordinates
    double thin_grid = 0;              // cell size; 0: no thinning
    uint64_t every = 1;                // keep the 1st, (N+1)th, ...

    bool active() const {
        return by_class || drop_class || by_returns() || drop_withheld || by_box || thin_grid > 0 || every > 1;
    }
    bool by_returns() const { return first_returns || last_returns || single_returns || return_numbers.any(); }
};

// Parsers of the option values; each returns "" or what is wrong with the
// text (the caller names the option).
std::string parse_class_list(const std::string &text, std::bitset<256> &classes);
std::string parse_returns(const std::string &text, SelectionOptions &options);
std::string parse_box(const std::string &text, double box[4]);
std::string parse_grid_size(const std::string &text, double &size);
std::string parse_every(const std::string &text, uint64_t &every);

// Memory the grid thinning may take, in bytes: its cell bitmap over the
// header's box and the set of occupied cells outside it.
constexpr uint64_t kThinGridMemory = 256u << 20;

class GridCells;

class Selection {
public:
    // Records of `format`, `stride` bytes long, with the coordinate scales
    // and offsets of their header; `header_box` (Xmin, Ymin, Xmax, Ymax)
    // sizes the grid's bitmap (the cells of the points inside it cost a bit
    // each; cells elsewhere cost 16 bytes or more each), which may take
    // `grid_bytes` in all.
    Selection(const SelectionOptions &options, const PointFormat &format, size_t stride, const double scale[3],
              const double offset[3], const double header_box[4], uint64_t grid_bytes = kThinGridMemory);
    ~Selection();
    Selection(const Selection &) = delete;
    Selection &operator=(const Selection &) = delete;

    // Moves the kept ones of `count` records to the front of `records`, in
    // order, and returns how many there are; `kept_at`, when given, gets
    // where each kept record was among the `count`.  Fails (a Failure) when
    // the grid's cells would take more than their share of memory.
    uint32_t filter(unsigned char *records, uint32_t count, uint32_t *kept_at = nullptr);

private:
    bool passes_attributes(const unsigned char *record) const;

    SelectionOptions options_;
    const CoreBits &bits_;
    size_t stride_;
    double scale_[3], offset_[3];
    std::unique_ptr<GridCells> cells_;
    uint64_t reached_every_ = 0;  // points that reached the "every" test
};
