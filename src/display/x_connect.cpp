#include "display/x_connect.h"

#include <X11/Xauth.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace zelvo {

// What the loop and a handshake's thread share; whichever lets go last frees it.
struct XConnector::Handshake {
    std::mutex mutex;
    bool abandoned = false;
    // A copy of the server's socket, for shutting it down from the loop.
    UniqueDescriptor watch;
    // The thread's end of the answer socket.
    UniqueDescriptor tell;
    XConnected connected;
};

namespace {

constexpr const char* cookie_name = "MIT-MAGIC-COOKIE-1";
constexpr unsigned short family_local = 256;      // FamilyLocal
constexpr unsigned short family_wild = 65535;     // FamilyWild
constexpr unsigned short family_internet = 0;     // FamilyInternet
constexpr unsigned short family_internet6 = 6;    // FamilyInternet6
constexpr int x_tcp_port = 6000;

struct AuthDelete {
    void operator()(Xauth* entry) const noexcept { XauDisposeAuth(entry); }
};
struct FileClose {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

// The display's parts as libxcb reads its name.
struct DisplayName {
    std::string host;
    int number = 0;
    int screen = 0;
};

std::optional<DisplayName> parse_display(const std::string& name) {
    char* host = nullptr;
    DisplayName parsed;
    if (xcb_parse_display(name.c_str(), &host, &parsed.number, &parsed.screen) == 0) return std::nullopt;
    parsed.host = host;
    std::free(host);
    for (const char* protocol : {"tcp/", "inet/", "inet6/", "unix/"})
        if (parsed.host.rfind(protocol, 0) == 0) parsed.host.erase(0, std::strlen(protocol));
    if (parsed.host == "unix") parsed.host.clear();
    return parsed;
}

int connect_unix(const std::string& path, bool abstract) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t skip = abstract ? 1 : 0;
    if (path.size() + skip >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path + skip, path.data(), path.size());
    UniqueDescriptor socket_(socket(AF_UNIX, SOCK_STREAM, 0));
    if (socket_.get() < 0) return -1;
    fcntl(socket_.get(), F_SETFD, FD_CLOEXEC);
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + skip + path.size());
    if (::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) return -1;
    return socket_.release();
}

// The server's socket, as libxcb finds it: a local display's Unix socket
// (on Linux its abstract name first), else TCP on port 6000 + the number.
int open_display(const DisplayName& display) {
    if (display.host.empty()) {
        const std::string path = "/tmp/.X11-unix/X" + std::to_string(display.number);
#if defined(__linux__)
        const int abstract = connect_unix(path, true);
        if (abstract >= 0) return abstract;
#endif
        return connect_unix(path, false);
    }
    if (display.host[0] == '/') return connect_unix(display.host, false);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(display.host.c_str(), std::to_string(x_tcp_port + display.number).c_str(), &hints, &found) != 0)
        return -1;
    int opened = -1;
    for (const addrinfo* address = found; address != nullptr && opened < 0; address = address->ai_next) {
        UniqueDescriptor socket_(socket(address->ai_family, address->ai_socktype, address->ai_protocol));
        if (socket_.get() < 0) continue;
        fcntl(socket_.get(), F_SETFD, FD_CLOEXEC);
        if (::connect(socket_.get(), address->ai_addr, address->ai_addrlen) == 0) opened = socket_.release();
    }
    freeaddrinfo(found);
    return opened;
}

// The family and address under which the X authority file keeps the
// cookie for this server, as libxcb names them: a loopback or Unix
// connection is the local host by its name.
bool peer_family(int socket_, unsigned short& family, std::string& address) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(socket_, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return false;
    family = family_local;
    if (peer.ss_family == AF_INET6) {
        const in6_addr& ip = reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr;
        const char* bytes = reinterpret_cast<const char*>(ip.s6_addr);
        if (IN6_IS_ADDR_V4MAPPED(&ip)) {
            if (bytes[12] != 127) family = family_internet, address.assign(bytes + 12, 4);
        } else if (!IN6_IS_ADDR_LOOPBACK(&ip)) {
            family = family_internet6, address.assign(bytes, 16);
        }
    } else if (peer.ss_family == AF_INET) {
        const char* bytes = reinterpret_cast<const char*>(&reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr);
        if (bytes[0] != 127) family = family_internet, address.assign(bytes, 4);
    } else if (peer.ss_family != AF_UNIX) {
        return false;
    }
    if (family == family_local) {
        char host[256] = {};
        if (gethostname(host, sizeof host - 1) != 0) return false;
        address = host;
    }
    return true;
}

// The first MIT-MAGIC-COOKIE-1 of the file that is this server's, as libXau
// matches them: a wild family or the same family and address, and no
// number or the same one. Empty when there is none: libxcb then offers none.
std::string find_cookie(const std::string& file, int socket_, int number) {
    unsigned short family = 0;
    std::string address;
    if (file.empty() || !peer_family(socket_, family, address)) return {};
    std::unique_ptr<std::FILE, FileClose> entries(std::fopen(file.c_str(), "rbe"));
    if (!entries) return {};
    const std::string wanted_number = std::to_string(number);
    while (std::unique_ptr<Xauth, AuthDelete> entry{XauReadAuth(entries.get())}) {
        const std::string_view entry_address(entry->address, entry->address_length);
        const std::string_view entry_number(entry->number, entry->number_length);
        const std::string_view name(entry->name, entry->name_length);
        if ((entry->family == family_wild || (entry->family == family && entry_address == address)) &&
            (entry_number.empty() || entry_number == wanted_number) && name == cookie_name)
            return std::string(entry->data, entry->data_length);
    }
    return {};
}

