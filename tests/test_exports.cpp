// The shared library shows its host exactly the two entry points.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

TEST(Exports, OnlyTheTwoEntryPoints) {
    std::string command = std::string("nm -D --defined-only ") + CAMUPGRADE_LIBRARY;
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> names;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        fields >> address >> type >> name;
        if (!name.empty())
            names.insert(name);
    }
    ASSERT_EQ(pclose(pipe), 0) << command;
    EXPECT_EQ(names, (std::set<std::string>{"CamUpgrade", "GetUpdateStatus"}));
}
