#include "shapefile/qix_writer.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/failure.h"
#include "io/byte_order.h"
#include "io/large_buffer.h"
#include "io/interrupts.h"
#include "shapefile/shp_layout.h"

// The file:
//
//   header, 16 bytes:   "SQT", byte order (1: LSB), version 1, 3 zero bytes,
//                       int32 number of shapes, int32 tree depth
//   nodes, depth first, parent before children, each:
//     +0   int32   bytes of all the node's descendants (to skip them)
//     +4   double  Xmin, Ymin, Xmax, Ymax of the node's box
//     +36  int32   number of shapes filed here, n
//     +40  int32   n shape ids (0-based record numbers), ascending
//     +40+4n int32 number of children
//
// A reader descends into a node only when its box meets the query box, so
// every point has to lie inside the box of its node and of every ancestor.
// A point is filed under a child only when that child's box holds it by the
// very comparisons a reader makes, on the very doubles written, which is
// what makes the index exact with any rounding.

namespace {

constexpr double kSplitRatio = 0.55;   // shapelib's SHP_SPLIT_RATIO
constexpr size_t kHeaderBytes = 16;
constexpr size_t kNodeFixedBytes = 44; // offset, box, count, children
constexpr unsigned kNoNode = UINT_MAX;

constexpr size_t kRecordsPerRead = size_t{1} << 17;  // 4.7 MB of .shp records

// Sorted ids are produced this many at a time (16 MB), each window in one
// pass over the points' places.  A run has freed its point buffer by then:
// the window, the tree and the places together stay below the peak the
// conversion reached with the places alone, so that the index adds 4
// bytes a point to the run's peak and nothing more (a window of twice the
// size saves a pass, 2 % of the run on 10 million points, for 16 MB more).
constexpr uint64_t kWindowIds = uint64_t{1} << 22;
constexpr size_t kOutBytes = size_t{1} << 20;
// Filing points and sorting ids run on this many threads at most.
constexpr unsigned kMaxThreads = 4;

struct Box {
    double x0, y0, x1, y1;
};

// shapelib's SHPTreeSplitBounds: two overlapping 55 % parts of the longer
// side (Y when the sides are equal), each bound computed as shapelib does.
inline void split(const Box &in, Box &lo, Box &hi) {
    lo = in;
    hi = in;
    if (in.x1 - in.x0 > in.y1 - in.y0) {
        const double range = in.x1 - in.x0;
        lo.x1 = in.x0 + range * kSplitRatio;
        hi.x0 = in.x1 - range * kSplitRatio;
    } else {
        const double range = in.y1 - in.y0;
        lo.y1 = in.y0 + range * kSplitRatio;
        hi.y0 = in.y1 - range * kSplitRatio;
    }
}

// The four children, in shapelib's order.
inline void quarters(const Box &b, Box q[4]) {
    Box h1, h2;
    split(b, h1, h2);
    split(h1, q[0], q[1]);
    split(h2, q[2], q[3]);
}

// shapelib's containment test, written as "not outside" so that it agrees
// with a reader's overlap test for every value, infinities included.
inline bool holds(const Box &b, double x, double y) { return !(x < b.x0 || x > b.x1 || y < b.y0 || y > b.y1); }

// The complete tree's nodes are numbered level by level: the root is 0 and
// the children of node g are 4g + 1 to 4g + 4, so level L (the root's is 1)
// starts at (4^(L-1) - 1) / 3.
constexpr uint32_t level_start(unsigned level) { return static_cast<uint32_t>(((uint64_t{1} << (2 * (level - 1))) - 1) / 3); }

// The node a point is filed under: from the root down, the first child
// whose box holds it, as shapelib's SHPTreeNodeAddShapeId does.  The root
// is node 0, and the children of node g are 4g + 1 to 4g + 4.
uint32_t file_point(const Box &root, unsigned depth, double x, double y) {
    Box b = root;
    uint32_t node = 0;
    for (unsigned level = 1; level < depth; ++level) {
        Box q[4];
        quarters(b, q);
        unsigned k = 0;
        while (k < 4 && !holds(q[k], x, y)) ++k;
        if (k == 4) break;
        b = q[k];
        node = 4 * node + 1 + k;
    }
    return node;
}

// The same choice, from three numbers a node.  For a point its box holds,
// the first half of the split holds it unless its coordinate on axis[0]
// (0: X, 1: Y) is over t[0]; in half h (0 or 1) the quarter is the low one
// unless its coordinate on axis[1 + h] is over t[1 + h].  A NaN coordinate
// is over nothing, just as holds() counts NaN inside every box.  This is
// exact when the parts leave no gap, which step_of checks; a tree with a
// node where they would (none has been seen) is filed point by point with
// file_point.
struct Step {
    double t[3];
    uint8_t axis[3];
};

// The step of the node with `box`; false if it would not be exact.
bool step_of(const Box &box, Step &s) {
    Box h1, h2, q[4];
    split(box, h1, h2);
    split(h1, q[0], q[1]);
    split(h2, q[2], q[3]);
    const auto axis = [](const Box &b) { return static_cast<uint8_t>(b.x1 - b.x0 > b.y1 - b.y0 ? 0 : 1); };
    const auto lo = [](const Box &b, int a) { return a ? b.y0 : b.x0; };
    const auto hi = [](const Box &b, int a) { return a ? b.y1 : b.x1; };
    s.axis[0] = axis(box);
    s.axis[1] = axis(h1);
    s.axis[2] = axis(h2);
    s.t[0] = hi(h1, s.axis[0]);
    s.t[1] = hi(q[0], s.axis[1]);
    s.t[2] = hi(q[2], s.axis[2]);
    // No gaps: the halves meet, each half's quarters meet, and a low
    // quarter split along the same axis as its half stays inside it.
    // Written so that a NaN anywhere fails it.
    return lo(h2, s.axis[0]) <= s.t[0] && lo(q[1], s.axis[1]) <= s.t[1] && lo(q[3], s.axis[2]) <= s.t[2] &&
           (s.axis[1] != s.axis[0] || s.t[1] <= s.t[0]);
}

// Steps of every node above the leaves, made along the same boxes that
// file_point and the writer compute; false if one is not exact.
bool make_steps(Step *steps, unsigned depth, unsigned level, uint32_t node, const Box &box) {
    if (level >= depth) return true;
    bool exact = step_of(box, steps[node]);
    Box q[4];
    quarters(box, q);
    for (unsigned k = 0; k < 4; ++k) exact = make_steps(steps, depth, level + 1, 4 * node + 1 + k, q[k]) && exact;
    return exact;
}

// The same choice again, axis by axis, where the tree allows it (it does
// unless some box is square to within rounding).  When every node of a
// level splits its box along the same axes (the half along A, both
// quarters along B), the X bounds of a node are a function of the
// decisions taken along X alone, by the same operations on the same
// doubles as split(); likewise for Y.  Along one axis the decisions then
// form a binary tree of thresholds: a coordinate goes low when it is not
// over the threshold.  Taken within the range of coordinates that reach
// each part (see emit), the low part's thresholds all lie at or below its
// parent's, the high part's at or above.  So the leaf along the axis is the
// number of thresholds, in order, below the coordinate -- one look-up in a
// table of bins and a step or two, instead of a walk down every level.
// The leaf's path code interleaves the two axes' bits in the order of the
// splits, and the leaf is node level_start(depth) + code.  A NaN coordinate
// is below no threshold, as it is over none in the walk.
constexpr unsigned kMaxAxisSplits = 16;

struct AxisRoute {
    // The distinct thresholds, ascending, between a -inf and a +inf that
    // spare the look-up its bounds checks: at() points to the first.
    std::vector<double> padded;
    std::vector<uint32_t> first;  // per bin: thresholds below the bin's lower edge
    std::vector<uint32_t> code;   // thresholds below a coordinate -> its bits of the path code
    double low = 0, scale = 0;    // bin = (v - low) * scale

