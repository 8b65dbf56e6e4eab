// The C API's promises that the Python tests cannot show: the exported
// names, structs of other versions, bad handles, calls in the wrong state,
// a cancel from a signal handler before the start, the C++ wrapper's answer
// to a callback that throws, and the history a host records into.
#include "camupgrade_sdk.hpp"
#include "support/Archives.h"
#include "support/NetNs.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>

namespace {

std::set<std::string> namesIn(const std::string& path, const std::string& pattern) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::string all = text.str();
    std::set<std::string> names;
    std::regex re(pattern);
    for (std::sregex_iterator it(all.begin(), all.end(), re), end; it != end; ++it)
        names.insert((*it)[1]);
    return names;
}

std::set<std::string> exported() {
    FILE* pipe = popen((std::string("nm -D --defined-only ") + CAMUPGRADE_SDK_LIBRARY).c_str(), "r");
    std::set<std::string> names;
    char line[512];
    while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name)
            names.insert(name);
    }
    EXPECT_EQ(pipe != nullptr ? pclose(pipe) : -1, 0);
    return names;
}

cu_job* g_job = nullptr;
void cancelFromHandler(int) { cu_job_cancel(g_job); }

}  // namespace

TEST(Sdk, ExportsExactlyTheHeadersFunctions) {
    auto declared = namesIn(CAMUPGRADE_SDK_HEADER, R"(CU_API [^;(]*\b(cu_\w+)\()");
    EXPECT_EQ(declared.size(), 19u);
    EXPECT_EQ(exported(), declared);
    EXPECT_EQ(namesIn(CAMUPGRADE_SDK_MAP, R"(\b(cu_\w+);)"), declared);
}

TEST(Sdk, BadHandlesAndStructSizesGetDefinedErrors) {
    cu_job* made_up = reinterpret_cast<cu_job*>(uintptr_t{0x12345678});
    for (cu_job* bad : {static_cast<cu_job*>(nullptr), made_up}) {
        EXPECT_EQ(cu_job_start(bad), CU_ERR_HANDLE);
        EXPECT_EQ(cu_job_cancel(bad), CU_ERR_HANDLE);
        EXPECT_EQ(cu_job_free(bad), CU_ERR_HANDLE);
    }

    struct Newer {
        cu_options known;
        int setting;
    } newer{};
    newer.known.struct_size = sizeof newer;
    cu_job* job = nullptr;
    EXPECT_EQ(cu_job_new(&newer.known, &job), CU_OK) << "an unknown tail of zeros is accepted";
    EXPECT_EQ(cu_job_free(job), CU_OK);
    EXPECT_EQ(cu_job_free(job), CU_ERR_HANDLE) << "freed";
    EXPECT_EQ(cu_job_add_camera(job, "127.0.0.2", "x", nullptr), CU_ERR_HANDLE);
    newer.setting = 1;
    EXPECT_EQ(cu_job_new(&newer.known, &job), CU_ERR_STRUCT_SIZE);
    EXPECT_NE(std::string(cu_last_error()).find("newer version"), std::string::npos);
    newer.known.struct_size = sizeof(size_t);
    EXPECT_EQ(cu_job_new(&newer.known, &job), CU_ERR_STRUCT_SIZE);
    EXPECT_EQ(job, nullptr);
    EXPECT_STREQ(cu_strerror(999), "unknown error code");
}

class SdkJob : public ::testing::Test {
protected:
    void SetUp() override {
        CAMTEST_REQUIRE_PRIVATE_NETWORK();
        camtest::writeFile(m_dir / "fw.zip", "not opened: nobody answers at 127.0.0.2");
    }
    camtest::ScratchDir m_dir;
};

