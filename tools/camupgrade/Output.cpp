#include "Output.h"

#include "ExitCodes.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace cli {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0.
std::size_t utf8Length(const std::string& s, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    std::size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    unsigned char second = byte(i + 1);
    if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second >= 0xA0) ||
        (c == 0xF0 && second < 0x90) || (c == 0xF4 && second >= 0x90))
        return 0;  // overlong, surrogate, or beyond U+10FFFF
    return n;
}

std::string field(const char* key, const std::string& jsonValue) {
    return std::string("\"") + key + "\":" + jsonValue;
}

std::string seconds(double value) {
    char text[48];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string orDash(const std::string& s) { return s.empty() ? "-" : s; }

std::string versionBefore(const camupgrade::Result& r) {
    return r.before ? r.before->version : std::string();
}
std::string versionAfter(const camupgrade::Result& r) {
    return r.after ? r.after->version : std::string();
}
const camupgrade::Identity& identityOrNone(const std::optional<camupgrade::Identity>& id) {
    static const camupgrade::Identity none;
    return id ? *id : none;
}
const camupgrade::Identity& identityOf(const camupgrade::Result& r) {
    return identityOrNone(r.after && !r.before ? r.after : r.before);
}
std::string nameOf(const camupgrade::Result& r) {
    return r.name.empty() ? identityOf(r).userName : r.name;
}

std::string messageOf(const camupgrade::Result& r) {
    if (!r.message.empty())
        return r.message;
    std::string words = camupgrade::stateWords(r.state);
    return !words.empty() ? words : "the job ended without a verdict from the camera";
}

std::string padded(std::string s, std::size_t width) {
    std::size_t n = textColumns(s);
    if (n < width)
        s.append(width - n, ' ');
    return s;
}

std::string table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c) {
            widths.resize(std::max(widths.size(), row.size()), 0);
            widths[c] = std::max(widths[c], textColumns(row[c]));
        }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c)
            line += c + 1 < row.size() ? padded(row[c], widths[c] + 2) : row[c];
        out += line + "\n";
    }
    return out;
}

}  // namespace

std::size_t textColumns(const std::string& text) {
    std::size_t n = 0;
    for (unsigned char c : text)
        n += (c & 0xC0) != 0x80;
    return n;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            std::size_t n = utf8Length(text, i);
            out += n == 0 ? std::string("\\ufffd") : text.substr(i, n);
            i += n == 0 ? 1 : n;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
}

Field textField(const char* key, const std::string& text) { return {key, text, Field::Kind::Text}; }

Field numberField(const char* key, long long value, bool known) {
    return {key, known ? std::to_string(value) : std::string(), known ? Field::Kind::Number : Field::Kind::Null};
}

Field boolField(const char* key, bool value, bool known) {
    return {key, known ? (value ? "true" : "false") : "", known ? Field::Kind::Bool : Field::Kind::Null};
}

std::string objectsJson(const std::vector<std::vector<Field>>& rows) {
    std::string out = "[";
    for (const auto& row : rows) {
        out += out.size() > 1 ? ",\n {" : "\n {";
        for (std::size_t i = 0; i < row.size(); ++i) {
            const Field& f = row[i];
            std::string value = f.kind == Field::Kind::Text   ? jsonString(f.text)
                                : f.kind == Field::Kind::Null ? std::string("null")
                                                              : f.text;
            out += (i ? ", " : "") + field(f.key.c_str(), value);
        }
        out += "}";
    }
    return out + (rows.empty() ? "]\n" : "\n]\n");
}

std::string objectsCsv(const std::vector<std::vector<Field>>& rows) {
    auto cell = [](const std::string& s) {
        if (s.find_first_of(",\"\r\n") == std::string::npos)
            return s;
        std::string out = "\"";
        for (char c : s)
            out += c == '"' ? std::string("\"\"") : std::string(1, c);
        return out + "\"";
    };
    std::string out;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (r == 0)
            for (std::size_t i = 0; i < rows[r].size(); ++i)
                out += (i ? "," : "") + rows[r][i].key + (i + 1 == rows[r].size() ? "\r\n" : "");
        for (std::size_t i = 0; i < rows[r].size(); ++i)
            out += (i ? "," : "") + cell(rows[r][i].text);
        out += "\r\n";
    }
    return out;
}

