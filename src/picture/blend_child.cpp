#include "picture/blend_child.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>

#include "picture/shared_mapping.h"
#include "process/descriptor_passing.h"
#include "process/worker.h"

namespace zelvo {

namespace {

// The picture step's backstop on processor time, for each output blended:
// a frame is one pass over its pixels, and a transition a few dozen frames.
constexpr rlim_t processor_seconds_per_output = 30;

// What goes over the socket, in the machine's own byte order (both ends are
// the same program): an ask is a header of `ask_size` bytes, 'A', then the
// output, the slot, the frame, the number of rectangles and a word unused,
// followed by the progress (a double) and the rectangles, four words each;
// an answer is 'D', then the output, the slot and the frame.
constexpr char sent_ask = 'A';
constexpr char sent_done = 'D';
constexpr std::size_t ask_size = 24;
constexpr std::size_t rect_size = 16;
constexpr std::size_t done_size = 16;

void put_word(std::string& bytes, std::uint32_t word) { bytes.append(reinterpret_cast<const char*>(&word), 4); }

std::uint32_t word_at(const char* bytes, std::size_t at) {
    std::uint32_t word;
    std::memcpy(&word, bytes + at, 4);
    return word;
}

// Reads exactly `size` bytes, blocking; false at the end of the socket.
bool read_exactly(int socket, char* into, std::size_t size) {
    for (std::size_t got = 0; got < size;) {
        const ssize_t part = read(socket, into + got, size - got);
        if (part < 0 && errno == EINTR) continue;
        if (part <= 0) return false;
        got += static_cast<std::size_t>(part);
    }
    return true;
}

// What the worker knows of one output: the memory of what it was given, as
// descriptors inherited, with the rows' strides.
struct Given {
    BlendShape shape;
    int old_memory, new_memory;
    std::uint32_t old_stride, new_stride;
    std::vector<int> ring;
    std::vector<std::uint32_t> ring_strides;
};

struct Mapped {
    BlendShape shape;
    std::unique_ptr<SharedMapping> old_picture, new_picture;
    std::uint32_t old_stride, new_stride;
    std::vector<std::unique_ptr<SharedMapping>> ring;
    std::vector<std::uint32_t> ring_strides;
};

bool rect_inside(const PictureRect& rect, const BlendShape& shape) {
    return rect.width <= shape.width && rect.x <= shape.width - rect.width && rect.height <= shape.height &&
           rect.y <= shape.height - rect.height;
}

// The worker's whole life; it ends through _exit when it returns: when the
// daemon lets go of the socket, or asks what it never offered.
void run_blend_child(int channel, const std::vector<Given>& given) {
    limit_worker(0);
    limit_processor_time(processor_seconds_per_output * std::max<rlim_t>(given.size(), 1));
    std::vector<Mapped> outputs;
    for (const Given& one : given) {
        const std::size_t height = one.shape.height;
        Mapped mapped{one.shape, std::make_unique<SharedMapping>(one.old_memory, one.old_stride * height, false),
                      std::make_unique<SharedMapping>(one.new_memory, one.new_stride * height, false), one.old_stride,
                      one.new_stride, {}, one.ring_strides};
        if (mapped.old_picture->pixels() == nullptr || mapped.new_picture->pixels() == nullptr) return;
        for (std::size_t slot = 0; slot < one.ring.size(); ++slot) {
            mapped.ring.push_back(std::make_unique<SharedMapping>(one.ring[slot], one.ring_strides[slot] * height));
            if (mapped.ring.back()->pixels() == nullptr) return;
        }
        outputs.push_back(std::move(mapped));
    }
    char header[ask_size];
    std::vector<PictureRect> rects;
    while (read_exactly(channel, header, ask_size)) {
        const std::uint32_t output = word_at(header, 4), slot = word_at(header, 8), frame = word_at(header, 12);
        const std::uint32_t count = word_at(header, 16);
        if (header[0] != sent_ask || output >= outputs.size() || slot >= outputs[output].ring.size() ||
            count > most_frame_rects)
            return;
        char words[most_frame_rects * rect_size + sizeof(double)];
        if (!read_exactly(channel, words, sizeof(double) + count * rect_size)) return;
        double progress;
        std::memcpy(&progress, words, sizeof progress);
        if (!(progress >= 0 && progress <= 1)) return;
        Mapped& mapped = outputs[output];
        rects.clear();
        for (std::uint32_t at = 0; at < count; ++at) {
            const char* rect = words + sizeof(double) + at * rect_size;
            rects.push_back(PictureRect{word_at(rect, 0), word_at(rect, 4), word_at(rect, 8), word_at(rect, 12)});
            if (!rect_inside(rects.back(), mapped.shape)) return;
        }
        for (const PictureRect& rect : rects)
            blend_rect(mapped.shape, progress, rect, PixelRows{mapped.old_picture->pixels(), mapped.old_stride},
                       PixelRows{mapped.new_picture->pixels(), mapped.new_stride}, mapped.ring[slot]->pixels(),
                       mapped.ring_strides[slot]);
        std::string done(1, sent_done);
        done.append(3, '\0');
        put_word(done, output);
        put_word(done, slot);
        put_word(done, frame);
        if (!descriptor_send(channel, done, -1)) return;
    }
}

std::vector<Given> given_of(const std::vector<BlendOutput>& outputs) {
    std::vector<Given> given;
    for (const BlendOutput& output : outputs) {
        Given one{output.shape, output.old_picture->memory.get(), output.new_picture->memory.get(),
                  output.old_picture->stride, output.new_picture->stride, {}, {}};
        for (const Picture* slot : output.ring) {
            one.ring.push_back(slot->memory.get());
            one.ring_strides.push_back(slot->stride);
        }
        given.push_back(std::move(one));
    }
    return given;
}

}  // namespace

BlendChild::BlendChild(const std::vector<BlendOutput>& outputs)
    : worker_(nullptr, [given = given_of(outputs)](int sending, const char*) { run_blend_child(sending, given); }) {}

bool BlendChild::ask(const BlendAsk& ask) {
    if (gone_ || !worker_.started() || ask.write.size() > most_frame_rects) return false;
    std::string bytes(1, sent_ask);
    bytes.append(3, '\0');
    put_word(bytes, ask.output);
    put_word(bytes, ask.slot);
    put_word(bytes, ask.frame);
    put_word(bytes, static_cast<std::uint32_t>(ask.write.size()));
    put_word(bytes, 0);
    bytes.append(reinterpret_cast<const char*>(&ask.progress), sizeof ask.progress);
    for (const PictureRect& rect : ask.write) {
        put_word(bytes, rect.x);
        put_word(bytes, rect.y);
        put_word(bytes, rect.width);
        put_word(bytes, rect.height);
    }
    return descriptor_send(worker_.descriptor(), bytes, -1);
}

std::optional<std::vector<BlendDone>> BlendChild::take() {
    std::vector<BlendDone> done;
    while (!gone_) {
        char bytes[1024];
        const ssize_t got = read(worker_.descriptor(), bytes, sizeof bytes);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (got <= 0) {
            // The worker has let go: it ends, or has ended, on its own.
            worker_.finished();
            gone_ = true;
            break;
        }
        received_.append(bytes, static_cast<std::size_t>(got));
        for (; received_.size() >= done_size; received_.erase(0, done_size)) {
            if (received_[0] != sent_done) {
                worker_.kill();
                gone_ = true;
                break;
            }
            done.push_back(BlendDone{word_at(received_.data(), 4), word_at(received_.data(), 8),
                                     word_at(received_.data(), 12)});
        }
    }
    if (gone_) return std::nullopt;
    return done;
}

void BlendChild::stop() {
    worker_.kill();
    gone_ = true;
}

}  // namespace zelvo
