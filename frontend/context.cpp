#include "frontend/context.h"

#include <algorithm>

namespace {

// A name is completed with the contexts when it is not empty and holds no
// '.'; a name with a '.' (a leading one too) is complete as it stands.
bool uses_contexts(std::span<const uint16_t> user, const ContextList& contexts) {
    return contexts.count > 0 && !user.empty() &&
           std::find(user.begin(), user.end(), uint16_t{'.'}) == user.end();
}

}  // namespace

ContextStatus context_list_parse(std::string_view text, Charset cs, ContextList* out) {
    out->count = 0;
    if (text.size() >= CONTEXT_TEXT_SIZE) return CONTEXT_TOO_LONG;
    if (text.empty()) return CONTEXT_OK;
    size_t used = 0;
    size_t count = 0;
    for (;;) {
        const size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        if (!item.empty() && item.front() == '.') item.remove_prefix(1);
        if (item.empty()) return CONTEXT_EMPTY;
        if (count == CONTEXT_MAX) return CONTEXT_TOO_MANY;
        size_t n = 0;
        // Never more units than bytes, and the list is shorter than the units.
        const std::span<uint16_t> room = std::span<uint16_t>(out->units).subspan(used);
        if (name_to_units(cs, item, room, &n) != NAME_OK) return CONTEXT_INVALID;
        out->start[count] = static_cast<uint16_t>(used);
        out->length[count] = static_cast<uint16_t>(n);
        used += n;
        ++count;
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    out->count = count;
    return CONTEXT_OK;
}

const char* context_status_text(ContextStatus status) {
    switch (status) {
        case CONTEXT_OK: return "usable";
        case CONTEXT_TOO_LONG: return "longer than 511 bytes";
        case CONTEXT_TOO_MANY: return "more than 16 contexts";
        case CONTEXT_EMPTY: return "an empty context";
        case CONTEXT_INVALID: return "not UTF-8";
    }
    return "unusable";
}

[[gnu::hot]] size_t candidate_count(std::span<const uint16_t> user, const ContextList& contexts) {
    return uses_contexts(user, contexts) ? contexts.count : 1;
}

[[gnu::hot]] CandidateStatus candidate_name(std::span<const uint16_t> user, const ContextList& contexts, size_t k,
                               std::span<uint16_t> out, size_t* length) {
    *length = 0;
    if (k >= candidate_count(user, contexts)) return CANDIDATE_NONE;
    if (!uses_contexts(user, contexts)) {
        if (!user.empty() && user[0] == '.') user = user.subspan(1);
        if (user.size() > out.size()) return CANDIDATE_TOO_LONG;
        std::copy(user.begin(), user.end(), out.begin());
        *length = user.size();
        return CANDIDATE_OK;
    }
    const std::span<const uint16_t> context =
        std::span<const uint16_t>(contexts.units).subspan(contexts.start[k], contexts.length[k]);
    const size_t n = user.size() + 1 + context.size();
    if (n > out.size()) return CANDIDATE_TOO_LONG;
    std::copy(user.begin(), user.end(), out.begin());
    out[user.size()] = '.';
    std::copy(context.begin(), context.end(), out.begin() + static_cast<std::ptrdiff_t>(user.size() + 1));
    *length = n;
    return CANDIDATE_OK;
}
