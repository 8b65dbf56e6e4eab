// What the command prints once the work is done: the verdict lines, the
// summary of several cameras, the JSON documents scripts read, and the
// exit-code table of --help.
#pragma once

#include "camupgrade_sdk.hpp"

#include <functional>
#include <string>
#include <vector>

namespace cli {

// `camupgrade info`: the identity and the status register.
std::string infoText(const camupgrade::Identity& id);
std::string infoJson(const camupgrade::Identity& id);

// The plan of each camera, for a person and for scripts.
std::string planText(const std::vector<camupgrade::Plan>& plans);
std::string planJson(const std::vector<camupgrade::Plan>& plans);

// The text as a JSON string literal, quotes included. Bytes that are not
// valid UTF-8 (a camera's name is whatever its register holds) become U+FFFD.
std::string jsonString(const std::string& text);

// Columns the UTF-8 text takes on a terminal (one per character).
std::size_t textColumns(const std::string& text);

// One value of a JSON object or a CSV row.
struct Field {
    enum class Kind { Text, Number, Bool, Null };
    std::string key;
    std::string text;  // as written in JSON for numbers and booleans
    Kind kind = Kind::Text;
};
Field textField(const char* key, const std::string& text);
Field numberField(const char* key, long long value, bool known = true);
Field boolField(const char* key, bool value, bool known = true);
// Objects of the same keys: a JSON array of objects, or CSV with a header row.
std::string objectsJson(const std::vector<std::vector<Field>>& rows);
std::string objectsCsv(const std::vector<std::vector<Field>>& rows);

// One object per camera, in the targets' order; `signal` is the one that
// cancelled the run (or 0), `extra` adds fields to each.
using ExtraFields = std::function<std::vector<Field>(const camupgrade::Result&)>;
std::vector<std::vector<Field>> resultRows(const std::vector<camupgrade::Result>& results,
                                           int signal, const ExtraFields& extra = nullptr);
std::string resultsJson(const std::vector<camupgrade::Result>& results, int signal,
                        const ExtraFields& extra = nullptr);
std::string identityJson(const camupgrade::Identity& id);
std::string identitiesJson(const std::vector<camupgrade::Identity>& ids);

// The closing lines of one camera: the verdict, then the firmware versions
// (with a warning when an upgrade left the version as it was).
std::string verdictLines(const camupgrade::Result& result);
// The table of several cameras and how many failed.
std::string summaryTable(const std::vector<camupgrade::Result>& results);

// `camupgrade info`: one field a line. `camupgrade list`: one row a camera.
std::string identityText(const camupgrade::Identity& id);
std::string identityTable(const std::vector<camupgrade::Identity>& ids);

}  // namespace cli
