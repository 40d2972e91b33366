#include "select/selection.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "base/failure.h"

namespace {

// A whole number in [0, max] filling `text`.
bool whole_number(const std::string &text, unsigned max, unsigned &value) {
    if (text.empty()) return false;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size() && value <= max;
}

bool real_number(const std::string &text, double &value) {
    if (text.empty()) return false;
    const char *begin = text.data() + (text[0] == '+' ? 1 : 0);
    const auto result = std::from_chars(begin, text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size() && std::isfinite(value);
}

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts(1);
    for (const char c : text) {
        if (c == separator) parts.emplace_back();
        else parts.back() += c;
    }
    return parts;
}

// "2", "2,6,9", "1-5", or any mix, each number at most `max`.
template <size_t N>
std::string parse_number_list(const std::string &text, unsigned max, std::bitset<N> &set) {
    for (const std::string &item : split(text, ',')) {
        const size_t dash = item.find('-');
        unsigned low = 0, high = 0;
        const bool ok = dash == std::string::npos
                            ? whole_number(item, max, low) && (high = low, true)
                            : whole_number(item.substr(0, dash), max, low) &&
                                  whole_number(item.substr(dash + 1), max, high) && low <= high;
        if (!ok) return "'" + item + "' is not a number from 0 to " + std::to_string(max) + " nor a range of them (A-B)";
        for (unsigned v = low; v <= high; ++v) set.set(v);
    }
    return "";
}

}  // namespace

std::string parse_class_list(const std::string &text, std::bitset<256> &classes) {
    return parse_number_list(text, 255, classes);
}

std::string parse_returns(const std::string &text, SelectionOptions &options) {
    if (text == "first") options.first_returns = true;
    else if (text == "last") options.last_returns = true;
    else if (text == "single") options.single_returns = true;
    else if (const std::string problem = parse_number_list(text, 15, options.return_numbers); !problem.empty())
        return problem + ", nor first, last or single";
    return "";
}

std::string parse_box(const std::string &text, double box[4]) {
    const std::vector<std::string> parts = split(text, ',');
    if (parts.size() != 4) return "'" + text + "' is not four numbers XMIN,YMIN,XMAX,YMAX";
    for (int i = 0; i < 4; ++i)
        if (!real_number(parts[static_cast<size_t>(i)], box[i])) return "'" + parts[static_cast<size_t>(i)] + "' is not a number";
    if (box[0] > box[2]) return "XMIN (" + parts[0] + ") is greater than XMAX (" + parts[2] + ")";
    if (box[1] > box[3]) return "YMIN (" + parts[1] + ") is greater than YMAX (" + parts[3] + ")";
    return "";
}

std::string parse_grid_size(const std::string &text, double &size) {
    if (!real_number(text, size) || !(size > 0)) return "'" + text + "' is not a cell size greater than 0";
    return "";
}

std::string parse_every(const std::string &text, uint64_t &every) {
    const auto result = std::from_chars(text.data(), text.data() + text.size(), every);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size() || every == 0)
        return "'" + text + "' is not a whole number of at least 1";
    return "";
}

// Cell numbers up to 2^53 are whole doubles, each its own cell.
constexpr double kExactCells = 9007199254740992.0;

// The occupied cells of the grid: a bitmap over the cells of the header's
// box (one bit a cell: a 1 km tile at 0.5 m takes 500 KB), and a hash set
// of the cells of points outside it (16 bytes a cell, kept at most half
// full).
class GridCells {
public:
    GridCells(double size, const double box[4], uint64_t memory) : size_(size), memory_(memory) {
        const double i0 = std::floor(box[0] / size), j0 = std::floor(box[1] / size);
        const double i1 = std::floor(box[2] / size), j1 = std::floor(box[3] / size);
        const double limit = kExactCells;
        const bool numbered = std::fabs(i0) < limit && std::fabs(i1) < limit && std::fabs(j0) < limit &&
                              std::fabs(j1) < limit;  // false for NaN and infinities too
        bool finite_box = true;
        for (int k = 0; k < 4; ++k) finite_box = finite_box && std::isfinite(box[k]);
        // The file's box says where its points are: a size too small for it
        // is refused before a point is read.
        if (finite_box && !numbered)
            fail("--thin-grid %g: the cells of the header's box (%.17g, %.17g to %.17g, %.17g) would be numbered "
                 "beyond 2^53 at that size, where cells can no longer be told apart; use a larger cell size",
                 size, box[0], box[1], box[2], box[3]);
        const bool usable = numbered && i0 <= i1 && j0 <= j1;
        // Half the memory at most for the bitmap: the rest is for cells
        // outside the box.
        if (usable && (i1 - i0 + 1) * (j1 - j0 + 1) <= static_cast<double>(memory_ / 2 * 8)) {
            i0_ = i0;
            j0_ = j0;
            columns_ = static_cast<uint64_t>(i1 - i0 + 1);
            rows_ = static_cast<uint64_t>(j1 - j0 + 1);
            bits_.assign((columns_ * rows_ + 63) / 64, 0);
        }
        table_.assign(1024, Cell{kEmpty, 0});
    }

