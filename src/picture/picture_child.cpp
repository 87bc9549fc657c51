#include "picture/picture_child.h"

#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <thread>

#include "colour/colour_child.h"
#include "colour/fetch.h"
#include "picture/picture_fit.h"
#include "picture/shared_mapping.h"
#include "process/descriptor_passing.h"
#include "support/magick.h"
#include "support/regular_file.h"
#include "support/url.h"

namespace zelvo {

namespace {

using Clock = std::chrono::steady_clock;

// The colour step's backstop behind the deadline and its step back in the
// background (see colour_child.cpp).
constexpr rlim_t processor_seconds = 30;
constexpr int background_niceness = 10;

// What the worker sends: for each target in turn a record of a picture, its
// memory riding on the record's first byte; or, once, a letter that says why
// it gave up, with the fetch's reason after it, and then it ends.
constexpr char sent_picture = 'P';
constexpr char sent_fetch_failed = 'F';
constexpr char sent_unreadable = 'U';
constexpr char sent_no_room = 'R';
constexpr std::size_t record_size = 16;
constexpr std::size_t most_received = 1024;

// XRGB8888 in the machine's byte order, as MagickCore names the bytes.
constexpr const char* pixel_map = std::endian::native == std::endian::little ? "BGRP" : "PRGB";
constexpr std::size_t pixel_bytes = 4;

void put_word(std::string& record, std::uint32_t word) { record.append(reinterpret_cast<const char*>(&word), 4); }

std::uint32_t word_at(const std::string& bytes, std::size_t at) {
    std::uint32_t word;
    std::memcpy(&word, bytes.data() + at, 4);
    return word;
}

// The image's first frame as a display shows it: in sRGB, its transparent
// parts over black. None when it cannot be read whole: a truncated file,
// whose missing rows MagickCore would fill with grey, counts as unreadable.
ImagePtr read_shown(const std::string& path) {
    ExceptionPtr exception = magick_exception();
    ImageInfoPtr info = magick_image_info();
    if (!magick_set_image_path(info.get(), path.c_str()) || !is_plain_file(path.c_str())) return nullptr;
    magick_first_frame_only(info.get());
    ImagePtr image = magick_read(info.get(), exception.get());
    if (!image) return nullptr;
    const ExceptionType severity = magick_read_severity(image.get(), exception.get());
    if (severity >= ErrorException || severity == CorruptImageWarning) return nullptr;
    magick_sync_settings(info.get(), image.get(), exception.get());
    magick_to_srgb(image.get(), exception.get());
    magick_flatten_over_black(image.get(), exception.get());
    if (exception->severity >= ErrorException) return nullptr;
    return image;
}

// Writes the image fitted to the target into `pixels` (rows of `stride`
// bytes, black already); false when MagickCore fails.
bool render(const Image* image, const PictureTarget& target, unsigned char* pixels, std::size_t stride) {
    ExceptionPtr exception = magick_exception();
    const PictureFit fit =
        picture_fit(picture_style(target.bg_style), static_cast<std::uint32_t>(image->columns),
                    static_cast<std::uint32_t>(image->rows), target.width, target.height);
    ImagePtr part;
    const Image* source = image;
    if (fit.from != PictureRect{0, 0, static_cast<std::uint32_t>(image->columns), static_cast<std::uint32_t>(image->rows)}) {
        part = magick_crop(source, fit.from.x, fit.from.y, fit.from.width, fit.from.height, exception.get());
        if (!part) return false;
        source = part.get();
    }
    ImagePtr scaled;
    if (!fit.tile && (fit.to.width != fit.from.width || fit.to.height != fit.from.height)) {
        scaled = magick_resize(source, fit.to.width, fit.to.height, exception.get());
        if (!scaled) return false;
        source = scaled.get();
    }
    // What is drawn once: the whole fit, or the first tile as far as it is seen.
    const std::uint32_t width = std::min(fit.to.width, target.width);
    const std::uint32_t height = std::min(fit.to.height, target.height);
    for (std::uint32_t row = 0; row < height; ++row)
        if (!magick_export(source, 0, row, width, 1, pixel_map, pixels + (fit.to.y + row) * stride + fit.to.x * pixel_bytes,
                           exception.get()))
            return false;
    if (!fit.tile) return true;
    for (std::uint32_t row = 0; row < target.height; ++row) {
        unsigned char* line = pixels + row * stride;
        if (row >= height) std::memcpy(line, pixels + (row % height) * stride, target.width * pixel_bytes);
        else
            for (std::uint32_t x = width; x < target.width; x += width)
                std::memcpy(line + x * pixel_bytes, line, std::min(width, target.width - x) * pixel_bytes);
    }
    return true;
}

// The worker's whole life; it ends through _exit when it returns.
void run_picture_child(int sending, const std::string& image_path, const std::vector<PictureTarget>& targets,
                       const char* folder, Clock::time_point until, bool background) {
    if (background) setpriority(PRIO_PROCESS, 0, getpriority(PRIO_PROCESS, 0) + background_niceness);
    limit_worker(static_cast<rlim_t>(std::max(magick_disk_bytes, most_fetched_bytes)));
    magick_limit_child(folder);
    limit_processor_time(processor_seconds * std::max<rlim_t>(magick_thread_limit(), 1));
    std::string path = image_path;
    if (is_url(image_path)) {
        std::optional<std::string> why = std::string("there is no private directory for it");
        if (folder != nullptr) {
            path = std::string(folder) + "/fetched";
            why = fetch_url(image_path, path, until);
        }
        if (why) {
            write_all(sending, sent_fetch_failed + why->substr(0, most_received / 2));
            return;
        }
    }
    // On a thread of its own, as in the colour step: OpenMP starts afresh there.
    char failure = 0;
    std::thread([&] {
        ImagePtr image = read_shown(path);
        if (!image) {
            failure = sent_unreadable;
            return;
        }
        for (const PictureTarget& target : targets) {
            const std::size_t stride = std::size_t{target.width} * pixel_bytes;
            std::optional<UniqueDescriptor> memory = shared_memory_create(stride * target.height);
            if (!memory) {
                failure = sent_no_room;
                return;
            }
            {
                const SharedMapping mapping(memory->get(), stride * target.height);
                if (mapping.pixels() == nullptr) {
                    failure = sent_no_room;
                    return;
                }
                if (!render(image.get(), target, mapping.pixels(), stride)) {
                    failure = sent_unreadable;
                    return;
                }
            }
            // Sealed before it goes: the daemon and the display server then
            // know that it cannot shrink under them.
            if (!shared_memory_seal(memory->get())) {
                failure = sent_no_room;
                return;
            }
            std::string record(1, sent_picture);
            record.append(3, '\0');
            put_word(record, target.width);
            put_word(record, target.height);
            put_word(record, static_cast<std::uint32_t>(stride));
            if (!descriptor_send(sending, record, memory->get())) return;
        }
    }).join();
    if (failure != 0) write_all(sending, std::string(1, failure));
}

std::string reason_of(char letter, const std::string& rest) {
    switch (letter) {
    case sent_fetch_failed: {
        std::string reason = rest;
        std::replace_if(reason.begin(), reason.end(), [](char c) { return c == '\n' || c == '\0'; }, ' ');
        return "fetching it failed: " + reason;
    }
    case sent_unreadable: return "it cannot be read as an image";
    case sent_no_room: return "there is no room for its pictures";
    default: return "reading it ended before it was done";
    }
}

}  // namespace

PictureChild::PictureChild(const std::string& image, std::vector<PictureTarget> targets, bool background)
    : image_(image), targets_(std::move(targets)), until_(Clock::now() + colour_deadline) {
    if (targets_.empty() || targets_.size() > most_picture_targets) {
        gave_up("it was asked for " + std::to_string(targets_.size()) + " pictures");
        return;
    }
    for (const PictureTarget& target : targets_)
        if (target.width == 0 || target.height == 0) {
            gave_up("it was asked for a picture without pixels");
            return;
        }
    worker_.emplace("picture", [this, background](int sending, const char* folder) {
        run_picture_child(sending, image_, targets_, folder, until_, background);
    });
    if (!worker_->started()) gave_up(worker_->failure());
}

void PictureChild::gave_up(const std::string& why) {
    pictures_.clear();
    result_ = PictureResult{{}, "Zelvo gave up on the picture of " + image_ + ": " + why};
    if (worker_) worker_->kill();
}

bool PictureChild::take() {
    bool refused = false;
    while (!known()) {
        char bytes[256];
        const std::size_t room = std::min(sizeof bytes, most_received + record_size - received_.size());
        const ssize_t got =
            descriptor_receive(worker_->descriptor(), bytes, room, memories_, targets_.size(), refused);
        if (refused) {
            gave_up("it sent what was not asked for");
            break;
        }
        if (got > 0) {
            received_.append(bytes, static_cast<std::size_t>(got));
            if (take_records()) break;
            if (received_.size() >= most_received) {
                gave_up(reason_of(received_[0], received_.substr(1)));
                break;
            }
        } else if (got == 0 || errno != EAGAIN) {
            // The worker has let go: everything it sent is here.
            worker_->finished();
            gave_up(received_.empty() ? reason_of(0, "") : reason_of(received_[0], received_.substr(1)));
        } else {
            return false;
        }
    }
    return true;
}

// Takes the whole records of pictures received; true once the result is known.
bool PictureChild::take_records() {
    while (received_.size() >= record_size && received_[0] == sent_picture) {
        const std::size_t index = pictures_.size();
        const PictureTarget& target = targets_[index];
        Picture picture{UniqueDescriptor(), word_at(received_, 4), word_at(received_, 8), word_at(received_, 12)};
        received_.erase(0, record_size);
        // Each picture is believed only as far as its memory holds it.
        if (index >= memories_.size() || picture.width != target.width || picture.height != target.height ||
            picture.stride < std::size_t{picture.width} * pixel_bytes || picture.stride % pixel_bytes != 0 ||
            !shared_memory_holds(memories_[index].get(), picture.bytes())) {
            gave_up("it sent a picture that is not the one asked for");
            return true;
        }
        picture.memory = std::move(memories_[index]);
        pictures_.push_back(std::move(picture));
        if (pictures_.size() == targets_.size()) {
            result_ = PictureResult{std::move(pictures_), std::nullopt};
            memories_.clear();
            worker_->kill();
            return true;
        }
    }
    return false;
}

void PictureChild::kill_overdue() {
    if (!known()) gave_up("reading it took longer than 20 seconds");
}

PictureResult& PictureChild::wait() {
    while (!take()) {
        pollfd watched{worker_->descriptor(), POLLIN, 0};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until_ - Clock::now()).count();
        if (left <= 0 || (poll(&watched, 1, static_cast<int>(left)) < 0 && errno != EINTR)) {
            kill_overdue();
            break;
        }
    }
    return *result_;
}

}  // namespace zelvo
