// Many threads at once on shared inputs, each with outputs of its own: batch
// fits (least squares, maximum likelihood, photon-noise errors), patch fits, direct patch fits, renders, the
// model and its Jacobian, and the peak search give bit-identical results to one thread, and the shared
// inputs stay as they were; so does the solver through its levmar-style adapter. Table appends under one
// mutex and parallel hash lookups. The library's promises about threads are asserted here, once; this
// executable is also run under the thread sanitizer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <latch>
#include <random>
#include <thread>
#include <vector>

#include "fit_harness.h"
#include "gauss2_fitter.h"
#include "gauss2_mle.h"
#include "gauss2_peaks.h"
#include "lm_problems.h"

namespace {

constexpr int kThreads = 8;
constexpr Sint64 kMea = 11, kHalf = kMea / 2;

// A field of spots with noise, their peak pixels and the true parameters.
// One peak's window holds a NaN, one lies at the border and one is skipped,
// so that failures run concurrently too.
struct Field {
    Image im{150, 140};
    std::vector<Params> peaks;  // image coordinates
    std::vector<std::pair<Sint64, Sint64>> centres;
    Field() {
        std::mt19937_64 rng(11);
        std::uniform_real_distribution<double> U(0.0, 1.0);
        std::normal_distribution<double> noise(0.0, 3.0);
        for (Sint64 y = 12; y < im.h - 12; y += 23)
            for (Sint64 x = 12; x < im.w - 12; x += 23) {
                const Params p{800 + 3000 * U(rng),
                               1.0 + U(rng),
                               1.0 + U(rng),
                               static_cast<double>(x) + U(rng),
                               static_cast<double>(y) + U(rng),
                               -0.3 + 0.6 * U(rng),
                               0.0};
                peaks.push_back(p);
                centres.emplace_back(static_cast<Sint64>(p[3]), static_cast<Sint64>(p[4]));
            }
        render(im, 17, peaks);
        for (double &v : im.px) v += 100.0 + noise(rng);
        im.at(centres[3].first + 2, centres[3].second) = kNaN;
        centres.emplace_back(im.w - 3, im.h / 2);  // window outside
        centres.emplace_back(-1, 5);               // skipped
    }
    size_t n() const { return centres.size(); }
    bool inside(size_t i) const {
        const auto [cx, cy] = centres[i];
        return cx >= kHalf && cy >= kHalf && cx + kHalf < im.w && cy + kHalf < im.h;
    }
};

// Everything one thread computes, in its own buffers.
struct Results {
    Batch batch;                     // least squares
    std::vector<double> photon_std;  // the photon-noise errors of its records
    Batch mle;                       // maximum likelihood, with its GAUSS2_FLAG_* codes as flags
    std::vector<Sint64> mle_iterations;
    std::vector<PatchFit> patch;   // fit_gauss_2d_on_float_image of each peak
    std::vector<PatchFit> direct;  // fit_gauss_2d of each window inside, from the true values
    Image render;                  // the fitted peaks rendered into zeros
    std::vector<double> model;     // per true peak: gauss_2d and jac_gauss_2d
    std::vector<Sint64> peaks;     // the peak search on the field: columns, then rows
    std::vector<double> threshold;

