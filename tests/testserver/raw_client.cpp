#include "raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

#include "runtime/bytes.h"

RawClient::~RawClient() { close(); }

void RawClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool RawClient::connect(uint16_t port) {
    close();
    seq = 0;
    conn_ = 0xFFFF;
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) return false;
    timeval tv{20, 0};  // generous: only there so that a broken server cannot hang the test
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool RawClient::send_bytes(std::span<const uint8_t> bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

static bool read_exact(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t got = ::recv(fd, p, n, 0);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool RawClient::read_reply(NcpReply& out) {
    uint8_t head[16];
    if (!read_exact(fd_, head, 16) || std::memcmp(head, "tNcP", 4) != 0) return false;
    const uint32_t len = rt::load_be32(head + 4);
    if (len < 16 || rt::load_be16(head + 8) != 0x3333) return false;
    out.seq = head[10];
    out.conn = static_cast<uint16_t>(head[11] | (head[13] << 8));
    out.completion = head[14];
    out.data.assign(len - 16, 0);
    return read_exact(fd_, out.data.data(), out.data.size());
}

bool RawClient::call(uint16_t type, std::span<const uint8_t> data, NcpReply& out) {
    std::vector<uint8_t> p(22 + data.size());
    std::memcpy(p.data(), "DmdT", 4);
    rt::store_be32(p.data() + 4, static_cast<uint32_t>(p.size()));
    rt::store_be32(p.data() + 8, 1);
    rt::store_be32(p.data() + 12, 0);
    rt::store_be16(p.data() + 16, type);
    p[18] = seq++;
    p[19] = static_cast<uint8_t>(conn_ & 0xFF);
    p[20] = 1;
    p[21] = static_cast<uint8_t>(conn_ >> 8);
    if (!data.empty()) std::memcpy(p.data() + 22, data.data(), data.size());
    return send_bytes(p) && read_reply(out);
}

bool RawClient::create() {
    const uint8_t zero = 0;
    NcpReply r;
    if (!call(0x1111, std::span<const uint8_t>(&zero, 1), r) || r.completion != 0 || !r.data.empty()) return false;
    conn_ = r.conn;
    return true;
}

bool RawClient::nds(uint32_t verb, std::span<const uint8_t> request, uint32_t reply_size,
                    std::vector<uint8_t>& reply, int* fragments) {
    reply.clear();
    uint32_t handle = 0xFFFFFFFF;
    size_t sent = 0;
    int exchanges = 0;
    while (true) {
        std::vector<uint8_t> f = {0x68, 0x02, 0, 0, 0, 0};
        rt::store_le32(f.data() + 2, handle);
        size_t room = 4090;
        if (handle == 0xFFFFFFFF) {
            NdsReq head;
            head.u32(4084).u32(static_cast<uint32_t>(request.size() + 12)).u32(0).u32(verb).u32(reply_size);
            f.insert(f.end(), head.b.begin(), head.b.end());
            room = 4070;
        }
        const size_t k = std::min(room, request.size() - sent);
        f.insert(f.end(), request.begin() + static_cast<std::ptrdiff_t>(sent),
                 request.begin() + static_cast<std::ptrdiff_t>(sent + k));
        sent += k;
        NcpReply r;
        if (!call(0x2222, f, r) || r.completion != 0 || r.data.size() < 8) return false;
        ++exchanges;
        const uint32_t size = le32_at(r.data, 0);
        if (size < 4 || size + 4 != r.data.size()) return false;
        handle = le32_at(r.data, 4);
        reply.insert(reply.end(), r.data.begin() + 8, r.data.end());
        if (handle == 0xFFFFFFFF) break;
    }
    if (fragments != nullptr) *fragments = exchanges;
    return sent == request.size();
}

NdsReq& NdsReq::u32(uint32_t v) {
    uint8_t x[4];
    rt::store_le32(x, v);
    b.insert(b.end(), x, x + 4);
    return *this;
}

NdsReq& NdsReq::bytes(std::span<const uint8_t> v) {
    u32(static_cast<uint32_t>(v.size()));
    b.insert(b.end(), v.begin(), v.end());
    while (b.size() % 4 != 0) b.push_back(0);
    return *this;
}

NdsReq& NdsReq::text(const std::string& latin1) {
    std::vector<uint8_t> units;
    for (char c : latin1) {
        units.push_back(static_cast<uint8_t>(c));
        units.push_back(0);
    }
    units.push_back(0);
    units.push_back(0);
    return bytes(units);
}

uint32_t le32_at(const std::vector<uint8_t>& b, size_t at) {
    return at + 4 <= b.size() ? rt::load_le32(b.data() + at) : 0xDEADBEEF;
}

uint32_t resolve_code(RawClient& c, const std::string& name, uint32_t* id) {
    NdsReq q;
    q.u32(0).u32(0x2062).u32(0).text(name).u32(1).u32(9).u32(1).u32(9);
    std::vector<uint8_t> reply;
    if (!c.nds(1, q.b, 128, reply)) return 0xDEADBEEF;
    if (id != nullptr) *id = le32_at(reply, 8);
    return le32_at(reply, 0);
}

uint32_t read_values(RawClient& c, uint32_t id, const std::string& attr, uint32_t reply_size,
                     std::vector<std::vector<uint8_t>>& values) {
    NdsReq q;
    q.u32(0).u32(0xFFFFFFFF).u32(id).u32(1).u32(0).u32(1).text(attr);
    std::vector<uint8_t> reply;
    values.clear();
    if (!c.nds(3, q.b, reply_size, reply)) return 0xDEADBEEF;
    const uint32_t code = le32_at(reply, 0);
    if (code != 0) return code;
    // iteration handle, information type, attribute count, syntax, name, value count
    if (le32_at(reply, 8) != 1 || le32_at(reply, 12) != 1) return 0xBADBAD;
    size_t at = 20 + 4 + rt::pad4(le32_at(reply, 20));
    uint32_t n = le32_at(reply, at);
    at += 4;
    while (n-- > 0) {
        const uint32_t len = le32_at(reply, at);
        if (at + 4 + len > reply.size()) return 0xBADBAD;
        values.emplace_back(reply.begin() + static_cast<std::ptrdiff_t>(at + 4),
                            reply.begin() + static_cast<std::ptrdiff_t>(at + 4 + len));
        at += 4 + rt::pad4(len);
    }
    return 0;
}

std::string units_text(const std::vector<uint8_t>& value) {
    std::string s;
    for (size_t i = 0; i + 1 < value.size(); i += 2) {
        const uint16_t u = rt::load_le16(value.data() + i);
        if (u == 0) { if (i + 2 != value.size()) s += "<early zero>"; return s; }
        s += u > 0xFF ? '?' : static_cast<char>(u);
    }
    return s + "<no zero unit>";
}
