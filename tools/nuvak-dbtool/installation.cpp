// Installation description: parsing, formatting, examples, dBASE tables.
#include "installation.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

namespace nuvak::dbw {
namespace {

// The fields of the four tables, in file order. The order differs from the
// order in which the interface names them, on purpose: readers find fields by
// name.
const std::vector<Field> kTourFields = {
    {"GRPTOUR", 'N', 5, 0}, {"LGRPTOUR", 'N', 10, 0}, {"GRPPRESET", 'N', 5, 0},
    {"GRPDWELL", 'N', 3, 0}};
const std::vector<Field> kPresetFields = {
    {"GRPPRESET", 'N', 5, 0}, {"MON", 'N', 5, 0},         {"CAM", 'N', 5, 0},
    {"CAMPRESET", 'N', 5, 0}, {"LGRPPRESET", 'N', 10, 0}};
const std::vector<Field> kCameraFields = {
    {"CAM", 'N', 5, 0},       {"LCAM", 'N', 10, 0},    {"TITLE", 'C', 30, 0},
    {"CPORT", 'N', 10, 0},    {"CSWID", 'N', 5, 0},    {"CSWTYPE", 'N', 5, 0},
    {"COMP", 'C', 1, 0},      {"CAMTYPE", 'C', 4, 0},  {"MENU", 'L', 1, 0},
    {"VD2", 'L', 1, 0},       {"CAMMODEL", 'C', 32, 0}, {"OSDCNTL", 'N', 5, 0},
    {"VIDLEVEL", 'N', 5, 0},  {"VPORT", 'N', 10, 0},   {"VSWID", 'N', 5, 0},
    {"VSWTYPE", 'N', 5, 0},   {"CAMLOC", 'C', 16, 0},  {"CAMSERIAL", 'C', 16, 0},
    {"RS485CFG", 'C', 4, 0},  {"CNTLDATA", 'L', 1, 0}, {"BITRATE", 'N', 5, 0}};
const std::vector<Field> kMonitorFields = {
    {"MON", 'N', 5, 0},       {"LMON", 'N', 10, 0},     {"SWID", 'N', 5, 0},
    {"SWTYPE", 'N', 5, 0},    {"VPORT", 'N', 10, 0},    {"MONLOC", 'C', 16, 0},
    {"MONMODEL", 'C', 32, 0}, {"MONSERIAL", 'C', 16, 0}, {"ALMTRIG", 'N', 5, 0}};

constexpr std::uint32_t kMaxId = 65535;   // key numbers are read as 16 bits
constexpr std::uint32_t kMaxDwell = 999;  // longest dwell time, seconds
constexpr size_t kMaxElements = 128;      // elements of one group preset

// A value a description may leave out: numbers 0, logicals N, hex fields 0000.
std::string DefaultValue(const Field& f) {
    if (f.name == "CAMTYPE" || f.name == "RS485CFG") return "0000";
    if (f.type == 'N') return "0";
    if (f.type == 'L') return "N";
    return "";
}

// ---- Tokenizer -----------------------------------------------------------

struct Token {
    std::string text;
    bool quoted = false;
};

bool Tokenize(std::string_view line, std::vector<Token>* out, std::string* error) {
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            Token t;
            t.quoted = true;
            ++i;
            for (;;) {
                if (i >= line.size()) return *error = "unterminated quoted text", false;
                char q = line[i++];
                if (q == '"') break;
                if (q == '\\' && i < line.size()) q = line[i++];
                if (q < 0x20 || q > 0x7E) return *error = "only printable ASCII in text", false;
                t.text += q;
            }
            out->push_back(std::move(t));
        } else {
            Token t;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
                   line[i] != '#')
                t.text += line[i++];
            for (char ch : t.text)
                if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) > 0x7E)
                    return *error = "only printable ASCII allowed", false;
            out->push_back(std::move(t));
        }
    }
    return true;
}

