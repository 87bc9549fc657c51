#include <gtest/gtest.h>

#include <csignal>
#include <map>

#include "display/swaybg.h"

namespace zelvo {
namespace {

using namespace std::chrono_literals;

TEST(Swaybg, ModeOfEachFehStyle) {
    const std::pair<const char*, const char*> styles[] = {
        {"--bg-scale", "stretch"}, {"--bg-fill", "fill"}, {"--bg-max", "fit"}, {"--bg-center", "center"},
        {"--bg-tile", "tile"},      {"--bg-fill --geometry +0", "stretch"}, {"", "stretch"}, {"fill", "stretch"}};
    for (const auto& [style, mode] : styles) EXPECT_STREQ(swaybg_mode(style), mode) << style;
}

std::vector<std::string> texts(const LaunchVector& vector) {
    EXPECT_EQ(vector[vector.count() - 1], nullptr);
    return std::vector<std::string>(vector.entries(), vector.entries() + vector.count() - 1);
}

TEST(Swaybg, VectorsPairEachOutputWithItsImage) {
    const std::vector<SwaybgOutput> outputs = {{"DP-2", "/p/a b.png", "fill"}, {"HDMI-A-1", "/p/-c.jpg", "fit"}};
    EXPECT_EQ(texts(build_swaybg_argv(outputs)),
              (std::vector<std::string>{"zelvo-swaybg", "-o", "DP-2", "-i", "/p/a b.png", "-m", "fill", "-o",
                                        "HDMI-A-1", "-i", "/p/-c.jpg", "-m", "fit"}));
    EXPECT_EQ(texts(build_swaybg_argv({outputs[0]})).size(), 7u);

    EXPECT_EQ(texts(build_swaybg_envp("wayland-1", "/run/user/7", "/home/u")),
              (std::vector<std::string>{"WAYLAND_DISPLAY=wayland-1", "XDG_RUNTIME_DIR=/run/user/7", "HOME=/home/u"}));
    EXPECT_EQ(texts(build_swaybg_envp({}, "/run/user/7", {})), std::vector<std::string>{"XDG_RUNTIME_DIR=/run/user/7"});
}

// Processes that are only numbered: what the viewer starts and signals is recorded.
class FakeProcesses : public ViewerProcesses {
public:
    std::optional<pid_t> start(const SwaybgCall& call) override {
        if (refuse) return std::nullopt;
        started.push_back(call.argv[4]);  // the first image names the change
        return next_pid++;
    }
    void signal(pid_t child, int number) override { signals.emplace_back(child, number); }

    bool refuse = false;
    pid_t next_pid = 100;
    std::vector<std::string> started;
    std::vector<std::pair<pid_t, int>> signals;
};

SwaybgCall call(const char* image) {
    std::vector<std::string> argv = {"zelvo-swaybg", "-o", "HEADLESS-1", "-i", image, "-m", "fill"};
    return SwaybgCall{"/usr/bin/swaybg", LaunchVector(std::move(argv)), LaunchVector(std::vector<std::string>{})};
}

class SwaybgHandoverTest : public testing::Test {
protected:
    // Every step keeps at most two alive.
    void TearDown() override { EXPECT_LE(most_alive, 2u); }
    void show(const char* image) { viewer.show(call(image), now), note(); }
    void ended(pid_t child) { EXPECT_TRUE(viewer.on_child_ended(child, now)), note(); }
    // Lets time pass up to the next deadline, and steps there.
    void pass_deadline() {
        ASSERT_TRUE(viewer.deadline());
        now = *viewer.deadline();
        viewer.on_deadline(now);
        note();
    }
    void note() { most_alive = std::max(most_alive, viewer.alive()); }

