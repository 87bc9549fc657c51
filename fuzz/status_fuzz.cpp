// Fuzzes the reader of the status file that zelvoctl reads: whatever it
// accepts, written again, reads back as the same status, and every text it
// gives holds no NUL byte.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>

#include "control/status_file.h"
#include "fuzz_support.h"

using zelvo_fuzz::fail;

namespace {

auto fields(const zelvo::DaemonStatus& status) {
    return std::tie(status.pid, status.display, status.interval, status.last_change, status.next_change,
                    status.images, status.paused);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zelvo_fuzz::keep_standard_error();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::optional<zelvo::DaemonStatus> status = zelvo::parse_status(input);
    if (!status) return 0;
    if (status->pid <= 0) fail("a status with pid %ld", static_cast<long>(status->pid));
    if (status->display.find('\0') != std::string::npos) fail("a display with a NUL byte");
    for (const std::string& image : status->images)
        if (image.find('\0') != std::string::npos) fail("an image with a NUL byte");
    const std::string again = zelvo::status_text(*status);
    const std::optional<zelvo::DaemonStatus> reread = zelvo::parse_status(again);
    if (!reread || fields(*reread) != fields(*status)) fail("a status does not read back as written");
    if (zelvo::status_text(*reread) != again) fail("a status is written in two ways");
    return 0;
}
