#include "images/expander.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "images/expand.h"
#include "process/children.h"
#include "support/log.h"
#include "process/worker.h"

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
// How much of the answer the loop takes at a time.
constexpr std::size_t expansion_bytes_at_once = 64 << 10;

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

ExpansionChild::ExpansionChild(const StringNode* sources, const ExpandOptions& options)
    : ExpansionChild([sources, &options](int sending, const char* folder) {
          run_worker(
              sending,
              [sources, &options](int channel, std::string& out) {
                  const StringList images = expand_sources(sources, options);
                  for (const StringNode* node = images.empty() ? nullptr : images.first(); node != nullptr;
                       node = node->link)
                      put_entry(channel, out, *node->value);
              },
              folder);
      }) {}

ExpansionChild::ExpansionChild(const std::vector<std::string>& files)
    : ExpansionChild([&files](int sending, const char* folder) {
          run_worker(
              sending,
              [&files](int channel, std::string& out) {
                  for (const std::string& verdict : check_image_files(files)) put_entry(channel, out, verdict);
              },
              folder);
      }) {}

ExpansionChild::ExpansionChild(const WorkerChild::Work& work) : worker_("expand", work) {
    if (worker_.started()) return;
    report("Zelvo cannot expand its sources: %s", worker_.failure().c_str());
    progress_ = Progress::failed;
}

ExpansionChild::~ExpansionChild() = default;

// The channel stays open until the expansion is destroyed, after the loop's
// event for it, so that its number is never another descriptor's meanwhile.
void ExpansionChild::end(bool failed) {
    if (failed) {
        worker_.kill();
        progress_ = Progress::failed;
    } else {
        worker_.finished();
    }
}

ExpansionChild::Progress ExpansionChild::take(std::size_t most) {
    std::size_t taken = 0;
    while (progress_ == Progress::more && taken < most) {
        char bytes[16 << 10];
        const ssize_t got = read(worker_.descriptor(), bytes, sizeof bytes);
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

ExpansionRun::ExpansionRun(event_base* base, std::unique_ptr<ExpansionChild> child,
                           std::function<void(ExpansionChild::Progress)> done)
    : child_(std::move(child)), done_(std::move(done)) {
    if (child_->descriptor() < 0) return;
    readable_ = std::make_unique<DescriptorEvent>(base, child_->descriptor(), DescriptorEvent::Ready::read, [this] {
        const ExpansionChild::Progress progress = child_->take(expansion_bytes_at_once);
        if (progress == ExpansionChild::Progress::more) return;
        readable_->stop();
        // Last: it may destroy the run.
        const std::function<void(ExpansionChild::Progress)> over = done_;
        over(progress);
    });
    readable_->start();
}

}  // namespace zelvo
