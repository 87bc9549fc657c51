#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/event.h"
#include "support/process.h"

namespace zelvo {

// The most clients served at once.
inline constexpr std::size_t most_clients = 16;
// A client that sends nothing for this long, or takes none of its reply, is let go.
inline constexpr int client_idle_seconds = 2;

// A request that a client sent, and who is to have the reply.
struct ControlRequest {
    std::uint64_t client;
    std::vector<std::string> words;
};

// The control socket, served by the loop like any other source of events,
// never waiting on a client: each is read and written only when it is ready,
// and a slow or hostile one costs only itself. A peer of another user is let
// go at once. When most_clients are connected, a new client takes the place
// of the one longest connected that has not sent its whole request yet. A client sends one request line and gets one reply, after which
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
    static void on_connection(evutil_socket_t, short, void* argument);
    static void on_readable(evutil_socket_t, short, void* argument);
    static void on_writable(evutil_socket_t, short, void* argument);
    static void on_idle(evutil_socket_t, short, void* argument);
    void accept_one(int connection);
    void send_queued(Client& client);
    void drop(const Client& client);
    Client* find(std::uint64_t id);

    event_base* base_;
    UniqueDescriptor listening_;
    EventPtr connecting_;
    Handler handler_;
    std::vector<std::unique_ptr<Client>> clients_;
    std::uint64_t next_id_ = 1;
};

}  // namespace zelvo
