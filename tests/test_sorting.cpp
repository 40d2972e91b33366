// The companion-index quicksorts: documented arrangements, agreement with a
// literal recursive Hoare quicksort, and a bounded stack.
#include "Ostrine_LiDAR.h"
#include "capture.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

namespace {

// The textbook recursive steps, kept deliberately naive: middle pivot copy,
// bounded scans, exchange on i <= j, lower sub-range first.  The library must
// produce exactly the same arrangement of keys and companions.
template <typename K>
void reference_qs(K *p, int32_t left, int32_t right, int32_t *ind) {
    const K v = p[(left + right) / 2];
    int32_t i = left, j = right;
    do {
        while (p[i] < v && i < right) ++i;
        while (v < p[j] && j > left) --j;
        if (i <= j) {
            std::swap(p[i], p[j]);
            std::swap(ind[i], ind[j]);
            ++i;
            --j;
        }
    } while (i <= j);
    if (left < j) reference_qs(p, left, j, ind);
    if (i < right) reference_qs(p, i, right, ind);
}

template <typename K>
struct Sorted {
    std::vector<K> keys;
    std::vector<int32_t> ind;
    bool operator==(const Sorted &o) const {  // bitwise, so NaNs compare too
        return ind == o.ind && keys.size() == o.keys.size() &&
               std::memcmp(keys.data(), o.keys.data(), keys.size() * sizeof(K)) == 0;
    }
};

template <typename K, typename Sort>
Sorted<K> sorted_by(Sort sort, std::vector<K> keys) {
    Sorted<K> s{std::move(keys), {}};
    for (int32_t k = 0; k < static_cast<int32_t>(s.keys.size()); ++k) s.ind.push_back(k);
    sort(s.keys.data(), static_cast<int32_t>(s.keys.size()), s.ind.data());
    return s;
}

template <typename K>
Sorted<K> reference(const std::vector<K> &keys) {
    return sorted_by<K>([](K *p, int32_t n, int32_t *ind) { if (n > 0) reference_qs(p, 0, n - 1, ind); }, keys);
}

template <typename K>
std::vector<K> as(const std::vector<int32_t> &v) { return std::vector<K>(v.begin(), v.end()); }

// Runs the four whole-array wrappers on the same keys and checks each result.
void expect_all_wrappers(const std::vector<int32_t> &keys, const std::vector<int32_t> &want_keys,
                         const std::vector<int32_t> &want_ind) {
    const Sorted<int32_t> want_l{want_keys, want_ind};
    const Sorted<double> want_d{as<double>(want_keys), want_ind};
    EXPECT_EQ(sorted_by<int32_t>(l_quicksort, keys), want_l);
    EXPECT_EQ(sorted_by<int32_t>(l_parallel_quicksort, keys), want_l);
    EXPECT_EQ(sorted_by<double>(d_quicksort, as<double>(keys)), want_d);
    EXPECT_EQ(sorted_by<double>(d_parallel_quicksort, as<double>(keys)), want_d);
}

}  // namespace

TEST(SortArrangement, DocumentedExamples) {
    expect_all_wrappers({7}, {7}, {0});
    expect_all_wrappers({2, 1}, {1, 2}, {1, 0});
    expect_all_wrappers({3, 1, 2}, {1, 2, 3}, {1, 2, 0});
    expect_all_wrappers({5, 4, 3, 2, 1}, {1, 2, 3, 4, 5}, {4, 3, 2, 1, 0});
    expect_all_wrappers({1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}, {0, 1, 2, 3, 4});
    expect_all_wrappers({9, 9, 9, 9}, {9, 9, 9, 9}, {2, 3, 0, 1});
    expect_all_wrappers({3, 3, 1, 3}, {1, 3, 3, 3}, {2, 3, 0, 1});
    expect_all_wrappers({1, 1, 2, 2, 1, 1}, {1, 1, 1, 1, 2, 2}, {5, 4, 0, 1, 2, 3});
}

