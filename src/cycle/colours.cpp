#include "cycle/colours.h"

#include <sys/stat.h>

#include <chrono>

#include "colour/palette_cache.h"
#include "support/url.h"

namespace zelvo {

bool FileIdentity::operator==(const FileIdentity& other) const {
    const auto same = [](const timespec& one, const timespec& two) {
        return one.tv_sec == two.tv_sec && one.tv_nsec == two.tv_nsec;
    };
    return device == other.device && inode == other.inode && size == other.size && same(modified, other.modified) &&
           same(changed, other.changed);
}

std::optional<FileIdentity> file_identity(const std::string& path) {
    struct stat status{};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    return FileIdentity{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
}

void forget_unusable_cache(Config& config) {
    if (config.cache && !palette_cache_usable(*config.cache)) config.cache.reset();
}

ColourWatch::ColourWatch(event_base* base, std::unique_ptr<ColourChild> step)
    : step_(std::move(step)),
      readable_(base, step_->descriptor(), DescriptorEvent::Ready::read,
                [this] {
                    if (!step_->take()) return;
                    stop_watching();
                }),
      overdue_(base, [this] {
          step_->kill_overdue();
          stop_watching();
      }) {
    if (step_->known()) return;
    readable_.start();
    overdue_.schedule_at(step_->deadline());
}

void ColourWatch::watch(EventCallback known) {
    if (!step_->known()) known_ = std::move(known);
}

// The step is over, one way or the other: the loop no longer watches it,
// its channel goes, and whoever waits for it hears of it last: the watch
// may be destroyed there, so nothing of it is touched after.
void ColourWatch::stop_watching() {
    readable_.stop();
    overdue_.cancel();
    step_->close_pipe();
    const EventCallback known = std::move(known_);
    if (known) known();
}

bool ColourSteps::prepared_for(const std::string& image, bool dark) const {
    return prepared_ && prepared_->step().image() == image && prepared_->step().dark() == dark;
}

std::unique_ptr<ColourWatch> ColourSteps::watched(std::unique_ptr<ColourChild> step) {
    return std::make_unique<ColourWatch>(base_, std::move(step));
}

void ColourSteps::prepare(const std::string* next) {
    const Config& config = *options_.config;
    if (!config.colors || next == nullptr) {
        prepared_.reset();
        return;
    }
    const bool dark = config.dark != 0;
    if (prepared_for(*next, dark)) return;
    prepared_.reset();
    if (is_url(*next)) return;
    const std::optional<FileIdentity> file = file_identity(*next);
    if (!file) return;
    prepared_ = watched(std::make_unique<ColourChild>(*next, dark, true, config.cache));
    prepared_->file = file;
}

void ColourSteps::drop_unless(const std::string* image) {
    if (image == nullptr || !prepared_for(*image, options_.config->dark != 0)) prepared_.reset();
}

std::unique_ptr<ColourWatch> ColourSteps::take(const std::string& image, bool dark) {
    // A preparation for another image is left alone: it is for the next change.
    if (prepared_for(image, dark)) {
        std::unique_ptr<ColourWatch> prepared = std::move(prepared_);
        const ColourChild& step = prepared->step();
        // One that failed before its turn is tried again, as if nothing had been prepared.
        if (file_identity(image) == prepared->file && (!step.known() || !step.result().complaint)) return prepared;
    }
    return watched(std::make_unique<ColourChild>(image, dark, false, options_.config->cache));
}

}  // namespace zelvo
