#include <gtest/gtest.h>

#include <string>

#include "control/pid_lock.h"
#include "control/runtime_directory.h"
#include "control/status_file.h"

namespace zelvo {
namespace {

using namespace std::string_literals;

TEST(StatusFile, HoldsAnyFileNameAndEachMonitorsTimingAndReadsBackWhatWasWritten) {
    DaemonStatus status{4242, ":0", 1800, 1765214400, 1765216200, {"/a\nb=c.png", "", "https://x.org/d.jpg"}, true,
                        {{1800, 1765216200}, {3600, {}}}, {1765214401, {}, 1765214400}};
    const std::string text = status_text(status);
    EXPECT_EQ(text, "zelvo-status=1\0pid=4242\0display=:0\0interval=1800\0changed=1765214400\0"
                    "next=1765216200\0image=/a\nb=c.png\0image=\0image=https://x.org/d.jpg\0"
                    "paused=1\0monitor=1800 1765216200\0monitor=3600 -\0"
                    "drawn=1765214401\0drawn=-\0drawn=1765214400\0"s);
    const std::optional<DaemonStatus> read = parse_status(text + "later=1\0"s);  // unknown keys are passed over
    ASSERT_TRUE(read);
    EXPECT_EQ(std::tie(read->pid, read->display, read->interval, read->last_change, read->next_change, read->images,
                       read->paused, read->monitors, read->drawn),
              std::tie(status.pid, status.display, status.interval, status.last_change, status.next_change,
                       status.images, status.paused, status.monitors, status.drawn));
    // What it does not know, or is not so, it does not write: a viewer that cannot tell when it drew, no "drawn".
    const std::string bare = status_text(DaemonStatus{7, ":1", 60, {}, {}, {}, false, {}, {}});
    EXPECT_EQ(bare, "zelvo-status=1\0pid=7\0display=:1\0interval=60\0"s);
    EXPECT_FALSE(parse_status(bare)->last_change);
}

TEST(StatusFile, RefusesWhatIsNoStatus) {
    for (const std::string& text : {""s, "zelvo-status=1\0pid=1"s, "zelvo-status=2\0pid=1\0"s, "pid=1\0"s,
                                    "zelvo-status=1\0display=:0\0"s, "zelvo-status=1\0pid=0\0"s,
                                    "zelvo-status=1\0pid=1\0interval=-1\0"s, "zelvo-status=1\0pid=1\0next=9e9\0"s,
                                    "zelvo-status=1\0pid=1\0changed=99999999999999999999\0"s,
                                    "zelvo-status=1\0pid=1\0image\0"s, "zelvo-status=1\0pid=1\0monitor=600\0"s,
                                    "zelvo-status=1\0pid=1\0monitor=x 1\0"s, "zelvo-status=1\0pid=1\0monitor=600 \0"s,
                                    "zelvo-status=1\0pid=1\0monitor=-1 5\0"s, "zelvo-status=1\0pid=1\0monitor=600 1x\0"s,
                                    "zelvo-status=1\0pid=1\0drawn=\0"s, "zelvo-status=1\0pid=1\0drawn=12 \0"s,
                                    "zelvo-status=1\0pid=1\0drawn=--\0"s})
        EXPECT_FALSE(parse_status(text)) << text;
}

TEST(PidFile, NamesAPidOnlyInOneLineOfDigits) {
    EXPECT_EQ(parse_pid("1234\n"), 1234);
    EXPECT_EQ(parse_pid("7"), 7);
    for (const char* text : {"", "\n", "0\n", "-3\n", "12 \n", "1\n\n", "99999999999\n", "2147483648"})
        EXPECT_FALSE(parse_pid(text)) << text;
}

TEST(RuntimeDirectory, NamesEachDisplayByAFileNameOfItsOwn) {
    EXPECT_EQ(pid_file_name(":0"), ":0.pid");
    EXPECT_EQ(status_file_name("my-host:10.0"), "my-host:10.0.status");
    EXPECT_EQ(display_file_name("/tmp/launch-x/org.xquartz:0"), "%2Ftmp%2Flaunch-x%2Forg.xquartz:0");
    EXPECT_EQ(display_file_name(".."), "%2E.");
    EXPECT_EQ(display_file_name("a b%"), "a%20b%25");
    const RuntimePlace session = runtime_place("/run/user/7", "/home/u");
    const RuntimePlace home = runtime_place("", "/home/u");
    EXPECT_EQ(session.base + "/" + session.folder, "/run/user/7/zelvo");
    EXPECT_EQ(home.base + "/" + home.folder, "/home/u/.zelvo/run");
}

}  // namespace
}  // namespace zelvo