    FakeProcesses processes;
    SwaybgHandover viewer{processes, 1000ms, 500ms};
    ViewerClock::time_point now{};
    std::size_t most_alive = 0;
};

TEST_F(SwaybgHandoverTest, TheOneOnScreenEndsOnlyWhenTheNewOneHasHadItsHandover) {
    show("a");
    EXPECT_EQ(std::make_tuple(viewer.on_screen(), viewer.deadline()), std::make_tuple(std::optional<pid_t>(100), std::nullopt))
        << "nothing on screen to hand over from";
    now += 5s;
    show("b");
    EXPECT_EQ(viewer.taking_over(), 101);
    EXPECT_EQ(viewer.deadline(), now + 1000ms);
    viewer.on_deadline(now + 999ms);
    EXPECT_TRUE(processes.signals.empty());
    pass_deadline();
    EXPECT_EQ(std::make_tuple(viewer.on_screen(), viewer.taking_over()), std::make_tuple(std::optional<pid_t>(101), std::nullopt));
    EXPECT_EQ(processes.signals, (std::vector<std::pair<pid_t, int>>{{100, SIGTERM}}));
    ended(100);
    EXPECT_EQ(std::make_tuple(viewer.alive(), viewer.deadline()), std::make_tuple(std::size_t{1}, std::nullopt));
    EXPECT_FALSE(viewer.on_child_ended(100, now)) << "an end reported twice";
}

TEST_F(SwaybgHandoverTest, ChangesDuringAHandoverKeepTwoAliveAndShowTheLast) {
    show("a");
    show("b");
    show("c");  // b has not taken over: it goes, and c waits for it
    EXPECT_EQ(processes.started, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(processes.signals, (std::vector<std::pair<pid_t, int>>{{101, SIGTERM}}));
    show("d");  // replaces c, which never started
    ended(101);
    EXPECT_EQ(processes.started, (std::vector<std::string>{"a", "b", "d"}));
    EXPECT_EQ(std::make_tuple(viewer.on_screen(), viewer.taking_over()), std::make_tuple(std::optional<pid_t>(100), std::optional<pid_t>(102)));
    pass_deadline();
    EXPECT_EQ(viewer.on_screen(), 102);
    // A change while the replaced one is still ending waits for its end.
    show("e");
    EXPECT_EQ(processes.started.size(), 3u);
    // Whoever reaps them knows each one alive, the one still ending too.
    EXPECT_EQ(viewer.children(), (std::vector<pid_t>{102, 100}));
    pass_deadline();  // it ignored SIGTERM
    EXPECT_EQ(processes.signals.back(), (std::pair<pid_t, int>{100, SIGKILL}));
    EXPECT_EQ(viewer.deadline(), std::nullopt) << "SIGKILL is sent once; its end is awaited";
    ended(100);
    EXPECT_EQ(processes.started.back(), "e");
}

TEST_F(SwaybgHandoverTest, MisbehavingSwaybgNeverTakesTheWallpaperAway) {
    show("a");
    // One that ends before its handover (an exec that failed, an exit at once) changes nothing.
    show("gone");
    ended(101);
    EXPECT_EQ(std::make_tuple(viewer.on_screen(), viewer.alive(), viewer.deadline()),
              std::make_tuple(std::optional<pid_t>(100), std::size_t{1}, std::nullopt));
    // No process at all: nothing started, nothing ended.
    processes.refuse = true;
    show("b");
    EXPECT_EQ(std::make_tuple(viewer.alive(), processes.signals.size()), std::make_tuple(std::size_t{1}, std::size_t{0}));
    processes.refuse = false;
    // The one on screen dies with its compositor while another takes over: that one shows at once.
    show("c");
    ended(100);
    EXPECT_EQ(std::make_tuple(viewer.on_screen(), viewer.taking_over(), viewer.deadline()),
              std::make_tuple(std::optional<pid_t>(102), std::nullopt, std::nullopt));
    // It dies too: the next change starts one with nothing to hand over from.
    ended(102);
    EXPECT_EQ(viewer.alive(), 0u);
    show("d");
    EXPECT_EQ(std::make_tuple(viewer.on_screen(), viewer.deadline()), std::make_tuple(std::optional<pid_t>(103), std::nullopt));
    EXPECT_FALSE(viewer.on_child_ended(4242, now)) << "a child of someone else";
}

TEST_F(SwaybgHandoverTest, EndAllEndsEveryOneAndForgetsWhatWaits) {
    show("a");
    show("b");
    show("c");  // waits for b's end
    viewer.end_all(now);
    EXPECT_EQ(processes.signals, (std::vector<std::pair<pid_t, int>>{{101, SIGTERM}, {100, SIGTERM}}));
    pass_deadline();
    EXPECT_EQ(processes.signals.size(), 4u);
    ended(100);
    ended(101);
    EXPECT_EQ(std::make_tuple(viewer.alive(), processes.started.size()), std::make_tuple(std::size_t{0}, std::size_t{2}));
}

}  // namespace
}  // namespace zelvo
