#include "shapefile/qix_writer.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>
#include <chrono>
#include <cstdio>
static double now_s(){return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();}

#include "console/console.h"
#include "io/byte_order.h"
#include "io/large_buffer.h"

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

// .shp records: big-endian number and length, then shape type, X, Y, Z.
constexpr size_t kShpHeaderBytes = 100;
constexpr size_t kRecordBytes = 36;
constexpr size_t kRecordsPerRead = size_t{1} << 17;  // 4.7 MB
constexpr uint32_t kContentWords = 14;
constexpr uint32_t kShapeTypePointZ = 11;

// Sorted ids are produced this many at a time (16 MB).
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
// over the threshold, and the low part's thresholds all lie at or below it,
// the high part's at or above.  So the leaf along the axis is the number of
// thresholds, in order, below the coordinate -- one look-up in a table of
// bins and a step or two, instead of a walk down every level.  The leaf's
// path code interleaves the two axes' bits in the order of the splits, and
// the leaf is node level_start(depth) + code.  A NaN coordinate is below
// no threshold, as it is over none in the walk.
constexpr unsigned kMaxAxisSplits = 16;

struct AxisRoute {
    std::vector<double> thresholds;  // in order, ascending
    std::vector<uint32_t> first;     // per bin: thresholds below the bin's lower edge
    std::vector<uint32_t> code;      // leaf along the axis -> its bits of the path code
    double low = 0, scale = 0;       // bin = (v - low) * scale

    // Thresholds of `splits` successive splits of [lo, hi], and where each
    // split's bit goes in the path code (the first split's first).  False
    // if they would not be exact.
    bool build(double lo, double hi, const std::vector<unsigned> &bits) {
        const unsigned splits = static_cast<unsigned>(bits.size());
        if (splits == 0) {
            code.assign(1, 0);
            first.assign(1, 0);
            return true;
        }
        if (splits > kMaxAxisSplits) {fprintf(stderr,"splits %u\n",splits); return false;}
        thresholds.clear();
        thresholds.reserve((size_t{1} << splits) - 1);
        emit(lo, hi, splits);
        for (size_t j = 1; j < thresholds.size(); ++j)
            if (!(thresholds[j - 1] <= thresholds[j])) { fprintf(stderr,"unsorted at %zu: %.17g %.17g\n",j,thresholds[j-1],thresholds[j]); return false;}  // out of order, or NaN
        const size_t bins = size_t{4} << splits;
        low = lo;
        scale = static_cast<double>(bins) / (hi - lo);
        if (!(std::isfinite(scale) && scale > 0)) return false;
        first.resize(bins);
        size_t below = 0;
        for (size_t b = 0; b < bins; ++b) {
            const double edge = lo + static_cast<double>(b) / scale;  // only a first guess
            while (below < thresholds.size() && thresholds[below] < edge) ++below;
            first[b] = static_cast<uint32_t>(below);
        }
        code.assign(size_t{1} << splits, 0);
        for (uint32_t leaf = 0; leaf < code.size(); ++leaf)
            for (unsigned k = 0; k < splits; ++k)
                if (leaf >> (splits - 1 - k) & 1) code[leaf] |= uint32_t{1} << bits[k];
        return true;
    }

    // The leaf along the axis: how many thresholds lie below v.
    uint32_t leaf(double v) const {
        const double f = (v - low) * scale;
        const size_t bins = first.size();
        const size_t b = f >= 0 ? (f < static_cast<double>(bins) ? static_cast<size_t>(f) : bins - 1) : 0;
        uint32_t j = first[b];
        const uint32_t n = static_cast<uint32_t>(thresholds.size());
        while (j < n && thresholds[j] < v) ++j;
        while (j > 0 && !(thresholds[j - 1] < v)) --j;
        return j;
    }

private:
    // shapelib's split of [a, b] along this axis, in order: the low part's
    // thresholds, this one, the high part's.
    void emit(double a, double b, unsigned splits) {
        if (splits == 0) return;
        const double range = b - a;
        const double t = a + range * kSplitRatio;  // the low part's upper bound
        emit(a, t, splits - 1);
        thresholds.push_back(t);
        emit(b - range * kSplitRatio, b, splits - 1);
    }
};

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <class T>
using LargeArray = std::unique_ptr<T[], FreeDeleter>;

template <class T>
LargeArray<T> large_array(uint64_t count, const char *what) {
    void *p = count == 0 ? nullptr : allocate_large(static_cast<size_t>(count) * sizeof(T));
    if (count != 0 && p == nullptr)
        fail("Not enough memory for the spatial index (%llu MB of %s)",
             static_cast<unsigned long long>((count * sizeof(T)) >> 20), what);
    return LargeArray<T>(static_cast<T *>(p));
}

