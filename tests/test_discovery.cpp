// Who is on the segment, both ways against a host library and a device
// nobody here wrote (aravis's discovery tool and fake camera), inside a
// network namespace of the test's own: there a broadcast stays on loopback.
#ifndef _WIN32  // network namespaces and aravis's tools are Linux's
#include "discovery/Discovery.h"
#include "support/NetNs.h"
#include "support/Processes.h"

#include "camsim/Camera.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <thread>

using namespace std::chrono_literals;

namespace {

const discovery::Identity* byIp(const std::vector<discovery::Identity>& found, const std::string& ip) {
    for (const auto& f : found)
        if (f.ip == ip)
            return &f;
    return nullptr;
}

bool hasWrite(const std::vector<camsim::Event>& events) {
    for (const auto& e : events)
        if (e.text.rfind("WRITE", 0) == 0)
            return true;
    return false;
}

}  // namespace

TEST(Discovery, FindsAndReadsCamerasWithoutTakingControl) {
    CAMTEST_REQUIRE_PRIVATE_NETWORK();
    std::vector<std::unique_ptr<camsim::Camera>> cams;
    for (int i = 0; i < 3; ++i) {
        camsim::Config c = camsim::instantCamera("127.0.0." + std::to_string(2 + i));
        c.kind = i % 2;
        c.userName = "line-" + std::to_string(i);
        c.eventLevel = 2;  // every request, to see that nothing was written
        cams.push_back(std::make_unique<camsim::Camera>(c));
        std::string error;
        ASSERT_TRUE(cams.back()->start(&error)) << error;
    }
    const bool aravis = camtest::onPath("arv-fake-gv-camera-0.8") && camtest::onPath("arv-tool-0.8");
    std::unique_ptr<camtest::ProgramRun> fake;
    if (aravis) {
        fake = std::make_unique<camtest::ProgramRun>(
            std::vector<std::string>{"arv-fake-gv-camera-0.8", "-i", "127.0.0.1"});
        ASSERT_TRUE(fake->started());
    }

    // Broadcast from every interface, and from the one named; the fake camera
    // may take a moment to bind.
    std::vector<discovery::Identity> found;
    std::string error;
    for (int i = 0; i < 20 && found.size() < (aravis ? 4u : 3u); ++i)
        ASSERT_TRUE(discovery::discover(found, "", 300ms, &error)) << error;
    ASSERT_TRUE(discovery::discover(found, "lo", 300ms, &error)) << error;
    ASSERT_EQ(found.size(), aravis ? 4u : 3u);
    const discovery::Identity* second = byIp(found, "127.0.0.3");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->manufacturer, "CamSim");
    EXPECT_EQ(second->model, "CS-GE-1");
    EXPECT_EQ(second->version, "1.0.0");
    EXPECT_EQ(second->serial, "SIM3");
    EXPECT_EQ(second->userName, "line-1");
    EXPECT_EQ(second->mac, "02:00:7f:00:00:03");
    EXPECT_FALSE(discovery::discover(found, "no-such-if", 100ms, &error));

    // A camera read from a port of our own reports the same, and its kind.
    discovery::Identity id;
    ASSERT_TRUE(discovery::readIdentity("127.0.0.3", id, &error)) << error;
    EXPECT_EQ(id.serial, "SIM3");
    EXPECT_EQ(id.userName, "line-1");
    EXPECT_EQ(id.kindRegister, 0x1A4u);
    EXPECT_EQ(id.kind, 1);
    EXPECT_FALSE(cams[1]->snapshot().controlled);
    EXPECT_FALSE(hasWrite(cams[1]->events()));

    // Nobody at the address: a sentence, within the retries.
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(discovery::readIdentity("127.0.0.9", id, &error, 100ms));
    EXPECT_NE(error.find("does not answer"), std::string::npos) << error;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    if (!aravis)
        GTEST_SKIP() << "aravis's part needs arv-fake-gv-camera-0.8 and arv-tool-0.8 (aravis-tools, -cli)";
    const discovery::Identity* foreign = byIp(found, "127.0.0.1");
    ASSERT_NE(foreign, nullptr);
    EXPECT_EQ(foreign->manufacturer, "Aravis");
    EXPECT_EQ(foreign->model, "Fake");
    std::string cli = CAMUPGRADE_CLI;
    std::string rows = camtest::commandOutput("timeout 10 " + cli + " list --json");
    EXPECT_NE(rows.find("{\"ip\":\"127.0.0.1\", \"mac\":"), std::string::npos) << rows;
    EXPECT_NE(rows.find("\"manufacturer\":\"Aravis\", \"model\":\"Fake\""), std::string::npos) << rows;

    std::string listed = camtest::commandOutput("timeout 10 arv-tool-0.8 2>&1");
    for (const char* ip : {"(127.0.0.2)", "(127.0.0.3)", "(127.0.0.4)"})
        EXPECT_NE(listed.find(ip), std::string::npos) << listed;
    EXPECT_NE(listed.find("CamSim-CS-GE-1-SIM2"), std::string::npos) << listed;

    // Last: the fake camera does not survive a read of the vendor's kind
    // register, which it lacks.
    std::string info = camtest::commandOutput("timeout 10 " + cli + " info --camera 127.0.0.1");
    EXPECT_NE(info.find("Aravis"), std::string::npos) << info;
    EXPECT_NE(info.find("Fake"), std::string::npos) << info;
    fake->stop(SIGTERM);
}

#endif