bool ParseNumber(const Token& t, std::uint32_t max, std::uint32_t* out) {
    if (t.quoted || t.text.empty() || t.text.size() > 10) return false;
    std::uint64_t v = 0;
    for (char c : t.text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (v > max) return false;
    *out = static_cast<std::uint32_t>(v);
    return true;
}

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Reads "KEYWORD NUMBER" pairs from tokens[from..] into the named slots, in
// any order; every slot must be given unless it has a default already.
struct Pair {
    const char* keyword;
    std::uint32_t max;
    std::uint32_t* value;
    bool required;
};
bool ParsePairs(const std::vector<Token>& tokens, size_t from, std::vector<Pair> pairs,
                std::string* error) {
    std::set<std::string> seen;
    for (size_t i = from; i < tokens.size(); i += 2) {
        std::string kw = Lower(tokens[i].text);
        auto it = std::find_if(pairs.begin(), pairs.end(),
                               [&](const Pair& p) { return kw == p.keyword; });
        if (it == pairs.end() || tokens[i].quoted)
            return *error = "unexpected '" + tokens[i].text + "'", false;
        if (!seen.insert(kw).second) return *error = kw + " given twice", false;
        if (i + 1 >= tokens.size()) return *error = kw + " needs a number", false;
        if (!ParseNumber(tokens[i + 1], it->max, it->value))
            return *error = kw + ": '" + tokens[i + 1].text + "' is not a number 0.." +
                            std::to_string(it->max),
                   false;
    }
    for (const auto& p : pairs)
        if (p.required && !seen.count(p.keyword))
            return *error = std::string("missing ") + p.keyword, false;
    return true;
}

const Field* FindField(const std::vector<Field>& fields, const std::string& name) {
    for (const auto& f : fields)
        if (f.name == name) return &f;
    return nullptr;
}

std::string Quote(const std::string& s) {
    bool plain = !s.empty() && s.find_first_of(" \t\"#\\") == std::string::npos;
    if (plain) return s;
    std::string q = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    return q + "\"";
}

}  // namespace

const char* TableFileName(TableId table) {
    switch (table) {
        case TableId::kTours: return "nuvak";
        case TableId::kPresets: return "grppre";
        case TableId::kCameras: return "cam";
        case TableId::kMonitors: return "mon";
    }
    return "";
}

bool TableByName(std::string_view name, TableId* table) {
    for (TableId t : kAllTables)
        if (name == TableFileName(t)) return *table = t, true;
    return false;
}

const std::vector<Field>& TableFields(TableId table) {
    switch (table) {
        case TableId::kTours: return kTourFields;
        case TableId::kPresets: return kPresetFields;
        case TableId::kCameras: return kCameraFields;
        case TableId::kMonitors: break;
    }
    return kMonitorFields;
}