std::vector<std::vector<Field>> resultRows(const std::vector<camupgrade::Result>& results,
                                           int signal, const ExtraFields& extra) {
    std::vector<std::vector<Field>> rows;
    for (const auto& r : results) {
        const camupgrade::Identity& id = identityOf(r);
        auto textOrNull = [](const char* key, const std::string& s, bool have) {
            return have ? textField(key, s) : Field{key, std::string(), Field::Kind::Null};
        };
        std::vector<Field> fields = {
            textField("camera", r.cameraIp),
            textField("name", nameOf(r)),
            textField("model", id.model),
            textField("serial", id.serial),
            textOrNull("version_before", versionBefore(r), r.before.has_value()),
            textOrNull("version_after", versionAfter(r), r.after.has_value()),
            textField("verdict", r.verdictName),
            numberField("state", r.state, r.state >= 0),
            numberField("exit_code", exitCodeOf(r, signal)),
            textField("message", messageOf(r)),
            {"seconds", seconds(r.seconds.count()), Field::Kind::Number},
            numberField("bytes_served", static_cast<long long>(r.bytesServed)),
            boolField("downgraded", r.downgraded, true),
        };
        if (extra) {
            std::vector<Field> more = extra(r);
            fields.insert(fields.end(), more.begin(), more.end());
        }
        rows.push_back(fields);
    }
    return rows;
}

std::string resultsJson(const std::vector<camupgrade::Result>& results, int signal,
                        const ExtraFields& extra) {
    return objectsJson(resultRows(results, signal, extra));
}

std::string identityJson(const camupgrade::Identity& id) {
    return "{" + field("ip", jsonString(id.ip)) + ", " + field("mac", jsonString(id.mac)) + ", " +
           field("manufacturer", jsonString(id.manufacturer)) + ", " +
           field("model", jsonString(id.model)) + ", " + field("version", jsonString(id.version)) +
           ", " + field("serial", jsonString(id.serial)) + ", " +
           field("user_name", jsonString(id.userName)) +
           (id.kind < 0 ? std::string() : ", " + field("kind", std::to_string(id.kind))) + "}";
}

std::string identitiesJson(const std::vector<camupgrade::Identity>& ids) {
    std::string out = "[";
    for (std::size_t i = 0; i < ids.size(); ++i)
        out += (i ? ",\n " : "\n ") + identityJson(ids[i]);
    return out + (ids.empty() ? "]\n" : "\n]\n");
}

std::string verdictLines(const camupgrade::Result& r) {
    std::string before = versionBefore(r), after = versionAfter(r);
    std::string verdict = r.verdictName;
    for (char& c : verdict)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (r.downgraded)
        verdict += ", DOWNGRADED " + before + " \u2192 " + after;
    std::string out = verdict + ": " + messageOf(r) + "\n";
    if (r.after)
        out += "firmware " + orDash(before) + " \u2192 " + orDash(after) + "\n";
    else if (r.before && !r.commanded)
        out += "firmware " + orDash(before) + " (not commanded)\n";
    else if (r.before)
        out += "firmware " + orDash(before) + " before; not read afterwards\n";
    if (r.verdict == CU_VERDICT_UPGRADED && r.before && r.after && before == after)
        out += "warning: the camera reports the same firmware version as before (" + after +
               "): check the package\n";
    if (r.downgraded)
        out += "WARNING: the firmware went DOWN from " + before + " to " + after +
               ": was this the package you meant? (--expect-version guards against it)\n";
    return out;
}

