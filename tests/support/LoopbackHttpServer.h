#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for tests of the real libcurl path.
// It answers from a script of canned responses (the last one repeats) and
// records every request it received. One connection at a time, closed after
// each answer. It can also reset a connection or stall mid-answer.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct RecordedRequest {
    std::string method;
    std::string target; // path and query as sent
    std::map<std::string, std::string> headers; // names lower-cased
    std::string body;
};

struct CannedResponse {
    int status = 200;
    std::string body;
    // Announce a longer body than is sent, then close: a transport failure
    // after the status line.
    bool truncate = false;
    // Reset the connection (RST) instead of answering.
    bool reset = false;
    // Send the status line and headers, then nothing for this long before
    // the body: a stalled transfer.
    int stallMs = 0;
};

class LoopbackHttpServer {
public:
    using Handler = std::function<CannedResponse(const RecordedRequest&)>;

    LoopbackHttpServer();
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

    void script(std::vector<CannedResponse> responses);
    void handler(Handler handler);
    std::vector<RecordedRequest> requests() const;

private:
    void serve();
    void handle(int connection);

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::deque<CannedResponse> script_;   // guarded by mutex_
    Handler handler_;                     // guarded by mutex_
    std::vector<RecordedRequest> seen_;   // guarded by mutex_
    std::thread thread_;
};
