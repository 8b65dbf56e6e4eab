// The shared library shows its host exactly the two entry points.
#include "support/Processes.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

TEST(Exports, OnlyTheTwoEntryPoints) {
    std::istringstream listing(camtest::commandOutput(std::string("nm -D --defined-only ") + CAMUPGRADE_LIBRARY));
    std::set<std::string> names;
    for (std::string address, type, name; listing >> address >> type >> name;)
        names.insert(name);
    EXPECT_EQ(names, (std::set<std::string>{"CamUpgrade", "GetUpdateStatus"}));
}
