// Pieces of nuvak-request that do not need the loop: the command line, the
// request text, the decoded answer and its text and JSON forms.
#ifndef NUVAK_REQUEST_H
#define NUVAK_REQUEST_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace nuvak::request {

struct Options {
    std::string to;             // --to ADDRESS (empty: --unit or 127.0.0.1)
    unsigned long toIpa = 0;    // resolved, host order
    unsigned short unit = 0;    // --unit N
    unsigned short port = 5110;
    std::uint32_t monitor = 0;  // 0: source unit * 10,000,000 + 1
    unsigned short user = 1;
    unsigned short device = 1;
    std::uint32_t priority = 10;
    bool json = false;
    bool dryRun = false;
    std::string action;         // run, pause, ...
    int rawAction = -1;         // --action N
    int rawType = -1;           // --type N
    std::uint32_t group = 0;
    std::string xmlFile;        // --xml FILE: payload taken verbatim
    std::string xmlText;        // its text, read once by LoadXml
    unsigned long count = 1;    // --count N
    double rate = 100.0;        // --rate R requests per second
    unsigned short source = 0;  // --source N; 0: task manager, monitor, group
    unsigned short maxRetry = 3;
    unsigned long retryPeriod = 1000;
    unsigned short localPort = 0;
    bool help = false;
};

// Parses argv; false with a one-line reason on bad arguments, among them a
// --max-retry and --retry-period whose copies would outlast the server's
// hold of an exactly-once answer (CommExactlyOnceFits, commtypes.h).
bool ParseOptions(int argc, char** argv, Options& o, std::string& reason);

// The ids of one run: its first session id (1..4096) and first RequestID
// (1..65535), both from the time in ms. Runs started at least 2 ms apart
// and less than 8 s apart (the server holds an answer 4.3 s) get different
// session ids and RequestIDs, so a run from the same --local-port as an
// earlier one is acted on instead of being answered with the earlier one's
// stored answer.
struct RunIds {
    unsigned short firstSession;
    unsigned short firstRequestId;
};
RunIds SeedIds(std::uint64_t nowMs);
// The RequestID of the i-th request of a run (wraps past 65535 to 1).
unsigned short RequestIdOf(const RunIds& ids, std::size_t i);

// The variable an action asks for: group type, action value, and whether it
// is a monitor check ("CameraGroupMonitor"). False for an unknown action.
struct ActionSpec {
    unsigned short type;
    unsigned short action;
    bool check;
};
bool LookupAction(const std::string& name, ActionSpec& spec);

// Reads the --xml file (or standard input for "-") once into o.xmlText;
// false with a one-line reason when the file cannot be read.
bool LoadXml(Options& o, std::string& reason);

// The request's XML (a "Camera" message with one variable), or the payload
// of --xml as LoadXml read it. requestId distinguishes the requests of a
// load run.
std::string BuildRequest(const Options& o, unsigned short sourceUnit, unsigned short requestId);

// An answer taken apart generically: the root element's attributes and each
// child element with its attributes, in document order.
struct Element {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    const std::string* Find(const std::string& key) const;
};
struct Answer {
    bool wellFormed = false;
    std::string error;  // parser message when not well formed
    Element root;
    std::vector<Element> variables;
    unsigned short ErrorStatus() const;
};
Answer ParseAnswer(const std::string& xml);

// "NUVAKERR_INVALID (0x0A05)", "OK (0x0000)", "UNKNOWN (0x0123)".
std::string StatusText(unsigned short code);
// "RUNNING (1)", "STOPPED (0)", "END (2)", "UNKNOWN (9)".
std::string StateText(unsigned short state);

std::string FormatText(const Answer& a, unsigned short unit, double latencyMs);
std::string FormatJson(const Answer& a, unsigned short unit, double latencyMs, const std::string& raw);
std::string JsonString(const std::string& s);

// Latency percentile (p in 0..100) of sorted values, nearest rank.
double Percentile(const std::vector<double>& sorted, double p);

}  // namespace nuvak::request

#endif