    bool operator==(const Results &o) const {
        bool same = batch.same_as(o.batch) && same_bits(photon_std, o.photon_std) && mle.same_as(o.mle) &&
                    mle_iterations == o.mle_iterations && same_bits(render.px, o.render.px) &&
                    same_bits(model, o.model) && peaks == o.peaks && same_bits(threshold, o.threshold);
        for (size_t i = 0; i < patch.size(); i++)
            same = same && patch[i].same_as(o.patch[i]) && direct[i].same_as(o.direct[i]);
        return same;
    }
};

// All the work on the field. `first` rotates the order of the per-peak work,
// so that threads are in different fits at any moment.
Results compute(const Field &f, size_t first) {
    const size_t n = f.n();
    Results r{Batch(f.centres),
              std::vector<double>(n * 10, -1.0),
              Batch(f.centres),
              std::vector<Sint64>(n, -1),
              std::vector<PatchFit>(n),
              std::vector<PatchFit>(n),
              Image(f.im.w, f.im.h),
              {},
              {},
              std::vector<double>(1, -1.0)};
    const Sint64 count = static_cast<Sint64>(n);
    r.batch.run(f.im, kMea);
    photon_std_of_gauss_2d_records(f.im.w, f.im.h, kMea, count, r.batch.cx.data(), r.batch.cy.data(), 9.0,
                                   nullptr, r.batch.params.data(), r.photon_std.data());
    fit_array_of_gauss_2d_mle_on_float_image(
        f.im.data(), f.im.w, f.im.h, kMea, count, r.mle.cx.data(), r.mle.cy.data(), 9.0, nullptr,
        r.mle.params.data(), r.mle.std_params.data(), r.mle.flags.data(), r.mle_iterations.data());
    for (size_t step = 0; step < n; step++) {
        const size_t i = (first + step) % n;
        const auto [cx, cy] = f.centres[i];
        r.patch[i].on(f.im, cx, cy, kMea);
        if (!f.inside(i)) continue;
        // The same window cut here and fitted directly, from the true values.
        const Sint64 col0 = cx - kHalf, row0 = cy - kHalf;
        double px[kMea * kMea];
        for (Sint64 y = 0; y < kMea; y++)
            for (Sint64 x = 0; x < kMea; x++) px[y * kMea + x] = f.im.at(col0 + x, row0 + y);
        PatchFit &d = r.direct[i];
        if (i < f.peaks.size()) {
            std::copy(f.peaks[i].begin(), f.peaks[i].end(), d.params);
            d.params[3] -= static_cast<double>(col0);
            d.params[4] -= static_cast<double>(row0);
            d.params[6] = 100.0;
        }
        d.pixels(px, kMea);
    }

    std::vector<Params> fitted;
    for (size_t i = 0; i < n; i++) {
        Params p;
        std::copy(r.batch.rec(i), r.batch.rec(i) + 7, p.begin());
        p[3] += static_cast<double>(f.centres[i].first - kHalf);
        p[4] += static_cast<double>(f.centres[i].second - kHalf);
        fitted.push_back(p);
    }
    render(r.render, 15, fitted);

    const size_t n_true = f.peaks.size(), per = size_t{121} * 8;
    r.model.assign(n_true * per, 0.0);
    for (size_t step = 0; step < n_true; step++) {
        const size_t i = (first + step) % n_true;
        Params p = f.peaks[i];
        p[3] -= std::floor(p[3]) - 5.0;  // into an 11 x 11 patch around it
        p[4] -= std::floor(p[4]) - 5.0;
        gauss_2d(p.data(), &r.model[i * per], 7, 121, nullptr);
        jac_gauss_2d(p.data(), &r.model[i * per + 121], 7, 121, nullptr);
    }

    // Work memory of the thread's own; the automatic threshold.
    std::vector<double> work(static_cast<size_t>(find_peaks_work_size(f.im.w, f.im.h)));
    std::vector<Sint64> frame(64), col(64), row(64);
    const Sint64 found =
        find_peaks_in_frames(f.im.px.data(), 1, f.im.w, f.im.h, 1.0, 2, kHalf, NAN, 5.0, work.data(), 64,
                             frame.data(), col.data(), row.data(), r.threshold.data());
    r.peaks.assign(col.begin(), col.begin() + std::min<Sint64>(found, 64));
    r.peaks.insert(r.peaks.end(), row.begin(), row.begin() + std::min<Sint64>(found, 64));
    return r;
}

}  // namespace

TEST(Threads, FitsAndRendersOnSharedInputsMatchOneThreadBitForBit) {
    const Field field;
    const Field pristine;
    const Results reference = compute(field, 0);
    // The fixture exercises success, failure and skipping.
    EXPECT_EQ(reference.batch.flags[3], 1);
    EXPECT_EQ(reference.batch.flags[field.n() - 1], 1);
    EXPECT_EQ(reference.batch.flags[field.n() - 2], 1);
    EXPECT_EQ(reference.batch.flags[0], 0);
    EXPECT_EQ(reference.mle.flags[0], 0);  // the flags: good, and a NaN in the window
    EXPECT_EQ(reference.mle.flags[3], 2);
    EXPECT_GE(reference.peaks.size(), 2 * (field.peaks.size() - 2));  // the search finds the spots

    std::vector<std::vector<Results>> got(kThreads);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (size_t round = 0; round < 2; round++)
                got[t].push_back(compute(field, 5 * static_cast<size_t>(t) + round));
        });
    for (std::thread &th : threads) th.join();

    for (int t = 0; t < kThreads; t++)
        for (const Results &r : got[t]) EXPECT_TRUE(r == reference) << "thread " << t;
    EXPECT_TRUE(same_bits(field.im.px, pristine.im.px));
    for (size_t i = 0; i < field.peaks.size(); i++) EXPECT_TRUE(same_bits(field.peaks[i], pristine.peaks[i]));
    EXPECT_EQ(field.centres, pristine.centres);
}

