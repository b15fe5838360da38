#include "LoopbackHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <stdexcept>

LoopbackHttpServer::LoopbackHttpServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 16) != 0)
        throw std::runtime_error("cannot listen on loopback");
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    script_.push_back(CannedResponse{});
    thread_ = std::thread([this] { serve(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
}

void LoopbackHttpServer::script(std::vector<CannedResponse> responses) {
    std::lock_guard<std::mutex> guard(mutex_);
    script_.assign(responses.begin(), responses.end());
    if (script_.empty()) script_.push_back(CannedResponse{});
}

void LoopbackHttpServer::handler(Handler handler) {
    std::lock_guard<std::mutex> guard(mutex_);
    handler_ = std::move(handler);
}

std::vector<RecordedRequest> LoopbackHttpServer::requests() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return seen_;
}

void LoopbackHttpServer::serve() {
    while (!stopping_) {
        pollfd poller{listener_, POLLIN, 0};
        if (::poll(&poller, 1, 50) <= 0) continue;
        int connection = ::accept(listener_, nullptr, nullptr);
        if (connection < 0) continue;
        handle(connection);
        ::close(connection);
    }
}

namespace {
bool readMore(int connection, std::string& buffer) {
    char chunk[65536];
    pollfd poller{connection, POLLIN, 0};
    if (::poll(&poller, 1, 5000) <= 0) return false;
    ssize_t got = ::recv(connection, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(got));
    return true;
}

void sendAll(int connection, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t wrote = ::send(connection, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (wrote <= 0) return;
        sent += static_cast<size_t>(wrote);
    }
}
} // namespace

void LoopbackHttpServer::handle(int connection) {
    std::string buffer;
    size_t headerEnd;
    while ((headerEnd = buffer.find("\r\n\r\n")) == std::string::npos)
        if (!readMore(connection, buffer)) return;
    RecordedRequest request;
    std::string head = buffer.substr(0, headerEnd);
    size_t lineEnd = head.find("\r\n");
    std::string requestLine = head.substr(0, lineEnd);
    size_t space1 = requestLine.find(' ');
    size_t space2 = requestLine.rfind(' ');
    request.method = requestLine.substr(0, space1);
    request.target = requestLine.substr(space1 + 1, space2 - space1 - 1);
    size_t position = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (position < head.size()) {
        size_t next = head.find("\r\n", position);
        if (next == std::string::npos) next = head.size();
        std::string line = head.substr(position, next - position);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            size_t valueStart = line.find_first_not_of(' ', colon + 1);
            request.headers[name] = valueStart == std::string::npos ? "" : line.substr(valueStart);
        }
        position = next + 2;
    }
    size_t contentLength = 0;
    auto length = request.headers.find("content-length");
    if (length != request.headers.end()) contentLength = std::stoul(length->second);
    std::string body = buffer.substr(headerEnd + 4);
    while (body.size() < contentLength) {
        std::string more;
        if (!readMore(connection, more)) break;
        body += more;
    }
    request.body = body.substr(0, contentLength);

    CannedResponse response;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        seen_.push_back(request);
        if (handler_) {
            response = handler_(request);
        } else {
            response = script_.front();
            if (script_.size() > 1) script_.pop_front();
        }
    }
    if (response.reset) {
        linger abort{1, 0}; // close with RST
        ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        return;
    }
    std::string reply = "HTTP/1.1 " + std::to_string(response.status) + " Canned\r\nContent-Type: application/json\r\n";
    reply += "Content-Length: " + std::to_string(response.body.size() + (response.truncate ? 100 : 0)) + "\r\n";
    reply += "Connection: close\r\n\r\n";
    sendAll(connection, reply);
    for (int waited = 0; waited < response.stallMs && !stopping_; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    sendAll(connection, response.body);
}