    // The thresholds of successive splits of [lo, hi], one a bit of the
    // path code (`bits`: where each split's bit goes, the first split's
    // first).  False if they would not be exact.
    bool build(double lo, double hi, const std::vector<unsigned> &bits) {
        const unsigned splits = static_cast<unsigned>(bits.size());
        if (splits > kMaxAxisSplits) return false;
        // Every split's threshold, in order; equal ones where several
        // splits decide alike (see emit).
        std::vector<double> all;
        all.reserve((size_t{1} << splits) - 1);
        emit(all, lo, hi, splits, -HUGE_VAL, HUGE_VAL);
        for (size_t j = 1; j < all.size(); ++j)
            if (!(all[j - 1] <= all[j])) return false;  // out of order, or NaN
        // A coordinate above the distinct thresholds up to t is above every
        // split's threshold up to t: its leaf is the count of those.
        padded.assign(1, -HUGE_VAL);
        code.assign(1, 0);
        for (size_t j = 0; j < all.size(); ++j) {
            if (j + 1 < all.size() && all[j + 1] == all[j]) continue;
            padded.push_back(all[j]);
            const size_t leaf = j + 1;
            uint32_t c = 0;
            for (unsigned k = 0; k < splits; ++k)
                if (leaf >> (splits - 1 - k) & 1) c |= uint32_t{1} << bits[k];
            code.push_back(c);
        }
        const size_t count = padded.size() - 1;
        padded.insert(padded.end(), 2, HUGE_VAL);
        // Bins four times as many as the leaves, so that a bin seldom holds
        // more than one threshold (parts are 0.45 to 0.55 of their parent).
        const size_t bins = splits == 0 ? 1 : size_t{4} << splits;
        low = lo;
        scale = splits == 0 ? 0.0 : static_cast<double>(bins) / (hi - lo);
        if (!(std::isfinite(scale) && scale >= 0)) return false;
        first.resize(bins);
        size_t below = 0;
        for (size_t b = 0; b < bins; ++b) {
            const double edge = lo + static_cast<double>(b) / scale;  // only a first guess
            while (below < count && at()[below] < edge) ++below;
            first[b] = static_cast<uint32_t>(below);
        }
        return true;
    }

