#include "frontend/cache.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "runtime/clock.h"
#include "runtime/wipe.h"

namespace {

// A record in the arena, 8-aligned: an entry (batch 0) with its key and the
// user's resolved name after the head, or one batch of its list (batch 1,
// 2, ...) with the packed values after the head. The records of one list
// follow one another in the ring.
struct Record {
    uint32_t size;   // bytes of the record, head included, a multiple of 8
    uint32_t list;   // the list it belongs to (from 1 up, never reused while kept)
    uint16_t batch;  // 0: the entry; 1, 2, ...: its batches
    uint8_t kind;
    uint8_t state;
    uint8_t complete;  // entry: every batch of its list is kept
    uint8_t has_list;  // entry: a batch was kept
    uint16_t key_units;
    uint16_t name_units;
    uint16_t unused;
    uint32_t entry_id;
    uint32_t data_bytes;  // batch: bytes of the packed values
    int64_t expires;      // entry
};
static_assert(sizeof(Record) % 8 == 0, "records stay 8-aligned");

constexpr size_t kIndexSlots = 32768;  // a power of two
constexpr size_t kProbes = 16;
constexpr uint32_t kEmpty = 0;
constexpr uint32_t kGone = 0xFFFFFFFF;

// A zero slot is empty, so that an index never used costs no memory.
struct Slot {
    uint32_t place;  // 1 + the offset of an entry record, kEmpty or kGone
    uint32_t list;
};

alignas(8) uint8_t arena[CACHE_BYTES];
Slot index_slots[kIndexSlots];

int64_t keep_ns = 0;
size_t tail = 0;        // the oldest record
size_t head = 0;        // where the next record goes
size_t wrap_end = 0;    // with wrapped: the end of the records before the wrap
bool wrapped = false;   // the records run from tail to wrap_end, then from 0 to head
bool empty = true;
uint32_t next_list = 1;
uint32_t building = 0;       // the list being written, or 0
size_t building_entry = 0;   // its entry record
uint16_t building_batch = 0;

Record* at(size_t offset) { return reinterpret_cast<Record*>(arena + offset); }

size_t aligned(size_t n) { return (n + 7) & ~size_t{7}; }

uint32_t hash_key(CacheKind kind, std::span<const uint16_t> key) {
    uint32_t h = 2166136261u ^ kind;
    for (uint16_t u : key) h = (h ^ u) * 16777619u;
    return h;
}

std::span<const uint16_t> key_of(const Record* r) {
    return std::span<const uint16_t>(reinterpret_cast<const uint16_t*>(r + 1), r->key_units);
}

bool key_is(const Record* r, CacheKind kind, std::span<const uint16_t> key) {
    const std::span<const uint16_t> k = key_of(r);
    return r->kind == kind && std::equal(k.begin(), k.end(), key.begin(), key.end());
}

// The index slot that holds the entry at offset, or null.
Slot* slot_of(size_t offset) {
    const Record* r = at(offset);
    const uint32_t h = hash_key(static_cast<CacheKind>(r->kind), key_of(r));
    for (size_t i = 0; i < kProbes; ++i) {
        Slot& s = index_slots[(h + i) & (kIndexSlots - 1)];
        if (s.place == kEmpty) return nullptr;
        if (s.place == offset + 1 && s.list == r->list) return &s;
    }
    return nullptr;
}

// The oldest record out: its entry no longer found, the list being written
// dropped when it is that one's.
void evict_oldest() {
    Record* r = at(tail);
    if (r->batch == 0) {
        if (Slot* s = slot_of(tail)) s->place = kGone;
    }
    if (r->list == building) building = 0;
    const size_t size = r->size;
    rt::wipe(r, size);
    tail += size;
    if (wrapped && tail == wrap_end) {
        tail = 0;
        wrapped = false;
    }
    if (!wrapped && tail == head) {
        empty = true;
        tail = head = 0;
    }
}

// n bytes at the head of the ring, the oldest records out for them.
Record* take(size_t n) {
    if (n > CACHE_BYTES / 2) return nullptr;
    for (;;) {
        if (empty) {
            tail = head = 0;
            wrapped = false;
        }
        if (!wrapped) {
            if (CACHE_BYTES - head >= n) break;
            // The end of the arena is too short: the ring goes on at 0.
            wrap_end = head;
            head = 0;
            wrapped = !empty;
            continue;
        }
        if (tail - head >= n) break;
        evict_oldest();
    }
    Record* r = at(head);
    std::memset(r, 0, sizeof *r);
    r->size = static_cast<uint32_t>(n);
    head += n;
    empty = false;
    return r;
}

// The record after the one at offset, in ring order (head: none).
size_t after(size_t offset) {
    const size_t next = offset + at(offset)->size;
    if (next != head && wrapped && next == wrap_end) return 0;
    return next;
}

bool live(size_t offset) {
    if (empty || offset == head) return false;
    if (!wrapped) return offset >= tail && offset < head;
    return (offset >= tail && offset < wrap_end) || offset < head;
}

}  // namespace