std::string summaryTable(const std::vector<camupgrade::Result>& results) {
    bool named = std::any_of(results.begin(), results.end(),
                             [](const camupgrade::Result& r) { return !nameOf(r).empty(); });
    std::vector<std::vector<std::string>> rows = {
        {"CAMERA", "NAME", "MODEL", "FIRMWARE", "VERDICT", "SECONDS"}};
    std::size_t failed = 0, unchanged = 0, current = 0, down = 0, held = 0;
    for (const auto& r : results) {
        bool ok = r.verdict == CU_VERDICT_UPGRADED;
        current += r.verdict == CU_VERDICT_CURRENT;
        held += r.verdict == CU_VERDICT_NOT_STARTED;
        failed += !ok && r.verdict != CU_VERDICT_CURRENT && r.verdict != CU_VERDICT_NOT_STARTED;
        down += r.downgraded;
        bool same = ok && r.before && r.after && versionBefore(r) == versionAfter(r);
        unchanged += same;
        rows.push_back({r.cameraIp, orDash(nameOf(r)), orDash(identityOf(r).model),
                        orDash(versionBefore(r)) + " \u2192 " + orDash(versionAfter(r)),
                        r.verdictName + (same ? " (same version)" : "") +
                            (r.downgraded ? " (DOWNGRADED)" : ""),
                        seconds(r.seconds.count())});
    }
    if (!named)
        for (auto& row : rows)
            row.erase(row.begin() + 1);
    std::string out = table(rows);
    for (const auto& r : results)
        if (r.verdict != CU_VERDICT_UPGRADED)
            out += r.cameraIp + ": " + messageOf(r) + "\n";
    if (failed == 0 && held == 0 && current > 0)
        out += "all " + std::to_string(results.size()) + " cameras upgraded or current (" +
               std::to_string(current) + " already at the expected version)\n";
    else if (failed == 0 && held == 0)
        out += "all " + std::to_string(results.size()) + " cameras upgraded\n";
    else if (held == 0)
        out += std::to_string(failed) + " of " + std::to_string(results.size()) +
               " cameras failed\n";
    else
        out += std::to_string(failed) + " of " + std::to_string(results.size()) +
               " cameras failed, " + std::to_string(held) + " not started\n";
    if (unchanged > 0)
        out += "warning: " + std::to_string(unchanged) +
               " camera(s) report the same firmware version as before\n";
    if (down > 0)
        out += "WARNING: " + std::to_string(down) + " camera(s) DOWNGRADED to an older firmware\n";
    return out;
}

std::string identityText(const camupgrade::Identity& id) {
    std::string kind = id.kind < 0 ? std::string("unknown") : std::to_string(id.kind);
    char reg[32];
    std::snprintf(reg, sizeof reg, " (register 0x%X)", static_cast<unsigned>(id.kindRegister));
    return table({{"camera", id.ip},
                  {"manufacturer", orDash(id.manufacturer)},
                  {"model", orDash(id.model)},
                  {"firmware", orDash(id.version)},
                  {"serial", orDash(id.serial)},
                  {"user name", orDash(id.userName)},
                  {"MAC", orDash(id.mac)},
                  {"kind", kind + (id.kindRegister != 0 ? reg : "")}});
}

std::string identityTable(const std::vector<camupgrade::Identity>& ids) {
    std::vector<std::vector<std::string>> rows = {
        {"IP", "MAC", "MANUFACTURER", "MODEL", "FIRMWARE", "SERIAL", "USER NAME"}};
    for (const auto& id : ids)
        rows.push_back({id.ip, orDash(id.mac), orDash(id.manufacturer), orDash(id.model),
                        orDash(id.version), orDash(id.serial), orDash(id.userName)});
    return table(rows);
}

namespace {

std::string statusText(bool read, int state, int percent) {
    if (!read)
        return "unknown (the status register does not answer)";
    if (state == CU_STATE_UPGRADING)
        return "busy \u2014 do not power off: upgrading, " + std::to_string(percent) +
               " % (fetching or flashing its firmware)";
    std::string words = camupgrade::stateWords(state);
    return "idle (last report: state " + std::to_string(state) +
           (!words.empty() ? ", " + words : std::string()) + ")";
}

std::string actionText(const camupgrade::Plan& p) {
    switch (p.action) {
    case CU_ACTION_UPGRADE:
        return "upgrade";
    case CU_ACTION_CURRENT:
        return "skip as current: " + p.message;
    case CU_ACTION_REFUSE:
        break;
    }
    return std::string(p.reason == CU_REASON_NEWER ? "refuse as newer: " : "refuse: ") +
           p.message;
}

std::string filesText(const camupgrade::Plan& p) {
    std::string out;
    for (const auto& f : p.files)
        out += (out.empty() ? "" : ", ") + f.name + " (" + std::to_string(f.size) + " bytes)";
    return orDash(out);
}

std::string layoutText(const camupgrade::Plan& p) {
    if (p.layout == "single image")
        return "single image: served to any camera; the camera checks the kind in its "
               "information file";
    if (p.layout == "per kind")
        return "per kind: hardware kind " + std::to_string(identityOrNone(p.identity).kind) +
               " gets " + p.folder;
    return orDash(p.layout);
}

}  // namespace

