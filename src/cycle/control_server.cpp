#include "cycle/control_server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <variant>
#include <vector>

#include "control/control_socket.h"
#include "control/protocol.h"
#include "process/worker.h"

namespace zelvo {

namespace {

// Connections taken at a time, so that a crowd at the door never holds the loop up.
constexpr int accepted_at_once = 32;
constexpr std::size_t read_at_once = 16 << 10;

constexpr std::chrono::seconds idle_time{client_idle_seconds};

}  // namespace

// One connection. Its events go before its socket: the members are destroyed
// in reverse order, and the workers forget it before it is closed.
struct ControlServer::Client {
    ControlServer* server = nullptr;
    std::uint64_t id = 0;
    UniqueDescriptor socket;
    std::unique_ptr<DescriptorEvent> readable;
    std::unique_ptr<DescriptorEvent> writable;
    std::unique_ptr<TimerEvent> idle;
    enum class State { reading, answering, writing } state = State::reading;
    std::chrono::steady_clock::time_point connected = std::chrono::steady_clock::now();
    std::string received;
    std::string reply;
    std::size_t sent = 0;

    ~Client() {
        readable.reset();
        writable.reset();
        idle.reset();
        if (socket.get() >= 0) forget_in_workers(socket.get());
    }
};

ControlServer::ControlServer(event_base* base, UniqueDescriptor listening, Handler handler)
    : base_(base),
      listening_(std::move(listening)),
      connecting_(base, listening_.get(), DescriptorEvent::Ready::read, [this] { on_connection(); }),
      door_(base, [this] { resume_accepting(); }),
      handler_(std::move(handler)) {
    close_in_workers(listening_.get());
    connecting_.start();
}

ControlServer::~ControlServer() {
    clients_.clear();
    door_.cancel();
    connecting_.stop();
    forget_in_workers(listening_.get());
}

void ControlServer::on_connection() {
    ControlServer& server = *this;
    for (int taken = 0; taken < accepted_at_once; ++taken) {
        // Every place taken, and none to free: the rest wait at the door (the listen queue).
        if (server.clients_.size() >= most_clients && !server.make_room()) {
            server.stop_accepting();
            return;
        }
        const int connection = accept(server.listening_.get(), nullptr, nullptr);
        if (connection < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;  // none waits now, or the daemon has no descriptor left for one: later
        }
        server.accept_one(connection);
    }
}

// Frees a place when one can be freed: a client whose request has arrived
// is served (and leaves when its reply goes at once), else the slow client
// longest connected is let go, with a word. A client being answered keeps
// its place: whatever it waits for ends, and with it the wait.
bool ControlServer::make_room() {
    std::vector<std::uint64_t> reading;
    for (const std::unique_ptr<Client>& client : clients_)
        if (client->state == Client::State::reading) reading.push_back(client->id);
    // By id: serving one may end others.
    for (const std::uint64_t id : reading)
        if (Client* client = find(id); client != nullptr && client->state == Client::State::reading)
            read_request(*client);
    if (clients_.size() < most_clients) return true;
    Client* slowest = nullptr;
    for (const std::unique_ptr<Client>& client : clients_)
        if (client->state == Client::State::reading && (slowest == nullptr || client->id < slowest->id))
            slowest = client.get();
    if (slowest == nullptr || std::chrono::steady_clock::now() - slowest->connected < client_slow_after) return false;
    const std::string refusal = reply_error("too many clients at once");
    // A best try that never waits: a slow client may not read either.
    if (send(slowest->socket.get(), refusal.data(), refusal.size(), MSG_NOSIGNAL) < 0) {
    }
    drop(*slowest);
    return true;
}

void ControlServer::stop_accepting() {
    if (!accepting_) return;
    accepting_ = false;
    connecting_.stop();
    // The oldest client still reading becomes slow at a time known now; a
    // client being answered frees its place once its reply has gone.
    const Client* oldest = nullptr;
    for (const std::unique_ptr<Client>& client : clients_)
        if (client->state == Client::State::reading && (oldest == nullptr || client->id < oldest->id))
            oldest = client.get();
    if (oldest == nullptr) return;
    door_.schedule_at(oldest->connected + client_slow_after);
}

void ControlServer::resume_accepting() {
    if (accepting_) return;
    accepting_ = true;
    door_.cancel();
    // Those waiting at the door keep the socket readable, and the loop takes them.
    connecting_.start();
}

void ControlServer::accept_one(int connection) {
    UniqueDescriptor socket(connection);
    fcntl(socket.get(), F_SETFD, FD_CLOEXEC);
    fcntl(socket.get(), F_SETFL, O_NONBLOCK);
    // The socket's mode keeps others out; root, or a descriptor passed on, still gets this far.
    const std::optional<uid_t> peer = peer_user(socket.get());
    if (!peer || *peer != geteuid()) return;
    auto client = std::make_unique<Client>();
    client->server = this;
    client->id = next_id_++;
    client->socket = std::move(socket);
    close_in_workers(client->socket.get());
    Client& held = *client;
    client->readable = std::make_unique<DescriptorEvent>(base_, client->socket.get(), DescriptorEvent::Ready::read,
                                                         [this, &held] { read_request(held); });
    client->writable = std::make_unique<DescriptorEvent>(base_, client->socket.get(), DescriptorEvent::Ready::write,
                                                         [this, &held] { send_queued(held); });
    client->idle = std::make_unique<TimerEvent>(base_, [this, &held] { drop(held); });
    client->readable->start();
    client->idle->schedule(idle_time);
    clients_.push_back(std::move(client));
}

void ControlServer::read_request(Client& client) {
    ControlServer& server = *this;
    const std::size_t room = most_request_bytes - client.received.size();
    char bytes[read_at_once];
    const ssize_t got = read(client.socket.get(), bytes, std::min(room, sizeof bytes));
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (got <= 0) {
        // Gone before its request was whole: nobody is left to answer.
        server.drop(client);
        return;
    }
    const std::size_t seen = client.received.size();
    client.received.append(bytes, static_cast<std::size_t>(got));
    client.idle->schedule(idle_time);
    const std::size_t newline = client.received.find('\n', seen);
    if (newline == std::string::npos) {
        if (client.received.size() < most_request_bytes) return;
        client.readable->stop();
        client.state = Client::State::answering;
        server.reply(client.id, reply_error("the request is longer than 64 KiB"));
        return;
    }
    // One request a connection: nothing after its line is read.
    client.readable->stop();
    client.idle->cancel();
    client.state = Client::State::answering;
    const auto parsed = parse_request_line(std::string_view(client.received).substr(0, newline));
    client.received.clear();
    if (const std::string* reason = std::get_if<std::string>(&parsed)) {
        server.reply(client.id, reply_error(*reason));
        return;
    }
    // Last: the handler may answer at once, and the client may be gone after.
    server.handler_(ControlRequest{client.id, std::get<std::vector<std::string>>(parsed)});
}

void ControlServer::reply(std::uint64_t id, std::string text) {
    Client* client = find(id);
    if (client == nullptr || client->state != Client::State::answering) return;
    client->state = Client::State::writing;
    client->reply = std::move(text);
    send_queued(*client);
}

void ControlServer::send_queued(Client& client) {
    while (client.sent < client.reply.size()) {
        const ssize_t put = send(client.socket.get(), client.reply.data() + client.sent, client.reply.size() - client.sent,
                                 MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno == EAGAIN) {
            // The rest goes when the client takes some; it has a while to.
            client.writable->start();
            client.idle->schedule(idle_time);
            return;
        }
        if (put <= 0) break;
        client.sent += static_cast<std::size_t>(put);
        if (client.writable->watching()) client.idle->schedule(idle_time);
    }
    drop(client);
}

void ControlServer::drop(const Client& client) {
    const auto found = std::find_if(clients_.begin(), clients_.end(),
                                    [&client](const std::unique_ptr<Client>& held) { return held.get() == &client; });
    if (found == clients_.end()) return;
    // The connection ends here; the reply, if any, is the client's to read.
    std::unique_ptr<Client> ending = std::move(*found);
    *found = std::move(clients_.back());
    clients_.pop_back();
    // A place is free: the next at the door comes in.
    resume_accepting();
}

ControlServer::Client* ControlServer::find(std::uint64_t id) {
    for (const std::unique_ptr<Client>& client : clients_)
        if (client->id == id) return client.get();
    return nullptr;
}

}  // namespace zelvo
