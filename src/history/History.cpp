#include "history/History.h"
#include "platform/utctime.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace history {

namespace {

constexpr int kBusyMs = 5000;  // a writer holds the file for one short insert at a time

const char* const kCreate =
    "CREATE TABLE attempts ("
    " id INTEGER PRIMARY KEY,"
    " started TEXT NOT NULL, ended TEXT NOT NULL,"
    " host_name TEXT, host_ip TEXT, user TEXT, tool_version TEXT, library_version TEXT,"
    " camera TEXT NOT NULL, mac TEXT, serial TEXT, model TEXT, kind INTEGER,"
    " version_before TEXT, version_after TEXT, expected_version TEXT,"
    " package TEXT, package_size INTEGER, package_sha256 TEXT, layout TEXT,"
    " verdict TEXT NOT NULL, state INTEGER, exit_code INTEGER NOT NULL, message TEXT,"
    " seconds REAL, bytes_served INTEGER);"
    "CREATE INDEX attempts_started ON attempts(started);"
    "CREATE INDEX attempts_camera ON attempts(camera);"
    "PRAGMA user_version = 1;";

const char* const kColumns =
    "started, ended, host_name, host_ip, user, tool_version, library_version, camera, mac,"
    " serial, model, kind, version_before, version_after, expected_version, package,"
    " package_size, package_sha256, layout, verdict, state, exit_code, message, seconds,"
    " bytes_served";

bool damagedCode(int code) {
    code &= 0xFF;
    return code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
}

// A prepared statement that finalizes itself.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) {
        m_code = sqlite3_prepare_v2(db, sql.c_str(), -1, &m_stmt, nullptr);
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return m_code == SQLITE_OK; }
    int code() const { return m_code; }
    sqlite3_stmt* get() { return m_stmt; }

    void text(int i, const std::string& s) {
        if (s.empty())
            sqlite3_bind_null(m_stmt, i);
        else
            sqlite3_bind_text(m_stmt, i, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
    void number(int i, std::int64_t v) {
        if (v < 0)
            sqlite3_bind_null(m_stmt, i);
        else
            sqlite3_bind_int64(m_stmt, i, v);
    }
    std::string columnText(int i) {
        const unsigned char* s = sqlite3_column_text(m_stmt, i);
        return s == nullptr ? std::string() : reinterpret_cast<const char*>(s);
    }
    std::int64_t columnNumber(int i) {
        return sqlite3_column_type(m_stmt, i) == SQLITE_NULL ? -1 : sqlite3_column_int64(m_stmt, i);
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
    int m_code = SQLITE_OK;
};

std::string sentence(const std::string& path, sqlite3* db, int code) {
    if (damagedCode(code))
        return "the history " + path + " is damaged (" + sqlite3_errstr(code) + ")";
    return "cannot use the history " + path + ": " +
           (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code));
}

// Runs SQL that returns one value (or none); the code of the first failure.
int scalar(sqlite3* db, const std::string& sql, std::string* value) {
    Statement s(db, sql);
    if (!s.ok())
        return s.code();
    int code = sqlite3_step(s.get());
    if (code == SQLITE_ROW) {
        if (value != nullptr)
            *value = s.columnText(0);
        return SQLITE_OK;
    }
    return code == SQLITE_DONE ? SQLITE_OK : code;
}

bool writableFolder(const fs::path& folder) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec))
        return false;
    fs::path probe = folder / ".camupgrade-probe";
    bool ok = static_cast<bool>(std::ofstream(probe));
    fs::remove(probe, ec);
    return ok;
}

std::string compactStamp() {
    std::string iso = platform::isoUtc(std::chrono::system_clock::now());
    std::string out;
    for (char c : iso)
        if (c != '-' && c != ':')
            out += c;
    return out;
}

// Moves the file (and its WAL companions) aside; the new name, or empty.
std::string moveAside(const std::string& path) {
    std::string aside = path + ".damaged-" + compactStamp();
    std::error_code ec;
    fs::rename(path, aside, ec);
    if (ec)
        return std::string();
    for (const char* suffix : {"-wal", "-shm"}) {
        std::error_code ignored;
        if (fs::exists(path + suffix, ignored))
            fs::rename(path + suffix, aside + suffix, ignored);
    }
    return aside;
}

}  // namespace

