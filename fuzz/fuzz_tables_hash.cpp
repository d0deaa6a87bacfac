// Tables, the hash and float64 array views driven by a stream of operations.
//
// Every operation is one whose preconditions hold (a broken contract ends the
// process through `ensure` by design, so the stream never asks for one). A
// shadow copy of every block of memory and of every hash's slots is kept
// here; each operation is checked against it:
//  - constructors: fields, zeroed memory where promised, untouched otherwise;
//  - tab_get / tab_set / tab_set_col / tab_add / tab_subset / tab_validate /
//    tab_free: addresses, counters and the bytes of every row, including
//    copies of a record (shared memory, own counter) and subsets;
//  - hash_init / hash_get: find-or-place by linear probing from key % n,
//    null only when full and absent, nothing written by a lookup;
//  - f64arr, f64arr_subset, f64arr_malloc and the element accessors: shapes,
//    dense pitches, element addresses, zeroed allocations.
// Memory the library allocates is released, so leaks are findings too.
#include <pthread.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "c_common.h"
#include "fuzz_input.h"
#include "same_bits.h"

namespace {

const char *const kFile = "fuzz_tables_hash.cpp";

// A block of table memory: the caller's (a buffer here) or the library's.
struct Block {
    std::vector<uint8_t> storage;  // the caller's memory of a view
    uint8_t *mem = nullptr;        // start of the block
    std::vector<uint8_t> shadow;   // what the block must hold
    bool alive = true;
};

struct Slot {
    bool used = false;
    bool owner = false;  // holds the library's block, released by tab_free
    Tab tab{};
    std::shared_ptr<Block> block;
    size_t offset = 0;  // of the table's row 0 within the block
};

using Slots = std::array<Slot, 4>;

uint8_t *row_addr(const Slot &s, Uint64 row) {
    return static_cast<uint8_t *>(s.tab.base) + row * s.tab.n_bytes_per_row;
}

size_t row_offset(const Slot &s, Uint64 row) {
    return s.offset + static_cast<size_t>(row * s.tab.n_bytes_per_row);
}

bool row_matches(const Slot &s, Uint64 row) {
    return same_bytes(row_addr(s, row), s.block->shadow.data() + row_offset(s, row), s.tab.n_bytes_per_row);
}

// Drops a slot; the owner of a library block frees it, and every other slot
// over that block becomes unusable.
void release(Slots &slots, size_t i) {
    Slot &s = slots[i];
    if (!s.used) return;
    if (s.owner) {
        Tab before = s.tab;
        tab_free(&s.tab);
        FUZZ_CHECK(s.tab.base == nullptr);
        before.base = nullptr;
        FUZZ_CHECK(same_bytes(&before, &s.tab, sizeof before));
        s.block->alive = false;
    }
    const std::shared_ptr<Block> block = s.block;
    s = Slot{};
    if (!block->alive)
        for (Slot &other : slots)
            if (other.used && other.block == block) other = Slot{};
}

void construct(FuzzInput &in, Slots &slots) {
    const size_t i = in.byte() % slots.size();
    release(slots, i);
    const int kind = in.byte() % 6;
    const bool by_arr = kind >= 4, by_rows = kind == 2 || kind == 3, malloced = kind % 2 == 1;
    Uint64 flags = in.raw<uint8_t>() & ~TAB_FLAGS_ARRAY;  // the caller's bits pass through
    if (in.byte() & 1) flags |= TAB_FLAGS_GROWABLE;
    if (in.byte() & 1) flags |= TAB_FLAGS_ARRAY;  // allowed on any kind: it is only passed through
    Uint64 row_bytes = static_cast<Uint64>(in.in_range(1, 48));
    Uint64 n_rows = static_cast<Uint64>(in.in_range(0, 12));
    Uint64 n_bytes = static_cast<Uint64>(in.in_range(0, 400));
    Uint64 n_cols = 0, elem = 0;
    if (by_arr) {
        n_cols = static_cast<Uint64>(in.in_range(1, 6));
        elem = static_cast<Uint64>(in.in_range(1, 8));
        row_bytes = n_cols * elem;
    }
    if (by_rows || by_arr) n_bytes = n_rows * row_bytes;

    auto block = std::make_shared<Block>();
    if (!malloced) {
        block->storage.resize(static_cast<size_t>(n_bytes));
        for (uint8_t &b : block->storage) b = in.byte();
        block->mem = block->storage.data();
    }
    Tab t{};
    switch (kind) {
        case 0:
            t = tab_by_size(block->mem, n_bytes, row_bytes, flags);
            break;
        case 1:
            t = tab_malloc_by_size(n_bytes, row_bytes, flags);
            break;
        case 2:
            t = tab_by_n_rows(block->mem, n_rows, row_bytes, flags);
            break;
        case 3:
            t = tab_malloc_by_n_rows(n_rows, row_bytes, flags);
            break;
        case 4:
            t = tab_by_arr(block->mem, n_rows, n_cols, elem, flags);
            break;
        default:
            t = tab_malloc_by_arr(n_rows, n_cols, elem, flags);
            break;
    }
    if (malloced) {
        block->mem = static_cast<uint8_t *>(t.base);
        FUZZ_CHECK(block->mem != nullptr);
        block->shadow.assign(static_cast<size_t>(n_bytes), 0);
    } else {
        FUZZ_CHECK(t.base == block->mem);
        block->shadow = block->storage;
        if (flags & TAB_FLAGS_GROWABLE) std::fill(block->shadow.begin(), block->shadow.end(), 0);
    }
    const bool growable = (flags & TAB_FLAGS_GROWABLE) != 0;
    FUZZ_CHECK(t.n_bytes_per_row == row_bytes);
    FUZZ_CHECK(t.n_max_rows == n_bytes / row_bytes);
    FUZZ_CHECK(t.n_rows == (growable ? 0 : t.n_max_rows));
    FUZZ_CHECK(t.n_cols == 0 && t.n_bytes_per_col == 0);
    FUZZ_CHECK(t.flags == (by_arr ? (flags | TAB_FLAGS_ARRAY) : flags));
    FUZZ_CHECK(same_bytes(block->mem, block->shadow.data(), block->shadow.size()));
    slots[i] = Slot{true, malloced, t, block, 0};
}

Slot *pick(FuzzInput &in, Slots &slots) {
    Slot &s = slots[in.byte() % slots.size()];
    return s.used ? &s : nullptr;
}

void get_row(FuzzInput &in, Slots &slots) {
    Slot *s = pick(in, slots);
    if (s == nullptr || s->tab.n_rows == 0) return;
    const Uint64 row = static_cast<Uint64>(in.in_range(0, static_cast<int64_t>(s->tab.n_rows) - 1));
    const Uint64 request = (s->tab.flags & TAB_FLAGS_ARRAY) && (in.byte() & 1) ? TAB_FLAGS_ARRAY : 0;
    FUZZ_CHECK(_tab_get(&s->tab, row, request, kFile, __LINE__) == row_addr(*s, row));
    FUZZ_CHECK(row_matches(*s, row));
}

// Source bytes for a row or column: from the input, from a row of the same
// block (possibly the very row written), or none.
const uint8_t *source(FuzzInput &in, const Slot &s, Uint64 n, std::vector<uint8_t> &buf) {
    const uint8_t kind = in.byte() % 4;
    if (kind == 0) return nullptr;
    if (kind == 1 && s.tab.n_rows > 0) {
        const Uint64 row = static_cast<Uint64>(in.in_range(0, static_cast<int64_t>(s.tab.n_rows) - 1));
        return row_addr(s, row);
    }
    buf.resize(static_cast<size_t>(n));
    for (uint8_t &b : buf) b = in.byte();
    return buf.data();
}

void copy_into_shadow(Slot &s, size_t at, const uint8_t *src, Uint64 n) {
    if (src == nullptr) return;
    // The source may be the table's own memory: take it as it was before the copy.
    const uint8_t *from = src;
    if (src >= s.block->mem && src < s.block->mem + s.block->shadow.size())
        from = &s.block->shadow[static_cast<size_t>(src - s.block->mem)];
    std::memmove(&s.block->shadow[at], from, static_cast<size_t>(n));
}

void set_row(FuzzInput &in, Slots &slots) {
    Slot *s = pick(in, slots);
    if (s == nullptr || s->tab.n_rows == 0) return;
    const Uint64 row = static_cast<Uint64>(in.in_range(0, static_cast<int64_t>(s->tab.n_rows) - 1));
    std::vector<uint8_t> buf;
    const uint8_t *src = source(in, *s, s->tab.n_bytes_per_row, buf);
    copy_into_shadow(*s, row_offset(*s, row), src, s->tab.n_bytes_per_row);
    _tab_set(&s->tab, row, src, kFile, __LINE__);
    FUZZ_CHECK(same_bytes(s->block->mem, s->block->shadow.data(), s->block->shadow.size()));
}

void set_col(FuzzInput &in, Slots &slots) {
    Slot *s = pick(in, slots);
    if (s == nullptr || s->tab.n_rows == 0) return;
    if (s->tab.n_cols == 0 || (in.byte() & 7) == 0) {  // the caller makes it a column table
        s->tab.n_bytes_per_col =
            static_cast<Uint64>(in.in_range(1, static_cast<int64_t>(s->tab.n_bytes_per_row)));
        s->tab.n_cols = static_cast<Uint64>(
            in.in_range(1, static_cast<int64_t>(s->tab.n_bytes_per_row / s->tab.n_bytes_per_col)));
    }
    const Uint64 row = static_cast<Uint64>(in.in_range(0, static_cast<int64_t>(s->tab.n_rows) - 1));
    const Uint64 col = static_cast<Uint64>(in.in_range(0, static_cast<int64_t>(s->tab.n_cols) - 1));
    std::vector<uint8_t> buf;
    const uint8_t *src = source(in, *s, s->tab.n_bytes_per_col, buf);
    copy_into_shadow(*s, row_offset(*s, row) + static_cast<size_t>(col * s->tab.n_bytes_per_col), src,
                     s->tab.n_bytes_per_col);
    _tab_set_col(&s->tab, row, col, src, kFile, __LINE__);
    FUZZ_CHECK(same_bytes(s->block->mem, s->block->shadow.data(), s->block->shadow.size()));
}

void add_row(FuzzInput &in, Slots &slots) {
    Slot *s = pick(in, slots);
    if (s == nullptr || !(s->tab.flags & TAB_FLAGS_GROWABLE) || s->tab.n_rows >= s->tab.n_max_rows) return;
    std::vector<uint8_t> buf;
    const uint8_t *src = source(in, *s, s->tab.n_bytes_per_row, buf);
    const Uint64 expected = s->tab.n_rows;
    copy_into_shadow(*s, row_offset(*s, expected), src, s->tab.n_bytes_per_row);
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    const bool locked = in.byte() & 1;
    FUZZ_CHECK(_tab_add(&s->tab, src, locked ? &mutex : nullptr, kFile, __LINE__) == expected);
    FUZZ_CHECK(s->tab.n_rows == expected + 1);
    FUZZ_CHECK(pthread_mutex_trylock(&mutex) == 0);  // left unlocked
    pthread_mutex_unlock(&mutex);
    FUZZ_CHECK(same_bytes(s->block->mem, s->block->shadow.data(), s->block->shadow.size()));
}

// A subset or a plain copy of a record into another slot.
void derive(FuzzInput &in, Slots &slots, bool subset) {
    const size_t from = in.byte() % slots.size(), to = in.byte() % slots.size();
    if (from == to || !slots[from].used) return;
    release(slots, to);
    if (!slots[from].used) return;  // it lived on the block just released
    const Slot &src = slots[from];
    Slot d = src;
    d.owner = false;
    if (subset) {
        if (src.tab.n_rows == 0) return;
        const Uint64 row = static_cast<Uint64>(in.in_range(0, static_cast<int64_t>(src.tab.n_rows) - 1));
        const Uint64 count = static_cast<Uint64>(in.in_range(0, static_cast<int64_t>(src.tab.n_rows - row)));
        d.tab = _tab_subset(&src.tab, row, count, kFile, __LINE__);
        FUZZ_CHECK(d.tab.base == row_addr(src, row));
        FUZZ_CHECK(d.tab.n_bytes_per_row == src.tab.n_bytes_per_row && d.tab.flags == src.tab.flags);
        FUZZ_CHECK(d.tab.n_rows == count && d.tab.n_max_rows == count);
        d.offset = row_offset(src, row);
    }
    slots[to] = d;
}

void validate(FuzzInput &in, Slots &slots) {
    Slot *s = pick(in, slots);
    if (s == nullptr || s->tab.n_rows == 0) return;
    const Uint64 span = s->tab.n_rows * s->tab.n_bytes_per_row;
    _tab_validate(&s->tab,
                  static_cast<uint8_t *>(s->tab.base) + in.in_range(0, static_cast<int64_t>(span) - 1), kFile,
                  __LINE__);
}

// ---- hash -------------------------------------------------------------------

struct HashState {
    std::vector<HashRec> recs;   // the caller's slots
    std::vector<HashRec> model;  // what they must hold
    Hash hash{};
};

void hash_new(FuzzInput &in, HashState &h) {
    const size_t n = static_cast<size_t>(in.in_range(1, 40));
    h.recs.assign(n, HashRec{0x5a5a5a5a5a5a5a5aull, &h});  // stale contents, cleared by init
    h.model.assign(n, HashRec{0, nullptr});
    h.hash = hash_init(h.recs.data(), n);
    FUZZ_CHECK(h.hash.recs == h.recs.data() && h.hash.n_max_recs == n && h.hash.n_recs == 0);
    FUZZ_CHECK(same_bytes(h.recs.data(), h.model.data(), n * sizeof(HashRec)));
}

void hash_lookup(FuzzInput &in, HashState &h) {
    if (h.recs.empty()) return;
    const Uint64 n = h.recs.size();
    Uint64 key =
        (in.byte() & 1) ? static_cast<Uint64>(in.in_range(1, static_cast<int64_t>(3 * n))) : in.raw<Uint64>();
    if (key == 0) key = 1;  // 0 is never a key
    // Linear probing from the home slot over the model.
    const HashRec *expected = nullptr;
    for (Uint64 step = 0, i = key % n; step < n; step++, i = (i + 1) % n) {
        if (h.model[i].key == key || h.model[i].key == 0) {
            expected = &h.recs[static_cast<size_t>(i)];
            break;
        }
    }
    HashRec *got = hash_get(h.hash, key);
    FUZZ_CHECK(got == expected);
    FUZZ_CHECK(same_bytes(h.recs.data(), h.model.data(), h.recs.size() * sizeof(HashRec)));
    if (got != nullptr && got->key == 0 && (in.byte() & 3) != 0) {  // place the key
        got->key = key;
        // NOLINTNEXTLINE(performance-no-int-to-ptr): an opaque value that the hash only stores
        got->val = reinterpret_cast<void *>(static_cast<uintptr_t>(key * 16));
        h.model[static_cast<size_t>(got - h.recs.data())] = *got;
    }
}

// ---- float64 arrays ---------------------------------------------------------

void arrays(FuzzInput &in) {
    const Uint64 n_dims = static_cast<Uint64>(in.in_range(1, 4));
    Uint64 shape[4] = {};
    Uint64 count = 1;
    for (Uint64 a = 0; a < n_dims; a++) count *= (shape[a] = static_cast<Uint64>(in.in_range(0, 5)));
    std::vector<double> buf(static_cast<size_t>(count));
    F64Arr arr = f64arr(buf.data(), n_dims, shape);
    FUZZ_CHECK(arr.base == buf.data() && arr.n_dims == n_dims);
    Uint64 pitch = 1;
    for (Uint64 a = 4; a-- > 0;) {
        FUZZ_CHECK(arr.shape[a] == (a < n_dims ? shape[a] : 0));
        FUZZ_CHECK(arr.pitch[a] == (a < n_dims ? pitch : 0));
        if (a < n_dims) pitch *= shape[a];
    }
    if (count > 0) {
        // An element by its indices; indices beyond n_dims are ignored.
        Uint64 idx[4] = {}, offset = 0;
        for (Uint64 a = 0; a < 4; a++) {
            idx[a] = a < n_dims ? static_cast<Uint64>(in.in_range(0, static_cast<int64_t>(shape[a]) - 1))
                                : in.raw<Uint64>();
            if (a < n_dims) offset += idx[a] * arr.pitch[a];
        }
        double *want = buf.data() + offset;
        double *got = nullptr;
        switch (n_dims) {
            case 1:
                got = f64arr_ptr1(&arr, idx[0]);
                break;
            case 2:
                got = f64arr_ptr2(&arr, idx[0], idx[1]);
                break;
            case 3:
                got = f64arr_ptr3(&arr, idx[0], idx[1], idx[2]);
                break;
            default:
                got = f64arr_ptr4(&arr, idx[0], idx[1], idx[2], idx[3]);
                break;
        }
        FUZZ_CHECK(got == want);
        FUZZ_CHECK(f64arr_ptr4(&arr, idx[0], idx[1], idx[2], idx[3]) == want);
        *got = 1.0;  // inside the buffer
        if (n_dims >= 2) {
            const F64Arr sub = f64arr_subset(&arr, idx[0]);
            FUZZ_CHECK(sub.base == f64arr_ptr1(&arr, idx[0]) && sub.n_dims == n_dims - 1);
            for (Uint64 a = 0; a + 1 < n_dims; a++) FUZZ_CHECK(sub.shape[a] == shape[a + 1]);
        }
    }
    F64Arr owned = f64arr_malloc(n_dims, shape);
    FUZZ_CHECK(owned.base != nullptr && owned.n_dims == n_dims);
    for (Uint64 k = 0; k < count; k++) FUZZ_CHECK(same_bits(owned.base[k], 0.0));
    f64arr_free(&owned);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    Slots slots;
    HashState hash;
    for (int op = 0; op < 256 && !in.empty(); op++) {
        switch (in.byte() % 11) {
            case 0:
                construct(in, slots);
                break;
            case 1:
                get_row(in, slots);
                break;
            case 2:
                set_row(in, slots);
                break;
            case 3:
                set_col(in, slots);
                break;
            case 4:
                add_row(in, slots);
                break;
            case 5:
                derive(in, slots, true);
                break;
            case 6:
                derive(in, slots, false);
                break;
            case 7:
                validate(in, slots);
                break;
            case 8:
                hash_new(in, hash);
                break;
            case 9:
                hash_lookup(in, hash);
                break;
            default:
                arrays(in);
                break;
        }
    }
    for (size_t i = 0; i < slots.size(); i++) release(slots, i);
    return 0;
}