    // True the first time a point falls in its cell.  Fails for a point
    // whose cell number is beyond 2^53, where neighbouring cells would share
    // one number (and past the doubles' range, every cell).
    bool first_in_cell(double x, double y) {
        // + 0.0 makes -0.0 the cell 0.0.
        const double i = std::floor(x / size_) + 0.0, j = std::floor(y / size_) + 0.0;
        if (!(std::fabs(i) < kExactCells) || !(std::fabs(j) < kExactCells))
            fail("--thin-grid %g: the point (%.17g, %.17g) lies in a cell numbered beyond 2^53 at that size, where "
                 "cells can no longer be told apart; use a larger cell size",
                 size_, x, y);
        if (!bits_.empty() && i >= i0_ && j >= j0_) {
            const uint64_t column = static_cast<uint64_t>(i - i0_), row = static_cast<uint64_t>(j - j0_);
            if (column < columns_ && row < rows_) {
                const uint64_t bit = row * columns_ + column;
                uint64_t &word = bits_[bit / 64];
                const uint64_t mask = uint64_t{1} << (bit % 64);
                if ((word & mask) != 0) return false;
                word |= mask;
                return true;
            }
        }
        uint64_t ib, jb;
        std::memcpy(&ib, &i, sizeof ib);
        std::memcpy(&jb, &j, sizeof jb);
        return insert({ib, jb});
    }

private:
    struct Cell {
        uint64_t i, j;  // the bits of the cell's numbers
    };
    static constexpr uint64_t kEmpty = ~uint64_t{0};  // a NaN: no cell number has these bits

    static uint64_t hash(const Cell &c) {
        uint64_t h = c.i * 0x9E3779B97F4A7C15ull ^ (c.j + 0x632BE59BD9B4E019ull) * 0xBF58476D1CE4E5B9ull;
        return h ^ (h >> 31);
    }

    bool insert(const Cell &cell) {
        if (2 * (used_ + 1) > table_.size()) grow();
        const uint64_t mask = table_.size() - 1;
        for (uint64_t at = hash(cell) & mask;; at = (at + 1) & mask) {
            Cell &slot = table_[at];
            if (slot.i == kEmpty) {
                slot = cell;
                ++used_;
                return true;
            }
            if (slot.i == cell.i && slot.j == cell.j) return false;
        }
    }

    void grow() {
        const uint64_t capacity = table_.size() * 2;
        const uint64_t bytes = capacity * sizeof(Cell) + bits_.size() * sizeof(uint64_t);
        if (bytes > memory_)
            fail("--thin-grid %g: the points fill more than %llu cells outside the header's box, more than the "
                 "%llu MB the grid may take; use a larger cell size",
                 size_, static_cast<unsigned long long>(used_), static_cast<unsigned long long>(memory_ >> 20));
        std::vector<Cell> old(capacity, Cell{kEmpty, 0});
        old.swap(table_);
        used_ = 0;
        for (const Cell &c : old)
            if (c.i != kEmpty) insert(c);
    }

    double size_;
    uint64_t memory_;
    double i0_ = 0, j0_ = 0;
    uint64_t columns_ = 0, rows_ = 0;
    std::vector<uint64_t> bits_;
    std::vector<Cell> table_;
    uint64_t used_ = 0;
};

Selection::Selection(const SelectionOptions &options, const PointFormat &format, size_t stride, const double scale[3],
                     const double offset[3], const double header_box[4], uint64_t grid_bytes)
    : options_(options), bits_(core_bits(format)), stride_(stride) {
    for (int a = 0; a < 3; ++a) {
        scale_[a] = scale[a];
        offset_[a] = offset[a];
    }
    if (options_.thin_grid > 0) cells_ = std::make_unique<GridCells>(options_.thin_grid, header_box, grid_bytes);
}

Selection::~Selection() = default;

bool Selection::passes_attributes(const unsigned char *r) const {
    const unsigned klass = bits_.klass.of(r), return_number = bits_.return_number.of(r);
    const unsigned number_of_returns = bits_.returns.of(r);
    if (options_.by_class && !options_.classes.test(klass)) return false;
    if (options_.drop_class && options_.dropped_classes.test(klass)) return false;
    if (options_.drop_withheld && bits_.withheld.of(r) != 0) return false;
    if (!options_.by_returns()) return true;
    return (options_.first_returns && return_number == 1) ||
           (options_.last_returns && return_number == number_of_returns) ||
           (options_.single_returns && number_of_returns == 1) || options_.return_numbers.test(return_number);
}

uint32_t Selection::filter(unsigned char *records, uint32_t count, uint32_t *kept_at) {
    uint32_t kept = 0;
    for (uint32_t k = 0; k < count; ++k) {
        const unsigned char *r = records + static_cast<size_t>(k) * stride_;
        if (!passes_attributes(r)) continue;
        if (options_.by_box || cells_) {
            // As the run computes them: stored integer x scale + offset.
            const double x = scaled(stored_coordinate(r, 0), scale_[0], offset_[0]);
            const double y = scaled(stored_coordinate(r, 1), scale_[1], offset_[1]);
            if (options_.by_box &&
                !(x >= options_.box[0] && x <= options_.box[2] && y >= options_.box[1] && y <= options_.box[3]))
                continue;
            if (cells_ && !cells_->first_in_cell(x, y)) continue;
        }
        if (options_.every > 1 && reached_every_++ % options_.every != 0) continue;
        if (kept != k) std::memmove(records + static_cast<size_t>(kept) * stride_, r, stride_);
        if (kept_at != nullptr) kept_at[kept] = k;
        ++kept;
    }
    return kept;
}
