#include "testserver/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "testserver/names.h"

namespace ts {
namespace {

bool to_long(const char* s, long lo, long hi, long& out) {
    if (s == nullptr || *s == '\0') return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(s, &end, 0);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

// A non-zero completion code, decimal (may be negative, as NDS codes are
// written) or hexadecimal.
bool code_value(const char* s, uint32_t& code) {
    errno = 0;
    char* end = nullptr;
    const long long c = std::strtoll(s, &end, 0);
    if (errno != 0 || *end != '\0' || *s == '\0' || c < INT32_MIN || c > UINT32_MAX || c == 0) return false;
    code = static_cast<uint32_t>(c);
    return true;
}

// "V:CODE": verb number and completion code.
bool fail_spec(const char* s, uint32_t& verb, uint32_t& code) {
    const char* colon = std::strchr(s, ':');
    if (colon == nullptr) return false;
    const std::string v(s, colon);
    long lv = 0;
    if (!to_long(v.c_str(), 0, 255, lv) || !code_value(colon + 1, code)) return false;
    verb = static_cast<uint32_t>(lv);
    return true;
}

// "NAME:CODE": a name in UTF-8 (cut at the last ':') and a completion code.
bool fail_resolve_spec(const char* s, std::u16string& name, uint32_t& code) {
    const char* colon = std::strrchr(s, ':');
    return colon != nullptr && colon != s && utf8_to_units(std::string_view(s, colon), name) &&
           code_value(colon + 1, code);
}

constexpr std::pair<const char*, LoginFault> kLoginFaults[] = {
    {"bad-nonce", LoginFault::BadNonce},
    {"bad-outer-check", LoginFault::BadOuterCheck},
    {"outer-head-kind", LoginFault::OuterHeadKind},
    {"outer-longer-than-blob", LoginFault::OuterLongerThanBlob},
    {"outer-too-short", LoginFault::OuterTooShort},
    {"k-past-data", LoginFault::KPastData},
    {"k-huge", LoginFault::KHuge},
    {"inner-past-masked", LoginFault::InnerPastMasked},
    {"inner-head-tag", LoginFault::InnerHeadTag},
    {"body-past-inner", LoginFault::BodyPastInner},
    {"inner-not-one-two", LoginFault::InnerNotOneTwo},
    {"key-check-wrong", LoginFault::KeyCheckWrong},
    {"blob-past-reply", LoginFault::BlobPastReply},
    {"blob-huge", LoginFault::BlobHuge},
};

}  // namespace

void apply_flips(std::vector<uint8_t>& bytes, const std::vector<Flip>& flips) {
    if (bytes.empty()) return;
    const long size = static_cast<long>(bytes.size());
    for (const Flip& f : flips) {
        const long at = f.at < 0 ? size + f.at : f.at % size;
        if (at >= 0 && at < size) bytes[static_cast<size_t>(at)] ^= f.x;
    }
}

std::optional<LoginFault> login_fault_named(const std::string& name) {
    for (const auto& [n, fault] : kLoginFaults) {
        if (name == n) return fault;
    }
    return std::nullopt;
}

std::optional<ReadFault> read_fault_named(const std::string& name) {
    if (name == "repeat") return ReadFault::Repeat;
    if (name == "empty") return ReadFault::Empty;
    if (name == "endless") return ReadFault::Endless;
    return std::nullopt;
}

const char* usage_text() {
    return "usage: wrenacl-testserver [--directory] FILE [--address A] [--port P] [--log FILE]\n"
           "  [--verbose] [--fragment-size N] [--user-key-bits N] [--q-above-p]\n"
           "  [--drop-after N] [--hang-after N] [--fault-once] [--fail-verb V:CODE]...\n"
           "  [--fail-resolve NAME:CODE]...\n"
           "  [--reply-delay MS] [--trickle MS]\n"
           "  [--bad-ping] [--bad-ping-length N] [--tree-name NAME] [--dump-keys FILE]\n"
           "  [--record FILE]\n"
           "  [--drop-verb V]... [--login-fault NAME] [--refuse-state-change]\n"
           "  [--read-batch N] [--read-fault repeat|empty|endless]\n";
}

bool parse_options(int argc, char** argv, Options& out, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        const char* val = i + 1 < argc ? argv[i + 1] : nullptr;
        long n = 0;
        const auto need = [&](long lo, long hi) {
            if (!to_long(val, lo, hi, n)) {
                error = std::string("bad or missing value for ") + argv[i];
                return false;
            }
            ++i;
            return true;
        };
        if (a == "--verbose") { out.verbose = true; continue; }
        if (a == "--q-above-p") { out.q_above_p = true; continue; }
        if (a == "--fault-once") { out.fault_once = true; continue; }
        if (a == "--bad-ping") { out.bad_ping_length = 0; continue; }
        if (a == "--refuse-state-change") { out.refuse_state_change = true; continue; }
        if (a == "--drop-verb") {
            if (!need(0, 255)) return false;
            out.edit_verb[static_cast<uint32_t>(n)].drop = true;
            continue;
        }
        if (a == "--login-fault") {
            const auto fault = login_fault_named(val != nullptr ? val : "");
            if (!fault) { error = "--login-fault needs one of the fault names"; return false; }
            out.login_fault = *fault;
            ++i;
            continue;
        }
        if (a == "--read-fault") {
            const auto fault = read_fault_named(val != nullptr ? val : "");
            if (!fault) { error = "--read-fault needs repeat, empty or endless"; return false; }
            out.read_fault = *fault;
            ++i;
            continue;
        }
        if (a == "--read-batch") { if (!need(1, 1000000)) return false; out.read_batch = static_cast<size_t>(n); continue; }
        if (a == "--dump-keys" || a == "--record") {
            if (val == nullptr || *val == '\0') { error = std::string("missing value for ") + argv[i]; return false; }
            (a == "--record" ? out.record_file : out.dump_keys) = val;
            ++i;
            continue;
        }
        if (a == "--directory" || a == "--address" || a == "--log" || a == "--tree-name") {
            if (val == nullptr) { error = std::string("missing value for ") + argv[i]; return false; }
            if (a == "--directory") out.directory = val;
            else if (a == "--address") out.address = val;
            else if (a == "--log") out.log = val;
            else {
                out.tree_name = val;
                if (out.tree_name.empty()) { error = "empty tree name"; return false; }
            }
            ++i;
            continue;
        }
        if (a == "--port") { if (!need(0, 65535)) return false; out.port = static_cast<int>(n); continue; }
        if (a == "--fragment-size") { if (!need(1, 4076)) return false; out.fragment_size = static_cast<size_t>(n); continue; }
        if (a == "--user-key-bits") {
            if (!need(kMinUserKeyBits, kMaxUserKeyBits)) return false;
            out.user_key_bits = static_cast<int>(n);
            continue;
        }
        if (a == "--drop-after") { if (!need(0, 1000000)) return false; out.drop_after = n; continue; }
        if (a == "--hang-after") { if (!need(0, 1000000)) return false; out.hang_after = n; continue; }
        if (a == "--reply-delay") { if (!need(1, 60000)) return false; out.reply_delay_ms = n; continue; }
        if (a == "--trickle") { if (!need(1, 60000)) return false; out.trickle_ms = n; continue; }
        if (a == "--bad-ping-length") { if (!need(0, 0xFFFFFFFFL)) return false; out.bad_ping_length = n; continue; }
        if (a == "--fail-verb") {
            uint32_t verb = 0, code = 0;
            if (val == nullptr || !fail_spec(val, verb, code)) {
                error = "--fail-verb needs VERB:CODE with a non-zero code";
                return false;
            }
            out.fail_verb[verb] = code;
            ++i;
            continue;
        }
        if (a == "--fail-resolve") {
            std::u16string name;
            uint32_t code = 0;
            if (val == nullptr || !fail_resolve_spec(val, name, code)) {
                error = "--fail-resolve needs NAME:CODE with a non-zero code";
                return false;
            }
            out.fail_resolve.emplace_back(name, code);
            ++i;
            continue;
        }
        if (!a.empty() && a[0] != '-' && out.directory.empty()) { out.directory = argv[i]; continue; }
        error = std::string("unknown argument ") + argv[i];
        return false;
    }
    if (out.directory.empty()) { error = "no directory file given"; return false; }
    return true;
}

}  // namespace ts