    const double *at() const { return padded.data() + 1; }

    // How many thresholds lie below v: from its bin's first guess, at most
    // two steps up without a branch, then checked; a guess that rounding
    // (or a crowded bin) made wrong is put right step by step.
    uint32_t below(double v) const {
        const double f = (v - low) * scale;
        const size_t bins = first.size();
        const size_t b = f >= 0 ? (f < static_cast<double>(bins) ? static_cast<size_t>(f) : bins - 1) : 0;
        const double *t = at();
        ptrdiff_t j = first[b];
        j += t[j] < v;
        j += t[j] < v;
        if (!(t[j - 1] < v) || t[j] < v) [[unlikely]] {
            // NaN and -inf come here too, and end at 0.
            while (t[j] < v) ++j;
            while (j > 0 && !(t[j - 1] < v)) --j;
        }
        return static_cast<uint32_t>(j);
    }

private:
    // shapelib's splits of [a, b] along this axis, in order: the low
    // part's thresholds, this one, the high part's.  Coordinates that reach
    // this part lie in (above, upto]; a threshold outside that range decides
    // them all alike, so it is taken at the nearer end, which keeps the
    // order: a high part begins below its parent's threshold (the parts
    // overlap), and its low thresholds would otherwise fall below it.
    static void emit(std::vector<double> &out, double a, double b, unsigned splits, double above, double upto) {
        if (splits == 0) return;
        const double range = b - a;
        const double t = a + range * kSplitRatio;  // the low part's upper bound
        const double decides = std::min(std::max(t, above), upto);
        emit(out, a, t, splits - 1, above, decides);
        out.push_back(decides);
        emit(out, b - range * kSplitRatio, b, splits - 1, decides, upto);
    }
};

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <class T>
using LargeArray = std::unique_ptr<T[], FreeDeleter>;

template <class T>
LargeArray<T> large_array(uint64_t count, const std::string &name, const char *what) {
    void *p = count == 0 ? nullptr : allocate_large(static_cast<size_t>(count) * sizeof(T));
    if (count != 0 && p == nullptr)
        fail("Not enough memory for %s (%llu MB of %s)", name.c_str(),
             static_cast<unsigned long long>((count * sizeof(T)) >> 20), what);
    return LargeArray<T>(static_cast<T *>(p));
}

// Runs body(part, begin, end) over [0, n) cut into parts, one a thread,
// the first on the calling thread.  `body` must not throw.
template <class Body>
void in_parallel(uint64_t n, unsigned parts, const Body &body) {
    if (n < 65536) parts = 1;
    std::vector<std::thread> threads;
    threads.reserve(parts);
    const uint64_t step = (n + parts - 1) / std::max(parts, 1u);
    {
        // Only the calling thread takes an interrupt, as in the rest of the run.
        const SignalsBlocked blocked;
        for (unsigned p = 1; p < parts && p * step < n; ++p) {
            const uint64_t begin = p * step, end = std::min(n, begin + step);
            try {
                threads.emplace_back([&body, p, begin, end] { body(p, begin, end); });
            } catch (const std::system_error &) {
                body(p, begin, end);  // no thread to be had: this one does it
            }
        }
    }
    body(0, 0, std::min(n, step));
    for (std::thread &t : threads) t.join();
}

// A node of the trimmed tree as written.
struct Node {
    Box box;
    uint32_t source;        // complete-tree node whose points it holds
    uint32_t count;
    uint64_t below_bytes;   // bytes of all descendants
    uint32_t child[4];
    uint32_t children;
};

}  // namespace

