// Savro-2 analyser simulator on a pseudo-terminal.

#include "analyser/FPConvert.h"
#include "measurement/ValueText.h"
#include "tools/SimAnalyser.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) {
    gStop = 1;
}

const char kHelp[] =
    "Usage: savro2-sim [options]\n"
    "Plays a Savro-2 analyser on a pseudo-terminal. The first line on stdout is\n"
    "  PORT <path>     the serial port to open (9600 8O1 is accepted as is)\n"
    "then one line per event, flushed:\n"
    "  SENT <id>       an intact record carrying measurement <id> was sent\n"
    "  ACK <id>        command 9 acknowledged measurement <id>\n"
    "  FAULT <name>    a reply was spoiled on purpose\n"
    "  CMD <code>      a request frame arrived (with --verbose)\n"
    "\n"
    "The analyser answers only frames for its device number: commands 4 and 9\n"
    "echo the address, 6 sends the 234-byte measurement record, 7 sends 76 bytes\n"
    "(92 with --long7). A queued measurement is offered in every reply to\n"
    "command 6 until a command 9 arrives after it was sent; with nothing queued\n"
    "command 6 answers a record with flags 0.\n"
    "\n"
    "Options:\n"
    "  --device N          device number 0..65535 (default 1)\n"
    "  --auto SECONDS      queue a plausible beverage measurement at once and then\n"
    "                      every SECONDS\n"
    "  --long7             answer command 7 with 92 bytes instead of 76\n"
    "  --faults P          spoil each reply to command 6 with probability P (0..1)\n"
    "                      with one of the faults below but hangup\n"
    "  --seed N            seed of the random numbers (default: random)\n"
    "  --hangup-after N    hang up in the middle of the reply after N exchanges\n"
    "  --noack P           drop each command-9 frame with probability P (0..1):\n"
    "                      no echo, the measurement stays new\n"
    "  --link PATH         also offer the port as the symbolic link PATH (made or\n"
    "                      re-pointed at start, removed when the line closes), as\n"
    "                      /dev/serial/by-id/ does for a USB adapter\n"
    "  --verbose           print CMD lines\n"
    "  --no-stdin          do not read stdin (and do not end at its end)\n"
    "  --help              this text\n"
    "\n"
    "Lines on stdin:\n"
    "  measure <mask> <flags> <cal> <v0> ... <v26>\n"
    "                      queue a measurement; mask and flags hex (0x..) or\n"
    "                      decimal, values decimal reals, missing values 0\n"
    "  fault <name> [count]  spoil the next count replies to command 6 (default 1):\n"
    "                      noreply, short (233 bytes), split (the rest after more\n"
    "                      than a read time-out), wrongtail, badfloat (an invalid\n"
    "                      word in an absent indicator), surplus (bytes after the\n"
    "                      234), garbage (random bytes), hangup (close mid-reply)\n"
    "  fault noack [count] drop the next count command-9 frames (default 1)\n"
    "  noack SECONDS       drop every command-9 frame for SECONDS\n"
    "  release             free the port of a client that died without closing it\n"
    "  hangup              close the line now (mid-reply if one is being sent)\n"
    "  quit                end\n"
    "The program ends on SIGINT, SIGTERM, 'quit' or the end of stdin.\n";

using Clock = std::chrono::steady_clock;

void Emit(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

[[noreturn]] void Usage(const std::string& message) {
    std::fprintf(stderr, "savro2-sim: %s (see --help)\n", message.c_str());
    std::exit(2);
}

bool ParseUnsigned(const std::string& text, unsigned long long max, unsigned long long& out) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > max)
        return false;
    out = v;
    return true;
}

// A point or a comma, whatever the locale: the register reads values so too.
bool ParseReal(const std::string& text, double& out) {
    const std::optional<double> v =
        TValueText::Parse(QByteArrayView(text.data(), qsizetype(text.size())));
    if (!v)
        return false;
    out = *v;
    return true;
}