bool ParseDescription(std::string_view text, Installation* out, std::string* error) {
    Installation inst;
    enum class Open { kNone, kTour, kPreset } open = Open::kNone;
    std::map<std::uint32_t, int> tourLine, presetLine, camLine, monLine;
    int lineNo = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        std::string why;
        auto fail = [&](const std::string& reason) {
            *error = "line " + std::to_string(lineNo) + ": " + reason;
            return false;
        };
        std::vector<Token> tok;
        if (!Tokenize(line, &tok, &why)) return fail(why);
        if (tok.empty()) continue;
        std::string kw = Lower(tok[0].text);

        auto head = [&](std::map<std::uint32_t, int>& lines, const char* what, std::uint32_t* id,
                        std::uint32_t* logical) {
            if (tok.size() < 2 || !ParseNumber(tok[1], kMaxId, id) || *id == 0)
                return fail(std::string(what) + " needs a number 1.." + std::to_string(kMaxId));
            auto [it, fresh] = lines.emplace(*id, lineNo);
            if (!fresh)
                return fail(std::string(what) + " " + std::to_string(*id) +
                            " already defined on line " + std::to_string(it->second));
            if (tok.size() < 4 || Lower(tok[2].text) != "logical" ||
                !ParseNumber(tok[3], 0xFFFFFFFFu, logical))
                return fail(std::string(what) + " needs 'logical NUMBER' after its number");
            return true;
        };

        if (kw == "tour" || kw == "preset") {
            bool tour = kw == "tour";
            std::uint32_t id = 0, logical = 0;
            if (!head(tour ? tourLine : presetLine, tour ? "tour" : "preset", &id, &logical))
                return false;
            if (tok.size() > 4) return fail("unexpected '" + tok[4].text + "'");
            if (tour) {
                inst.tours.push_back({id, logical, {}});
            } else {
                inst.presets.push_back({id, logical, {}});
            }
            open = tour ? Open::kTour : Open::kPreset;
        } else if (kw == "step") {
            if (open != Open::kTour) return fail("step outside a tour");
            StepDef s;
            if (!ParsePairs(tok, 1,
                            {{"preset", kMaxId, &s.preset, true},
                             {"dwell", kMaxDwell, &s.dwell, true}},
                            &why))
                return fail(why);
            inst.tours.back().steps.push_back(s);
        } else if (kw == "element") {
            if (open != Open::kPreset) return fail("element outside a preset");
            if (inst.presets.back().elements.size() >= kMaxElements)
                return fail("a preset has at most " + std::to_string(kMaxElements) + " elements");
            ElementDef e;
            if (!ParsePairs(tok, 1,
                            {{"monitor", kMaxId, &e.monitor, true},
                             {"camera", kMaxId, &e.camera, true},
                             {"preset", kMaxId, &e.preset, false}},
                            &why))
                return fail(why);
            inst.presets.back().elements.push_back(e);
        } else if (kw == "camera" || kw == "monitor") {
            bool cam = kw == "camera";
            DeviceDef d;
            if (!head(cam ? camLine : monLine, cam ? "camera" : "monitor", &d.id, &d.logical))
                return false;
            const auto& fields = cam ? kCameraFields : kMonitorFields;
            const char* keyName = cam ? "CAM" : "MON";
            const char* logName = cam ? "LCAM" : "LMON";
            for (size_t i = 4; i < tok.size(); i += 2) {
                std::string name = Upper(tok[i].text);
                const Field* f = tok[i].quoted ? nullptr : FindField(fields, name);
                if (!f || name == keyName || name == logName)
                    return fail("'" + tok[i].text + "' is not a field of the " +
                                (cam ? "camera" : "monitor") + " table");
                if (i + 1 >= tok.size()) return fail(name + " needs a value");
                std::string stored;
                if (!FormatField(*f, tok[i + 1].text, &stored) ||
                    (f->type == 'C' && tok[i + 1].text.size() > static_cast<size_t>(f->width)))
                    return fail(name + ": '" + tok[i + 1].text + "' does not fit " + f->type + "(" +
                                std::to_string(f->width) + ")");
                if (!d.fields.emplace(name, tok[i + 1].text).second)
                    return fail(name + " given twice");
            }
            (cam ? inst.cameras : inst.monitors).push_back(std::move(d));
            open = Open::kNone;
        } else {
            return fail("unknown keyword '" + tok[0].text +
                        "' (tour, step, preset, element, camera, monitor)");
        }
    }
    *out = std::move(inst);
    return true;
}

std::string FormatDescription(const Installation& inst) {
    std::string s;
    for (const auto& t : inst.tours) {
        s += "tour " + std::to_string(t.id) + " logical " + std::to_string(t.logical) + "\n";
        for (const auto& st : t.steps)
            s += "  step preset " + std::to_string(st.preset) + " dwell " +
                 std::to_string(st.dwell) + "\n";
    }
    for (const auto& p : inst.presets) {
        s += "preset " + std::to_string(p.id) + " logical " + std::to_string(p.logical) + "\n";
        for (const auto& e : p.elements)
            s += "  element monitor " + std::to_string(e.monitor) + " camera " +
                 std::to_string(e.camera) + " preset " + std::to_string(e.preset) + "\n";
    }
    for (int cam = 1; cam >= 0; --cam) {
        for (const auto& d : cam ? inst.cameras : inst.monitors) {
            s += std::string(cam ? "camera " : "monitor ") + std::to_string(d.id) + " logical " +
                 std::to_string(d.logical);
            for (const auto& [name, value] : d.fields) s += " " + Lower(name) + " " + Quote(value);
            s += "\n";
        }
    }
    return s;
}

