#include "rpc/node_double.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace qvn::test {
namespace {

constexpr int kStartTimeoutMs = 20000;

[[noreturn]] void die(const std::string& what) {
    throw std::runtime_error("node double: " + what + ": " + std::strerror(errno));
}

std::string env_or(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// tools/ of the source tree this file was compiled from: the last resort
// when neither PYTHONPATH nor QVN_TOOLS says where qvnnode lives.
std::string source_tools_dir() {
    const std::string file = __FILE__;  // .../tests/rpc/node_double.cpp
    const std::size_t tests = file.rfind("/tests/rpc/");
    return tests == std::string::npos ? "tools" : file.substr(0, tests) + "/tools";
}

// The environment for the child, with the tools folder first on PYTHONPATH.
std::vector<std::string> child_environment() {
    std::string pythonpath = env_or("QVN_TOOLS", source_tools_dir());
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        if (variable.rfind("PYTHONPATH=", 0) == 0) {
            pythonpath += ":" + variable.substr(11);
        } else {
            env.push_back(variable);
        }
    }
    env.push_back("PYTHONPATH=" + pythonpath);
    return env;
}

std::string read_line(int fd, int timeout_ms) {
    std::string line;
    char c = 0;
    while (true) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) throw std::runtime_error("node double: no URL line");
        const ssize_t got = ::read(fd, &c, 1);
        if (got <= 0) throw std::runtime_error("node double: exited before printing its URL");
        if (c == '\n') return line;
        line.push_back(c);
    }
}

size_t append(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

std::string post(const std::string& url, const std::string& body, long* status) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(
        curl_slist_append(nullptr, "Content-Type: application/json"), curl_slist_free_all);
    std::string response;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, append);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, 60000L);
    const CURLcode code = curl_easy_perform(curl.get());
    if (code != CURLE_OK) {
        throw std::runtime_error(std::string("node double control: ") + curl_easy_strerror(code));
    }
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, status);
    return response;
}

}  // namespace

NodeDouble::NodeDouble() {
    int in_pipe[2];
    int out_pipe[2];
    if (::pipe2(in_pipe, O_CLOEXEC) != 0) die("pipe");
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) die("pipe");
    stdin_fd = in_pipe[1];
    stdout_fd = out_pipe[0];

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);

    const std::string python = env_or("PYTHON", "python3");
    std::vector<std::string> args = {python, "-m", "qvnnode", "--port", "0", "--exit-on-stdin-eof"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = child_environment();
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    const int rc = posix_spawnp(&pid, python.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    if (rc != 0) {
        errno = rc;
        ::close(stdin_fd);
        ::close(stdout_fd);
        die("cannot start " + python);
    }
    try {
        url_ = read_line(stdout_fd, kStartTimeoutMs);
    } catch (...) {
        stop_process();
        throw;
    }
}

NodeDouble::~NodeDouble() { stop_process(); }

void NodeDouble::stop_process() {
    if (stdin_fd >= 0) ::close(stdin_fd);
    if (stdout_fd >= 0) ::close(stdout_fd);
    stdin_fd = stdout_fd = -1;
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        pid = -1;
    }
}

nlohmann::json NodeDouble::control(const nlohmann::json& command) const {
    long status = 0;
    const std::string body = post(url_ + "control", command.dump(), &status);
    if (status != 200) {
        throw std::runtime_error("node double refused " + command.dump() + ": " + body);
    }
    return nlohmann::json::parse(body);
}

void NodeDouble::set_template(const nlohmann::json& block_template, bool release) const {
    control({{"cmd", "set_template"}, {"template", block_template}, {"release", release}});
}

void NodeDouble::release() const { control({{"cmd", "release"}}); }

void NodeDouble::queue(nlohmann::json rule) const {
    rule["cmd"] = "queue";
    control(rule);
}

void NodeDouble::set_auth(const std::string& user, const std::string& password) const {
    control({{"cmd", "set_auth"}, {"user", user}, {"password", password}});
}

void NodeDouble::set_longpoll_mode(const std::string& mode) const {
    control({{"cmd", "set_longpoll"}, {"mode", mode}});
}

nlohmann::json NodeDouble::requests(nlohmann::json filters) const {
    filters["cmd"] = "requests";
    return control(filters).at("requests");
}

nlohmann::json NodeDouble::wait_requests(std::size_t count, nlohmann::json filters,
                                         int timeout_ms) const {
    filters["cmd"] = "wait_requests";
    filters["count"] = count;
    filters["timeout_ms"] = timeout_ms;
    const nlohmann::json answer = control(filters);
    if (!answer.at("ok").get<bool>()) {
        throw std::runtime_error("node double: timed out waiting for " + filters.dump() +
                                 "; have " + answer.at("requests").dump());
    }
    return answer.at("requests");
}

std::string closed_port_url() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) die("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        die("bind");
    }
    ::close(fd);  // never listened on: connecting is refused
    return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
}

std::string header_value(const nlohmann::json& record, const std::string& name) {
    for (const auto& header : record.at("headers")) {
        const std::string key = header.at(0).get<std::string>();
        if (::strcasecmp(key.c_str(), name.c_str()) == 0) return header.at(1).get<std::string>();
    }
    return "";
}

bool has_header(const nlohmann::json& record, const std::string& name) {
    for (const auto& header : record.at("headers")) {
        if (::strcasecmp(header.at(0).get<std::string>().c_str(), name.c_str()) == 0) return true;
    }
    return false;
}

}  // namespace qvn::test
