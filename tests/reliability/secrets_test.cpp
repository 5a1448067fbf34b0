// Secrets of the search user: the password never reaches the log or the
// replies, and once a login has been used for the authentication neither the
// user's private key (its prime chunks as the server handed them out) nor the
// password hash is left anywhere in the helper's writable memory. The
// configured password itself stays: every reconnect needs it.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <sstream>
#include <string>

#include "end_to_end.h"
#include "harness.h"
#include "nwcrypto/nwcrypto.h"

namespace {

const std::string kPassword = "Pw-q81Zx-lemon";

std::string directory() {
    return "tree CORP_TREE\nserver CN=NW1.O=corp\ngroup-read logged-in\n"
           "user CN=search.O=corp\npassword " + kPassword + "\n"
           "user CN=amy.O=corp\nmember CN=staff.O=corp\n";
}

std::string config(uint16_t port, const std::string& password) {
    return helper_config(port, "SearchUser search.corp\nSearchPass " + password + "\nDebug Yes\nTimeout 5\n");
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The requests that take the helper through every path that logs: a member,
// a non-member, a line without a blank, an unknown user, a name too long to
// be asked for, a user whose resolve fails (which drops the connection and
// logs in again), a name with a control character.
std::string run_requests(HelperProcess& h) {
    std::string out;
    const std::string too_long = std::string(200, 'g') + ".corp staff.corp";
    for (const std::string& line :
         {std::string("amy.corp staff.corp"), std::string("amy.corp other.corp"), std::string("amy.corp"),
          std::string("ghost.corp staff.corp"), too_long, std::string(rel::kFailingUser) + " staff.corp",
          std::string("amy.corp staff.corp"), std::string("amy\x01.corp x")})
        out += h.ask(line);
    return out;
}

void expect_no_password(const std::string& where, const std::string& text, const std::string& password) {
    EXPECT_EQ(text.find(password), std::string::npos) << "password in " << where;
    EXPECT_EQ(text.find(upper(password)), std::string::npos) << "upper-cased password in " << where;
}

using Secrets = EndToEnd;

// (A wrong password: the end-to-end login tests.)
TEST_F(Secrets, PasswordNeverInLogOrOutput) {
    ServerProcess& server = serve(directory(), {"--fail-resolve", rel::kFailingResolve});
    HelperProcess& h = start(config(server.port(), kPassword));
    const std::string out = run_requests(h);
    EXPECT_EQ(out, "OK\nERR\nERR Invalid string\nERR\nERR\nERR\nOK\nERR\n");
    finish();
    const std::string log = h.log();
    // The log did record the session, with the reconnect.
    EXPECT_NE(log.find("wrenacl started."), std::string::npos);
    EXPECT_NE(log.find("nds ping failed. reconnecting."), std::string::npos);
    expect_no_password("the log", log, kPassword);
    expect_no_password("the replies", out, kPassword);
    expect_no_password("standard error", h.standard_error(), kPassword);
}

// The secrets of the search user, as bytes to look for.
struct SecretBytes {
    std::map<std::string, std::vector<uint8_t>> parts;  // PN, QN, DP, DQ, CR, HASH
};

SecretBytes load_secrets(const std::string& dump, const std::string& dn, const std::string& password) {
    SecretBytes s;
    std::istringstream in(dump);
    std::string line;
    while (std::getline(in, line)) {
        const size_t t1 = line.find('\t');
        const size_t t2 = line.find('\t', t1 + 1);
        if (t1 == std::string::npos || t2 == std::string::npos || line.substr(0, t1) != dn) continue;
        s.parts[line.substr(t1 + 1, t2 - t1 - 1)] = rel::from_hex(line.substr(t2 + 1));
    }
    const auto salt = s.parts.find("SALT");
    if (salt != s.parts.end() && salt->second.size() == 4) {
        const std::string pw = upper(password);
        std::vector<uint8_t> hash(16);
        shuffle(std::span<const uint8_t>(salt->second).first<4>(), reinterpret_cast<const uint8_t*>(pw.data()),
                static_cast<int>(pw.size()), std::span<uint8_t>(hash).first<16>());
        s.parts["HASH"] = hash;
        s.parts.erase(salt);
    }
    return s;
}

// Every 16-byte piece of a secret (at 8-byte steps) and the whole: a copy
// of a part of it counts as well.
std::vector<std::vector<uint8_t>> pieces(const std::vector<uint8_t>& secret) {
    std::vector<std::vector<uint8_t>> out{secret};
    for (size_t at = 0; at + 16 <= secret.size(); at += 8)
        out.emplace_back(secret.begin() + static_cast<long>(at), secret.begin() + static_cast<long>(at + 16));
    return out;
}

// Names of the secrets found in the helper's memory, with their count.
std::string find_secrets(pid_t pid, const SecretBytes& s, bool* readable) {
    std::vector<std::vector<uint8_t>> regions;
    *readable = rel::read_writable_memory(pid, regions);
    std::string found;
    for (const auto& [tag, bytes] : s.parts) {
        size_t hits = 0;
        for (const auto& piece : pieces(bytes)) hits += rel::count_occurrences(regions, piece);
        if (hits != 0) found += tag + "x" + std::to_string(hits) + " ";
    }
    return found;
}

TEST_F(Secrets, PrivateKeyAndPasswordHashGoneFromMemoryAfterUse) {
    TempDir tmp;
    const std::string dump = tmp.file("keys.txt");
    ServerProcess& server = serve(directory(), {"--dump-keys", dump, "--fail-resolve", rel::kFailingResolve});
    const SecretBytes secrets = load_secrets(read_file(dump), "CN=search.O=corp", kPassword);
    for (const char* tag : {"PN", "QN", "DP", "DQ", "CR", "HASH"})
        ASSERT_EQ(secrets.parts.count(tag), 1u) << tag << " missing from the key dump";

    HelperProcess& h = start(config(server.port(), kPassword));
    ASSERT_EQ(h.ask("amy.corp staff.corp"), "OK\n");

    // The scan can see the helper's data: the configured password is there.
    std::vector<std::vector<uint8_t>> regions;
    if (!rel::read_writable_memory(h.pid(), regions)) GTEST_SKIP() << "no rights to read the helper's memory";
    ASSERT_GT(rel::count_occurrences(regions, std::vector<uint8_t>(kPassword.begin(), kPassword.end())), 0u);

    bool readable = false;
    EXPECT_EQ(find_secrets(h.pid(), secrets, &readable), "") << "after the first login";
    ASSERT_TRUE(readable);

    // A failed resolve drops the connection; the reconnect logs in again.
    ASSERT_EQ(h.ask(std::string(rel::kFailingUser) + " staff.corp"), "ERR\n");
    ASSERT_EQ(h.ask("amy.corp staff.corp"), "OK\n");
    ASSERT_EQ(server.sent().logins(), 2u);
    EXPECT_EQ(find_secrets(h.pid(), secrets, &readable), "") << "after a reconnect";
    finish();
}

}  // namespace
