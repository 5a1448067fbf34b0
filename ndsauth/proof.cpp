// The authentication proof: a signature S of the credential digest, never
// sent, hidden behind three commitments X = r^E mod N and three responses
// Y = r * S^w mod N, where the exponents w come from a digest over the
// credential and the commitments.
#include <cstring>
#include <span>

#include "mparith/mparith.h"
#include "ndsauth/ndsauth.h"
#include "nwcrypto/nwcrypto.h"
#include "runtime/cursor.h"
#include "runtime/wipe.h"

namespace {

constexpr size_t kRounds = 3;
constexpr uint32_t kChallengeVerb = 60;
constexpr size_t kChallengeHead = 16;

// Numbers of the private-key side, each from the heap at the working width.
enum Chunk { kN, kE, kP, kQ, kDP, kDQ, kCR, kChunks };
constexpr const char* kChunkTags[kChunks] = {"NN", "EN", "PN", "QN", "DP", "DQ", "CR"};

// Scratch numbers, one heap block of kSlots working widths.
enum Slot { sH, sHP, sHQ, sM1, sM2, sT, sTmp, sCR, sS, sR0, sR1, sR2, sY, sW, kSlots };

// Every block this proof takes, wiped and released on every path.
struct ProofWork {
    size_t size = 0;
    rt::WipedBlock chunk[kChunks];
    rt::WipedBlock work;
    uint8_t hash[NWHASH2_STATE_SIZE] = {};

    MpUnit* num(Chunk c) const { return chunk[c].as<MpUnit>(); }
    MpUnit* slot(Slot s) const { return work.as<MpUnit>() + static_cast<size_t>(s) * (size / 2); }
    void clear(Slot s) const { rt::wipe(slot(s), size); }

    ~ProofWork() { rt::wipe(hash, sizeof hash); }
};

// r = a mod m by shifting a in bit by bit (m non-zero, below half the
// precision's range). Works for any a, unlike the staged product, which
// wants its operands below the modulus.
void reduce(MpUnit* r, const MpUnit* a, const MpUnit* m) {
    mp_init(r, 0);
    for (int bit = countbits(a) - 1; bit >= 0; --bit) {
        mp_rotate_left(r, (a[bit / 16] >> (bit % 16)) & 1);
        if (mp_compare(r, m) >= 0) mp_subb(r, m, 0);
    }
}

// Body and length of a record in a key area, or false.
bool key_body(std::span<const uint8_t, KEY_AREA_SIZE> key, const uint8_t** body, uint32_t* len) {
    if (initkey(key, body, len) != 1) return false;
    return *len <= KEY_AREA_SIZE - KEY_HEAD_SIZE;
}

int load_chunks(ProofWork* pw, std::span<const uint8_t, KEY_AREA_SIZE> pubkey,
                std::span<const uint8_t, KEY_AREA_SIZE> privkey) {
    const uint8_t* body = nullptr;
    uint32_t len = 0;
    if (!key_body(pubkey, &body, &len)) return 1;
    for (int c = kN; c <= kE; ++c) {
        pw->chunk[c] = allocfillchunk(body, len, kChunkTags[c], pw->size);
        if (!pw->chunk[c].valid()) return 1;
    }
    if (!key_body(privkey, &body, &len)) return 1;
    for (int c = kP; c < kChunks; ++c) {
        pw->chunk[c] = allocfillchunk(body, len, kChunkTags[c], pw->size);
        if (!pw->chunk[c].valid()) return 1;
    }
    if (countbits(pw->num(kP)) < MP_MIN_MODULUS_BITS || countbits(pw->num(kQ)) < MP_MIN_MODULUS_BITS)
        return 1;
    return 0;
}

// S = H^d mod N by the Chinese remainder theorem, with every operand reduced
// below its modulus first, so that the result is right whichever prime is
// larger.
int sign(ProofWork* pw) {
    reduce(pw->slot(sHP), pw->slot(sH), pw->num(kP));
    reduce(pw->slot(sHQ), pw->slot(sH), pw->num(kQ));
    if (mp_modexp(pw->slot(sM1), pw->slot(sHP), pw->num(kDP), pw->num(kP)) != 0) return 1;
    if (mp_modexp(pw->slot(sM2), pw->slot(sHQ), pw->num(kDQ), pw->num(kQ)) != 0) return 1;

    // t = (m1 - m2) mod P, kept in [0, P).
    reduce(pw->slot(sTmp), pw->slot(sM2), pw->num(kP));
    std::memcpy(pw->slot(sT), pw->slot(sM1), pw->size);
    if (mp_subb(pw->slot(sT), pw->slot(sTmp), 0) != 0) mp_addc(pw->slot(sT), pw->num(kP), 0);
    reduce(pw->slot(sCR), pw->num(kCR), pw->num(kP));

    stage_smith_modulus(pw->num(kP));
    smith_modmult(pw->slot(sT), pw->slot(sT), pw->slot(sCR));
    smith_burn();

    mp_mult(pw->slot(sS), pw->slot(sT), pw->num(kQ));
    mp_addc(pw->slot(sS), pw->slot(sM2), 0);
    for (Slot s : {sHP, sHQ, sM1, sM2, sT, sTmp, sCR}) pw->clear(s);
    return 0;
}

// r = random below N, as the protocol draws it; X = r^E mod N.
int commit(ProofWork* pw, const ProofSizes& sz, Slot r, uint8_t* x_out) {
    auto* bytes = reinterpret_cast<uint8_t*>(pw->slot(r));
    std::memset(bytes, 0, sz.size);
    if (fillrandom(bytes, sz.significant) != 0) return 1;
    bytes[sz.significant - 1] &= sz.top_mask;

    const int cmp = mp_compare(pw->slot(r), pw->num(kN));
    if (cmp == 0) {
        mp_dec(pw->slot(r));
    } else if (cmp > 0) {
        mp_subb(pw->slot(r), pw->num(kN), 0);
        mp_neg(pw->slot(r));
        mp_addc(pw->slot(r), pw->num(kN), 0);
    }
    if (mp_modexp(pw->slot(sY), pw->slot(r), pw->num(kE), pw->num(kN)) != 0) return 1;
    std::memcpy(x_out, pw->slot(sY), sz.size);
    return 0;
}

// Y = S^w * r mod N.
int respond(ProofWork* pw, const ProofSizes& sz, Slot r, MpUnit w, uint8_t* y_out) {
    mp_init(pw->slot(sW), w);
    if (mp_modexp(pw->slot(sY), pw->slot(sS), pw->slot(sW), pw->num(kN)) != 0) return 1;
    stage_smith_modulus(pw->num(kN));
    smith_modmult(pw->slot(sY), pw->slot(sY), pw->slot(r));
    smith_burn();
    std::memcpy(y_out, pw->slot(sY), sz.size);
    pw->clear(sY);
    return 0;
}

// The three commitments, the digest over them, and the three responses.
int prove(ProofWork* pw, const ProofSizes& sz, uint8_t* numbers) {
    const Slot r[kRounds] = {sR0, sR1, sR2};
    for (size_t i = 0; i < kRounds; ++i)
        if (commit(pw, sz, r[i], numbers + i * sz.size) != 0) return 1;

    nwhash2block(pw->hash, numbers, static_cast<int>(kRounds * sz.size));
    nwhash2end(pw->hash);
    for (size_t i = 0; i < kRounds; ++i) {
        const auto wi = static_cast<MpUnit>(pw->hash[2 * i] | (pw->hash[2 * i + 1] << 8));
        if (respond(pw, sz, r[i], wi, numbers + (kRounds + i) * sz.size) != 0) return 1;
    }
    return 0;
}

}  // namespace