TEST_F(SdkJob, CancelFromASignalHandlerBeforeTheStartCommandsNothing) {
    ASSERT_EQ(cu_job_new(nullptr, &g_job), CU_OK);
    ASSERT_EQ(cu_job_add_camera(g_job, "127.0.0.2", (m_dir / "fw.zip").c_str(), "a"), CU_OK);
    auto previous = std::signal(SIGUSR1, cancelFromHandler);
    std::raise(SIGUSR1);
    std::signal(SIGUSR1, previous);
    ASSERT_EQ(cu_job_run(g_job), CU_OK);

    struct Newer {
        cu_result known;
        char tail[16];
    } r;
    std::memset(&r, 0x7F, sizeof r);
    r.known.struct_size = sizeof r;
    ASSERT_EQ(cu_job_result(g_job, 0, &r.known), CU_OK);
    EXPECT_EQ(r.known.struct_size, sizeof(cu_result));
    EXPECT_EQ(r.tail[15], 0) << "the tail the library does not know is zeroed";
    EXPECT_EQ(r.known.verdict, CU_VERDICT_CANCELLED);
    EXPECT_FALSE(r.known.connected || r.known.commanded);
    EXPECT_EQ(cu_job_run(g_job), CU_ERR_DONE);
    EXPECT_EQ(cu_job_free(g_job), CU_OK);
}

TEST_F(SdkJob, CallsOnARunningJobAreRefusedNotQueued) {
    struct Hold {
        std::mutex lock;
        std::condition_variable wake;
        bool entered = false, released = false;
        cu_job* job = nullptr;
        cu_error waitInside = CU_OK, freeInside = CU_OK;
    } hold;
    cu_options o{};
    o.struct_size = sizeof o;
    o.user = &hold;
    o.on_status = [](const cu_status*, void* user) {
        auto& h = *static_cast<Hold*>(user);
        std::unique_lock<std::mutex> guard(h.lock);
        if (h.entered)
            return;
        h.waitInside = cu_job_wait(h.job, -1);
        h.freeInside = cu_job_free(h.job);
        h.entered = true;
        h.wake.notify_all();
        h.wake.wait(guard, [&] { return h.released; });
    };
    ASSERT_EQ(cu_job_new(&o, &hold.job), CU_OK);
    ASSERT_EQ(cu_job_add_camera(hold.job, "127.0.0.2", (m_dir / "fw.zip").c_str(), nullptr), CU_OK);
    EXPECT_EQ(cu_job_wait(hold.job, 0), CU_ERR_NOT_STARTED);
    ASSERT_EQ(cu_job_start(hold.job), CU_OK);
    {
        std::unique_lock<std::mutex> guard(hold.lock);
        hold.wake.wait(guard, [&] { return hold.entered; });
    }
    EXPECT_EQ(cu_job_run(hold.job), CU_ERR_RUNNING);
    EXPECT_EQ(cu_job_start(hold.job), CU_ERR_RUNNING);
    EXPECT_EQ(cu_job_add_camera(hold.job, "127.0.0.3", (m_dir / "fw.zip").c_str(), nullptr),
              CU_ERR_RUNNING);
    cu_plan plan{};
    plan.struct_size = sizeof plan;
    EXPECT_EQ(cu_job_plan(hold.job, 0, &plan), CU_ERR_RUNNING);
    EXPECT_EQ(cu_job_wait(hold.job, 50), CU_ERR_TIMEOUT);
    EXPECT_EQ(hold.waitInside, CU_ERR_IN_CALLBACK);
    EXPECT_EQ(hold.freeInside, CU_ERR_IN_CALLBACK);
    {
        std::lock_guard<std::mutex> guard(hold.lock);
        hold.released = true;
    }
    hold.wake.notify_all();
    EXPECT_EQ(cu_job_wait(hold.job, -1), CU_OK);
    EXPECT_EQ(cu_job_free(hold.job), CU_OK);
}

