// The hash: find-or-place with linear probing over the caller's slots.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "c_common.h"
#include "child_process.h"

namespace {

// Places `key` where hash_get says it belongs, as callers do.
HashRec *place(Hash hash, Uint64 key, void *val = nullptr) {
    HashRec *rec = hash_get(hash, key);
    if (rec != nullptr && rec->key == 0) {
        rec->key = key;
        rec->val = val;
    }
    return rec;
}

}  // namespace

TEST(Hash, InitEmptiesEverySlot) {
    HashRec recs[8];
    memset(recs, 0x5A, sizeof recs);
    const Hash hash = hash_init(recs, 8);
    EXPECT_EQ(hash.recs, recs);
    EXPECT_EQ(hash.n_max_recs, 8u);
    EXPECT_EQ(hash.n_recs, 0u);
    for (const HashRec &r : recs) {
        EXPECT_EQ(r.key, 0u);
        EXPECT_EQ(r.val, nullptr);
    }
}

TEST(Hash, ProbesFromTheHomeSlot) {
    HashRec recs[8];
    const Hash hash = hash_init(recs, 8);
    EXPECT_EQ(hash_get(hash, 10), &recs[2]);
    EXPECT_EQ(hash_get(hash, 10), &recs[2]);  // nothing stored: the same free slot again
    EXPECT_EQ(recs[2].key, 0u);
    place(hash, 10);
    EXPECT_EQ(hash_get(hash, 18), &recs[3]);  // same home, next slot
    EXPECT_EQ(hash_get(hash, 10), &recs[2]);
    place(hash, 18);
    EXPECT_EQ(hash_get(hash, 26), &recs[4]);
    EXPECT_EQ(hash_get(hash, 3), &recs[4]);  // home 3 taken by 18
    EXPECT_EQ(hash_get(hash, 18), &recs[3]);
    EXPECT_EQ(hash_get(hash, UINT64_MAX), &recs[7]);  // unsigned remainder
}

TEST(Hash, ProbeWrapsFromTheLastSlotToTheFirst) {
    HashRec recs[8];
    const Hash hash = hash_init(recs, 8);
    place(hash, 15);
    EXPECT_EQ(hash_get(hash, 7), &recs[0]);
    place(hash, 7);
    EXPECT_EQ(hash_get(hash, 23), &recs[1]);
    EXPECT_EQ(hash_get(hash, 7), &recs[0]);
}

TEST(Hash, FullTableFindsPresentKeysAndReturnsNullForAbsentOnes) {
    HashRec recs[4];
    const Hash hash = hash_init(recs, 4);
    // Homes 2, 2, 2, 2: the last key lives one slot before its home.
    for (Uint64 key : {2, 6, 10, 14}) ASSERT_NE(place(hash, key), nullptr);
    EXPECT_EQ(hash_get(hash, 14), &recs[1]);
    HashRec before[4];
    memcpy(before, recs, sizeof recs);
    EXPECT_EQ(hash_get(hash, 18), nullptr);
    EXPECT_EQ(hash_get(hash, 3), nullptr);
    EXPECT_EQ(memcmp(before, recs, sizeof recs), 0);  // lookups write nothing

    HashRec one[1];
    const Hash single = hash_init(one, 1);
    place(single, 5);
    EXPECT_EQ(hash_get(single, 5), &one[0]);
    EXPECT_EQ(hash_get(single, 6), nullptr);
}

TEST(Hash, ValuesAreTheCallersAndTheRecordStaysAsInitialised) {
    HashRec recs[4];
    const Hash hash = hash_init(recs, 4);
    int a = 0, b = 0;
    place(hash, 1, &a);
    place(hash, 5, &b);
    EXPECT_EQ(hash_get(hash, 1)->val, &a);
    EXPECT_EQ(hash_get(hash, 5)->val, &b);
    EXPECT_EQ(hash.n_recs, 0u);
}

TEST(Hash, ZeroKeyAndZeroSlotsAreFatal) {
    HashRec recs[2];
    const Hash hash = hash_init(recs, 2);
    expect_fatal([&] { hash_get(hash, 0); }, "Invalid hashkey");
    expect_fatal([&] { hash_init(recs, 0); }, "hash_init: n_max_recs must be nonzero");
    const Hash no_slots{recs, 0, 0};
    expect_fatal([&] { hash_get(no_slots, 3); }, "hash_get: n_max_recs must be nonzero");
    expect_fatal([&] { hash_get(no_slots, 0); }, "Invalid hashkey");  // the key is checked first
}

TEST(Hash, DumpPrintsEverySlot) {
    HashRec recs[8];
    const Hash hash = hash_init(recs, 8);
    std::string expected;
    for (int i = 0; i < 8; i++) expected += "0000000" + std::to_string(i) + ": 0000000000000000 (nil)\n";
    ChildOutput r = run_in_child_with_stdout([&] { hash_dump(hash); });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, expected);

    int v = 0;
    place(hash, 0xABCDEF12345ull, &v);
    char line[64];
    snprintf(line, sizeof line, "00000005: 00000ABCDEF12345 %p\n", static_cast<void *>(&v));
    r = run_in_child_with_stdout([&] { hash_dump(hash); });
    EXPECT_NE(r.out.find(line), std::string::npos) << r.out;

    const Hash no_slots{recs, 0, 0};
    EXPECT_EQ(run_in_child_with_stdout([&] { hash_dump(no_slots); }).out, "");
}