ProofSizes proof_sizes(int bits) {
    ProofSizes s;
    s.significant = static_cast<size_t>(bits + 7) / 8;
    s.top_mask = bits % 8 == 0 ? 0 : static_cast<uint8_t>(0xFF >> (8 - bits % 8));
    s.size = static_cast<size_t>((bits + 31) & ~15) / 8;
    return s;
}

int gen_auth_data(NWDSBuf* proof, std::span<const uint8_t, KEY_AREA_SIZE> pubkey,
                  std::span<const uint8_t, KEY_AREA_SIZE> privkey, std::span<const uint8_t, 4> nonce,
                  const uint8_t* cred, size_t credlen) {
    const uint8_t* body = nullptr;
    uint32_t len = 0;
    if (!key_body(pubkey, &body, &len)) return 1;
    const uint8_t* nn = nullptr;
    const uint32_t nn_len = findchunk(body, static_cast<int32_t>(len), "NN", &nn);
    if (nn == nullptr || nn_len == 0) return 1;
    const int bits = countbits_l(nn, nn_len);
    if (bits < MP_MIN_MODULUS_BITS || bits > AUTH_MAX_MODULUS_BITS) return 1;
    if (credlen > 0xFFFF) return 1;
    const ProofSizes sz = proof_sizes(bits);
    const MpPrecision width(static_cast<int>(sz.size / 2));

    ProofWork pw;
    pw.size = sz.size;
    if (load_chunks(&pw, pubkey, privkey) != 0) return 1;
    pw.work = rt::WipedBlock(kSlots * sz.size);
    if (!pw.work.valid()) return 1;

    // H: the digest of the credential, zero-extended to the working width.
    nwhash2block(pw.hash, cred, static_cast<int>(credlen));
    nwhash2end(pw.hash);
    copyfill(pw.slot(sH), sz.size, pw.hash, 16);
    rt::wipe(pw.hash, sizeof pw.hash);

    // The challenge digest stays open until the commitments are in.
    uint8_t head[kChallengeHead];
    rt::Writer hw{std::span<uint8_t>(head)};
    hw.le32(0);
    hw.le32(kChallengeVerb);
    hw.bytes(nonce.data(), nonce.size());
    hw.le32(static_cast<uint32_t>(credlen));
    nwhash2block(pw.hash, head, sizeof head);
    nwhash2block(pw.hash, cred, static_cast<int>(credlen));

    if (sign(&pw) != 0) return 1;

    // The proof is built in place at the cursor and appended only once it is
    // whole: a failed proof leaves the buffer as it was, its bytes wiped.
    const size_t total = 12 + 6 * sz.size;
    size_t room = 0;
    uint8_t* out = NWDSBufPutPtrLen(proof, &room);
    if (room < total) return 1;
    rt::Writer w(std::span<uint8_t>(out, total));
    w.le32(1);
    w.le32(0x00100008);
    w.le16(kRounds);
    w.le16(static_cast<uint16_t>(kRounds * sz.size));
    uint8_t* numbers = w.reserve(6 * sz.size);
    if (!w.ok()) return 1;
    std::memset(numbers, 0, 6 * sz.size);

    if (prove(&pw, sz, numbers) != 0) {
        rt::wipe(out, total);
        return 1;
    }
    return NWDSBufPutPtr(proof, total) != nullptr ? 0 : 1;
}