Installation ExampleInstallation(bool full) {
    Installation inst;
    if (!full) {
        inst.tours = {
            {1, 10001, {{1, 10}, {2, 5}, {3, 20}}},
            {2, 10002, {{2, 8}}},
            {5, 10005, {{3, 15}, {1, 15}}},
        };
        inst.presets = {
            {1, 20001, {{1, 1, 1}, {2, 2, 0}}},
            {2, 20002, {{1, 3, 2}, {2, 4, 1}, {3, 1, 0}}},
            {3, 20003, {{4, 2, 5}}},
        };
        for (std::uint32_t c = 1; c <= 4; ++c) {
            DeviceDef d{c, 100 + c, {}};
            d.fields["TITLE"] = "Camera " + std::to_string(c);
            d.fields["CAMTYPE"] = c % 2 ? "0009" : "0000";
            d.fields["CAMLOC"] = c <= 2 ? "Gate" : "Yard";
            inst.cameras.push_back(d);
        }
        for (std::uint32_t m = 1; m <= 4; ++m) {
            DeviceDef d{m, 200 + m, {}};
            d.fields["MONLOC"] = "Control room";
            inst.monitors.push_back(d);
        }
        return inst;
    }
    for (std::uint32_t t = 1; t <= 256; ++t) {
        TourDef tour{t, 10000 + t, {}};
        std::uint32_t steps = 2 + t % 15;
        for (std::uint32_t s = 0; s < steps; ++s)
            tour.steps.push_back({(t - 1 + s * 7) % 256 + 1, 5 + (t + s) % 30});
        inst.tours.push_back(std::move(tour));
    }
    for (std::uint32_t p = 1; p <= 256; ++p) {
        PresetDef preset{p, 20000 + p, {}};
        for (std::uint32_t e = 0; e < 128; ++e)
            preset.elements.push_back(
                {((p - 1) * 128 + e) % 1024 + 1, (p * 131 + e * 17) % 2047 + 1, (p + e) % 64 + 1});
        inst.presets.push_back(std::move(preset));
    }
    for (std::uint32_t c = 1; c <= 2048; ++c) {
        DeviceDef d{c, 100 + c, {}};
        d.fields["TITLE"] = "Camera " + std::to_string(c);
        d.fields["CAMTYPE"] = c % 4 == 0 ? "001A" : "0009";
        d.fields["CAMLOC"] = "Site " + std::to_string((c - 1) / 64 + 1);
        d.fields["CPORT"] = std::to_string(c);
        d.fields["VPORT"] = std::to_string(c);
        inst.cameras.push_back(std::move(d));
    }
    for (std::uint32_t m = 1; m <= 1024; ++m) {
        DeviceDef d{m, 200 + m, {}};
        d.fields["MONLOC"] = "Room " + std::to_string((m - 1) / 32 + 1);
        d.fields["VPORT"] = std::to_string(m);
        inst.monitors.push_back(std::move(d));
    }
    return inst;
}

Table MakeTable(const Installation& inst, TableId table) {
    Table t;
    t.fields = TableFields(table);
    switch (table) {
        case TableId::kTours:
            t.tags = {"GRPTOUR"};
            for (const auto& tour : inst.tours)
                for (const auto& s : tour.steps)
                    t.rows.push_back({std::to_string(tour.id), std::to_string(tour.logical),
                                      std::to_string(s.preset), std::to_string(s.dwell)});
            break;
        case TableId::kPresets:
            t.tags = {"GRPPRESET"};
            for (const auto& p : inst.presets)
                for (const auto& e : p.elements)
                    t.rows.push_back({std::to_string(p.id), std::to_string(e.monitor),
                                      std::to_string(e.camera), std::to_string(e.preset),
                                      std::to_string(p.logical)});
            break;
        case TableId::kCameras:
        case TableId::kMonitors: {
            bool cam = table == TableId::kCameras;
            t.tags = {cam ? "CAM" : "MON", cam ? "LCAM" : "LMON"};
            for (const auto& d : cam ? inst.cameras : inst.monitors) {
                std::vector<std::string> row;
                for (const auto& f : t.fields) {
                    if (f.name == t.tags[0]) {
                        row.push_back(std::to_string(d.id));
                    } else if (f.name == t.tags[1]) {
                        row.push_back(std::to_string(d.logical));
                    } else {
                        auto it = d.fields.find(f.name);
                        row.push_back(it != d.fields.end() ? it->second : DefaultValue(f));
                    }
                }
                t.rows.push_back(std::move(row));
            }
            break;
        }
    }
    return t;
}

bool WriteInstallation(const std::string& dir, const Installation& inst,
                       const std::vector<TableId>& tables, const WriteOptions& options,
                       std::string* error) {
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return *error = "mkdir " + dir + ": " + std::strerror(errno), false;
    for (TableId t : tables) {
        std::string why;
        if (!WriteTable(dir + "/" + TableFileName(t), MakeTable(inst, t), options, &why))
            return *error = std::string(TableFileName(t)) + ": " + why, false;
    }
    return true;
}

}  // namespace nuvak::dbw
