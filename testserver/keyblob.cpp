#include "testserver/keyblob.h"

#include "nwcrypto/nwcrypto.h"
#include "runtime/bytes.h"
#include "runtime/wipe.h"

namespace ts {

void put_chunk(std::vector<uint8_t>& body, const char tag[2], std::span<const uint8_t> data) {
    const size_t n = data.size();  // at most 510, the largest a + b
    const auto a = static_cast<uint8_t>((n + 1) / 2);
    const auto b = static_cast<uint8_t>(n / 2);
    body.push_back(static_cast<uint8_t>(tag[0]));
    body.push_back(static_cast<uint8_t>(tag[1]));
    body.push_back(a);
    body.push_back(b);
    body.insert(body.end(), data.begin(), data.end());
}

void put_check_chunk(std::vector<uint8_t>& body) {
    uint8_t check[16] = {};
    nwhash1(check, 8, body.data(), static_cast<int>(body.size()));
    put_chunk(body, "MA", check);
}

static void put_number(std::vector<uint8_t>& body, const char tag[2], const BIGNUM* v) {
    std::vector<uint8_t> bytes = bn_to_le(v);
    put_chunk(body, tag, bytes);
    rt::wipe(bytes.data(), bytes.size());
}

std::vector<uint8_t> public_key_body(const RsaKey& key) {
    std::vector<uint8_t> body;
    put_number(body, "NN", key.n.get());
    put_number(body, "EN", key.e.get());
    put_check_chunk(body);
    return body;
}

std::vector<uint8_t> private_key_body(const RsaKey& key) {
    std::vector<uint8_t> body;
    put_number(body, "PN", key.p.get());
    put_number(body, "QN", key.q.get());
    put_number(body, "DP", key.dp.get());
    put_number(body, "DQ", key.dq.get());
    put_number(body, "CR", key.cr.get());
    put_check_chunk(body);
    return body;
}

std::vector<uint8_t> key_record(std::span<const uint8_t> body) {
    std::vector<uint8_t> rec(kKeyRecordHead, kKeyRecordHead + 8);
    rec.resize(10);
    rt::store_le16(rec.data() + 8, static_cast<uint16_t>(body.size()));
    rec.insert(rec.end(), body.begin(), body.end());
    return rec;
}

std::vector<uint8_t> public_key_value(std::span<const uint8_t> body, uint16_t skip) {
    // Bytes other than the skip count carry no meaning for the reader; fill
    // them with a recognisable non-zero pattern so that a reader which does
    // not skip them fails visibly.
    std::vector<uint8_t> value(26 + size_t{skip}, 0xA5);
    rt::store_le16(value.data() + 10, skip);
    const std::vector<uint8_t> rec = key_record(body);
    value.insert(value.end(), rec.begin(), rec.end());
    return value;
}

std::vector<uint8_t> public_key_value(const RsaKey& key) {
    return public_key_value(public_key_body(key), kPublicKeySkip);
}

}  // namespace ts
