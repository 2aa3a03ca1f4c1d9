#include "request.h"

#include <arpa/inet.h>
#include <expat.h>
#include <netdb.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "cameramessage.h"
#include "commtypes.h"
#include "sysdefs.h"
#include "toolargs.h"

namespace nuvak::request {

bool LookupAction(const std::string& name, ActionSpec& spec) {
    struct Row {
        const char* name;
        ActionSpec spec;
    };
    static const Row kRows[] = {
        {"run", {MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, false}},
        {"pause", {MON_TOUR_TYP_GRP, MON_TOUR_ACT_PAUSE, false}},
        {"next", {MON_TOUR_TYP_GRP, MON_TOUR_ACT_INC, false}},
        {"prev", {MON_TOUR_TYP_GRP, MON_TOUR_ACT_DEC, false}},
        {"resume", {MON_TOUR_TYP_GRP, MON_TOUR_ACT_NOP, false}},
        {"stop", {MON_TOUR_TYP_GRP, MON_TOUR_ACT_DEL, false}},
        {"preset", {MON_TOUR_TYP_GRPPRE, MON_TOUR_ACT_RUN, false}},
        {"seize", {MON_TOUR_TYP_SEIZE, MON_TOUR_ACT_RUN, false}},
        {"check", {MON_TOUR_TYP_GRP, 0, true}},
    };
    for (const Row& r : kRows)
        if (name == r.name) {
            spec = r.spec;
            return true;
        }
    return false;
}

namespace {

bool ResolveAddress(const std::string& text, unsigned long& ipa) {
    struct in_addr a;
    if (inet_pton(AF_INET, text.c_str(), &a) == 1) {
        ipa = ntohl(a.s_addr);
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(text.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return false;
    ipa = ntohl(reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(res);
    return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options& o, std::string& reason) {
    std::vector<std::string> positional;
    try {
        for (toolargs::Reader r(argc, argv); r.More();) {
            const std::string& a = r.Next();
            if (a == "--help" || a == "-h") {
                o.help = true;
                return true;
            } else if (a == "--to") {
                o.to = r.Value();
                if (!ResolveAddress(o.to, o.toIpa)) throw toolargs::BadArgs("--to: cannot resolve '" + o.to + "'");
            } else if (a == "--rate") {
                const std::string v = r.Value();
                char* end = nullptr;
                o.rate = std::strtod(v.c_str(), &end);
                if (*end != '\0' || !(o.rate > 0.0) || o.rate > 1e6)
                    throw toolargs::BadArgs("--rate takes requests per second, above 0 and at most 1000000");
            } else if (a == "--unit") o.unit = r.Number<unsigned short>(1, 64);
            else if (a == "--port") o.port = r.Number<unsigned short>(1, 65535);
            else if (a == "--monitor") o.monitor = r.Number<std::uint32_t>(0, 0xFFFFFFFFul);
            else if (a == "--user") o.user = r.Number<unsigned short>(0, 0xFFFF);
            else if (a == "--device") o.device = r.Number<unsigned short>(0, 0xFFFF);
            else if (a == "--priority") o.priority = r.Number<std::uint32_t>(0, 0xFFFFFFFFul);
            else if (a == "--json") o.json = true;
            else if (a == "--dry-run") o.dryRun = true;
            else if (a == "--action") o.rawAction = r.Number<int>(0, 0xFFFF);
            else if (a == "--type") o.rawType = r.Number<int>(0, 0xFFFF);
            else if (a == "--xml") o.xmlFile = r.Value();
            else if (a == "--count") o.count = r.Number(1, 10000000);
            else if (a == "--source") o.source = r.Number<unsigned short>(0, 64);
            else if (a == "--max-retry") o.maxRetry = r.Number<unsigned short>(0, 100);
            else if (a == "--retry-period") o.retryPeriod = r.Number(1, 600000);
            else if (a == "--local-port") o.localPort = r.Number<unsigned short>(0, 65535);
            else if (a.empty() || a[0] != '-' || a == "-") positional.push_back(a);
            else throw toolargs::BadArgs("unknown option " + a + " (try --help)");
        }
    } catch (const toolargs::BadArgs& e) {
        reason = e.what();
        return false;
    }
    if (!CommExactlyOnceFits(o.maxRetry, o.retryPeriod)) {
        const unsigned long most = CommExactlyOnceMaxPeriod(o.maxRetry);
        reason = "--max-retry " + std::to_string(o.maxRetry) + " --retry-period " + std::to_string(o.retryPeriod) +
                 ": the copies would span " + std::to_string(CommRetrySpanMs(o.maxRetry, o.retryPeriod)) +
                 " ms, beyond what the server holds an exactly-once answer (" +
                 std::to_string(COMM_EXACTLY_ONCE_HOLD_MS) + " ms, less " +
                 std::to_string(COMM_EXACTLY_ONCE_MARGIN_MS) + " ms margin); " +
                 (most == 0 ? std::string("use fewer repeats")
                            : "with " + std::to_string(o.maxRetry) + " repeats at most " + std::to_string(most) + " ms");
        return false;
    }
    if (!o.to.empty() && o.unit != 0) {
        reason = "give --to or --unit, not both";
        return false;
    }
    if (!o.xmlFile.empty()) {
        if (!positional.empty()) {
            reason = "--xml sends the file as it stands; no ACTION or GROUP";
            return false;
        }
        return true;
    }
    if (positional.size() != 2) {
        reason = positional.empty() ? "missing ACTION and GROUP (try --help)"
                                    : positional.size() == 1 ? "missing GROUP after " + positional[0]
                                                             : "too many arguments: " + positional[2];
        return false;
    }
    o.action = positional[0];
    ActionSpec spec;
    if (!LookupAction(o.action, spec)) {
        reason = "unknown action '" + o.action + "' (run, pause, next, prev, resume, stop, preset, seize, check)";
        return false;
    }
    unsigned long g = 0;
    if (!toolargs::ParseNumber(positional[1], 0xFFFFFFFFul, g)) {
        reason = "GROUP must be a global group id (decimal or 0x hex), not '" + positional[1] + "'";
        return false;
    }
    o.group = static_cast<std::uint32_t>(g);
    return true;
}

RunIds SeedIds(std::uint64_t nowMs) {
    return {static_cast<unsigned short>((nowMs / 2) % 4096 + 1), static_cast<unsigned short>(nowMs % 65535 + 1)};
}

unsigned short RequestIdOf(const RunIds& ids, std::size_t i) {
    return static_cast<unsigned short>((ids.firstRequestId - 1u + i) % 65535u + 1u);
}

bool LoadXml(Options& o, std::string& reason) {
    if (o.xmlFile.empty()) return true;
    if (o.xmlFile == "-") {
        o.xmlText.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return true;
    }
    std::ifstream in(o.xmlFile, std::ios::binary);
    if (!in) {
        reason = "cannot read " + o.xmlFile;
        return false;
    }
    o.xmlText.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

std::string BuildRequest(const Options& o, unsigned short sourceUnit, unsigned short requestId) {
    // Standard input can be read only once: every request of a --count run
    // sends the same text.
    if (!o.xmlFile.empty()) return o.xmlText;
    ActionSpec spec{};
    LookupAction(o.action, spec);
    const unsigned short type = o.rawType >= 0 ? static_cast<unsigned short>(o.rawType) : spec.type;
    const unsigned short action = o.rawAction >= 0 ? static_cast<unsigned short>(o.rawAction) : spec.action;
    const std::uint32_t monitor = o.monitor != 0 ? o.monitor : sourceUnit * SYS_GLOBAL_GROUP_FACTOR + 1;
    CameraMessage msg("SET_REQUEST", requestId, sourceUnit, 0, monitor, 0, 0);
    if (spec.check)
        msg.AddElement(new CameraVariableGroupMonitor(o.group, type, std::string(), 0));
    else
        msg.AddElement(new CameraVariableGroup(o.group, type, o.device, o.user, o.priority, action, 0, 0));
    std::string text;
    msg.SerializeElement(text, 0);
    return text;
}

const std::string* Element::Find(const std::string& key) const {
    for (const auto& kv : attributes)
        if (kv.first == key) return &kv.second;
    return nullptr;
}

unsigned short Answer::ErrorStatus() const {
    const std::string* v = root.Find("ErrorStatus");
    return v != nullptr ? static_cast<unsigned short>(std::atoi(v->c_str())) : 0;
}

namespace {

struct ParseState {
    Answer* answer;
    int depth = 0;
};

void XMLCALL OnStart(void* data, const XML_Char* name, const XML_Char** atts) {
    auto* st = static_cast<ParseState*>(data);
    Element e;
    e.name = name;
    for (int i = 0; atts[i] != nullptr && atts[i + 1] != nullptr; i += 2) e.attributes.emplace_back(atts[i], atts[i + 1]);
    if (st->depth == 0)
        st->answer->root = std::move(e);
    else if (st->answer->variables.size() < 4096)
        st->answer->variables.push_back(std::move(e));
    ++st->depth;
}

void XMLCALL OnEnd(void* data, const XML_Char*) { --static_cast<ParseState*>(data)->depth; }

}  // namespace

Answer ParseAnswer(const std::string& xml) {
    Answer a;
    ParseState st{&a};
    XML_Parser p = XML_ParserCreate(nullptr);
    if (p == nullptr) {
        a.error = "no memory for the parser";
        return a;
    }
    XML_SetUserData(p, &st);
    XML_SetElementHandler(p, OnStart, OnEnd);
    if (XML_Parse(p, xml.data(), static_cast<int>(xml.size()), 1) == XML_STATUS_OK) {
        a.wellFormed = true;
    } else {
        a.error = XML_ErrorString(XML_GetErrorCode(p));
    }
    XML_ParserFree(p);
    return a;
}

std::string StatusText(unsigned short code) {
    const char* name = NuvakErrorName(code);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s (0x%04X)", name != nullptr ? name : "UNKNOWN", code);
    return buf;
}

std::string StateText(unsigned short state) {
    const char* name = state == TOURSTATE_STOPPED   ? "STOPPED"
                       : state == TOURSTATE_RUNNING ? "RUNNING"
                       : state == TOURSTATE_END     ? "END"
                                                    : "UNKNOWN";
    return std::string(name) + " (" + std::to_string(state) + ")";
}

namespace {

unsigned short U16(const std::string& v) { return static_cast<unsigned short>(std::atoi(v.c_str())); }

bool IsNumber(const std::string& v) {
    if (v.empty() || v.size() > 15) return false;
    for (char c : v)
        if (c < '0' || c > '9') return false;
    return !(v.size() > 1 && v[0] == '0');
}

void AppendElementText(std::ostringstream& out, const Element& e) {
    out << e.name;
    for (const auto& kv : e.attributes) {
        if (kv.first == "ErrorStatus" || kv.first == "VarReturnCode" || kv.first == "State") continue;
        out << ' ' << kv.first << '=' << kv.second;
    }
    out << '\n';
    for (const auto& kv : e.attributes) {
        if (kv.first == "ErrorStatus" || kv.first == "VarReturnCode")
            out << "  " << kv.first << ": " << StatusText(U16(kv.second)) << '\n';
        else if (kv.first == "State")
            out << "  State: " << StateText(U16(kv.second)) << '\n';
    }
}

void AppendJsonAttributes(std::ostringstream& out, const Element& e) {
    out << '{';
    bool first = true;
    for (const auto& kv : e.attributes) {
        if (!first) out << ',';
        first = false;
        out << JsonString(kv.first) << ':' << (IsNumber(kv.second) ? kv.second : JsonString(kv.second));
    }
    out << '}';
}

}  // namespace

std::string FormatText(const Answer& a, unsigned short unit, double latencyMs) {
    std::ostringstream out;
    char lat[32];
    std::snprintf(lat, sizeof lat, "%.3f", latencyMs);
    out << "answer from unit " << unit << " in " << lat << " ms\n";
    if (!a.wellFormed) {
        out << "  (not well-formed XML: " << a.error << ")\n";
        return out.str();
    }
    AppendElementText(out, a.root);
    for (const Element& v : a.variables) AppendElementText(out, v);
    return out.str();
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string FormatJson(const Answer& a, unsigned short unit, double latencyMs, const std::string& raw) {
    std::ostringstream out;
    char lat[32];
    std::snprintf(lat, sizeof lat, "%.3f", latencyMs);
    out << "{\"answered\":true,\"unit\":" << unit << ",\"latency_ms\":" << lat;
    if (!a.wellFormed) {
        out << ",\"well_formed\":false,\"error\":" << JsonString(a.error) << ",\"raw\":" << JsonString(raw) << "}\n";
        return out.str();
    }
    const unsigned short status = a.ErrorStatus();
    const char* name = NuvakErrorName(status);
    out << ",\"well_formed\":true,\"error_status\":" << status
        << ",\"error_name\":" << JsonString(name != nullptr ? name : "UNKNOWN") << ",\"header\":{\"type\":"
        << JsonString(a.root.name) << ",\"attributes\":";
    AppendJsonAttributes(out, a.root);
    out << "},\"variables\":[";
    for (std::size_t i = 0; i < a.variables.size(); ++i) {
        const Element& v = a.variables[i];
        if (i != 0) out << ',';
        out << "{\"type\":" << JsonString(v.name) << ",\"attributes\":";
        AppendJsonAttributes(out, v);
        if (const std::string* s = v.Find("State")) {
            const std::string t = StateText(U16(*s));
            out << ",\"state_name\":" << JsonString(t.substr(0, t.find(' ')));
        }
        if (const std::string* r = v.Find("VarReturnCode")) {
            const char* n = NuvakErrorName(U16(*r));
            out << ",\"return_name\":" << JsonString(n != nullptr ? n : "UNKNOWN");
        }
        out << '}';
    }
    out << "]}\n";
    return out.str();
}

double Percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0.0;
    std::size_t rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    if (rank == 0) rank = 1;
    if (rank > sorted.size()) rank = sorted.size();
    return sorted[rank - 1];
}

}  // namespace nuvak::request