TEST(SortArrangement, EmptyRangesTouchNeitherArray) {
    // Null arrays: any read or write would crash the child.
    const Captured c = run_in_child([] {
        for (int32_t count : {0, -1, std::numeric_limits<int32_t>::min()}) {
            l_quicksort(nullptr, count, nullptr);
            d_quicksort(nullptr, count, nullptr);
            l_parallel_quicksort(nullptr, count, nullptr);
            d_parallel_quicksort(nullptr, count, nullptr);
        }
        l_qs(nullptr, 5, 4, nullptr);
        d_qs(nullptr, 5, 4, nullptr);
        l_parallel_qs(nullptr, 5, 4, nullptr, 15);
        d_parallel_qs(nullptr, 5, 4, nullptr, 0);
    });
    EXPECT_EQ(c.signal, 0);
    EXPECT_EQ(c.exit_status, 0);
}

TEST(SortArrangement, RangeRoutinesSortOnlyTheirRange) {
    std::vector<int32_t> keys{9, 8, 5, 1, 4, 1, 0, -3}, ind{0, 1, 2, 3, 4, 5, 6, 7};
    l_qs(keys.data(), 2, 5, ind.data());
    EXPECT_EQ(keys, (std::vector<int32_t>{9, 8, 1, 1, 4, 5, 0, -3}));
    EXPECT_EQ(ind, (std::vector<int32_t>{0, 1, 5, 3, 4, 2, 6, 7}));
    std::vector<double> dkeys{9, 8, 5, 1, 4, 1, 0, -3};
    std::vector<int32_t> dind{0, 1, 2, 3, 4, 5, 6, 7};
    d_parallel_qs(dkeys.data(), 2, 5, dind.data(), 1);
    EXPECT_EQ(dkeys, (std::vector<double>{9, 8, 1, 1, 4, 5, 0, -3}));
    EXPECT_EQ(dind, ind);
}

TEST(SortReference, RandomKeysWithManyDuplicates) {
    std::mt19937 rng(20240501);
    for (int n : {2, 3, 4, 5, 7, 8, 16, 33, 100, 1000, 65537}) {
        for (int round = 0; round < 20; ++round) {
            std::uniform_int_distribution<int32_t> pick(-(n / 8), n / 8);
            std::vector<int32_t> keys(n);
            for (auto &k : keys) k = pick(rng);
            const auto want = reference(keys);
            ASSERT_EQ(sorted_by<int32_t>(l_quicksort, keys), want) << "n=" << n;
            ASSERT_EQ(sorted_by<int32_t>(l_parallel_quicksort, keys), want) << "n=" << n;
            for (int32_t deep : {0, 1, 3, -1}) {
                auto s = sorted_by<int32_t>(
                    [deep](int32_t *p, int32_t c, int32_t *i) { l_parallel_qs(p, 0, c - 1, i, deep); }, keys);
                ASSERT_EQ(s, want) << "n=" << n << " deep=" << deep;
            }
            const auto dwant = reference(as<double>(keys));
            ASSERT_EQ(sorted_by<double>(d_quicksort, as<double>(keys)), dwant) << "n=" << n;
            ASSERT_EQ(sorted_by<double>(d_parallel_quicksort, as<double>(keys)), dwant) << "n=" << n;
        }
    }
}

TEST(SortReference, NaNKeysFollowTheSameSteps) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::mt19937 rng(7);
    std::vector<std::vector<double>> cases{{nan, nan, nan, nan, nan}, {1, nan, 0}, {nan, 2, 1, nan}};
    for (int n : {10, 101, 5000}) {
        std::vector<double> keys(n);
        for (auto &k : keys) {
            const int r = static_cast<int>(rng() % 10);
            k = r < 3 ? nan : r == 3 ? -0.0 : r == 4 ? 0.0 : r == 5 ? -inf : static_cast<double>(rng() % 7);
        }
        cases.push_back(keys);
    }
    for (const auto &keys : cases) {
        const auto want = reference(keys);
        EXPECT_EQ(sorted_by<double>(d_quicksort, keys), want) << keys.size();
        EXPECT_EQ(sorted_by<double>(d_parallel_quicksort, keys), want) << keys.size();
    }
}