struct TOptions {
    quint16 Device = 1;
    double AutoSeconds = 0.0;
    bool Long7 = false;
    double Faults = 0.0;
    quint32 Seed = std::random_device{}();
    int HangUpAfter = -1;
    double NoAck = 0.0;
    bool Verbose = false;
    bool NoStdin = false;
    std::string Link;
};

TOptions ParseOptions(int argc, char** argv) {
    TOptions o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                Usage(arg + " needs a value");
            return argv[++i];
        };
        unsigned long long u = 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            std::exit(0);
        } else if (arg == "--device") {
            if (!ParseUnsigned(value(), 65535, u))
                Usage("--device takes 0..65535");
            o.Device = static_cast<quint16>(u);
        } else if (arg == "--auto") {
            if (!ParseReal(value(), o.AutoSeconds) || o.AutoSeconds <= 0.0)
                Usage("--auto takes a positive number of seconds");
        } else if (arg == "--long7") {
            o.Long7 = true;
        } else if (arg == "--faults") {
            if (!ParseReal(value(), o.Faults) || o.Faults < 0.0 || o.Faults > 1.0)
                Usage("--faults takes a probability 0..1");
        } else if (arg == "--seed") {
            if (!ParseUnsigned(value(), 0xFFFFFFFFull, u))
                Usage("--seed takes 0..4294967295");
            o.Seed = static_cast<quint32>(u);
        } else if (arg == "--hangup-after") {
            if (!ParseUnsigned(value(), 1000000000ull, u))
                Usage("--hangup-after takes a number of exchanges");
            o.HangUpAfter = static_cast<int>(u);
        } else if (arg == "--noack") {
            if (!ParseReal(value(), o.NoAck) || o.NoAck < 0.0 || o.NoAck > 1.0)
                Usage("--noack takes a probability 0..1");
        } else if (arg == "--verbose") {
            o.Verbose = true;
        } else if (arg == "--link") {
            o.Link = value();
            if (o.Link.empty())
                Usage("--link takes a path");
        } else if (arg == "--no-stdin") {
            o.NoStdin = true;
        } else {
            Usage("unknown argument " + arg);
        }
    }
    return o;
}

// The pseudo-terminal: master for us, the slave path for the client. Our own
// slave descriptor stays open so the master never reads a hang-up while no
// client has the port open.
class TPty {
public:
    TPty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            Fail("cannot create a pseudo-terminal");
        const char* name = ptsname(master_);
        if (!name)
            Fail("cannot name the pseudo-terminal");
        path_ = name;
        slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY);
        if (slave_ < 0)
            Fail("cannot open " + path_);
        termios t{};
        if (tcgetattr(slave_, &t) == 0) {
            cfmakeraw(&t);
            cfsetispeed(&t, B9600);
            cfsetospeed(&t, B9600);
            tcsetattr(slave_, TCSANOW, &t);
            initial_ = t;
        }
        const int flags = fcntl(master_, F_GETFL);
        fcntl(master_, F_SETFL, flags | O_NONBLOCK);
    }
    ~TPty() { Close(); }
    TPty(const TPty&) = delete;
    TPty& operator=(const TPty&) = delete;

    const std::string& Path() const { return path_; }
    int Master() const { return master_; }
    bool IsOpen() const { return master_ >= 0; }

    void Write(const QByteArray& bytes) {
        qsizetype done = 0;
        while (master_ >= 0 && done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.constData() + done, bytes.size() - done);
            if (n > 0) {
                done += n;
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{master_, POLLOUT, 0};
                ::poll(&p, 1, 100);
            } else {
                return;
            }
        }
    }

    // A port whose holder died unclosed is free again on a real line; here
    // our own descriptor keeps the terminal alive, with the holder's
    // exclusive flag and line settings: both go back to the start.
    void Release() {
        if (slave_ < 0)
            return;
        ::ioctl(slave_, TIOCNXCL);
        tcsetattr(slave_, TCSANOW, &initial_);
    }

    void Close() {
        if (slave_ >= 0)
            ::close(slave_);
        if (master_ >= 0)
            ::close(master_);
        slave_ = master_ = -1;
    }