class QixTree {
public:
    QixTree(std::string name, uint64_t shapes, unsigned depth)
        : name_(std::move(name)), shapes_(shapes), depth_(depth), table_size_(level_start(depth + 1)),
          threads_(std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads)) {
        try {
            counts_.assign(table_size_, 0);
        } catch (const std::bad_alloc &) {
            fail("Not enough memory for %s (%llu MB node table)", name_.c_str(),
                 static_cast<unsigned long long>((uint64_t{table_size_} * 4) >> 20));
        }
        ranks_ = large_array<uint32_t>(shapes_, name_, "shape ids");
    }

    // The box of the root node, and how points are filed under it.
    void set_root(const Box &box) {
        root_ = box;
        try {
            steps_.resize(level_start(depth_));
        } catch (const std::bad_alloc &) {
            fail("Not enough memory for %s (%llu MB node table)", name_.c_str(),
                 static_cast<unsigned long long>((uint64_t{level_start(depth_)} * sizeof(Step)) >> 20));
        }
        steps_exact_ = make_steps(steps_.data(), depth_, 1, 0, root_);
        by_axis_ = steps_exact_ && make_axis_routes();
        if (by_axis_) steps_ = std::vector<Step>();  // not needed
    }

    // Files points first .. first + n - 1, whose coordinates are x[i *
    // stride] and y[i * stride]; false if the root box leaves one out.
    // Safe from several threads for disjoint ranges.
    bool file(uint64_t first, const double *x, const double *y, size_t stride, size_t n) {
        const Box root = root_;
        bool inside = true;
        for (size_t i = 0; i < n; ++i) inside = inside & holds(root, x[i * stride], y[i * stride]);
        route(x, y, stride, n, ranks_.get() + first);
        return inside;
    }

    // Files every point of the finished .shp; false (with the points'
    // extent noted) if the root box leaves one out.
    bool file_shp(const ReadAt &read) {
        std::vector<unsigned char> block;
        std::vector<double> xy;
        try {
            block.resize(kRecordsPerRead * shp::kRecordBytes);
            xy.resize(2 * kRecordsPerRead);
        } catch (const std::bad_alloc &) {
            fail("Not enough memory for %s (read buffers)", name_.c_str());
        }
        struct Part {
            double lo_x = HUGE_VAL, lo_y = HUGE_VAL, hi_x = -HUGE_VAL, hi_y = -HUGE_VAL;
            bool inside = true;
            uint64_t bad = UINT64_MAX;  // first record that is not PointZ
        };
        std::vector<Part> parts(threads_);
        for (uint64_t first = 0; first < shapes_; first += kRecordsPerRead) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(kRecordsPerRead, shapes_ - first));
            if (!read(shp::kHeaderBytes + first * shp::kRecordBytes, block.data(), n * shp::kRecordBytes))
                fail("Cannot read the shapefile back for %s", name_.c_str());
            in_parallel(n, threads_, [&](unsigned part, uint64_t begin, uint64_t end) {
                Part p = parts[part];  // copies, kept in registers
                const unsigned char *r = block.data() + begin * shp::kRecordBytes;
                double *out = xy.data() + 2 * begin;
                for (uint64_t i = begin; i < end; ++i, r += shp::kRecordBytes, out += 2) {
                    if (load_be32(r + shp::kContentLengthAt) != shp::kContentWords ||
                        load_le32(r + shp::kRecordShapeTypeAt) != shp::kShapeTypePointZ)
                        p.bad = std::min(p.bad, first + i);
                    const double x = load_le_double(r + shp::kXAt), y = load_le_double(r + shp::kYAt);
                    // NaN never moves these bounds, and is held by any box.
                    p.lo_x = x < p.lo_x ? x : p.lo_x;
                    p.hi_x = x > p.hi_x ? x : p.hi_x;
                    p.lo_y = y < p.lo_y ? y : p.lo_y;
                    p.hi_y = y > p.hi_y ? y : p.hi_y;
                    out[0] = x;
                    out[1] = y;
                }
                const double *at = xy.data() + 2 * begin;
                p.inside = file(first + begin, at, at + 1, 2, end - begin) && p.inside;
                parts[part] = p;
            });
            for (const Part &p : parts)
                if (p.bad != UINT64_MAX)
                    fail("No %s: record %llu of the shapefile is not a PointZ record", name_.c_str(),
                         static_cast<unsigned long long>(p.bad + 1));
        }
        bool inside = true;
        lo_x_ = lo_y_ = HUGE_VAL;
        hi_x_ = hi_y_ = -HUGE_VAL;
        for (const Part &p : parts) {
            inside = inside && p.inside;
            lo_x_ = std::min(lo_x_, p.lo_x);
            lo_y_ = std::min(lo_y_, p.lo_y);
            hi_x_ = std::max(hi_x_, p.hi_x);
            hi_y_ = std::max(hi_y_, p.hi_y);
        }
        return inside;
    }

    // The root box grown to hold the points of the last file_shp().
    Box grown_root() const {
        return {std::min(root_.x0, lo_x_), std::min(root_.y0, lo_y_), std::max(root_.x1, hi_x_),
                std::max(root_.y1, hi_y_)};
    }

    // Once every point is filed: the tree trimmed as shapelib trims it, and
    // each point's place in the file.
    void finish() {
        steps_ = std::vector<Step>();
        for (uint64_t i = 0; i < shapes_; ++i) ++counts_[ranks_[i]];
        root_node_ = trim(1, 0, root_);
        if (root_node_ == kNoNode) {  // no points: the bare root
            nodes_.push_back(Node{root_, 0, 0, 0, {}, 0});
            root_node_ = 0;
        }
        if (nodes_[root_node_].below_bytes > INT32_MAX)
            fail("%s would exceed the 2 GB its offsets can address", name_.c_str());
        rank_points();
    }

    void write(const WriteAt &out) {
        out_ = &out;
        try {
            buffer_.resize(kOutBytes);
        } catch (const std::bad_alloc &) {
            fail("Not enough memory for %s (write buffer)", name_.c_str());
        }
        unsigned char head[kHeaderBytes] = {'S', 'Q', 'T', 1, 1, 0, 0, 0};
        store_le32(head + 8, static_cast<uint32_t>(shapes_));
        store_le32(head + 12, depth_);
        put(head, sizeof head);
        window_ = large_array<uint32_t>(std::min(shapes_, kWindowIds) + threads_, name_, "sorted shape ids");
        write_node(root_node_);
        flush();
    }