std::string infoText(const camupgrade::Identity& id) {
    return identityText(id) + padded("status", 14) +
           statusText(id.statusRead, id.state, id.percent) + "\n";
}

std::string infoJson(const camupgrade::Identity& id) {
    std::string out = identityJson(id);
    out.pop_back();
    bool read = id.statusRead;
    return out + ", " + field("busy", read && id.state == CU_STATE_UPGRADING ? "true" : "false") +
           ", " + field("state", read ? std::to_string(id.state) : "null") + ", " +
           field("percent", read ? std::to_string(id.percent) : "null") + "}";
}

std::string planText(const std::vector<camupgrade::Plan>& plans) {
    std::string out;
    for (const auto& p : plans) {
        const camupgrade::Identity& id = identityOrNone(p.identity);
        std::string name = p.name.empty() ? id.userName : p.name;
        out += "camera " + p.cameraIp + (name.empty() ? "" : " (" + name + ")") + "\n";
        std::vector<std::vector<std::string>> rows = {
            {"  model", orDash(id.model) + ", serial " + orDash(id.serial)},
            {"  firmware", orDash(id.version)},
            {"  status", p.answered ? statusText(p.statusRead, p.state, p.percent)
                                    : "does not answer"},
            {"  package", p.package + ", " + std::to_string(p.packageSize) + " bytes" +
                              (p.packageIsFolder ? " (a folder)" : "")},
            {"  sha256", orDash(p.sha256)},
            {"  layout", layoutText(p)},
            {"  serves", filesText(p)},
            {"  expected", p.expectVersion.empty() ? "- (not checked)" : p.expectVersion},
            {"  would", actionText(p)},
        };
        out += table(rows);
    }
    return out;
}

std::string planJson(const std::vector<camupgrade::Plan>& plans) {
    std::string out = "[";
    for (const auto& p : plans) {
        const char* action = p.action == CU_ACTION_UPGRADE   ? "upgrade"
                             : p.action == CU_ACTION_CURRENT ? "skip"
                                                             : "refuse";
        const camupgrade::Identity& id = identityOrNone(p.identity);
        std::string files = "[";
        for (const auto& f : p.files)
            files += (files.size() > 1 ? ", {" : "{") + field("name", jsonString(f.name)) + ", " +
                     field("size", std::to_string(f.size)) + "}";
        std::vector<std::string> fields = {
            field("camera", jsonString(p.cameraIp)),
            field("name", jsonString(p.name.empty() ? id.userName : p.name)),
            field("model", jsonString(id.model)),
            field("serial", jsonString(id.serial)),
            field("version", !id.ip.empty() ? jsonString(id.version) : "null"),
            field("answered", p.answered ? "true" : "false"),
            field("busy", p.busy ? "true" : "false"),
            field("state", p.statusRead ? std::to_string(p.state) : "null"),
            field("percent", p.statusRead ? std::to_string(p.percent) : "null"),
            field("package", jsonString(p.package)),
            field("package_bytes", std::to_string(p.packageSize)),
            field("sha256", p.sha256.empty() ? "null" : jsonString(p.sha256)),
            field("layout", jsonString(p.layout)),
            field("folder", jsonString(p.folder)),
            field("files", files + "]"),
            field("expected_version",
                  p.expectVersion.empty() ? "null" : jsonString(p.expectVersion)),
            field("action", jsonString(action)),
            field("exit_code", std::to_string(p.action == CU_ACTION_REFUSE
                                                  ? exitCodeOf(p)
                                                  : 0)),
            field("message", jsonString(p.message)),
        };
        out += out.size() > 1 ? ",\n {" : "\n {";
        for (std::size_t i = 0; i < fields.size(); ++i)
            out += (i ? ", " : "") + fields[i];
        out += "}";
    }
    return out + (plans.empty() ? "]\n" : "\n]\n");
}

}  // namespace cli
