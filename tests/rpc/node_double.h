// Test support: the Python node double (tools/qvnnode) as a child process,
// driven over its HTTP control interface.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

namespace qvn::test {

class NodeDouble {
  public:
    // Starts `$PYTHON -m qvnnode --port 0` (tools folder from QVN_TOOLS, else the
    // source tree) and reads its URL; throws on failure.
    NodeDouble();
    // Kills and reaps the process.
    ~NodeDouble();
    NodeDouble(const NodeDouble&) = delete;
    NodeDouble& operator=(const NodeDouble&) = delete;

    const std::string& url() const { return url_; }

    // One control command; throws when the node refuses it.
    nlohmann::json control(const nlohmann::json& command) const;

    void set_template(const nlohmann::json& block_template, bool release = true) const;
    void release() const;
    // A response rule: see the "queue" command of the node double.
    void queue(nlohmann::json rule) const;
    void set_auth(const std::string& user, const std::string& password) const;
    void set_longpoll_mode(const std::string& mode) const;

    // Recorded requests matching the filters (method, state, longpollid).
    nlohmann::json requests(nlohmann::json filters = nlohmann::json::object()) const;
    // Waits until at least count requests match; throws when they do not come.
    nlohmann::json wait_requests(std::size_t count,
                                 nlohmann::json filters = nlohmann::json::object(),
                                 int timeout_ms = 10000) const;

  private:
    void stop_process();

    pid_t pid = -1;
    int stdin_fd = -1;
    int stdout_fd = -1;
    std::string url_;
};

// A loopback URL where nothing listens (the port was free a moment ago).
std::string closed_port_url();

// The value of a recorded request's header (case-insensitive name), or "".
std::string header_value(const nlohmann::json& record, const std::string& name);
bool has_header(const nlohmann::json& record, const std::string& name);

}  // namespace qvn::test
