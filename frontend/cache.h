// What the directory said, kept for a moment (CacheSeconds): for a user, the
// name it resolved as and its "Group Membership"; for a group, its "Member";
// or that the entry does not exist. A list is kept batch by batch as it was
// read, and is only as complete as that read: a read stopped early at a
// match keeps what it read and says so.
//
// All of it lives in one arena allocated once, oldest out first; a list that
// does not fit into half of it is not kept. The cache belongs to the
// connection: a reconnect empties it, as does the end; emptied means wiped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

constexpr size_t CACHE_BYTES = 4u << 20;

enum CacheKind : uint8_t {
    CACHE_USER = 1,   // key: the user name as asked (after stripping)
    CACHE_GROUP = 2,  // key: the group name as asked (without a leading '.')
};

enum CacheState : uint8_t {
    CACHE_FOUND = 1,     // the entry exists: entry_id (and a user's resolved name)
    CACHE_NO_ENTRY = 2,  // "no such entry"
};

// A kept entry, as a lookup finds it. Valid until the next cache_put_*,
// cache_clear or cache_setup.
struct CacheHit {
    CacheState state;
    uint32_t entry_id;
    std::span<const uint16_t> name;  // a user's name as it resolved
    bool has_list;                   // its list was read (in part, or whole)
    bool complete;                   // every batch of the list is kept
    size_t first;                    // where its batches begin (cache_next_batch)
    uint32_t list;
};

// Keeping for `seconds` (0: nothing is kept, every lookup misses).
void cache_setup(int32_t seconds);
bool cache_on();
// Wipes every entry.
void cache_clear();

// The entry kept for key, if it is there and younger than the setting.
bool cache_find(CacheKind kind, std::span<const uint16_t> key, int64_t now, CacheHit* hit);
// The kept batches of a hit's list, one after another: each as a packed
// list (a count, then each value's length and bytes). False after the last.
bool cache_next_batch(CacheHit* hit, std::span<const uint8_t>* batch);

// Keeps an entry (replacing what was kept for the key) and returns its list
// number for cache_put_batch; 0 when it could not be kept.
uint32_t cache_put_entry(CacheKind kind, std::span<const uint16_t> key, CacheState state, uint32_t entry_id,
                         std::span<const uint16_t> name, int64_t now);
// The next batch of that entry's list, as read; last says that the server
// said the list is complete. A list that outgrows what is kept is dropped.
void cache_put_batch(uint32_t list, std::span<const uint8_t> batch, bool last);

// Bytes of the arena in use (entries, and the end left over at a wrap).
size_t cache_bytes_used();