private:
    [[noreturn]] static void Fail(const std::string& what) {
        std::fprintf(stderr, "savro2-sim: %s: %s\n", what.c_str(), std::strerror(errno));
        std::exit(1);
    }
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    termios initial_{};
};

// The port under a second name that outlives this process, as a USB
// adapter's stable name does: pointed at our pty while the line is up.
class TPortLink {
public:
    TPortLink(std::string link, const std::string& target)
        : link_(std::move(link)), target_(target) {
        if (link_.empty())
            return;
        // Re-pointed in one step, so a client never finds the name missing.
        const std::string temp = link_ + ".new" + std::to_string(::getpid());
        ::unlink(temp.c_str());
        if (::symlink(target_.c_str(), temp.c_str()) != 0 ||
            ::rename(temp.c_str(), link_.c_str()) != 0) {
            std::fprintf(stderr, "savro2-sim: cannot make the link %s: %s\n", link_.c_str(),
                         std::strerror(errno));
            std::exit(1);
        }
    }
    ~TPortLink() { Remove(); }
    TPortLink(const TPortLink&) = delete;
    TPortLink& operator=(const TPortLink&) = delete;

    // Only while it still points at our pty: a newer simulator may own it.
    void Remove() {
        if (link_.empty())
            return;
        char buf[4096];
        const ssize_t n = ::readlink(link_.c_str(), buf, sizeof buf - 1);
        if (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == target_)
            ::unlink(link_.c_str());
        link_.clear();
    }

private:
    std::string link_;
    std::string target_;
};