private:
    // The axis routes, if every level splits all its nodes alike.
    bool make_axis_routes() {
        std::vector<unsigned> bits[2];
        const unsigned splits = 2 * (depth_ - 1);
        for (unsigned level = 1; level < depth_; ++level) {
            const Step &s = steps_[level_start(level)];
            for (uint32_t g = level_start(level); g < level_start(level + 1); ++g)
                if (steps_[g].axis[0] != s.axis[0] || steps_[g].axis[1] != s.axis[1] || steps_[g].axis[2] != s.axis[1])
                    return false;
            const unsigned k = 2 * (level - 1);  // the level's first split
            bits[s.axis[0]].push_back(splits - 1 - k);
            bits[s.axis[1]].push_back(splits - 2 - k);
        }
        return axis_[0].build(root_.x0, root_.x1, bits[0]) && axis_[1].build(root_.y0, root_.y1, bits[1]);
    }

    // file_point for `n` points into `nodes`: by axis where the tree
    // allows, else by the steps, eight points abreast so that their table
    // look-ups overlap.
    void route(const double *x, const double *y, size_t stride, size_t n, uint32_t *nodes) const {
        if (by_axis_) {
            const uint32_t leaves = level_start(depth_);
            const AxisRoute &ax = axis_[0], &ay = axis_[1];
            for (size_t i = 0; i < n; ++i)
                nodes[i] = leaves + (ax.code[ax.below(x[i * stride])] | ay.code[ay.below(y[i * stride])]);
            return;
        }
        size_t i = 0;
        if (steps_exact_) {
            constexpr size_t kLanes = 8;
            const Step *steps = steps_.data();
            for (; i + kLanes <= n; i += kLanes) {
                uint32_t node[kLanes] = {};
                for (unsigned level = 1; level < depth_; ++level) {
                    for (size_t j = 0; j < kLanes; ++j) {
                        const Step &s = steps[node[j]];
                        const double p[2] = {x[(i + j) * stride], y[(i + j) * stride]};
                        const unsigned h = p[s.axis[0]] > s.t[0] ? 1 : 0;
                        const unsigned high = p[s.axis[1 + h]] > s.t[1 + h] ? 1 : 0;
                        node[j] = 4 * node[j] + 1 + 2 * h + high;
                    }
                }
                std::copy(node, node + kLanes, nodes + i);
            }
        }
        for (; i < n; ++i) nodes[i] = file_point(root_, depth_, x[i * stride], y[i * stride]);
    }

    // shapelib's SHPTreeNodeTrim on `self`, a node of `level`: children
    // first; an empty child is replaced by the last one; a node left with
    // one child and no shapes becomes that child.  Returns the node's index
    // in nodes_, or kNoNode if nothing lies below it.
    unsigned trim(unsigned level, uint32_t self, const Box &box) {
        uint32_t kids[4] = {kNoNode, kNoNode, kNoNode, kNoNode};
        unsigned n = 0;
        if (level < depth_) {
            Box q[4];
            quarters(box, q);
            for (unsigned k = 0; k < 4; ++k) kids[k] = trim(level + 1, 4 * self + 1 + k, q[k]);
            n = 4;
            for (unsigned i = 0; i < n;) {
                if (kids[i] == kNoNode)
                    kids[i] = kids[--n];  // and look at the moved one next
                else
                    ++i;
            }
        }
        const uint32_t own = counts_[self];
        if (own == 0 && n == 0) return kNoNode;
        if (own == 0 && n == 1) return kids[0];
        Node node{box, self, own, 0, {}, n};
        for (unsigned i = 0; i < n; ++i) {
            const Node &c = nodes_[kids[i]];
            node.below_bytes += kNodeFixedBytes + 4 * uint64_t{c.count} + c.below_bytes;
            node.child[i] = kids[i];
        }
        try {
            nodes_.push_back(node);
        } catch (const std::bad_alloc &) {
            fail("Not enough memory for %s (%zu tree nodes)", name_.c_str(), nodes_.size());
        }
        return static_cast<unsigned>(nodes_.size() - 1);
    }

    // Each point's place among the sorted ids: nodes in file order, points
    // of a node in record order.  Overwrites the node numbers in ranks_.
    void rank_points() {
        uint32_t next = 0;
        assign_starts(root_node_, next);
        for (uint64_t i = 0; i < shapes_; ++i) ranks_[i] = counts_[ranks_[i]]++;
    }
    void assign_starts(unsigned index, uint32_t &next) {
        const Node &n = nodes_[index];
        counts_[n.source] = next;
        next += n.count;
        for (unsigned i = 0; i < n.children; ++i) assign_starts(n.child[i], next);
    }

    void write_node(unsigned index) {
        const Node &n = nodes_[index];
        unsigned char fixed[40];
        store_le32(fixed, static_cast<uint32_t>(n.below_bytes));
        store_le_double(fixed + 4, n.box.x0);
        store_le_double(fixed + 12, n.box.y0);
        store_le_double(fixed + 20, n.box.x1);
        store_le_double(fixed + 28, n.box.y1);
        store_le32(fixed + 36, n.count);
        put(fixed, sizeof fixed);
        for (uint32_t left = n.count; left > 0;) {
            if (next_rank_ == window_end_) fill_window();
            const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(left, window_end_ - next_rank_));
            put_ids(window_.get() + (next_rank_ - window_begin_), take);
            next_rank_ += take;
            left -= take;
        }
        unsigned char children[4];
        store_le32(children, n.children);
        put(children, sizeof children);
        for (unsigned i = 0; i < n.children; ++i) write_node(n.child[i]);
    }

    // The ids of ranks [next_rank_, next_rank_ + window): one pass over
    // ranks_, every id whose rank falls outside going to a spare slot (one
    // a thread) past the window's end.
    void fill_window() {
        window_begin_ = next_rank_;
        window_end_ = std::min(shapes_, window_begin_ + kWindowIds);
        const uint64_t size = window_end_ - window_begin_;
        uint32_t *w = window_.get();
        const uint32_t *ranks = ranks_.get();
        const uint64_t from = window_begin_;
        in_parallel(shapes_, threads_, [=](unsigned part, uint64_t begin, uint64_t end) {
            const uint64_t spare = size + part;
            for (uint64_t i = begin; i < end; ++i) {
                const uint64_t at = ranks[i] - from;  // wraps below the window
                w[at < size ? at : spare] = static_cast<uint32_t>(i);
            }
        });
    }

    void put_ids(const uint32_t *ids, uint32_t count) {
        while (count > 0) {
            if (used_ == buffer_.size()) flush();
            const size_t take = std::min<size_t>(count, (buffer_.size() - used_) / 4);
            unsigned char *dst = buffer_.data() + used_;
            for (size_t i = 0; i < take; ++i) store_le32(dst + 4 * i, ids[i]);
            used_ += 4 * take;
            ids += take;
            count -= static_cast<uint32_t>(take);
            if (take == 0) flush();
        }
    }
    void put(const unsigned char *bytes, size_t n) {
        if (buffer_.size() - used_ < n) flush();
        std::copy(bytes, bytes + n, buffer_.data() + used_);
        used_ += n;
    }
    void flush() {
        if (used_ == 0) return;
        (*out_)(buffer_.data(), used_, written_);
        written_ += used_;
        used_ = 0;
    }

    const std::string name_;  // for messages
    const uint64_t shapes_;
    const unsigned depth_;
    const uint32_t table_size_;
    const unsigned threads_;
    Box root_{};
    double lo_x_ = 0, lo_y_ = 0, hi_x_ = 0, hi_y_ = 0;
    std::vector<Step> steps_;        // nodes above the leaves
    bool steps_exact_ = false;
    bool by_axis_ = false;           // route by axis_ instead of the steps
    AxisRoute axis_[2];
    std::vector<uint32_t> counts_;   // points a node; then its next rank
    LargeArray<uint32_t> ranks_;     // a point's node; then its rank
    std::vector<Node> nodes_;
    unsigned root_node_ = kNoNode;

    const WriteAt *out_ = nullptr;
    std::vector<unsigned char> buffer_;
    size_t used_ = 0;
    uint64_t written_ = 0;
    LargeArray<uint32_t> window_;
    uint64_t window_begin_ = 0, window_end_ = 0, next_rank_ = 0;
};

