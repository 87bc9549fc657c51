#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/event.h"
#include "process/process.h"

namespace zelvo {

// The most clients served at once.
inline constexpr std::size_t most_clients = 64;
// A client that sends nothing for this long, or takes none of its reply, is let go.
inline constexpr int client_idle_seconds = 2;
// A client connected this long without a whole request is slow: it makes
// room for one at the door when every place is taken. Long enough that a
// zelvoctl that a crowd of processes keeps from the processor between its
// connect and its request is never taken for one.
inline constexpr std::chrono::milliseconds client_slow_after{1000};

// A request that a client sent, and who is to have the reply.
struct ControlRequest {
    std::uint64_t client;
    std::vector<std::string> words;
};

// The control socket, served by the loop like any other source of events,
// never waiting on a client: each is read and written only when it is ready,
// and a slow or hostile one costs only itself. A peer of another user is let
// go at once. When most_clients are connected, the requests that have
// arrived are served first; then the slow client longest connected makes
// room for the next at the door, told that there are too many clients; when
// none is slow, the server takes no more for now, and those that come wait
// in the socket's listen queue, to be taken in turn as places free. A client
// sends one request line and gets one reply, after which
// the connection ends; what it sends after its line is not read. A request
// longer than most_request_bytes, or one that is not a request, is answered
// with an error. While a request is being answered (a reply that may come
// later, such as set's), its client waits without a deadline of its own.
class ControlServer {
public:
    using Handler = std::function<void(ControlRequest)>;

    ControlServer(event_base* base, UniqueDescriptor listening, Handler handler);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // The whole reply to the client's request; it goes once the client takes
    // it, and the connection ends. Nothing when the client is gone.
    void reply(std::uint64_t client, std::string text);

    std::size_t clients() const { return clients_.size(); }

private:
    struct Client;
    void on_connection();
    void accept_one(int connection);
    void read_request(Client& client);
    bool make_room();
    void stop_accepting();
    void resume_accepting();
    void send_queued(Client& client);
    void drop(const Client& client);
    Client* find(std::uint64_t id);

    event_base* base_;
    UniqueDescriptor listening_;
    DescriptorEvent connecting_;
    // Comes when the oldest client still reading becomes slow, while the server takes no more.
    TimerEvent door_;
    bool accepting_ = true;
    Handler handler_;
    std::vector<std::unique_ptr<Client>> clients_;
    std::uint64_t next_id_ = 1;
};

}  // namespace zelvo