// Every index handed out once, each thread's indices rising, every row
// intact; the mutex is free again and the rows past the appended ones are
// untouched. The hash's slots are only read.
TEST(Threads, TableAppendsUnderOneMutexAndParallelHashLookups) {
    constexpr Uint64 kPerThread = 2000;
    struct Row {
        Uint64 thread, seq, check;
    };
    std::vector<Row> rows(kThreads * kPerThread + 3);
    Tab tab = tab_by_n_rows(rows.data(), rows.size(), sizeof(Row), TAB_FLAGS_GROWABLE);
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;

    std::vector<HashRec> slots(97);
    Hash hash = hash_init(slots.data(), slots.size());
    for (Uint64 key = 1; key <= 60; key++) {  // 60 of 97 slots, with collisions
        HashRec *rec = hash_get(hash, key * 97 + key % 5);
        ASSERT_EQ(rec->key, 0u);
        rec->key = key * 97 + key % 5;
        rec->val = &slots[key % 7];
    }
    const std::vector<HashRec> before = slots;

    std::latch start(kThreads);
    std::vector<std::vector<Uint64>> indices(kThreads);
    std::vector<int> lookups_ok(kThreads, 1);
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (Uint64 s = 0; s < kPerThread; s++) {
                const Row row{static_cast<Uint64>(t), s, static_cast<Uint64>(t) * 1000003u + s};
                indices[t].push_back(_tab_add(&tab, &row, &mutex, __FILE__, __LINE__));
                const Uint64 key = (s % 60 + 1) * 97 + (s % 60 + 1) % 5;
                const HashRec *rec = hash_get(hash, key);
                if (rec == nullptr || rec->key != key || rec->val != &slots[(s % 60 + 1) % 7])
                    lookups_ok[t] = 0;
                if (hash_get(hash, key + 1)->key != 0) lookups_ok[t] = 0;  // absent: an empty slot
            }
        });
    for (std::thread &th : threads) th.join();

    EXPECT_EQ(tab.n_rows, kThreads * kPerThread);
    std::vector<int> seen(kThreads * kPerThread, 0);
    for (int t = 0; t < kThreads; t++) {
        EXPECT_TRUE(lookups_ok[t]) << t;
        for (Uint64 s = 0; s < kPerThread; s++) {
            const Uint64 at = indices[t][s];
            ASSERT_LT(at, tab.n_rows);
            seen[at]++;
            const Row *row = static_cast<const Row *>(_tab_get(&tab, at, 0, __FILE__, __LINE__));
            EXPECT_EQ(row->thread, static_cast<Uint64>(t));
            EXPECT_EQ(row->seq, s);
            EXPECT_EQ(row->check, static_cast<Uint64>(t) * 1000003u + s);
            if (s > 0) {
                EXPECT_GT(at, indices[t][s - 1]);  // each thread's rows in its own order
            }
        }
    }
    for (int c : seen) EXPECT_EQ(c, 1);
    ASSERT_EQ(pthread_mutex_trylock(&mutex), 0);
    pthread_mutex_unlock(&mutex);
    for (size_t i = kThreads * kPerThread; i < rows.size(); i++) EXPECT_EQ(rows[i].check, 0u);
    EXPECT_EQ(std::memcmp(before.data(), slots.data(), slots.size() * sizeof(HashRec)), 0);
}

// The solver through its levmar-style adapter, from many starts in two
// threads at once, in opposite orders: the results of one thread, bit for
// bit.
TEST(Threads, SolverOnCallbacksMatchesOneThreadBitForBit) {
    using namespace lmtest;
    constexpr int kStarts = 16, kRounds = 20;
    const auto start = [](int i) {
        return Point<4>{1.0 + 0.25 * i, -1.0 + 0.1 * i, 0.6 + 0.1 * i, 0.05 * i};
    };
    std::vector<Result<4>> expected;
    for (int i = 0; i < kStarts; i++) {
        Fit fit = gauss_fit();
        expected.push_back(der<4>(fit, start(i)));
    }
    int mismatches[2] = {0, 0};
    const auto work = [&](int id) {
        Fit fit = gauss_fit();
        for (int round = 0; round < kRounds; round++)
            for (int i = 0; i < kStarts; i++) {
                const int s = id == 0 ? i : kStarts - 1 - i;
                const Result<4> r = der<4>(fit, start(s));
                if (!same_result(r, expected[s])) mismatches[id]++;
            }
    };
    std::thread a(work, 0), b(work, 1);
    a.join();
    b.join();
    EXPECT_EQ(mismatches[0], 0);
    EXPECT_EQ(mismatches[1], 0);
}
