// In-place quicksorts that carry a companion index array.
//
// Every exchange of two keys is applied to `p_ind` as well, so a caller who
// fills `p_ind` with 0, 1, 2, ... gets back, at each sorted position, the
// position the key standing there held before the sort.
//
// The element arrangement is part of the interface: callers may depend on
// where equal keys (and their companions) end up.  Each range is therefore
// partitioned exactly the classic Hoare way: the pivot is a copy of the key
// at the middle position (rounded down), both scans are bounded by the range
// ends rather than sentinels, both stop at keys equal to the pivot, and every
// pair they meet on is exchanged (an element meeting itself included).  The
// lower sub-range [left, j] is conceptually sorted before the upper one
// [i, right].
//
// The two sub-ranges are disjoint, so the order in which they are processed
// does not change the final arrangement.  That lets us recurse only into the
// smaller one and loop on the larger: the stack then stays within log2(n)
// frames even for key orders that defeat a middle-element pivot (organ pipe,
// for instance), where the textbook recursion would be n/2 frames deep.  The
// running time on such orders stays quadratic, as the arrangement rules out
// any other choice of pivot.
//
// Comparisons are the plain ones of the key type.  For doubles that means IEEE
// ordered comparison: a NaN is neither below nor above anything, so it stops
// both scans like a key equal to the pivot, and a NaN pivot stops them at every
// key.  Nothing here needs the keys to be totally ordered to terminate.
//
// Positions are 32-bit in the interface; internally they are 64-bit so that
// the middle position, and `i` / `j` stepping one past the range ends, can
// never overflow.

#include "Ostrine_LiDAR.h"

#include <cstdint>
#include <utility>

namespace {

// The depth the whole-array depth-limited wrappers start from.  Below depth 0
// the depth-limited routines hand each sub-range to the plain ones.
constexpr int32_t kStartDepth = 15;

// One Hoare partition of the inclusive range [left, right] (left <= right).
// On return the keys in [left, j] are <= the pivot value and those in
// [i, right] are >= it, with j < i.
template <typename Key>
void partition(Key *p, int32_t *p_ind, int64_t left, int64_t right, int64_t &i_out, int64_t &j_out) {
    const Key v = p[left + (right - left) / 2];  // a copy: the pivot value stays put
    int64_t i = left;
    int64_t j = right;
    do {
        while (p[i] < v && i < right) ++i;
        while (v < p[j] && j > left) --j;
        if (i <= j) {
            std::swap(p[i], p[j]);
            std::swap(p_ind[i], p_ind[j]);
            ++i;
            --j;
        }
    } while (i <= j);
    i_out = i;
    j_out = j;
}

template <typename Key>
void plain_sort(Key *p, int64_t left, int64_t right, int32_t *p_ind);

// Sorts [left, right].  Sub-ranges of fewer than two elements need no work;
// of the two that remain, the smaller is sorted by a nested call and the
// larger by the next turn of the loop, which bounds the stack to log2(n).
//
// Depth-limited form: while `deep` is not 0 each sub-range is sorted by this
// routine with `deep` - 1; at `deep` 0 both sub-ranges go to the plain sort.
// The arrangement is the same as the plain sort's; only the split of the work
// between the two routines differs.  `deep` is 64-bit so that a negative start
// value merely never reaches 0 instead of overflowing.
template <typename Key>
void depth_limited_sort(Key *p, int64_t left, int64_t right, int32_t *p_ind, int64_t deep) {
    if (right < left) return;
    for (;;) {
        int64_t i, j;
        partition(p, p_ind, left, right, i, j);
        const bool lower = left < j;
        const bool upper = i < right;
        if (deep == 0) {
            if (lower) plain_sort(p, left, j, p_ind);
            if (upper) plain_sort(p, i, right, p_ind);
            return;
        }
        --deep;
        if (lower && upper) {
            if (j - left < right - i) {
                depth_limited_sort(p, left, j, p_ind, deep);
                left = i;
            } else {
                depth_limited_sort(p, i, right, p_ind, deep);
                right = j;
            }
        } else if (lower) {
            right = j;
        } else if (upper) {
            left = i;
        } else {
            return;
        }
    }
}

// The plain sort is the depth-limited one with a depth that never reaches 0.
template <typename Key>
void plain_sort(Key *p, int64_t left, int64_t right, int32_t *p_ind) {
    depth_limited_sort(p, left, right, p_ind, -1);
}

}  // namespace

extern "C" {

void l_qs(int32_t *p, int32_t left, int32_t right, int32_t *p_ind) { plain_sort(p, left, right, p_ind); }

void l_quicksort(int32_t *p, int32_t count, int32_t *p_ind) {
    plain_sort(p, 0, static_cast<int64_t>(count) - 1, p_ind);
}

void d_qs(double *p, int32_t left, int32_t right, int32_t *p_ind) { plain_sort(p, left, right, p_ind); }

void d_quicksort(double *p, int32_t count, int32_t *p_ind) {
    plain_sort(p, 0, static_cast<int64_t>(count) - 1, p_ind);
}

void l_parallel_qs(int32_t *p, int32_t left, int32_t right, int32_t *p_ind, int32_t deep) {
    depth_limited_sort(p, left, right, p_ind, deep);
}

void l_parallel_quicksort(int32_t *p, int32_t count, int32_t *p_ind) {
    depth_limited_sort(p, 0, static_cast<int64_t>(count) - 1, p_ind, kStartDepth);
}

void d_parallel_qs(double *p, int32_t left, int32_t right, int32_t *p_ind, int32_t deep) {
    depth_limited_sort(p, left, right, p_ind, deep);
}

void d_parallel_quicksort(double *p, int32_t count, int32_t *p_ind) {
    depth_limited_sort(p, 0, static_cast<int64_t>(count) - 1, p_ind, kStartDepth);
}

}  // extern "C"
