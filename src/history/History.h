// The host's history of upgrade attempts: one row per camera per run, in an
// SQLite file (WAL, so that a reader never waits for a running upgrade).
// Kept apart from the engine so that host programs can record their own
// runs the same way.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

namespace history {

// The schema this code writes (PRAGMA user_version); docs/history.md says
// how each version follows from the one before.
constexpr int kSchemaVersion = 1;

// Text fields left empty and numbers at -1 are stored as NULL.
struct Record {
    std::string started, ended;  // ISO 8601 UTC
    std::string hostName, hostIp, user, toolVersion, libraryVersion;
    std::string camera, mac, serial, model;
    int kind = -1;
    std::string versionBefore, versionAfter, expectedVersion;
    std::string package;
    std::int64_t packageSize = -1;
    std::string packageSha256, layout;
    std::string verdict;
    int state = -1;
    int exitCode = 0;
    std::string message;
    double seconds = 0;
    std::int64_t bytesServed = 0;
};

// Which rows `history` shows; empty fields select everything.
struct Filter {
    std::string camera, serial;
    std::string since;  // ISO 8601 UTC, compared as text
};

class Store {
public:
    Store();
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Opens the file for writing, creating it and its schema when new. A
    // file that is not an SQLite database, or fails its integrity check, is
    // renamed aside and a new one started: *notice then says so. False with
    // a sentence in *error when nothing can be written there.
    bool openForWriting(const std::string& path, std::string* error, std::string* notice);
    // Opens an existing file to read; false with a sentence when it is
    // missing, unreadable or damaged (the file is left as it is).
    bool openForReading(const std::string& path, std::string* error);

    bool add(const Record& record, std::string* error);
    // Newest first.
    bool query(const Filter& filter, std::vector<Record>& out, std::string* error);

private:
    bool open(const std::string& path, int flags, std::string* error);
    bool prepareSchema(std::string* error);
    void close();

    std::mutex m_lock;
    sqlite3* m_db = nullptr;
    std::string m_path;
};

// /var/lib/camupgrade/history.sqlite when that folder is writable (or can
// be made), else history.sqlite in $XDG_DATA_HOME/camupgrade
// (~/.local/share/camupgrade when unset).
std::string defaultPath();


}  // namespace history
