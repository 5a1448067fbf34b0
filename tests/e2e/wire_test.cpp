// An outside witness of the wire format: the helper's traffic with the test
// server is captured on the loopback interface and decoded by Wireshark's
// NCP dissector, which knows NCP and NDS from real NetWare traffic. Every
// packet the helper sends must decode cleanly and name the operation meant.
//
// Only the helper's packets are judged: the test server's reply to the
// server-address verb carries the server's name and nothing after it (all the
// helper reads), where the dissector expects the address records that real
// servers append, so it marks that reply malformed.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <thread>

#include "directories.h"
#include "runtime/fd.h"

namespace {

// dumpcap on lo for one TCP port, writing to a file until stopped.
class Capture {
public:
    Capture(const std::string& dir, uint16_t port) : file_(dir + "/capture.pcapng"), err_(dir + "/dumpcap.err") {
        pid_ = fork();
        if (pid_ == 0) {
            // Written to standard output, dumpcap flushes after every packet.
            if (!freopen(err_.c_str(), "w", stderr) || !freopen(file_.c_str(), "w", stdout)) _exit(127);
            const std::string filter = "tcp port " + std::to_string(port);
            execlp("dumpcap", "dumpcap", "-q", "-i", "lo", "-f", filter.c_str(), "-w", "-",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Capture() { stop(); }
    // Waits until dumpcap has written everything sent to the port so far.
    // It may report that it captures before its filter is live, and the
    // kernel hands it packets in blocks; so empty TCP connections are made to
    // the port until the capture file grows (or a minute has passed). Blocks
    // come in order: once a knock is in the file, so is what came before.
    bool sync(uint16_t port) {
        struct stat st {};
        const off_t start = stat(file_.c_str(), &st) == 0 ? st.st_size : 0;
        for (int i = 0; i < 600; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            if (stat(file_.c_str(), &st) == 0 && st.st_size > start && (start > 0 || i > 0)) {
                if (start > 0) return true;
                return sync(port);  // the first growth may be the file head alone
            }
            knock(port);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGINT);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    const std::string& file() const { return file_; }
    std::string errors() const { return read_file(err_); }

private:
    static void knock(uint16_t port) {
        rt::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd.get() < 0) return;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        (void)connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    }

    std::string file_, err_;
    pid_t pid_ = -1;
};

struct Packet {
    std::string frame, type, function, subfunction, verb, malformed, info;
};

// The helper's packets (towards the server port) as tshark decodes them.
std::vector<Packet> decode(const std::string& file, uint16_t port, const std::string& dir) {
    const std::string p = std::to_string(port);
    const std::string out = dir + "/decoded.txt";
    const std::string cmd = "tshark -r '" + file + "' -d tcp.port==" + p + ",ncp -Y 'tcp.dstport==" + p +
                            " && tcp.len > 0' -T fields -E separator='|' -e frame.number -e ncp.type"
                            " -e ncp.func -e ncp.subfunc -e ncp.ndsverb -e _ws.malformed -e _ws.col.Info > '" +
                            out + "' 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) {
        ADD_FAILURE() << "tshark failed: " << cmd;
        return {};
    }
    std::vector<Packet> packets;
    std::istringstream in(read_file(out));
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string x; std::getline(fields, x, '|');) f.push_back(x);
        f.resize(7);
        packets.push_back({f[0], f[1], f[2], f[3], f[4], f[5], f[6]});
    }
    return packets;
}

// What each of the helper's requests must be decoded as.
std::string operation(const Packet& p) {
    if (p.type == "0x1111") return "create connection";
    if (p.type != "0x2222") return "type " + p.type;
    if (p.function == "0x68" && p.subfunction == "1") return "NDS ping";
    if (p.function == "0x17" && p.subfunction == "29") return "change connection state";
    if (p.function != "0x68" || p.subfunction != "2") return "function " + p.function + "/" + p.subfunction;
    static const std::map<std::string, std::string> verbs = {
        {"0x01", "resolve name"},       {"0x03", "read"},
        {"0x35", "server address"},     {"0x39", "begin login"},
        {"0x3a", "finish login"},       {"0x3b", "begin authentication"},
        {"0x3c", "finish authentication"}};
    auto it = verbs.find(p.verb);
    return it == verbs.end() ? "verb " + p.verb : it->second;
}

class Wire : public EndToEnd {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "capturing on lo needs root";
        if (std::system("command -v dumpcap >/dev/null 2>&1 && command -v tshark >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "dumpcap or tshark is not installed";
    }

    // Runs the helper with config over a captured port and checks each of
    // its packets; returns the operations seen, in order.
    std::vector<std::string> witness(bool login) {
        ServerProcess& server = serve(e2e_directory(!login));
        Capture capture(dir_.path(), server.port());
        if (!capture.sync(server.port())) {
            ADD_FAILURE() << "dumpcap did not start: " << capture.errors();
            return {};
        }
        start(login ? search_user_config(server.port()) : helper_config(server.port()));
        EXPECT_EQ(helper->ask("alice.sales.acme staff.sales.acme"), "OK\n");
        EXPECT_EQ(helper->ask("bob.acme all.acme"), "ERR\n");  // and a ping after it
        finish();
        EXPECT_TRUE(capture.sync(server.port())) << capture.errors();
        server.stop();
        capture.stop();

        const std::vector<Packet> packets = decode(capture.file(), server.port(), dir_.path());
        // Every request the server took is one decoded packet of the helper.
        EXPECT_EQ(packets.size(), server.sent().round_trips());
        std::vector<std::string> ops;
        for (const Packet& p : packets) {
            EXPECT_TRUE(p.malformed.empty()) << "frame " << p.frame << ": " << p.info;
            EXPECT_EQ(p.info.find("Malformed"), std::string::npos) << "frame " << p.frame << ": " << p.info;
            ops.push_back(operation(p));
        }
        return ops;
    }

    TempDir dir_;
};

TEST_F(Wire, AnonymousRequestsDecodeAsTheOperationsMeant) {
    const std::vector<std::string> ops = witness(false);
    EXPECT_EQ(ops, (std::vector<std::string>{"create connection", "NDS ping", "server address",
                                             "resolve name", "read", "resolve name", "read",
                                             "resolve name", "read", "NDS ping"}));
}

TEST_F(Wire, LoginRequestsDecodeAsTheOperationsMeant) {
    const std::vector<std::string> ops = witness(true);
    EXPECT_EQ(ops, (std::vector<std::string>{"create connection", "NDS ping", "server address",
                                             "resolve name", "read", "resolve name", "begin login",
                                             "finish login", "read", "begin authentication",
                                             "finish authentication", "change connection state",
                                             "resolve name", "read", "resolve name", "read",
                                             "NDS ping"}));
}

}  // namespace