const char* setup_failure(int error) {
    switch (error) {
    case XCB_CONN_CLOSED_PARSE_ERR: return "the display name cannot be read";
    case XCB_CONN_CLOSED_INVALID_SCREEN: return "the display has no such screen";
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT: std::abort();
    default: return "the X server closed the connection";
    }
}

// The handshake's thread: everything that may wait on the server.
void run_handshake(const std::shared_ptr<XConnector::Handshake>& handshake, const std::string& name,
                   const std::string& authority) {
    XConnected connected;
    const std::optional<DisplayName> display = parse_display(name);
    int socket_ = -1;
    if (!display) {
        connected.failure = setup_failure(XCB_CONN_CLOSED_PARSE_ERR);
    } else if ((socket_ = open_display(*display)) < 0) {
        connected.failure = "no X server accepts the connection";
    } else {
        sockaddr_storage own{};
        socklen_t length = sizeof own;
        connected.local = getsockname(socket_, reinterpret_cast<sockaddr*>(&own), &length) == 0 &&
                          own.ss_family == AF_UNIX;
        {
            const std::lock_guard<std::mutex> held(handshake->mutex);
            if (handshake->abandoned) {
                close(socket_);
                return;
            }
            handshake->watch.reset(fcntl(socket_, F_DUPFD_CLOEXEC, 0));
        }
        std::string cookie = find_cookie(authority, socket_, display->number);
        xcb_auth_info_t auth{};
        if (!cookie.empty()) {
            auth.namelen = static_cast<int>(std::strlen(cookie_name));
            auth.name = const_cast<char*>(cookie_name);
            auth.datalen = static_cast<int>(cookie.size());
            auth.data = cookie.data();
        }
        // libxcb owns the socket from here, and closes it whatever comes.
        connected.connection.reset(xcb_connect_to_fd(socket_, &auth));
        connected.screen = display->screen;
        if (const int error = xcb_connection_has_error(connected.connection.get())) {
            connected.connection.reset();
            connected.failure = error == XCB_CONN_ERROR ? "no X server accepts the connection" : setup_failure(error);
        } else if (xcb_setup_roots_iterator(xcb_get_setup(connected.connection.get())).rem <= display->screen) {
            connected.connection.reset();
            connected.failure = setup_failure(XCB_CONN_CLOSED_INVALID_SCREEN);
        }
    }
    const std::lock_guard<std::mutex> held(handshake->mutex);
    // A handshake abandoned meanwhile closes what it made, here.
    if (handshake->abandoned) return;
    handshake->connected = std::move(connected);
    char done = 1;
    send(handshake->tell.get(), &done, 1, MSG_NOSIGNAL);
}

}  // namespace

XConnector::XConnector(event_base* base)
    : base_(base),
      running_(std::make_shared<std::atomic<int>>(0)),
      overdue_(base, [this] { on_overdue(); }),
      refused_(base, [this] {
          XConnected refused;
          refused.failure = refusal_;
          finish(std::move(refused));
      }) {}

XConnector::~XConnector() { cancel(); }

void XConnector::cancel() {
    overdue_.cancel();
    refused_.cancel();
    answer_event_.reset();
    answer_.reset();
    done_ = nullptr;
    if (!handshake_) return;
    {
        const std::lock_guard<std::mutex> held(handshake_->mutex);
        handshake_->abandoned = true;
        // Ends the thread's wait on the server at once; its thread closes the socket.
        if (handshake_->watch.get() >= 0) shutdown(handshake_->watch.get(), SHUT_RDWR);
    }
    handshake_.reset();
}

void XConnector::connect(const std::optional<std::string>& display, const std::optional<std::string>& xauthority,
                         Done done) {
    cancel();
    done_ = std::move(done);
    // Chosen here, in the loop's thread: the handshake reads no environment.
    std::string authority;
    if (xauthority) {
        authority = *xauthority;
    } else if (const char* named = std::getenv("XAUTHORITY"); named != nullptr && *named != '\0') {
        authority = named;
    } else if (const char* home = std::getenv("HOME"); home != nullptr) {
        authority = std::string(home) + "/.Xauthority";
    }
    int ends[2];
    if (running_->load() >= 2) {
        refusal_ = "an earlier connection to the X server still hangs";
    } else if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        refusal_ = std::string("socketpair failed: ") + std::strerror(errno);
    } else {
        refusal_.clear();
    }
    if (!refusal_.empty()) {
        refused_.schedule(std::chrono::microseconds(0));
        return;
    }
    answer_.reset(ends[0]);
    fcntl(answer_.get(), F_SETFL, O_NONBLOCK);
    handshake_ = std::make_shared<Handshake>();
    handshake_->tell.reset(ends[1]);
    answer_event_ = std::make_unique<DescriptorEvent>(base_, answer_.get(), DescriptorEvent::Ready::read,
                                                      [this] { on_answer(); });
    answer_event_->start();
    overdue_.schedule(x_handshake_deadline);

    // Every signal stays with the loop's thread: the new thread starts with all blocked.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    running_->fetch_add(1);
    std::thread([handshake = handshake_, running = running_, name = display.value_or(":0"), authority] {
        run_handshake(handshake, name, authority);
        running->fetch_sub(1);
    }).detach();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void XConnector::on_answer() {
    XConnected connected;
    {
        const std::lock_guard<std::mutex> held(handshake_->mutex);
        connected = std::move(handshake_->connected);
    }
    handshake_.reset();
    finish(std::move(connected));
}

void XConnector::on_overdue() {
    XConnected overdue;
    overdue.failure = "the X server did not answer in time";
    finish(std::move(overdue));
}

void XConnector::finish(XConnected connected) {
    Done done = std::move(done_);
    cancel();
    if (done) done(std::move(connected));
}

}  // namespace zelvo
