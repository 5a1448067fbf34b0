// Name contexts: the configured list of typeless contexts a user name
// without a '.' is completed with, and the names a request's user is tried
// as, in order, until one resolves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "frontend/charset.h"

constexpr size_t CONTEXT_MAX = 16;         // contexts in the list
constexpr size_t CONTEXT_TEXT_SIZE = 512;  // the list as written: at most 511 bytes

// The contexts as code units, one after another; context k is
// units[start[k]] .. units[start[k] + length[k] - 1].
struct ContextList {
    uint16_t units[CONTEXT_TEXT_SIZE];
    uint16_t start[CONTEXT_MAX];
    uint16_t length[CONTEXT_MAX];
    size_t count;
};

enum ContextStatus {
    CONTEXT_OK = 0,
    CONTEXT_TOO_LONG,  // the list is longer than CONTEXT_TEXT_SIZE - 1 bytes
    CONTEXT_TOO_MANY,  // more than CONTEXT_MAX contexts
    CONTEXT_EMPTY,     // an empty context (",," or a ',' at either end, or ".")
    CONTEXT_INVALID,   // a context that is not UTF-8 under CHARSET_UTF8
};

// Splits a comma-separated list ("sales.acme,ops.acme") into contexts, each
// read as units under cs; one leading '.' of a context is dropped (".sales.acme"
// is "sales.acme"). An empty text gives an empty list. On anything but
// CONTEXT_OK the list is left empty: a list is used whole or not at all.
ContextStatus context_list_parse(std::string_view text, Charset cs, ContextList* out);

// A few words for the log on why a list was not used.
const char* context_status_text(ContextStatus status);

enum CandidateStatus {
    CANDIDATE_OK = 0,
    CANDIDATE_TOO_LONG,  // the name does not fit out; nothing usable is stored
    CANDIDATE_NONE,      // k is not below candidate_count
};

// How many names the user name is tried as: one per context when it is not
// empty, holds no '.' and contexts are configured; otherwise one, the name
// itself.
size_t candidate_count(std::span<const uint16_t> user, const ContextList& contexts);

// Candidate k (below candidate_count) into out: user.context for context k,
// or the user name itself without one leading '.' (as the resolve takes it).
// A candidate longer than out is CANDIDATE_TOO_LONG, never cut: a name cut
// short could name another entry. Give out RESOLVE_NAME_MAX_UNITS units to
// have every candidate that the resolve request holds.
CandidateStatus candidate_name(std::span<const uint16_t> user, const ContextList& contexts, size_t k,
                               std::span<uint16_t> out, size_t* length);