unsigned qix_depth_for(uint64_t shapes) {
    // The complete tree's 4^(depth-1) leaves, at most 64 points each on
    // average (more than half of them stay empty, where the parts overlap).
    unsigned depth = 1;
    while (depth < kMaxQixDepth && (uint64_t{64} << (2 * (depth - 1))) < shapes) ++depth;
    return depth;
}

namespace {

unsigned checked_depth(const std::string &name, uint64_t shapes, unsigned depth) {
    if (shapes > INT32_MAX)
        fail("Too many points for %s (%llu; a spatial index holds at most %d)", name.c_str(),
             static_cast<unsigned long long>(shapes), INT32_MAX);
    if (depth == 0) return qix_depth_for(shapes);
    if (depth > kMaxQixDepth) fail("A spatial index depth of %u is over the limit of %u", depth, kMaxQixDepth);
    return depth;
}

}  // namespace

void write_qix(const std::string &name, const ReadAt &read_shp, uint64_t shape_count, const double box_xy[4],
               const WriteAt &write, unsigned depth) {
    QixTree tree(name, shape_count, checked_depth(name, shape_count, depth));
    // A header box that leaves some point out (by the comparisons a reader
    // makes) grows to hold it, and the points are filed again.
    tree.set_root({box_xy[0], box_xy[1], box_xy[2], box_xy[3]});
    if (!tree.file_shp(read_shp)) {
        tree.set_root(tree.grown_root());
        tree.file_shp(read_shp);
    }
    tree.finish();
    tree.write(write);
}

QixBuilder::QixBuilder(const std::string &name, uint64_t shapes, const double box_xy[4], unsigned depth)
    : tree_(std::make_unique<QixTree>(name, shapes, checked_depth(name, shapes, depth))), shapes_(shapes) {
    std::copy(box_xy, box_xy + 4, box_);
    tree_->set_root({box_xy[0], box_xy[1], box_xy[2], box_xy[3]});
}

QixBuilder::~QixBuilder() = default;

void QixBuilder::file(uint64_t first, const double *x, const double *y, size_t n) {
    if (first + n > shapes_) {  // more points than announced: not the index of any .shp
        outside_.store(true, std::memory_order_relaxed);
        return;
    }
    if (!tree_->file(first, x, y, 1, n)) outside_.store(true, std::memory_order_relaxed);
    filed_.fetch_add(n, std::memory_order_relaxed);
}

bool QixBuilder::fits(uint64_t shapes, const double box_xy[4]) const {
    return shapes == shapes_ && filed_.load() == shapes_ && !outside_.load() &&
           std::memcmp(box_xy, box_, sizeof box_) == 0;
}

void QixBuilder::write(const WriteAt &write) {
    tree_->finish();
    tree_->write(write);
}
