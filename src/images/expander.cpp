#include "images/expander.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "images/expand.h"
#include "support/children.h"
#include "support/log.h"
#include "support/worker.h"

namespace zelvo {

namespace {

// Each image goes as its length in four bytes and its bytes; a line that the
// expansion reported goes the same way with message_bit set in its length,
// for the daemon to log; the length complete_mark says that the expansion
// has ended as it should.
constexpr std::uint32_t complete_mark = 0xffffffffu;
constexpr std::uint32_t message_bit = 0x80000000u;
// What the daemon takes in all: more than any expansion sends (it stops at
// its own ring budget), so that a worker gone wrong cannot make it grow.
constexpr std::size_t most_received = std::size_t{96} << 20;

void put_length(std::string& out, std::uint32_t length) {
    out.append(reinterpret_cast<const char*>(&length), sizeof length);
}

// The lines the expansion reports, in order, before its images.
void keep_line(const char* line, void* context) {
    std::string& out = *static_cast<std::string*>(context);
    const std::string_view text(line);
    put_length(out, static_cast<std::uint32_t>(text.size()) | message_bit);
    out += text;
}

// Sends what the worker has gathered so far once there is enough of it.
void send_some(int sending, std::string& out) {
    if (out.size() < (64 << 10)) return;
    if (!write_all(sending, out)) _exit(1);
    out.clear();
}

// The worker's whole life: it never returns into the daemon's code, runs
// none of its clean-up and flushes none of its buffers.
[[noreturn]] void run_worker(int sending, const std::function<void(int, std::string&)>& work,
                             const char* temporary_directory) {
    // Its probers join its group: one kill ends the expansion whole, and
    // their folders are in its own, which the daemon removes.
    keep_workers_in_this_group();
    private_directories_in(temporary_directory);
    std::string out;
    report_to(keep_line, &out);
    work(sending, out);
    put_length(out, complete_mark);
    _exit(write_all(sending, out) ? 0 : 1);
}

void put_entry(int sending, std::string& out, const std::string& entry) {
    put_length(out, static_cast<std::uint32_t>(entry.size()));
    out += entry;
    send_some(sending, out);
}

}  // namespace

ExpansionChild::ExpansionChild(const StringNode* sources, const ExpandOptions& options) {
    start([sources, &options](int sending, std::string& out) {
        const StringList images = expand_sources(sources, options);
        for (const StringNode* node = images.empty() ? nullptr : images.first(); node != nullptr; node = node->link)
            put_entry(sending, out, *node->value);
    });
}

ExpansionChild::ExpansionChild(const std::vector<std::string>& files) {
    start([&files](int sending, std::string& out) {
        for (const std::string& verdict : check_image_files(files)) put_entry(sending, out, verdict);
    });
}

void ExpansionChild::start(const std::function<void(int, std::string&)>& work) {
    int ends[2];
    if (pipe(ends) != 0) {
        report("Zelvo cannot expand its sources: pipe failed: %s", std::strerror(errno));
        progress_ = Progress::failed;
        return;
    }
    reader_.reset(ends[0]);
    UniqueDescriptor writer(ends[1]);
    fcntl(reader_.get(), F_SETFD, FD_CLOEXEC);
    fcntl(writer.get(), F_SETFD, FD_CLOEXEC);
    temporary_ = std::make_shared<PrivateDirectory>("expand");
    const pid_t child = fork_worker();
    if (child < 0) {
        report("Zelvo cannot expand its sources: fork failed: %s", std::strerror(errno));
        reader_.reset();
        temporary_.reset();
        progress_ = Progress::failed;
        return;
    }
    if (child == 0) {
        reader_.reset();
        run_worker(writer.get(), work, temporary_->path());
    }
    pid_ = child;
    fcntl(reader_.get(), F_SETFL, O_NONBLOCK);
}

ExpansionChild::~ExpansionChild() {
    if (pid_ > 0) end(true);
}

void ExpansionChild::end(bool failed) {
    if (pid_ > 0) {
        if (failed) kill_worker(pid_);
        std::shared_ptr<PrivateDirectory> folder = std::move(temporary_);
        children_forget(pid_, ChildFate::killed, [folder] {});
    }
    // The pipe stays open until the expansion is destroyed, after the loop's
    // event for it, so that its number is never another descriptor's meanwhile.
    pid_ = -1;
    if (failed) progress_ = Progress::failed;
}

ExpansionChild::Progress ExpansionChild::take(std::size_t most) {
    std::size_t taken = 0;
    while (progress_ == Progress::more && taken < most) {
        char bytes[16 << 10];
        const ssize_t got = read(reader_.get(), bytes, sizeof bytes);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) break;
        if (got <= 0 || received_ + static_cast<std::size_t>(got) > most_received) {
            // The worker ended before its mark, or sends more than any expansion gives.
            end(true);
            break;
        }
        taken += static_cast<std::size_t>(got);
        received_ += static_cast<std::size_t>(got);
        pending_.append(bytes, static_cast<std::size_t>(got));
        std::size_t at = 0;
        while (pending_.size() - at >= sizeof(std::uint32_t)) {
            std::uint32_t length = 0;
            std::memcpy(&length, pending_.data() + at, sizeof length);
            if (length == complete_mark) {
                progress_ = Progress::complete;
                end(false);
                break;
            }
            const bool message = (length & message_bit) != 0;
            length &= ~message_bit;
            if (length > most_source_bytes) {
                end(true);
                break;
            }
            if (pending_.size() - at - sizeof length < length) break;
            if (message) {
                report("%s", pending_.substr(at + sizeof length, length).c_str());
            } else {
                tail_ = string_list_append(tail_, pending_.substr(at + sizeof length, length));
                ++entries_;
            }
            at += sizeof length + length;
        }
        pending_.erase(0, at);
    }
    return progress_;
}

std::vector<std::string> ExpansionChild::take_verdicts() const {
    std::vector<std::string> verdicts;
    if (progress_ != Progress::complete) return verdicts;
    for (const StringNode* node = images_.first(); node != nullptr && node->value; node = node->link)
        verdicts.push_back(*node->value);
    return verdicts;
}

StringList ExpansionChild::take_images() {
    if (progress_ != Progress::complete || images_.empty()) return StringList();
    tail_ = nullptr;
    return std::move(images_);
}

}  // namespace zelvo
