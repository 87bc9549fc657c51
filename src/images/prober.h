#pragma once

#include <sys/mman.h>
#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <span>
#include <string>
#include <string_view>

#include "images/expand.h"
#include "process/process.h"
#include "process/worker.h"

namespace zelvo {

// The sources of one directory or list file, packed: each text followed by a
// NUL byte, in memory that the expansion chooses.
class Listing {
public:
    explicit Listing(std::pmr::memory_resource* memory) : texts_(memory), starts_(memory) {}
    Listing(const Listing&) = delete;
    Listing& operator=(const Listing&) = delete;

    void add(std::string_view text);
    std::size_t size() const { return starts_.size(); }
    // The text has no NUL byte of its own.
    std::string_view operator[](std::size_t index) const {
        const std::size_t end = index + 1 < starts_.size() ? starts_[index + 1] - 1 : texts_.size() - 1;
        return std::string_view(texts_).substr(starts_[index], end - starts_[index]);
    }
    const char* c_str(std::size_t index) const { return texts_.data() + starts_[index]; }
    std::size_t bytes() const { return texts_.size() + starts_.size() * sizeof(std::size_t); }

private:
    std::pmr::string texts_;
    std::pmr::vector<std::size_t> starts_;
};

enum class ListReading { none, read, over_budget };

// What the prober has pinged, in memory that it shares with the daemon, so
// that the daemon takes the answers without a system call, or a wake-up of
// its own, for each: the kind of the nth ping is kinds[n % slots], written
// before count passes n. The daemon keeps no more pings outstanding than
// there are slots, and believes nothing in it but answers.
struct SharedAnswers {
    static constexpr std::size_t slots = 4096;
    std::atomic<std::uint64_t> count{0};
    char kinds[slots] = {};
};

struct SharedAnswersUnmap {
    void operator()(SharedAnswers* answers) const noexcept { munmap(answers, sizeof *answers); }
};

// The longest a ping or a list file's reading may take before the prober is
// killed and the file skipped.
inline constexpr std::chrono::seconds probe_deadline{5};

// One prober process, with the daemon's end of its channel and of its shared
// answers, and the state of the pings it is working through.
class ProbeWorker {
public:
    ProbeWorker() = default;
    ~ProbeWorker() { stop(false); }
    ProbeWorker(const ProbeWorker&) = delete;
    ProbeWorker& operator=(const ProbeWorker&) = delete;

    bool running() const { return pid_ >= 0; }
    // False, said once, when no prober can be started.
    bool start();
    // Ends the prober: at once when killed, else once it has read the end of its requests.
    void stop(bool kill);

    // Takes these paths to ping, answering into kinds.
    void begin(std::span<const char* const> paths, std::span<SourceKind> kinds);
    // Whether pings are still to be answered, a prober is running for them,
    // and what fits is queued to go.
    bool busy();
    bool sending() const { return out_at_ < out_.size(); }
    int channel() const { return channel_.get(); }
    // How long the daemon may wait for this prober before it looks again.
    int wait_milliseconds() const;
    // Sends and takes what poll found ready, and the answers that have come;
    // gives up on the file at hand when the prober overran or ended.
    void collect(short ready);

    ListReading read_list(const char* path, Listing& into, std::size_t most);

private:
    void restart();
    void send_queued();
    // Sends, and takes what came into `in`; false once the deadline passed or the prober is gone.
    bool take(short ready, std::string& in);
    bool pump(short events, std::string& in);
    // Logs why the file at `path` costs the prober its life, and ends it.
    void give_up(const char* path);

    pid_t pid_ = -1;
    UniqueDescriptor channel_;
    std::unique_ptr<SharedAnswers, SharedAnswersUnmap> answers_;
    std::unique_ptr<PrivateDirectory> temporary_;
    std::uint64_t pinged_ = 0;  // pings sent to this prober
    bool unavailable_ = false;  // a prober could not be started; said once

    std::span<const char* const> paths_;
    std::span<SourceKind> kinds_;
    std::size_t answered_ = 0;
    std::size_t sent_ = 0;
    std::size_t from_ = 0;      // the first path sent to this prober
    std::uint64_t first_ = 0;   // the prober's count of pings when it was
    std::string out_;
    std::size_t out_at_ = 0;
    std::chrono::steady_clock::time_point until_;
    bool overran_ = false;
};

// Pings images and reads list files for one expansion in worker processes of
// its own, bounded like the colour step's, so that no decoder or parser of a
// stranger's file runs in the daemon. A ping that overruns probe_deadline, or
// a prober that crashes, costs that one file: it is skipped with one line
// naming it, and a new prober takes the rest. Many pings are shared out
// between two probers, one for each processor a desktop has at the least.
// The probers are started when they are first needed and end with their owner.
class Prober {
public:
    // The answer of ping_image for each of the paths, in order; SOURCE_SKIPPED
    // for a path whose probe failed.
    void ping(std::span<const char* const> paths, std::span<SourceKind> kinds);

    // What read_list_file gives for the path, appended to `into`: read, or
    // none when it gives none or its probe failed, or over_budget when the
    // listing would take more than `most` bytes (it is then left incomplete).
    ListReading read_list(const char* path, Listing& into, std::size_t most);

private:
    static constexpr std::size_t workers = 2;
    // Fewer paths than this for each are not worth a second prober.
    static constexpr std::size_t least_share = 2;
    std::array<ProbeWorker, workers> workers_;
};

}  // namespace zelvo
