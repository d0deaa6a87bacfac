// Many threads at once on shared inputs, each with outputs of its own: batch
// fits (least squares, maximum likelihood, photon-noise errors), patch fits, direct patch fits, renders, the
// model and its Jacobian give bit-identical results to one thread, and the shared inputs stay as they were.
// Table appends under one mutex and parallel hash lookups. This executable is also run under the thread
// sanitizer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <latch>
#include <random>
#include <thread>
#include <vector>

#include "gauss2_fitter.h"
#include "gauss2_mle.h"

namespace {

constexpr int kThreads = 8;
constexpr Sint64 kMea = 11;

bool same_bits(const std::vector<double> &a, const std::vector<double> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// A field of spots with noise, their peak pixels and starting records. One
// peak's window holds a NaN and one lies at the border, so that failures run
// concurrently too.
struct Field {
    Sint64 w = 150, h = 140;
    std::vector<double> im, peaks;  // peaks: n x 7 in image coordinates
    std::vector<Sint64> cx, cy;
    std::vector<double> start;  // n x 10
    Field() {
        std::mt19937_64 rng(11);
        std::uniform_real_distribution<double> U(0.0, 1.0);
        std::normal_distribution<double> noise(0.0, 3.0);
        for (Sint64 y = 12; y < h - 12; y += 23)
            for (Sint64 x = 12; x < w - 12; x += 23) {
                const double p[7] = {800 + 3000 * U(rng), 1.0 + U(rng),        1.0 + U(rng), x + U(rng),
                                     y + U(rng),          -0.3 + 0.6 * U(rng), 0.0};
                peaks.insert(peaks.end(), p, p + 7);
                cx.push_back(static_cast<Sint64>(p[3]));
                cy.push_back(static_cast<Sint64>(p[4]));
            }
        im.assign(static_cast<size_t>(w * h), 0.0);
        synth_image(im.data(), w, h, 17, peaks.size() / 7, peaks.data());
        for (double &v : im) v += 100.0 + noise(rng);
        im[static_cast<size_t>(cy[3] * w + cx[3] + 2)] = NAN;
        cx.push_back(w - 3), cy.push_back(h / 2);  // window outside
        cx.push_back(-1), cy.push_back(5);         // skipped
        for (size_t i = 0; i < cx.size(); i++) {
            const double rec[10] = {0.0, 1.5, 1.5, 5.5, 5.5, 0.0, 0.0, 0.25, 0.0, 0.5};
            start.insert(start.end(), rec, rec + 10);
        }
    }
    size_t n() const { return cx.size(); }
};

// Everything one thread computes, in its own buffers.
struct Results {
    std::vector<double> batch_params, batch_std;
    std::vector<Sint64> batch_fails;
    std::vector<double> mle_params, mle_std, photon_std;
    std::vector<Sint64> mle_flags, mle_iterations;
    std::vector<double> patch;   // per peak: 7 params, 10 info, 49 covar, noise, result
    std::vector<double> direct;  // per peak: 7 params, 10 info, 49 covar, result
    std::vector<double> render;  // the fitted peaks rendered into zeros
    std::vector<double> model;   // per peak: gauss_2d and jac_gauss_2d of the true parameters

    bool operator==(const Results &o) const {
        return same_bits(batch_params, o.batch_params) && same_bits(batch_std, o.batch_std) &&
               batch_fails == o.batch_fails && same_bits(mle_params, o.mle_params) &&
               same_bits(mle_std, o.mle_std) && same_bits(photon_std, o.photon_std) &&
               mle_flags == o.mle_flags && mle_iterations == o.mle_iterations && same_bits(patch, o.patch) &&
               same_bits(direct, o.direct) && same_bits(render, o.render) && same_bits(model, o.model);
    }
};

// All the work on the field. `first` rotates the order of the per-peak work,
// so that threads are in different fits at any moment.
Results compute(const Field &f, size_t first) {
    const size_t n = f.n();
    Results r;
    r.batch_params = f.start;
    r.batch_std.assign(n * 10, -1.0);
    r.batch_fails.assign(n, -1);
    std::vector<Sint64> cx = f.cx, cy = f.cy;
    fit_array_of_gauss_2d_on_float_image(const_cast<double *>(f.im.data()), f.w, f.h, kMea,
                                         static_cast<Sint64>(n), cx.data(), cy.data(), r.batch_params.data(),
                                         r.batch_std.data(), r.batch_fails.data());
    r.photon_std.assign(n * 10, -1.0);
    photon_std_of_gauss_2d_records(f.w, f.h, kMea, static_cast<Sint64>(n), cx.data(), cy.data(), 9.0, nullptr,
                                   r.batch_params.data(), r.photon_std.data());
    r.mle_params = f.start;
    r.mle_std.assign(n * 10, -1.0);
    r.mle_flags.assign(n, -1);
    r.mle_iterations.assign(n, -1);
    fit_array_of_gauss_2d_mle_on_float_image(
        const_cast<double *>(f.im.data()), f.w, f.h, kMea, static_cast<Sint64>(n), cx.data(), cy.data(), 9.0,
        nullptr, r.mle_params.data(), r.mle_std.data(), r.mle_flags.data(), r.mle_iterations.data());

    constexpr size_t kPatch = 7 + 10 + 49 + 2, kDirect = 7 + 10 + 49 + 1;
    r.patch.assign(n * kPatch, -1.0);
    r.direct.assign(n * kDirect, -1.0);
    for (size_t step = 0; step < n; step++) {
        const size_t i = (first + step) % n;
        double *out = &r.patch[i * kPatch];
        std::memcpy(out, &f.start[10 * i], 7 * sizeof(double));
        out[kPatch - 1] = fit_gauss_2d_on_float_image(const_cast<double *>(f.im.data()), f.w, f.h, f.cx[i],
                                                      f.cy[i], kMea, out, out + 7, out + 17, out + 66);
        if (f.cx[i] < kMea / 2 || f.cy[i] < kMea / 2 || f.cx[i] + kMea / 2 >= f.w ||
            f.cy[i] + kMea / 2 >= f.h)
            continue;
        // The same window cut here and fitted directly, from the true values.
        double px[kMea * kMea];
        for (Sint64 y = 0; y < kMea; y++)
            for (Sint64 x = 0; x < kMea; x++)
                px[y * kMea + x] =
                    f.im[static_cast<size_t>((f.cy[i] - kMea / 2 + y) * f.w + f.cx[i] - kMea / 2 + x)];
        double *d = &r.direct[i * kDirect];
        if (i < f.peaks.size() / 7) {
            std::memcpy(d, &f.peaks[7 * i], 7 * sizeof(double));
            d[3] -= static_cast<double>(f.cx[i] - kMea / 2);
            d[4] -= static_cast<double>(f.cy[i] - kMea / 2);
            d[6] = 100.0;
        }
        d[kDirect - 1] = fit_gauss_2d(px, kMea, d, d + 7, d + 17);
    }

    r.render.assign(f.im.size(), 0.0);
    std::vector<double> fitted;
    for (size_t i = 0; i < n; i++) {
        double p[7];
        std::memcpy(p, &r.batch_params[10 * i], sizeof p);
        p[3] += static_cast<double>(f.cx[i] - kMea / 2);
        p[4] += static_cast<double>(f.cy[i] - kMea / 2);
        fitted.insert(fitted.end(), p, p + 7);
    }
    synth_image(r.render.data(), f.w, f.h, 15, n, fitted.data());

    const size_t n_true = f.peaks.size() / 7, per = 121 * 8;
    r.model.assign(n_true * per, 0.0);
    for (size_t step = 0; step < n_true; step++) {
        const size_t i = (first + step) % n_true;
        double p[7];
        std::memcpy(p, &f.peaks[7 * i], sizeof p);
        p[3] -= std::floor(p[3]) - 5.0;  // into an 11 x 11 patch around it
        p[4] -= std::floor(p[4]) - 5.0;
        gauss_2d(p, &r.model[i * per], 7, 121, nullptr);
        jac_gauss_2d(p, &r.model[i * per + 121], 7, 121, nullptr);
    }
    return r;
}

}  // namespace

TEST(Threads, FitsAndRendersOnSharedInputsMatchOneThreadBitForBit) {
    const Field field;
    const Field pristine;
    const Results reference = compute(field, 0);
    // The fixture exercises success, failure and skipping.
    EXPECT_EQ(reference.batch_fails[3], 1);
    EXPECT_EQ(reference.batch_fails[field.n() - 1], 1);
    EXPECT_EQ(reference.batch_fails[field.n() - 2], 1);
    EXPECT_EQ(reference.batch_fails[0], 0);
    EXPECT_EQ(reference.mle_flags[0], 0);
    EXPECT_EQ(reference.mle_flags[3], 2);

    std::vector<std::vector<Results>> got(kThreads);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int round = 0; round < 2; round++)
                got[t].push_back(compute(field, static_cast<size_t>(t * 5 + round)));
        });
    for (std::thread &th : threads) th.join();

    for (int t = 0; t < kThreads; t++)
        for (const Results &r : got[t]) EXPECT_TRUE(r == reference) << "thread " << t;
    EXPECT_TRUE(same_bits(field.im, pristine.im));
    EXPECT_TRUE(same_bits(field.start, pristine.start));
    EXPECT_TRUE(same_bits(field.peaks, pristine.peaks));
    EXPECT_EQ(field.cx, pristine.cx);
}

TEST(Threads, TableAppendsUnderOneMutexAndParallelHashLookups) {
    constexpr Uint64 kPerThread = 150;
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
    EXPECT_EQ(std::memcmp(before.data(), slots.data(), slots.size() * sizeof(HashRec)), 0);
}
