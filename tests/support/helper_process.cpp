#include "helper_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

long long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool looks_like_stamp(const std::string& l) {
    // "DD.MM.YYYY HH:MM:SS " is 20 characters.
    return l.size() >= 20 && l[2] == '.' && l[5] == '.' && l[10] == ' ' && l[13] == ':' &&
           l[16] == ':' && l[19] == ' ';
}

}  // namespace

HelperProcess::HelperProcess(const std::optional<std::string>& config, const HelperOptions& options) {
    if (config) write_file(dir_.file("wrenacl.conf"), *config);
    int in[2] = {-1, -1}, out[2];
    if (options.input) {
        write_file(dir_.file("stdin"), *options.input);
        in[0] = open(dir_.file("stdin").c_str(), O_RDONLY | O_CLOEXEC);
    } else if (pipe2(in, O_CLOEXEC) != 0) {
        return;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        if (in[1] >= 0) close(in[1]);
        return;
    }
    const int err = open(dir_.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::vector<std::string> args = {"wrenacl", dir_.file("wrenacl")};
    if (options.argument) args[1] = *options.argument;
    if (!options.invoked_as.empty()) args = {dir_.file(options.invoked_as)};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        signal(SIGPIPE, SIG_DFL);  // the helper has to deal with it itself
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        if (err >= 0) dup2(err, STDERR_FILENO);
        execv(WRENACL_BINARY, argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (err >= 0) close(err);
    in_ = in[1];
    out_ = out[0];
    if (pid_ < 0) {
        close_input();
        close_output();
    }
}

HelperProcess::~HelperProcess() {
    close_input();
    wait(30);
    close_output();
}

bool HelperProcess::send(const std::string& line) {
    if (in_ < 0) return false;
    // A helper that exited must fail the test, not kill it with SIGPIPE.
    static const bool ignored = [] { signal(SIGPIPE, SIG_IGN); return true; }();
    (void)ignored;
    const std::string data = line + "\n";
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(in_, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool HelperProcess::read_more(long long deadline) {
    for (;;) {
        const long long left = deadline - now_ms();
        if (out_ < 0 || left <= 0) return false;
        pollfd p{out_, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        char buf[4096];
        const ssize_t n = read(out_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        pending_.append(buf, static_cast<size_t>(n));
        return true;
    }
}

std::optional<std::string> HelperProcess::reply(int timeout_s) {
    const long long deadline = now_ms() + timeout_s * 1000LL;
    size_t nl;
    while ((nl = pending_.find('\n')) == std::string::npos) {
        if (!read_more(deadline)) return std::nullopt;
    }
    std::string line = pending_.substr(0, nl + 1);
    pending_.erase(0, nl + 1);
    return line;
}

std::string HelperProcess::ask(const std::string& line, int timeout_s) {
    if (!send(line)) return "";
    return reply(timeout_s).value_or("");
}

std::string HelperProcess::ask_until(const std::string& line, const std::string& want, int timeout_s) {
    const long long end = now_ms() + 1000LL * timeout_s;
    std::string got;
    for (;;) {
        got = ask(line, timeout_s);
        if (got == want || got.empty() || now_ms() >= end) return got;
        usleep(50 * 1000);
    }
}

void HelperProcess::close_input() {
    if (in_ >= 0) close(in_);
    in_ = -1;
}

void HelperProcess::close_output() {
    if (out_ >= 0) close(out_);
    out_ = -1;
}

std::string HelperProcess::rest_of_output(int timeout_s) {
    const long long deadline = now_ms() + timeout_s * 1000LL;
    while (read_more(deadline)) {}
    std::string all;
    all.swap(pending_);
    return all;
}

int HelperProcess::wait(int timeout_s) {
    if (exited_ || pid_ <= 0) return status_;
    const long long deadline = now_ms() + timeout_s * 1000LL;
    int status = 0;
    for (;;) {
        const pid_t got = waitpid(pid_, &status, WNOHANG);
        if (got == pid_) break;
        if (got < 0 && errno != EINTR) return status_;
        if (now_ms() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            exited_ = true;
            status_ = -1;
            return status_;
        }
        usleep(20 * 1000);
    }
    exited_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return status_;
}

int HelperProcess::open_descriptors() const {
    if (pid_ <= 0 || exited_) return -1;
    DIR* d = opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    return n;
}

std::vector<std::string> HelperProcess::log_lines() const { return log_lines_of(log()); }

std::vector<std::string> log_lines_of(const std::string& log) {
    std::vector<std::string> v;
    size_t pos = 0;
    while (pos < log.size()) {
        size_t end = log.find("\r\n", pos);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(pos, end - pos);
        if (looks_like_stamp(line)) line.erase(0, 20);
        v.push_back(line);
        pos = end + 2;
    }
    return v;
}

size_t count_lines(const std::vector<std::string>& lines, const std::string& text) {
    size_t n = 0;
    for (const std::string& l : lines) n += l == text ? 1 : 0;
    return n;
}

std::string helper_config(uint16_t port, const std::string& extra) {
    return "Server 127.0.0.1\nPort " + std::to_string(port) + "\n" + extra;
}
