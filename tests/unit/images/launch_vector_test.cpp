#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "images/launch_vector.h"

namespace zelvo {
namespace {

TEST(ListToArgv, CopiesEachNodeOnceThenTheTerminator) {
    StringList one(string_list_append(nullptr, "xrdb"));
    LaunchVector single = list_to_argv(one.first());
    one.first()->value = "changed";  // the vector keeps copies of its own
    ASSERT_EQ(single.count(), 2u);
    EXPECT_STREQ(single[0], "xrdb");
    EXPECT_EQ(single.entries()[1], nullptr);
    // A ring from its middle node, with equal values in distinct nodes.
    StringNode* first = string_list_append(nullptr, "a");
    string_list_append(string_list_append(first, "b"), "a")->link = first;
    ImageRing ring(first);
    LaunchVector argv = list_to_argv(first->link);
    ASSERT_EQ(argv.count(), 4u);
    EXPECT_EQ(std::vector<std::string>(argv.entries(), argv.entries() + 3), (std::vector<std::string>{"b", "a", "a"}));
    EXPECT_EQ(argv[3], nullptr);
}

}  // namespace
}  // namespace zelvo