// Handles one stdin line; false when the program should end.
bool HandleLine(const std::string& line, TSimAnalyser& sim, TPty& pty) {
    std::istringstream in(line);
    std::string word;
    if (!(in >> word))
        return true;
    if (word == "quit")
        return false;
    if (word == "hangup") {
        Emit("FAULT hangup");
        pty.Close();
        return false;
    }
    if (word == "release") {
        pty.Release();
        return true;
    }
    if (word == "noack") {
        std::string secondsText;
        double seconds = 0.0;
        if (!(in >> secondsText) || !ParseReal(secondsText, seconds) || seconds < 0.0) {
            std::fprintf(stderr, "savro2-sim: bad noack line: %s\n", line.c_str());
            return true;
        }
        sim.DropAcksUntil(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds)));
        return true;
    }
    if (word == "fault") {
        std::string name, countText;
        in >> name >> countText;
        if (name == "noack") {
            unsigned long long frames = 1;
            if (!countText.empty() && !ParseUnsigned(countText, 1000000, frames)) {
                std::fprintf(stderr, "savro2-sim: bad fault line: %s\n", line.c_str());
                return true;
            }
            sim.DropAcks(static_cast<int>(frames));
            return true;
        }
        const auto fault = SimFaultFromName(name);
        unsigned long long count = 1;
        if (!fault || (!countText.empty() && !ParseUnsigned(countText, 1000000, count))) {
            std::fprintf(stderr, "savro2-sim: bad fault line: %s\n", line.c_str());
            return true;
        }
        sim.QueueFault(*fault, static_cast<int>(count));
        return true;
    }
    if (word == "measure") {
        std::string maskText, flagsText, calText;
        unsigned long long mask = 0, flags = 0, cal = 0;
        if (!(in >> maskText >> flagsText >> calText) ||
            !ParseUnsigned(maskText, 0xFFFFFFFFull, mask) ||
            !ParseUnsigned(flagsText, 0xFFFFull, flags) || !ParseUnsigned(calText, 255, cal)) {
            std::fprintf(stderr, "savro2-sim: bad measure line: %s\n", line.c_str());
            return true;
        }
        TMeasurementRecord r;
        r.Mask = static_cast<quint32>(mask);
        r.Flags = static_cast<quint16>(flags);
        r.Calibration = static_cast<quint8>(cal);
        std::string v;
        int k = 0;
        while (in >> v) {
            if (k >= IndicatorCount || !ParseReal(v, r.Values[k])) {
                std::fprintf(stderr, "savro2-sim: bad value '%s' in: %s\n", v.c_str(),
                             line.c_str());
                return true;
            }
            ++k;
        }
        try {
            sim.Queue(r);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "savro2-sim: %s: %s\n", e.what(), line.c_str());
        }
        return true;
    }
    std::fprintf(stderr, "savro2-sim: unknown command: %s\n", line.c_str());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const TOptions opt = ParseOptions(argc, argv);

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    TPty pty;
    TSimAnalyser sim(opt.Device, opt.Seed);
    sim.Long7 = opt.Long7;
    sim.Verbose = opt.Verbose;
    sim.FaultProbability = opt.Faults;
    sim.HangUpAfter = opt.HangUpAfter;
    sim.AckDropProbability = opt.NoAck;
    TPortLink link(opt.Link, pty.Path());
    Emit("PORT " + pty.Path());

    const auto autoPeriod =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt.AutoSeconds));
    // The first one at once: whoever starts polling sees a measurement.
    Clock::time_point nextAuto = Clock::now();
    QByteArray later;
    Clock::time_point laterAt{};
    bool readStdin = !opt.NoStdin;
    std::string stdinBuffer;

    while (!gStop && pty.IsOpen()) {
        const Clock::time_point now = Clock::now();
        if (opt.AutoSeconds > 0.0 && now >= nextAuto) {
            sim.Queue(sim.Generate());
            nextAuto = now + autoPeriod;
        }
        if (!later.isEmpty() && now >= laterAt) {
            pty.Write(later);
            later.clear();
        }
        int timeout = 200;
        auto until = [&](Clock::time_point t) {
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
            timeout = std::min<int>(timeout, std::max<long long>(0, ms + 1));
        };
        if (opt.AutoSeconds > 0.0)
            until(nextAuto);
        if (!later.isEmpty())
            until(laterAt);

        pollfd fds[2] = {{pty.Master(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const int n = ::poll(fds, readStdin ? 2 : 1, timeout);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        // Stdin first: a command given before a request takes effect before
        // the request is answered.
        if (readStdin && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buf[1024];
            const ssize_t got = ::read(STDIN_FILENO, buf, sizeof buf);
            if (got <= 0) {
                break; // end of stdin ends the program
            }
            stdinBuffer.append(buf, static_cast<std::size_t>(got));
            std::size_t nl;
            bool goOn = true;
            while (goOn && (nl = stdinBuffer.find('\n')) != std::string::npos) {
                std::string line = stdinBuffer.substr(0, nl);
                stdinBuffer.erase(0, nl + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                goOn = HandleLine(line, sim, pty);
            }
            if (!goOn)
                break;
        }
        if (fds[0].revents & POLLIN) {
            char buf[512];
            const ssize_t got = ::read(pty.Master(), buf, sizeof buf);
            if (got > 0) {
                for (TSimReply& r : sim.Feed(QByteArrayView(buf, got))) {
                    // A new request ends whatever was still to come of the last reply.
                    later.clear();
                    for (const std::string& e : r.Events)
                        Emit(e);
                    pty.Write(r.Now);
                    if (r.HangUp) {
                        pty.Close();
                        break;
                    }
                    if (!r.Later.isEmpty()) {
                        later = r.Later;
                        laterAt = Clock::now() + std::chrono::milliseconds(r.LaterDelayMs);
                    }
                }
            }
        }
    }
    link.Remove();
    pty.Close();
    return 0;
}
