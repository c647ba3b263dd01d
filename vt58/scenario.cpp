// The scenario file: one directive a line (see README.md).

#include "vt58/vt58.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace vt58 {
namespace {

struct LayoutName {
    const char* text;
    Layout layout;
};

constexpr LayoutName kLayouts[] = {
    {"t58", Layout::T58},
    {"others-first", Layout::OthersFirst},
    {"others-only", Layout::OthersOnly},
    {"none", Layout::NoDevice},
    {"two-printers", Layout::TwoPrinters},
    {"missing-out", Layout::MissingOut},
    {"missing-in", Layout::MissingIn},
    {"interrupt", Layout::InterruptEndpoints},
    {"two-bulk-in", Layout::TwoBulkIn},
    {"kernel-driver", Layout::KernelDriver},
    {"second-interface", Layout::SecondInterface},
};

// The words of one line, with a cursor and the first problem met.
struct Line {
    std::vector<std::string> words;
    size_t at = 1;
    std::string problem;

    bool more() const { return at < words.size(); }
    const std::string& peek() const { return words[at]; }
    bool take(const char* word) {
        if (more() && words[at] == word) {
            ++at;
            return true;
        }
        return false;
    }
    bool number(int& out, long lo, long hi) {
        if (!more()) {
            problem = "a number is missing after \"" + words[at - 1] + "\"";
            return false;
        }
        const std::string& w = words[at];
        char* end = nullptr;
        errno = 0;
        long v = std::strtol(w.c_str(), &end, 0);
        if (errno != 0 || end == w.c_str() || *end != '\0' || v < lo || v > hi) {
            problem = "\"" + w + "\" is not a number from " + std::to_string(lo) + " to " +
                      std::to_string(hi);
            return false;
        }
        out = static_cast<int>(v);
        ++at;
        return true;
    }
    // "for N" or "forever"; count keeps its value when neither is there.
    bool count(int& out) {
        if (take("forever")) {
            out = kForever;
            return true;
        }
        if (take("for"))
            return number(out, 1, INT_MAX);
        return true;
    }
    bool from(int& out) {
        if (take("from"))
            return number(out, 1, INT_MAX);
        return true;
    }
    bool done() {
        if (problem.empty() && more())
            problem = "unexpected \"" + words[at] + "\"";
        return problem.empty();
    }
};

bool matchOf(Line& l, Match& m) {
    if (!l.take("on"))
        return true;
    if (l.take("status"))
        m = Match::Status;
    else if (l.take("print"))
        m = Match::Print;
    else if (l.take("any"))
        m = Match::Any;
    else
        l.problem = "\"on\" takes status, print or any";
    return l.problem.empty();
}

template <class Script> bool rule(Line& l, Script& s, bool isJobState) {
    int value = 0;
    ReplyRule r;
    r.count = kForever;
    if (!l.number(value, 0, 255) || !matchOf(l, r.on) || !l.from(r.first) || !l.count(r.count))
        return false;
    if (isJobState)
        r.jobState = value;
    else
        r.byte4 = static_cast<uint8_t>(value);
    s.rules.push_back(r);
    return true;
}

template <class Script> bool fault(Line& l, Script& s) {
    FaultRule f;
    if (l.take("status"))
        f.at = Site::StatusReply;
    else if (l.take("print"))
        f.at = Site::PrintReply;
    else if (l.take("write"))
        f.at = Site::Write;
    else if (l.take("read"))
        f.at = Site::Read;
    else {
        l.problem = "\"fail\" takes status, print, write or read";
        return false;
    }
    if (!l.number(f.index, 1, INT_MAX))
        return false;
    if (l.take("error"))
        f.fault = Fault::TransferError;
    else if (l.take("timeout"))
        f.fault = Fault::Timeout;
    else if (l.take("short")) {
        f.fault = Fault::Short;
        if (!l.number(f.shortLength, 0, 65535))
            return false;
    } else if (l.take("vanish"))
        f.fault = Fault::Vanish;
    else {
        l.problem = "the fault is error, timeout, short N or vanish";
        return false;
    }
    while (l.problem.empty() && l.more()) {
        if (l.take("back-after-ms"))
            l.number(f.backAfterMs, 0, INT_MAX);
        else if (l.take("back-after-requests"))
            l.number(f.backAfterRequests, 1, INT_MAX);
        else if (l.peek() == "for" || l.peek() == "forever")
            l.count(f.count);
        else
            break;
    }
    s.faults.push_back(f);
    return l.problem.empty();
}

template <class Script> bool head(Line& l, Script& s) {
    int v = 0;
    if (l.take("203"))
        s.headByte = 0;
    else if (l.take("300"))
        s.headByte = 1;
    else if (l.number(v, 0, 255))
        s.headByte = static_cast<uint8_t>(v);
    return l.problem.empty();
}

bool layout(Line& l, Scenario& s) {
    for (const LayoutName& n : kLayouts)
        if (l.take(n.text)) {
            s.layout = n.layout;
            return true;
        }
    l.problem = "unknown layout";
    return false;
}

template <class Script> bool shorthand(const std::string& cmd, Line& l, Script& s) {
    int n = 0, first = 1, bits = 0x01;
    if (cmd == "busy") {
        if (l.number(n, 1, INT_MAX) && l.from(first))
            s.busy(n, first);
    } else if (cmd == "not-ready") {
        if (!l.number(n, 1, INT_MAX))
            return false;
        if (l.take("bits") && !l.number(bits, 1, 0x3F))
            return false;
        if (l.from(first))
            s.notReady(n, static_cast<uint8_t>(bits), first);
    } else if (cmd == "job-wait") {
        if (l.number(n, 1, INT_MAX) && l.from(first))
            s.jobWait(n, first);
    } else if (cmd == "job-stop") {
        n = kForever;
        if (l.from(first) && l.count(n))
            s.jobStop(first, n);
    } else if (cmd == "refuse") {
        if (!l.take("print")) {
            l.problem = "\"refuse\" takes print";
            return false;
        }
        n = 1;
        if (l.take("every"))
            s.refuseEveryPrint();
        else if (l.number(first, 1, INT_MAX) && l.count(n))
            s.refusePrint(first, n);
    } else {
        l.problem = "unknown directive \"" + cmd + "\"";
    }
    return l.problem.empty();
}

// The directives of one printer's script, at the top or in a printer section.
template <class Script> bool scriptDirective(Line& l, Script& s) {
    const std::string cmd = l.words[0];
    if (cmd == "kernel-driver") {
        s.kernelDriver = true;
        return true;
    }
    if (cmd == "head")
        return head(l, s);
    if (cmd == "reply-length")
        return l.number(s.replyLength, kMinReplyLength, kReplyLength);
    if (cmd == "serial") {
        if (!l.more()) {
            l.problem = "the serial is missing";
            return false;
        }
        s.serial = l.words[l.at++];
        return true;
    }
    if (cmd == "byte4")
        return rule(l, s, false);
    if (cmd == "job-state")
        return rule(l, s, true);
    if (cmd == "fail")
        return fault(l, s);
    return shorthand(cmd, l, s);
}

// A printer section starts from what the lines before the first one set, but its own serial.
PrinterSetup sectionStart(const Scenario& s) {
    PrinterSetup p;
    p.headByte = s.headByte;
    p.replyLength = s.replyLength;
    p.baseByte4 = s.baseByte4;
    p.baseJobState = s.baseJobState;
    p.rules = s.rules;
    p.faults = s.faults;
    p.kernelDriver = s.kernelDriver;
    return p;
}

bool directive(Line& l, Scenario& s, bool& inSection) {
    const std::string& cmd = l.words[0];
    if (cmd == "printer") {
        if (s.printers.size() >= static_cast<size_t>(kMaxPrinters)) {
            l.problem = "at most " + std::to_string(kMaxPrinters) + " printers on a bus";
            return false;
        }
        PrinterSetup p = sectionStart(s);
        if (l.more())
            p.serial = l.words[l.at++];
        s.printers.push_back(std::move(p));
        inSection = true;
        return true;
    }
    if (cmd == "layout") {
        if (inSection) {
            l.problem = "the layout goes before the first printer line";
            return false;
        }
        return layout(l, s);
    }
    if (cmd == "unplugged") {
        if (!inSection) {
            l.problem = "\"unplugged\" belongs to a printer section";
            return false;
        }
        s.printers.back().unplugged = true;
        return true;
    }
    if (cmd == "plug-in-at-ms" || cmd == "unplug-at-ms") {
        if (!inSection) {
            l.problem = "\"" + cmd + "\" belongs to a printer section";
            return false;
        }
        PrinterSetup& p = s.printers.back();
        return l.number(cmd == "plug-in-at-ms" ? p.plugInAtMs : p.unplugAtMs, 0, INT_MAX);
    }
    return inSection ? scriptDirective(l, s.printers.back()) : scriptDirective(l, s);
}

} // namespace

bool parseScenario(const std::string& text, Scenario& out, std::string& error) {
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    bool inSection = false;
    while (std::getline(in, raw)) {
        ++number;
        size_t hash = raw.find('#');
        if (hash != std::string::npos)
            raw.resize(hash);
        Line l;
        std::istringstream words(raw);
        for (std::string w; words >> w;)
            l.words.push_back(w);
        if (l.words.empty())
            continue;
        if (!directive(l, out, inSection) || !l.done()) {
            error = "line " + std::to_string(number) + ": " +
                    (l.problem.empty() ? "bad directive" : l.problem);
            return false;
        }
    }
    return true;
}

bool loadScenario(const std::string& path, Scenario& out, std::string& error) {
    std::ifstream f(path);
    if (!f) {
        error = "cannot read " + path;
        return false;
    }
    std::ostringstream text;
    text << f.rdbuf();
    return parseScenario(text.str(), out, error);
}

} // namespace vt58