Store::Store() = default;
Store::~Store() { close(); }

void Store::close() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_db != nullptr)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
}

bool Store::open(const std::string& path, int flags, std::string* error) {
    close();
    std::lock_guard<std::mutex> guard(m_lock);
    m_path = path;
    int code = sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr);
    if (code != SQLITE_OK) {
        if (error != nullptr)
            *error = sentence(path, m_db, code);
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        return false;
    }
    sqlite3_busy_timeout(m_db, kBusyMs);
    return true;
}

bool Store::openForWriting(const std::string& path, std::string* error, std::string* notice) {
    std::error_code ec;
    fs::path folder = fs::absolute(path, ec).parent_path();
    if (!fs::is_directory(folder, ec)) {
        if (error != nullptr)
            *error = "the folder of the history " + path + " does not exist";
        return false;
    }
    if (fs::is_directory(path, ec)) {
        if (error != nullptr)
            *error = "the history " + path + " is a folder, not a file";
        return false;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error))
            return false;
        std::string why;
        if (prepareSchema(&why))
            return true;
        bool damaged = why.find(" is damaged") != std::string::npos;
        close();
        std::string aside = damaged && attempt == 0 ? moveAside(path) : std::string();
        if (aside.empty()) {
            if (error != nullptr)
                *error = why;
            return false;
        }
        if (notice != nullptr)
            *notice = why + ": kept as " + aside + "; a new history was started";
    }
    return false;
}

bool Store::openForReading(const std::string& path, std::string* error) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        if (error != nullptr)
            *error = fs::exists(path, ec) ? "the history " + path + " is not a file"
                                          : "there is no history at " + path;
        return false;
    }
    if (!open(path, SQLITE_OPEN_READONLY, error))
        return false;
    std::lock_guard<std::mutex> guard(m_lock);
    std::string version;
    int code = scalar(m_db, "PRAGMA user_version", &version);
    if (code == SQLITE_OK)
        code = scalar(m_db, "SELECT count(*) FROM attempts", nullptr);
    if (code == SQLITE_OK)
        return true;
    if (error != nullptr)
        *error = sentence(path, m_db, code);
    return false;
}

bool Store::prepareSchema(std::string* error) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::string version, check;
    int code = scalar(m_db, "PRAGMA journal_mode=WAL", nullptr);
    if (code == SQLITE_OK)
        code = scalar(m_db, "PRAGMA user_version", &version);
    if (code == SQLITE_OK)
        code = scalar(m_db, "PRAGMA quick_check", &check);
    if (code == SQLITE_OK && check != "ok")
        code = SQLITE_CORRUPT;
    if (code != SQLITE_OK) {
        *error = sentence(m_path, m_db, code);
        return false;
    }
    int have = std::atoi(version.c_str());
    if (have > kSchemaVersion) {
        // A newer tool only adds columns: rows of ours still fit.
        return true;
    }
    if (have == 0) {
        std::string sql = std::string("BEGIN IMMEDIATE;") + kCreate + "COMMIT;";
        char* message = nullptr;
        code = sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &message);
        if (code != SQLITE_OK) {
            std::string why = message != nullptr ? message : sqlite3_errstr(code);
            sqlite3_free(message);
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
            // Another process may have created it in the meantime.
            std::string now;
            if (scalar(m_db, "PRAGMA user_version", &now) == SQLITE_OK && std::atoi(now.c_str()) > 0)
                return true;
            *error = "cannot create the history " + m_path + ": " + why;
            return false;
        }
    }
    return true;
}