namespace {

constexpr int32_t kTenMillion = 10'000'000;

std::vector<int32_t> pattern(const char *name, int32_t n) {
    std::vector<int32_t> a(n);
    const int32_t half = n / 2;
    for (int32_t i = 0; i < n; ++i) {
        if (!std::strcmp(name, "equal")) a[i] = 42;
        else if (!std::strcmp(name, "sorted")) a[i] = i;
        else if (!std::strcmp(name, "reverse")) a[i] = n - i;
        else if (!std::strcmp(name, "organ-pipe")) a[i] = i < half ? i : n - 1 - i;
        else {  // median-of-three killer (Musser), 1-based i' = i + 1
            const int32_t q = i + 1;
            a[i] = q <= half ? (q % 2 ? q : half + q - 1) : 2 * (q - half);
        }
    }
    return a;
}

// Sorts in a thread whose stack is far too small for a recursion as deep as
// the literal steps reach on these inputs, inside a child so an overflow is
// reported rather than fatal.  Exit 0: the result equals `want`.
template <typename K, typename Sort>
Captured sort_on_small_stack(Sort sort, const std::vector<K> &keys, const Sorted<K> &want, size_t stack_bytes) {
    return run_in_child([&] {
        struct Job { Sort sort; Sorted<K> s; } job{sort, {keys, {}}};
        for (int32_t k = 0; k < static_cast<int32_t>(keys.size()); ++k) job.s.ind.push_back(k);
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, stack_bytes);
        pthread_t thread;
        auto body = [](void *arg) -> void * {
            auto *j = static_cast<Job *>(arg);
            j->sort(j->s.keys.data(), static_cast<int32_t>(j->s.keys.size()), j->s.ind.data());
            return nullptr;
        };
        if (pthread_create(&thread, &attr, body, &job) != 0) _exit(2);
        pthread_join(thread, nullptr);
        _exit(job.s == want ? 0 : 3);
    });
}

}  // namespace

TEST(LongSortStack, TenMillionKeysInOrdersThatSplitEvenly) {
    for (const char *name : {"equal", "sorted", "reverse"}) {
        const auto keys = pattern(name, kTenMillion);
        const auto want = reference(keys);
        EXPECT_EQ(sorted_by<int32_t>(l_quicksort, keys), want) << name;
        EXPECT_EQ(sorted_by<int32_t>(l_parallel_quicksort, keys), want) << name;
        const auto dkeys = as<double>(keys);
        const auto dwant = Sorted<double>{as<double>(want.keys), want.ind};
        EXPECT_EQ(sorted_by<double>(d_parallel_quicksort, dkeys), dwant) << name;
    }
}

// On these orders a middle-element pivot peels off one or two keys per
// partition: the literal recursion would be n/2 (organ pipe) or n/4 frames
// deep, and the work is quadratic, so n stays moderate here.  A 128 KiB stack
// holds the logarithmic depth of the library's sorts with ample room.
TEST(SortStack, QuadraticOrdersStayWithinASmallStack) {
    constexpr int32_t n = 40'000;
    constexpr size_t kStack = 128 * 1024;
    for (const char *name : {"organ-pipe", "m3-killer"}) {
        const auto keys = pattern(name, n);
        const auto want = reference(keys);
        for (auto sort : {l_quicksort, l_parallel_quicksort}) {
            const Captured c = sort_on_small_stack<int32_t>(sort, keys, want, kStack);
            EXPECT_EQ(c.signal, 0) << name;
            EXPECT_EQ(c.exit_status, 0) << name;
        }
        const auto dwant = Sorted<double>{as<double>(want.keys), want.ind};
        for (auto sort : {d_quicksort, d_parallel_quicksort}) {
            const Captured c = sort_on_small_stack<double>(sort, as<double>(keys), dwant, kStack);
            EXPECT_EQ(c.signal, 0) << name;
            EXPECT_EQ(c.exit_status, 0) << name;
        }
    }
}
