// The request buffer's readers over a hostile reply: the first bytes choose
// a run of reads, the rest is the reply, held in storage of exactly its size.
#include <cstdint>
#include <cstring>
#include <memory>

#include "ncpclient/ncpclient.h"
#include "runtime/cursor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    rt::Reader in(std::span<const uint8_t>(data, size));
    uint8_t nops = in.u8() % 16;
    auto ops = in.bytes(nops);
    if (!in.ok()) return 0;
    size_t n = in.left();
    auto storage = std::make_unique<uint8_t[]>(n + 1);
    if (n != 0) std::memcpy(storage.get(), in.bytes(n).data(), n);
    NWDSBuf b;
    NWDSBufSetup(&b, storage.get(), n);
    for (uint8_t op : ops) {
        switch (op % 7) {
            case 0: {
                size_t dsize = op / 7;  // 0..36, exact-size destination
                auto dest = std::make_unique<char[]>(dsize + 1);
                NWDSBufGetNWUNI(&b, dsize != 0 ? dest.get() : nullptr, dsize);
                if (dsize != 0 && strnlen(dest.get(), dsize) >= dsize) __builtin_trap();
                break;
            }
            case 1: NWDSBufGet16(&b); break;
            case 2: NWDSBufGet32(&b); break;
            case 3: {
                uint8_t out[64];
                NWDSBufGet(&b, out, op % 64);
                break;
            }
            case 4: {
                const uint8_t* p = NWDSBufGetPtr(&b, op);
                if (p != nullptr && op != 0) {
                    volatile uint8_t last = p[op - 1];
                    (void)last;
                }
                break;
            }
            case 5: NWDSBufSkip(&b, op); break;
            case 6: {
                // Compose over the same storage: a name cut from the input.
                char name[40] = {};
                std::memcpy(name, storage.get(), n < sizeof name - 1 ? n : sizeof name - 1);
                NWDSBufPutNWUNI(&b, name);
                break;
            }
        }
        if (b.cursor > b.limit || b.cursor < b.data) __builtin_trap();
    }
    return 0;
}