bool Store::add(const Record& r, std::string* error) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_db == nullptr) {
        if (error != nullptr)
            *error = "the history is not open";
        return false;
    }
    Statement s(m_db, std::string("INSERT INTO attempts (") + kColumns +
                          ") VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
    if (!s.ok()) {
        if (error != nullptr)
            *error = sentence(m_path, m_db, s.code());
        return false;
    }
    int i = 0;
    for (const std::string* t : {&r.started, &r.ended, &r.hostName, &r.hostIp, &r.user,
                                 &r.toolVersion, &r.libraryVersion, &r.camera, &r.mac, &r.serial,
                                 &r.model})
        s.text(++i, *t);
    s.number(++i, r.kind);
    for (const std::string* t : {&r.versionBefore, &r.versionAfter, &r.expectedVersion, &r.package})
        s.text(++i, *t);
    s.number(++i, r.packageSize);
    s.text(++i, r.packageSha256);
    s.text(++i, r.layout);
    s.text(++i, r.verdict);
    s.number(++i, r.state);
    sqlite3_bind_int(s.get(), ++i, r.exitCode);
    s.text(++i, r.message);
    sqlite3_bind_double(s.get(), ++i, r.seconds);
    s.number(++i, r.bytesServed);
    int code = sqlite3_step(s.get());
    if (code != SQLITE_DONE) {
        if (error != nullptr)
            *error = sentence(m_path, m_db, code);
        return false;
    }
    return true;
}

bool Store::query(const Filter& filter, std::vector<Record>& out, std::string* error) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_db == nullptr) {
        if (error != nullptr)
            *error = "the history is not open";
        return false;
    }
    std::string sql = std::string("SELECT ") + kColumns + " FROM attempts WHERE 1";
    if (!filter.camera.empty())
        sql += " AND camera = :camera";
    if (!filter.serial.empty())
        sql += " AND serial = :serial";
    if (!filter.since.empty())
        sql += " AND started >= :since";
    sql += " ORDER BY started DESC, id DESC";
    Statement s(m_db, sql);
    if (!s.ok()) {
        if (error != nullptr)
            *error = sentence(m_path, m_db, s.code());
        return false;
    }
    auto bind = [&](const char* name, const std::string& value) {
        int index = sqlite3_bind_parameter_index(s.get(), name);
        if (index > 0)
            s.text(index, value);
    };
    bind(":camera", filter.camera);
    bind(":serial", filter.serial);
    bind(":since", filter.since);
    int code;
    while ((code = sqlite3_step(s.get())) == SQLITE_ROW) {
        Record r;
        int i = 0;
        for (std::string* t : {&r.started, &r.ended, &r.hostName, &r.hostIp, &r.user,
                               &r.toolVersion, &r.libraryVersion, &r.camera, &r.mac, &r.serial,
                               &r.model})
            *t = s.columnText(i++);
        r.kind = static_cast<int>(s.columnNumber(i++));
        for (std::string* t : {&r.versionBefore, &r.versionAfter, &r.expectedVersion, &r.package})
            *t = s.columnText(i++);
        r.packageSize = s.columnNumber(i++);
        r.packageSha256 = s.columnText(i++);
        r.layout = s.columnText(i++);
        r.verdict = s.columnText(i++);
        r.state = static_cast<int>(s.columnNumber(i++));
        r.exitCode = static_cast<int>(s.columnNumber(i++));
        r.message = s.columnText(i++);
        r.seconds = sqlite3_column_double(s.get(), i++);
        r.bytesServed = s.columnNumber(i++);
        out.push_back(r);
    }
    if (code != SQLITE_DONE) {
        if (error != nullptr)
            *error = sentence(m_path, m_db, code);
        return false;
    }
    return true;
}

std::string defaultPath() {
    const fs::path system = "/var/lib/camupgrade";
    std::error_code ec;
    fs::create_directories(system, ec);
    if (writableFolder(system))
        return (system / "history.sqlite").string();
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    fs::path data = xdg != nullptr && *xdg == '/' ? fs::path(xdg)
                    : home != nullptr               ? fs::path(home) / ".local" / "share"
                                                    : fs::temp_directory_path(ec);
    fs::create_directories(data / "camupgrade", ec);
    return (data / "camupgrade" / "history.sqlite").string();
}

}  // namespace history
