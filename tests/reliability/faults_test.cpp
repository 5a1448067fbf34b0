// Faults of the server during a stream of requests: the server killed and
// started again on its port, the server hanging. Every request gets exactly
// one reply, in order (lines without a blank, answered without the server,
// mark the places in the stream); a member is never reported for a
// non-member; the helper recovers once the server serves again; and it
// holds as many descriptors at the end as at the start. (How long a request
// may wait on a server that stops answering: the front end's tests.)
#include <gtest/gtest.h>

#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "end_to_end.h"
#include "harness.h"

namespace {

constexpr int kReplyWaitS = 30;
constexpr int kBackoffMaxS = 60;

class Faults : public EndToEnd {
protected:
    std::string config(uint16_t port) const {
        return helper_config(port, "SearchUser " + w.search_user + "\nSearchPass " + w.search_password +
                                       "\nTimeout 1\n");
    }

    // Checks one reply of the stream: exact for lines without a blank and
    // for non-members, "OK" or "ERR" for members (exact when strict).
    ::testing::AssertionResult check(const rel::Request& r, const std::optional<std::string>& reply, bool strict) {
        const long index = this->index++;
        if (!reply) return ::testing::AssertionFailure() << "no reply to request " << index << " '" << r.line << "'";
        if (r.kind == rel::Kind::Member && *reply == "OK\n") ++members_ok;
        if (*reply == r.expected + "\n" || (!strict && r.kind == rel::Kind::Member && *reply == "ERR\n"))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "request " << index << " '" << r.line << "': got '" << *reply
                                             << "', want '" << r.expected << "'";
    }
    ::testing::AssertionResult ask(bool strict) {
        const rel::Request r = requests.next();
        if (!helper->send(r.line)) return ::testing::AssertionFailure() << "the helper stopped reading";
        return check(r, helper->reply(kReplyWaitS), strict);
    }
    // Member requests until one is answered "OK": the helper is connected and
    // logged in again. Requests are answered at once while the server backs
    // off after its failures (a minute at most), so they are asked every 50 ms.
    ::testing::AssertionResult recover() {
        const int64_t end = rel::now_ms() + (kBackoffMaxS + 10) * 1000;
        while (rel::now_ms() < end) {
            const long before = members_ok;
            auto ok = ask(false);
            if (!ok) return ok;
            if (members_ok > before) return ::testing::AssertionSuccess();
            usleep(50 * 1000);
        }
        return ::testing::AssertionFailure() << "no member answered OK after the fault ended";
    }

    rel::Workload w = rel::make_workload(8, 6, 3);
    rel::RequestStream requests{w, 11, 0, 3};
    long index = 0;
    long members_ok = 0;
};

// Each time, the server is killed after 50 requests have been written ahead
// of their replies and started again after 30 more, wherever the helper has
// got to by then; once it serves, the helper logs in to it once.
TEST_F(Faults, ServerKilledAndRestartedRepeatedly) {
    ServerProcess& server = serve(w.directory);
    HelperProcess& h = start(config(server.port()));
    ASSERT_TRUE(ask(true));
    const int fds = h.open_descriptors();

    for (int cycle = 0; cycle < 6; ++cycle) {
        SCOPED_TRACE(cycle);
        std::vector<rel::Request> sent;
        const auto send_some = [&](int n) {
            for (int i = 0; i < n; ++i) {
                sent.push_back(requests.next());
                if (!h.send(sent.back().line)) return false;
            }
            return true;
        };
        ASSERT_TRUE(send_some(50));
        server.kill_hard();
        ASSERT_TRUE(send_some(30));
        ASSERT_TRUE(server.restart()) << "the server could not listen on its port again";
        ASSERT_TRUE(send_some(50));
        for (const rel::Request& r : sent) ASSERT_TRUE(check(r, h.reply(kReplyWaitS), false));
        ASSERT_TRUE(recover());
        for (int i = 0; i < 6; ++i) ASSERT_TRUE(ask(true));
        EXPECT_EQ(server.sent().logins(), 1u);
    }
    EXPECT_EQ(h.open_descriptors(), fds);
    finish();
}

// The server hangs, first once: the first connection to get past its 16th
// request gets no more answers (that request is the ping after a negative
// answer), and after that one time-out a new connection serves again. Then,
// started again, it hangs in the middle of every login. The dead sockets are
// not kept.
TEST_F(Faults, ServerHangsInACheckThenInEveryLogin) {
    ServerProcess& server = serve(w.directory, {"--hang-after", "16", "--fault-once"});
    HelperProcess& h = start(config(server.port()));
    ASSERT_TRUE(recover());
    const int fds = h.open_descriptors();
    for (int i = 0; i < 12; ++i) ASSERT_TRUE(ask(false));
    ASSERT_TRUE(recover());
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(ask(true));
    EXPECT_EQ(h.open_descriptors(), fds);
    EXPECT_EQ(server.sent().unanswered(), 1u);

    ASSERT_TRUE(server.restart(std::vector<std::string>{"--hang-after", "7"}));
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(ask(false));
    EXPECT_LE(h.open_descriptors(), fds);
    EXPECT_GT(server.sent().unanswered(), 0u);
    EXPECT_EQ(server.sent().unanswered(), server.sent().connections());  // once in each login

    ASSERT_TRUE(server.restart(std::vector<std::string>{}));
    ASSERT_TRUE(recover());
    EXPECT_EQ(h.open_descriptors(), fds);
    finish();
}

}  // namespace
