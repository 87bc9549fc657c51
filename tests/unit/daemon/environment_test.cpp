#include <gtest/gtest.h>

#include <cstdlib>
#include <pwd.h>
#include <string>
#include <unistd.h>

#include "config/run_options.h"
#include "daemon/startup.h"

namespace zelvo {
namespace {

// Sets or unsets environment variables for one test and restores them after.
class ScopedEnvironment {
public:
    ~ScopedEnvironment() {
        for (auto& [name, value] : saved_) {
            if (value) setenv(name.c_str(), value->c_str(), 1);
            else unsetenv(name.c_str());
        }
    }
    void set(const char* name, const char* value) {
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(CaptureEnvironment, TakesHomeXauthorityAndDisplayFromTheEnvironment) {
    ScopedEnvironment environment;
    environment.set("HOME", "/home/someone");
    environment.set("XAUTHORITY", "/home/someone/.Xauthority");
    environment.set("DISPLAY", ":7");
    std::optional<RunOptions> options = capture_environment();
    ASSERT_TRUE(options);
    EXPECT_EQ(options->home, "/home/someone");
    EXPECT_EQ(options->xauthority, "/home/someone/.Xauthority");
    EXPECT_EQ(options->display, ":7");
}

TEST(CaptureEnvironment, UnsetVariablesLeaveFieldsAbsentAndHomeComesFromPasswd) {
    const passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr) << "the test user needs a password entry";
    ScopedEnvironment environment;
    environment.set("HOME", nullptr);
    environment.set("XAUTHORITY", nullptr);
    environment.set("DISPLAY", nullptr);
    std::optional<RunOptions> options = capture_environment();
    ASSERT_TRUE(options);
    EXPECT_EQ(options->home, entry->pw_dir);
    EXPECT_FALSE(options->xauthority);
    EXPECT_FALSE(options->display);
}

TEST(CaptureEnvironment, EmptyHomeIsUsedAsItComes) {
    ScopedEnvironment environment;
    environment.set("HOME", "");
    std::optional<RunOptions> options = capture_environment();
    ASSERT_TRUE(options);
    EXPECT_EQ(options->home, "");
}

TEST(CaptureEnvironment, WithoutProgramsOnPathFallsBackAndLeavesPathAlone) {
    ScopedEnvironment environment;
    environment.set("PATH", "/nonexistent-a::/nonexistent-b:");
    std::optional<RunOptions> options = capture_environment();
    ASSERT_TRUE(options);
    EXPECT_EQ(options->feh_path, "/usr/bin/feh");
    EXPECT_EQ(options->xrdb_path, "/usr/bin/xrdb");
    EXPECT_STREQ(std::getenv("PATH"), "/nonexistent-a::/nonexistent-b:");
}

}  // namespace
}  // namespace zelvo
