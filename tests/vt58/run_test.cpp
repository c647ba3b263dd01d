// vt58-run: a scripted printer for a command, with summary, PNGs, record and exit status.

#include "tests/vt58/frames.h"
#include "vt58/vt58.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Dir {
    std::string path;
    Dir() {
        char t[] = "/tmp/vt58-run-XXXXXX";
        path = mkdtemp(t) ? t : "";
    }
    ~Dir() {
        if (!path.empty())
            vt58::runCommand({"/bin/rm", "-rf", path}, {});
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

struct Ran {
    int status = -1;
    std::string out; // standard output and error together
};

Ran vt58Run(const std::vector<std::string>& options, const std::vector<std::string>& command) {
    std::string line = std::string("exec ") + VT58_RUN;
    for (const std::string& o : options)
        line += " '" + o + "'";
    line += " --";
    for (const std::string& c : command)
        line += " '" + c + "'";
    line += " 2>&1";
    Ran r;
    r.status = vt58::runCommand({"/bin/sh", "-c", line}, vt58::currentEnv(),
                                std::chrono::seconds(30), &r.out);
    return r;
}

std::string slurp(const std::string& path) {
    std::ifstream f(path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::string> clientExchange(const std::vector<std::vector<uint8_t>>& frames) {
    std::vector<std::string> c{VT58_CLIENT, "open", "claim", "0"};
    for (const auto& f : frames)
        c.insert(c.end(), {"write", "02", vt58test::hex(f), "read", "81", "64"});
    c.push_back("close");
    return c;
}

} // namespace

TEST(Vt58Run, ScriptedRunWritesSummaryPngsAndRecord) {
    Dir d;
    ASSERT_FALSE(d.path.empty());
    std::ofstream(d.file("s.txt")) << "head 203\nrefuse print 1\n";
    std::vector<uint8_t> page = vt58test::randomPage(40, 48, 11);
    auto frames = vt58test::pageFrames(page, 48, 36, {});
    std::vector<std::vector<uint8_t>> sent{vt58test::statusFrame(), frames[0], frames[0],
                                           frames[1]};
    Ran r = vt58Run(
        {"--scenario", d.file("s.txt"), "--png", d.file("png"), "--record", d.file("record.txt")},
        clientExchange(sent));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("vt58: 1 printed page(s), 1 complete"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("vt58: 0 protocol error(s)"), std::string::npos);
    EXPECT_EQ(access(d.file("png/page-001-dev0-copy1.png").c_str(), R_OK), 0);
    std::string rec = slurp(d.file("record.txt"));
    EXPECT_NE(rec.find("print #1 len"), std::string::npos) << rec;
    EXPECT_NE(rec.find(" refused"), std::string::npos);
    EXPECT_NE(rec.find("usb dev 0 claim interface 0"), std::string::npos);
    EXPECT_NE(rec.find("page dev 0 copy 1/1 lines 40"), std::string::npos);
}

TEST(Vt58Run, ExitStatusTellsFailures) {
    std::vector<uint8_t> bad = vt58test::statusFrame();
    bad[5] ^= 0xFF;
    Ran r = vt58Run({}, clientExchange({bad}));
    EXPECT_EQ(r.status, 1); // the command succeeded, the record holds a protocol error
    EXPECT_NE(r.out.find("bad checksum"), std::string::npos) << r.out;

    EXPECT_EQ(vt58Run({}, {"/bin/sh", "-c", "exit 5"}).status, 5);

    Dir d;
    std::ofstream(d.file("s.txt")) << "head 300\nbusy three\n";
    r = vt58Run({"--scenario", d.file("s.txt")}, {"/bin/true"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("line 2: \"three\" is not a number"), std::string::npos) << r.out;
    EXPECT_EQ(vt58Run({"--png"}, {}).status, 2);
}
