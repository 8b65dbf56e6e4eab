// A build without SQLite (the Windows cross build) keeps no history: every
// attempt to open one says so, and the command goes on without it.
#include "history/History.h"

namespace history {

namespace {
bool none(std::string* error) {
    if (error != nullptr)
        *error = "this build of camupgrade keeps no history (built without SQLite)";
    return false;
}
}  // namespace

Store::Store() = default;
Store::~Store() = default;
void Store::close() {}
bool Store::open(const std::string&, int, std::string* error) { return none(error); }
bool Store::prepareSchema(std::string* error) { return none(error); }
bool Store::openForWriting(const std::string&, std::string* error, std::string*) { return none(error); }
bool Store::openForReading(const std::string&, std::string* error) { return none(error); }
bool Store::add(const Record&, std::string* error) { return none(error); }
bool Store::query(const Filter&, std::vector<Record>&, std::string* error) { return none(error); }
std::string defaultPath() { return "history.sqlite"; }

}  // namespace history