// Runs body(part, begin, end) over [0, n) cut into parts, one a thread,
// the first on the calling thread.  `body` must not throw.
template <class Body>
void in_parallel(uint64_t n, unsigned parts, const Body &body) {
    if (n < 65536) parts = 1;
    std::vector<std::thread> threads;
    const uint64_t step = (n + parts - 1) / std::max(parts, 1u);
    for (unsigned p = 1; p < parts && p * step < n; ++p) {
        const uint64_t begin = p * step, end = std::min(n, begin + step);
        try {
            threads.emplace_back([&body, p, begin, end] { body(p, begin, end); });
        } catch (const std::system_error &) {
            body(p, begin, end);  // no thread to be had: this one does it
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

class QixBuilder {
public:
    QixBuilder(const ReadAt &read, uint64_t shapes, unsigned depth)
        : read_(read), shapes_(shapes), depth_(depth), table_size_(level_start(depth + 1)),
          threads_(std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads)) {}

    void build(const double box_xy[4]) {
        root_ = {box_xy[0], box_xy[1], box_xy[2], box_xy[3]};
        try {
            counts_.assign(table_size_, 0);
        } catch (const std::bad_alloc &) {
            fail("Not enough memory for the spatial index (%llu MB node table)",
                 static_cast<unsigned long long>((uint64_t{table_size_} * 4) >> 20));
        }
        ranks_ = large_array<uint32_t>(shapes_, "shape ids");
        // A header box that leaves some point out (by the comparisons a
        // reader makes) grows to hold it, and the points are filed again.
        double t0=now_s();
        make_steps_table();
        fprintf(stderr,"by_axis %d steps %.3f\n",by_axis_,now_s()-t0);
        if (!file_points()) {
            root_ = {std::min(root_.x0, lo_x_), std::min(root_.y0, lo_y_), std::max(root_.x1, hi_x_),
                     std::max(root_.y1, hi_y_)};
            make_steps_table();
            file_points();
        }
        double t1=now_s();
        steps_ = std::vector<Step>();
        root_node_ = trim(1, 0, root_);
        if (root_node_ == kNoNode) {  // no points: the bare root
            nodes_.push_back(Node{root_, 0, 0, 0, {}, 0});
            root_node_ = 0;
        }
        if (nodes_[root_node_].below_bytes > INT32_MAX)
            fail("The spatial index would exceed the 2 GB its offsets can address");
        double t2=now_s();
        rank_points();
        fprintf(stderr,"file %.3f trim %.3f rank %.3f\n",t1-t0,t2-t1,now_s()-t2);
    }

    void make_steps_table() {
        try {
            steps_.resize(level_start(depth_));
        } catch (const std::bad_alloc &) {
            fail("Not enough memory for the spatial index (%llu MB node table)",
                 static_cast<unsigned long long>((uint64_t{level_start(depth_)} * sizeof(Step)) >> 20));
        }
        steps_exact_ = make_steps(steps_.data(), depth_, 1, 0, root_);
        by_axis_ = steps_exact_ && make_axis_routes();
        if (by_axis_) steps_ = std::vector<Step>();  // not needed
    }

    // The axis routes, if every level splits all its nodes alike.
    bool make_axis_routes() {
        std::vector<unsigned> bits[2];
        const unsigned splits = 2 * (depth_ - 1);
        for (unsigned level = 1; level < depth_; ++level) {
            const Step &s = steps_[level_start(level)];
            for (uint32_t g = level_start(level); g < level_start(level + 1); ++g)
                if (steps_[g].axis[0] != s.axis[0] || steps_[g].axis[1] != s.axis[1] || steps_[g].axis[2] != s.axis[1])
                { fprintf(stderr,"level %u node %u axes %d%d%d vs %d%d\n",level,g,steps_[g].axis[0],steps_[g].axis[1],steps_[g].axis[2],s.axis[0],s.axis[1]); return false;}
            const unsigned k = 2 * (level - 1);  // the level's first split
            bits[s.axis[0]].push_back(splits - 1 - k);
            bits[s.axis[1]].push_back(splits - 2 - k);
        }
        return axis_[0].build(root_.x0, root_.x1, bits[0]) && axis_[1].build(root_.y0, root_.y1, bits[1]);
    }

    void write(const WriteAt &out) {
        out_ = &out;
        buffer_.resize(kOutBytes);
        unsigned char head[kHeaderBytes] = {'S', 'Q', 'T', 1, 1, 0, 0, 0};
        store_le32(head + 8, static_cast<uint32_t>(shapes_));
        store_le32(head + 12, depth_);
        put(head, sizeof head);
        window_ = large_array<uint32_t>(std::min(shapes_, kWindowIds) + threads_, "sorted shape ids");
        double t0=now_s();
        write_node(root_node_);
        flush();
        fprintf(stderr,"write %.3f\n",now_s()-t0);
    }

private:
    // Files every point, counting points per node; false (with the points'
    // extent noted) if the root box leaves one out.
    bool file_points() {
        std::vector<unsigned char> block;
        std::vector<double> xy;
        try {
            block.resize(kRecordsPerRead * kRecordBytes);
            xy.resize(2 * kRecordsPerRead);
        } catch (const std::bad_alloc &) {
            fail("Not enough memory for the spatial index (read buffers)");
        }
        struct Part {
            double lo_x = HUGE_VAL, lo_y = HUGE_VAL, hi_x = -HUGE_VAL, hi_y = -HUGE_VAL;
            bool inside = true;
            uint64_t bad = UINT64_MAX;  // first record that is not PointZ
        };
        std::vector<Part> parts(threads_); double read_s=0;
        for (uint64_t first = 0; first < shapes_; first += kRecordsPerRead) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(kRecordsPerRead, shapes_ - first));
            double tr=now_s();
            if (!read_(kShpHeaderBytes + first * kRecordBytes, block.data(), n * kRecordBytes))
                fail("Cannot read the shapefile back for its spatial index");
            read_s+=now_s()-tr;
            in_parallel(n, threads_, [&](unsigned part, uint64_t begin, uint64_t end) {
                Part p = parts[part];  // copies, kept in registers
                const Box root = root_;
                const unsigned char *r = block.data() + begin * kRecordBytes;
                double *out = xy.data() + 2 * begin;
                for (uint64_t i = begin; i < end; ++i, r += kRecordBytes, out += 2) {
                    if (load_be32(r + 4) != kContentWords || load_le32(r + 8) != kShapeTypePointZ)
                        p.bad = std::min(p.bad, first + i);
                    const double x = load_le_double(r + 12), y = load_le_double(r + 20);
                    p.inside = p.inside & holds(root, x, y);
                    // NaN never moves these bounds, and is held by any box.
                    p.lo_x = x < p.lo_x ? x : p.lo_x;
                    p.hi_x = x > p.hi_x ? x : p.hi_x;
                    p.lo_y = y < p.lo_y ? y : p.lo_y;
                    p.hi_y = y > p.hi_y ? y : p.hi_y;
                    out[0] = x;
                    out[1] = y;
                }
                parts[part] = p;
                route(xy.data() + 2 * begin, end - begin, ranks_.get() + first + begin);
            });
            for (const Part &p : parts)
                if (p.bad != UINT64_MAX)
                    fail("Record %llu of the shapefile is not a PointZ record",
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
        fprintf(stderr,"read %.3f\n",read_s);
        if (!inside) return false;
        for (uint64_t i = 0; i < shapes_; ++i) ++counts_[ranks_[i]];
        return true;
    }

    // file_point for `n` points (X, Y pairs) into `nodes`, by the steps,
    // eight points abreast so that their table look-ups overlap.
    void route(const double *xy, size_t n, uint32_t *nodes) const {
        if (by_axis_) {
            const uint32_t leaves = level_start(depth_);
            for (size_t i = 0; i < n; ++i)
                nodes[i] = leaves + (axis_[0].code[axis_[0].leaf(xy[2 * i])] | axis_[1].code[axis_[1].leaf(xy[2 * i + 1])]);
            return;
        }
        if (!steps_exact_) {
            for (size_t i = 0; i < n; ++i) nodes[i] = file_point(root_, depth_, xy[2 * i], xy[2 * i + 1]);
            return;
        }
        constexpr size_t kLanes = 8;
        const Step *steps = steps_.data();
        size_t i = 0;
        for (; i + kLanes <= n; i += kLanes) {
            uint32_t node[kLanes] = {};
            for (unsigned level = 1; level < depth_; ++level) {
                for (size_t j = 0; j < kLanes; ++j) {
                    const Step &s = steps[node[j]];
                    const double *p = xy + 2 * (i + j);
                    const unsigned h = p[s.axis[0]] > s.t[0] ? 1 : 0;
                    const unsigned high = p[s.axis[1 + h]] > s.t[1 + h] ? 1 : 0;
                    node[j] = 4 * node[j] + 1 + 2 * h + high;
                }
            }
            std::copy(node, node + kLanes, nodes + i);
        }
        for (; i < n; ++i) nodes[i] = file_point(root_, depth_, xy[2 * i], xy[2 * i + 1]);
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
            fail("Not enough memory for the spatial index (%zu tree nodes)", nodes_.size());
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

    const ReadAt &read_;
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

}  // namespace

unsigned qix_depth_for(uint64_t shapes) {
    // Leaves (4^(depth-1) of them) of about 256 points each.
    unsigned depth = 1;
    while (depth < kMaxQixDepth && (uint64_t{256} << (2 * (depth - 1))) < shapes) ++depth;
    return depth;
}

void write_qix(const ReadAt &read_shp, uint64_t shape_count, const double box_xy[4], const WriteAt &write,
               unsigned depth) {
    if (shape_count > INT32_MAX)
        fail("Too many points for a spatial index (%llu; at most %d)", static_cast<unsigned long long>(shape_count),
             INT32_MAX);
    if (depth == 0) depth = qix_depth_for(shape_count);
    if (depth > kMaxQixDepth) fail("Spatial index depth %u is over the limit of %u", depth, kMaxQixDepth);
    QixBuilder builder(read_shp, shape_count, depth);
    builder.build(box_xy);
    builder.write(write);
}