TEST_F(SdkJob, AThrowingCallbackCancelsTheJobAndTheWrapperRethrowsIt) {
    camupgrade::Options o;
    o.onStatus = [](const camupgrade::Status&) { throw std::runtime_error("a fault of the host"); };
    camupgrade::Job job(std::move(o));
    job.addCamera("127.0.0.2", m_dir / "fw.zip");
    EXPECT_THROW(job.run(), std::runtime_error);
    camupgrade::Result r = job.results().at(0);
    // The pre-flight may have refused the silent camera before the cancel came.
    EXPECT_TRUE(r.verdict == CU_VERDICT_CANCELLED || r.verdict == CU_VERDICT_REFUSED) << r.message;
    EXPECT_FALSE(r.commanded);
}

TEST_F(SdkJob, APlanShowsThePackageAndAHostRecordsItsRunInTheHistory) {
    camupgrade::Options o;
    o.expectVersion = "2.1";
    o.planSkipsPort = true;
    camupgrade::Job job(std::move(o));
    job.addCamera("127.0.0.2", m_dir / "fw.zip", "left door");
    camupgrade::Plan p = job.plan(0);
    EXPECT_EQ(p.reason, CU_REASON_BAD_INPUT) << "not an archive";
    EXPECT_EQ(p.cameraIp + "|" + p.name + "|" + p.package + "|" + p.expectVersion,
              "127.0.0.2|left door|" + (m_dir / "fw.zip") + "|2.1");
    EXPECT_EQ(p.packageSize, 39u);
    EXPECT_EQ(p.sha256.size(), 64u);
    EXPECT_FALSE(p.answered || p.statusRead || p.busy);
    EXPECT_EQ(p.state, -1);

    cu_plan older{};  // a caller built against the second version
    older.struct_size = offsetof(cu_plan, camera_ip);
    ASSERT_EQ(cu_job_plan(job.handle(), 0, &older), CU_OK);
    EXPECT_EQ(older.struct_size, offsetof(cu_plan, camera_ip));
    EXPECT_EQ(older.reason, CU_REASON_BAD_INPUT);

    camupgrade::Job run;
    run.addCamera("127.0.0.2", m_dir / "fw.zip");
    run.cancel();
    camupgrade::Result r = run.run().at(0);
    EXPECT_EQ(r.package, m_dir / "fw.zip");

    camupgrade::History history(m_dir / "history.sqlite");
    EXPECT_EQ(history.open(), "");
    camupgrade::RecordInfo info;
    info.exitCode = 130;
    info.toolVersion = "line-host 4.2";
    EXPECT_EQ(history.record(r, info), "");
    r.cameraIp = "127.0.0.3";
    history.record(r, info);
    std::vector<camupgrade::HistoryRow> rows = history.query({"127.0.0.2", "", "2026-01-01"});
    ASSERT_EQ(rows.size(), 1u);
    const camupgrade::HistoryRow& row = rows[0];
    EXPECT_EQ(row.verdict + "|" + std::to_string(row.exitCode) + "|" + row.toolVersion + "|" +
                  row.libraryVersion + "|" + row.package,
              "cancelled|130|line-host 4.2|" + camupgrade::version() + "|" + (m_dir / "fw.zip"));
    EXPECT_EQ(row.packageSha256, p.sha256) << "read from the package when the host gives none";
    EXPECT_EQ(row.packageSize, 39);
    EXPECT_EQ(row.started.size(), 20u) << row.started;
    EXPECT_EQ(history.query().size(), 2u);
    EXPECT_THROW(history.query({"", "", "yesterday"}), camupgrade::Error);

    camtest::writeFile(m_dir / "damaged.sqlite", std::string(4096, 'x'));
    camupgrade::History damaged(m_dir / "damaged.sqlite");
    try {
        damaged.query();
        ADD_FAILURE() << "a damaged history was read";
    } catch (const camupgrade::Error& e) {
        EXPECT_EQ(e.code(), CU_ERR_HISTORY);
    }
    std::string notice = damaged.open();
    EXPECT_NE(notice.find("is damaged"), std::string::npos) << notice;
    EXPECT_NE(notice.find("a new history was started"), std::string::npos) << notice;
    EXPECT_TRUE(damaged.query().empty());
}