void cache_setup(int32_t seconds) {
    cache_clear();
    keep_ns = seconds > 0 ? static_cast<int64_t>(seconds) * rt::NS_PER_SECOND : 0;
}

bool cache_on() { return keep_ns > 0; }

void cache_clear() {
    const bool used = !empty || next_list != 1;
    while (!empty) evict_oldest();
    if (used) std::memset(index_slots, 0, sizeof index_slots);
    tail = head = wrap_end = 0;
    wrapped = false;
    building = 0;
}

bool cache_find(CacheKind kind, std::span<const uint16_t> key, int64_t now, CacheHit* hit) {
    if (!cache_on()) return false;
    const uint32_t h = hash_key(kind, key);
    for (size_t i = 0; i < kProbes; ++i) {
        const Slot& s = index_slots[(h + i) & (kIndexSlots - 1)];
        if (s.place == kEmpty) return false;
        if (s.place == kGone) continue;
        const Record* r = at(s.place - 1);
        if (r->list != s.list || !key_is(r, kind, key)) continue;
        if (now >= r->expires) return false;
        hit->state = static_cast<CacheState>(r->state);
        hit->entry_id = r->entry_id;
        hit->name = std::span<const uint16_t>(reinterpret_cast<const uint16_t*>(r + 1) + r->key_units, r->name_units);
        hit->has_list = r->has_list != 0;
        hit->complete = r->complete != 0;
        hit->first = s.place - 1;
        hit->list = r->list;
        return true;
    }
    return false;
}

bool cache_next_batch(CacheHit* hit, std::span<const uint8_t>* batch) {
    const size_t next = after(hit->first);
    if (!live(next)) return false;
    const Record* r = at(next);
    if (r->list != hit->list || r->batch == 0) return false;
    *batch = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(r + 1), r->data_bytes);
    hit->first = next;
    return true;
}

uint32_t cache_put_entry(CacheKind kind, std::span<const uint16_t> key, CacheState state, uint32_t entry_id,
                         std::span<const uint16_t> name, int64_t now) {
    building = 0;
    if (!cache_on()) return 0;
    Record* r = take(aligned(sizeof(Record) + 2 * (key.size() + name.size())));
    if (r == nullptr) return 0;
    const size_t offset = static_cast<size_t>(reinterpret_cast<uint8_t*>(r) - arena);
    r->list = next_list++;
    if (next_list == 0) next_list = 1;
    r->kind = kind;
    r->state = state;
    r->complete = state == CACHE_NO_ENTRY;
    r->key_units = static_cast<uint16_t>(key.size());
    r->name_units = static_cast<uint16_t>(name.size());
    r->entry_id = entry_id;
    r->expires = now + keep_ns;
    uint16_t* units = reinterpret_cast<uint16_t*>(r + 1);
    std::copy(key.begin(), key.end(), units);
    std::copy(name.begin(), name.end(), units + key.size());
    // The key is found at this entry from now on; an older one for it no more.
    const uint32_t h = hash_key(kind, key);
    Slot* free_slot = nullptr;
    for (size_t i = 0; i < kProbes; ++i) {
        Slot& s = index_slots[(h + i) & (kIndexSlots - 1)];
        if (s.place == kEmpty || s.place == kGone) {
            if (free_slot == nullptr) free_slot = &s;
            if (s.place == kEmpty) break;
            continue;
        }
        if (key_is(at(s.place - 1), kind, key)) {
            s.place = kGone;
            if (free_slot == nullptr) free_slot = &s;
        }
    }
    if (free_slot == nullptr) return 0;  // the key's neighbourhood is full: not kept
    *free_slot = Slot{static_cast<uint32_t>(offset + 1), r->list};
    building = r->list;
    building_entry = offset;
    building_batch = 0;
    return r->list;
}

void cache_put_batch(uint32_t list, std::span<const uint8_t> batch, bool last) {
    if (list == 0 || list != building) return;
    Record* r = take(aligned(sizeof(Record) + batch.size()));
    if (r == nullptr || building != list) {  // too large, or it pushed its own entry out
        if (r != nullptr) r->list = 0;
        building = 0;
        return;
    }
    r->list = list;
    r->batch = ++building_batch;
    r->data_bytes = static_cast<uint32_t>(batch.size());
    std::copy(batch.begin(), batch.end(), reinterpret_cast<uint8_t*>(r + 1));
    Record* entry = at(building_entry);
    entry->has_list = 1;
    if (last) {
        entry->complete = 1;
        building = 0;
    }
}

size_t cache_bytes_used() {
    if (empty) return 0;
    if (!wrapped) return head - tail;
    return CACHE_BYTES - tail + head;
}
