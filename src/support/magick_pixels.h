#pragma once

// What the pixel loops of magick.cpp need from the MagickCore in use. Each
// version's file defines it (magick6.cpp, magick7.cpp, of which CMake builds
// the one that fits), so that every loop is written once, in magick.cpp, on
// these few primitives. For support/ alone.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "support/magick.h"

namespace zelvo {

// The rows of an image's pixels, read one at a time. A pixel's value is its
// raw bytes: every channel it has (in MagickCore 6, with the black of a CMYK
// image, which it keeps in the index queue), so that values of equal bytes
// are equal pixels.
class MagickPixelRows {
public:
    explicit MagickPixelRows(const Image* image);

    // Reads row y; false when it cannot be read.
    bool read(std::size_t y, ExceptionInfo* exception);
    std::size_t value_bytes() const { return value_bytes_; }
    // The value of pixel x of the row read.
    const unsigned char* value(std::size_t x) const { return row_ + x * value_bytes_; }
    // The colour-map entry that pixel x of the row read names; none when it
    // names no entry that can be told.
    std::optional<std::size_t> entry(std::size_t x) const;
    // Whether two values are the same colour as MagickCore counts colours.
    bool same(const unsigned char* one, const unsigned char* other) const;

private:
    const Image* image_;
    std::size_t value_bytes_ = 0;
    const unsigned char* row_ = nullptr;
    // MagickCore 6 alone: the row's index queue, and its values made of two parts.
    [[maybe_unused]] const void* indexes_ = nullptr;
    std::vector<unsigned char> joined_;
};

// Whether the pixels of a colour-mapped image tell their entries.
bool magick_entries_readable(const Image* image);

// An image like `like` of one row: the values given (as MagickPixelRows
// gives them), each with its colour-map entry; null when MagickCore fails.
ImagePtr magick_row_of_values(const Image* like, const std::vector<const unsigned char*>& values,
                              const std::vector<std::size_t>& entries, ExceptionInfo* exception);

// An image's histogram: how many entries it has, and each as a colour tuple
// at no more than 8 bits a channel. Empty when MagickCore gives none.
class MagickHistogram {
public:
    MagickHistogram(const Image* image, ExceptionInfo* exception);
    ~MagickHistogram();
    MagickHistogram(const MagickHistogram&) = delete;
    MagickHistogram& operator=(const MagickHistogram&) = delete;

    std::size_t size() const { return count_; }
    std::string tuple(std::size_t index) const;

private:
    const Image* image_;
    void* entries_ = nullptr;
    std::size_t count_ = 0;
};

}  // namespace zelvo
