#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <openssl/evp.h>

namespace tt {

Bytes fromHex(const std::string& hex) {
    Bytes out;
    int hi = -1;
    for (char c : hex) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    return out;
}

std::string toHex(const uint8_t* data, size_t len) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(len * 2);
    for (size_t i = 0; i < len; ++i) {
        s.push_back(digits[data[i] >> 4]);
        s.push_back(digits[data[i] & 15]);
    }
    return s;
}

Bytes randomBytes(std::mt19937_64& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

Bytes readFile(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + p.string());
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

void writeFile(const std::filesystem::path& p, const Bytes& data) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!f) throw std::runtime_error("cannot write " + p.string());
}

void writeFile(const std::filesystem::path& p, const std::string& text) {
    writeFile(p, Bytes(text.begin(), text.end()));
}

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tmdtest.XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

RunResult run(const std::vector<std::string>& argv, const std::filesystem::path& cwd,
              const std::vector<std::string>& env, const std::string& stdinText) {
    int outPipe[2], errPipe[2], inPipe[2];
    if (pipe(outPipe) || pipe(errPipe) || pipe(inPipe)) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1], inPipe[0], inPipe[1]})
            close(fd);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        for (const auto& e : env) {
            auto eq = e.find('=');
            if (eq == std::string::npos) unsetenv(e.c_str());
            else setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
        }
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    close(inPipe[0]);
    if (!stdinText.empty()) {
        ssize_t w = write(inPipe[1], stdinText.data(), stdinText.size());
        (void)w;
    }
    close(inPipe[1]);
    RunResult r;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    char buf[65536];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            }
        }
    }
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

Bytes opensslSha1(const Bytes& data) {
    Bytes d(20);
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), d.data(), &len, EVP_sha1(), nullptr);
    return d;
}

std::string pythonPath() { return TMD_PYTHON; }
std::string vectorsDir() {
    return std::filesystem::exists(TMD_VECTORS_DIR) ? TMD_VECTORS_DIR
                                                    : TMD_TEST_DATA_DIR "/vectors";
}
std::filesystem::path sharedTestKeys() {
    const char* dir = std::getenv("TMD_TEST_KEYS");
    return dir && *dir ? std::filesystem::path(dir) : std::filesystem::path();
}
std::string binDir() { return TMD_BIN_DIR; }
std::string scriptsDir() { return TMD_SCRIPTS_DIR; }

Bytes contentIv(uint16_t index) {
    Bytes iv(16, 0);
    iv[0] = static_cast<uint8_t>(index >> 8);
    iv[1] = static_cast<uint8_t>(index);
    return iv;
}

Bytes zeroPadded(Bytes b) {
    b.resize((b.size() + 15) / 16 * 16, 0);
    return b;
}

std::vector<std::string> pythonScriptLines(const std::string& script, const std::string& input) {
    const RunResult res = run({pythonPath(), scriptsDir() + "/" + script}, ".", {}, input);
    EXPECT_EQ(res.status, 0) << script << ": " << res.err;
    std::vector<std::string> lines;
    std::istringstream in(res.out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool vectorsRequired() {
    const char* v = std::getenv("TMD_REQUIRE_VECTORS");
    return v && std::string(v) == "1";
}

}  // namespace tt
