// SPDX-License-Identifier: MIT
// portterm_bench: measures portterm on pseudo-terminal pairs beside other
// relays run the same way, in one run: picocom, a terminal program users
// know (when it is installed), and two bare two-process relays, the floors
// (floor_relay): one byte per read and write, and a block of portterm's
// size.  Prints each figure for each relay, and portterm's ratio to the
// block floor.  It judges nothing.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "harness.h"

namespace {

int SESSIONS = 30; // start-up and quit samples
int LATENCY_SAMPLES = 3000;
size_t TRANSFER = size_t{4} << 20;
int PHASE_MS = 2000; // idle, hung-up and line-pace phases
int RETURNS = 60;    // the device gone and back, for the relays that can
int AWAY_MS = 250;   // each time it is away

// A relay measured: portterm (reading portrc) when args is empty, or a
// command whose last argument is the device.  Over the network, that
// argument is the port of loopback ser2net serves the device at, after
// prefix; portterm's portrc names it as an rfc2217:// port.
struct relay {
    std::string name;
    std::string program;
    std::vector<std::string> args;
    std::string quit;               // the keys that end it; none: SIGTERM
    std::string prefix = "";        // before the port, over the network
    const char* accepter = nullptr; // ser2net's, over the network
};

// The network's figures: ser2net serves the device at 115200 on loopback.
int NET_RUNS = 3;
int NET_SAMPLES = 200;
size_t NET_TRANSFER = size_t{4} << 20;

[[noreturn]] void die(const char* what)
{
    (void)fprintf(stderr, "portterm_bench: %s\n", what); // ending anyway
    exit(1);
}

double now_us()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e6 +
           static_cast<double>(t.tv_nsec) / 1e3;
}

void raw(int fd)
{
    struct termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
}

// One relay between a user's terminal and a device, both pseudo-terminals.
struct session {
    const relay* r;
    pty user, device;
    std::string dir;
    portterm_run run;
    double started_us = 0;
    double ready_us = 0;
    struct rusage usage = {};
    long peak_kib = 0; // of the relay's processes together, before the end
    pid_t server = -1; // ser2net, over the network
};

// Whether a port of loopback listens, as /proc/net/tcp says.
bool listening(int port)
{
    char local[64];
    (void)snprintf(local, sizeof local, "0100007F:%04X 00000000:0000 0A",
                   port); // it fits
    return read_file("/proc/net/tcp").find(local) != std::string::npos;
}

// ser2net, with a configuration of the benchmark's own (never its
// packaged one), serving the session's device; returns its port.
int serve(session& s)
{
    static int next = 47100;
    int port = next++;
    const std::string config = s.dir + "/ser2net.yaml";
    if (symlink(s.device.path.c_str(), (s.dir + "/dev").c_str()) != 0)
        die("cannot make the device's link");
    write_file(config, std::string("connection: &port\n  accepter: ") +
                           s.r->accepter + ",127.0.0.1," +
                           std::to_string(port) + "\n  connector: serialdev," +
                           s.dir + "/dev,115200n81,local\n");
    s.server = fork();
    if (s.server == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDERR_FILENO);
        execl("/usr/sbin/ser2net", "ser2net", "-n", "-u", "-c", config.c_str(),
              "-P", (s.dir + "/ser2net.pid").c_str(), nullptr);
        _exit(127);
    }
    for (int i = 0; !listening(port); ++i) {
        if (i == 3000)
            die("ser2net did not listen");
        usleep(1000);
    }
    return port;
}

// portterm's portrc names a link to the device when linked, as a device
// simulator makes one, so that the device can go and come back.
void start(session& s, bool linked = false)
{
    s.user = open_pty();
    s.device = open_pty();
    // Raw from the start, so the floor, which sets nothing, relays too.
    raw(s.user.slave);
    raw(s.device.slave);
    s.dir = make_temp_dir();
    std::vector<std::string> argv = {s.r->program};
    std::string path = linked ? s.dir + "/modem" : s.device.path;
    if (linked && symlink(s.device.path.c_str(), path.c_str()) != 0)
        die("cannot make the device's link");
    std::string target = s.device.path;
    if (s.r->accepter != nullptr) {
        std::string port = std::to_string(serve(s));
        bool raw = strcmp(s.r->accepter, "tcp") == 0;
        path = (raw ? "socket://127.0.0.1:" : "rfc2217://127.0.0.1:") + port;
        target = s.r->prefix + port;
    }
    if (s.r->args.empty()) {
        write_file(s.dir + "/portrc",
                   path + (s.r->accepter ? "\n115200" : "\n38400") +
                       "\nNONE\n");
    } else {
        argv.insert(argv.end(), s.r->args.begin(), s.r->args.end());
        argv.push_back(target);
    }
    s.started_us = now_us();
    s.run = start_portterm(s.dir, s.user.slave, s.user.slave, s.user.slave,
                           argv, true);
    // Ready: a key has come through to the device.  A relay that drops
    // what was typed before it was ready (picocom) is asked again every
    // 20 ms; the keys that then come late are read away.
    for (int i = 0;; ++i) {
        write_bytes(s.user.master, "R");
        if (read_bytes(s.device.master, 1, 20) == "R")
            break;
        if (i == 150)
            die(("the relay never became ready: " + s.r->name).c_str());
    }
    s.ready_us = now_us();
    read_quiet(s.device.master, 30);
    read_quiet(s.user.master, 30); // a banner, over the network
}

// Types the quit keys and waits for the relay to end; returns the time it
// took.  The relay's peak memory is read first: what wait4 reports would
// count the benchmark's own memory, copied by the fork before the exec.
double finish(session& s)
{
    s.peak_kib = status_figure(s.run.pid, "VmHWM");
    if (pid_t child = first_child_of(s.run.pid); child > 0)
        s.peak_kib += status_figure(child, "VmHWM");
    double quit = now_us();
    if (s.r->quit.empty())
        signal_process(s.run.pid, SIGTERM);
    else
        write_bytes(s.user.master, s.r->quit);
    int status;
    for (;;) {
        pid_t r = wait4(s.run.pid, &status, WNOHANG, &s.usage);
        if (r == s.run.pid)
            break;
        if (now_us() - quit > 3e6) {
            signal_process(s.run.pid, SIGKILL);
            wait4(s.run.pid, &status, 0, &s.usage);
            // Said as well as it can be: the figures go on regardless.
            (void)fprintf(stderr,
                          "portterm_bench: %s did not end at its quit key\n",
                          s.r->name.c_str());
            break;
        }
        usleep(50);
    }
    double took = now_us() - quit;
    if (s.server > 0) {
        signal_process(s.server, SIGTERM);
        waitpid(s.server, nullptr, 0);
    }
    close(s.run.err);
    close_pty(s.user);
    close_pty(s.device);
    remove_tree(s.dir);
    return took;
}

double cpu_seconds(const struct rusage& u)
{
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    size_t i = std::lround(p * static_cast<double>(v.size() - 1));
    return v[i];
}

struct figures {
    double startup_ms, quit_ms;
    double return_median_ms, return_worst_ms;
    double away_wakes_median, away_wakes_worst; // per second
    double away_cpu_median, away_cpu_worst;     // % of a core
    double key_median_us, key_p99_us, screen_median_us, screen_p99_us;
    double key_bytes_s, screen_bytes_s;
    bool key_exact, screen_exact;
    double key_cpu_ms_per_mib, screen_cpu_ms_per_mib;
    double idle_pct, hung_pct, pace_pct;
    bool pace_exact;
    double peak_kib;
};

void latency(int from, int to, std::vector<double>& samples)
{
    for (int i = 0; i < LATENCY_SAMPLES; ++i) {
        char c = static_cast<char>('a' + i % 26);
        double t0 = now_us();
        write_bytes(from, std::string(1, c));
        if (read_bytes(to, 1, 2000) != std::string(1, c))
            die("a byte was lost or changed in the latency run");
        samples.push_back(now_us() - t0);
    }
}

// Sends data from one master to the other as fast as both sides take it;
// returns bytes per second and whether every byte arrived unchanged.
double transfer(int from, int to, const std::string& data, bool& exact)
{
    int flags = fcntl(from, F_GETFL);
    fcntl(from, F_SETFL, flags | O_NONBLOCK);
    std::string got;
    got.reserve(data.size());
    size_t sent = 0;
    double t0 = now_us();
    while (got.size() < data.size()) {
        struct pollfd fds[2] = {
            {to, POLLIN, 0},
            {from, static_cast<short>(sent < data.size() ? POLLOUT : 0), 0}};
        if (poll(fds, 2, 3000) <= 0)
            break;
        if (fds[1].revents & POLLOUT) {
            size_t chunk = std::min<size_t>(4096, data.size() - sent);
            ssize_t n = write(from, data.data() + sent, chunk);
            if (n > 0)
                sent += n;
        }
        if (fds[0].revents & POLLIN) {
            char buf[8192];
            ssize_t n = read(to, buf, sizeof buf);
            if (n > 0)
                got.append(buf, n);
        }
    }
    double seconds = (now_us() - t0) / 1e6;
    fcntl(from, F_SETFL, flags);
    exact = got == data;
    return static_cast<double>(got.size()) / seconds;
}

// Context switches and processor time (ns) of pid, from /proc.
long switches(pid_t pid)
{
    return status_figure(pid, "voluntary_ctxt_switches") +
           status_figure(pid, "nonvoluntary_ctxt_switches");
}

double run_ns(pid_t pid)
{
    return strtod(
        read_file("/proc/" + std::to_string(pid) + "/schedstat").c_str(),
        nullptr);
}

// Waits until the relay's standard error has said text.
void await_line(session& s, const std::string& text)
{
    std::string said;
    while (said.find(text) == std::string::npos) {
        std::string got = read_bytes(s.run.err, 1, 2000);
        if (got.empty())
            die(("never said: " + text).c_str());
        said += got;
    }
}

// The device goes (its link removed, its pseudo-terminal closed) and comes
// back RETURNS times, staying 100 ms each time, as a device does that does
// not flap.  While it is away, AWAY_MS and up to 200 ms more, spread so
// that a relay trying on a timer is met at every point of its period: the
// wake-ups and processor time of both processes.  From the link made anew
// to the first byte of the device on the screen, the device writing a byte
// every 0.1 ms.
void returns(const relay& r, figures& f)
{
    session s{&r, {}, {}, {}, {}};
    start(s, true);
    pid_t sender = first_child_of(s.run.pid);
    const std::string link = s.dir + "/modem";
    std::vector<double> back_ms, wakes, cpu;
    for (int i = 0; i < RETURNS; ++i) {
        unlink(link.c_str());
        close_pty(s.device);
        await_line(s, "gone");
        usleep(20 * 1000);
        long switched = switches(s.run.pid) + switches(sender);
        double ran = run_ns(s.run.pid) + run_ns(sender), t0 = now_us();
        usleep((AWAY_MS + i * 37 % 200) * 1000);
        double away_s = (now_us() - t0) / 1e6;
        wakes.push_back(static_cast<double>(switches(s.run.pid) +
                                            switches(sender) - switched) /
                        away_s);
        cpu.push_back((run_ns(s.run.pid) + run_ns(sender) - ran) / 1e7 /
                      away_s);
        s.device = open_pty();
        raw(s.device.slave);
        if (symlink(s.device.path.c_str(), (link + "~").c_str()) != 0)
            die("cannot make the device's link");
        double made = now_us();
        if (rename((link + "~").c_str(), link.c_str()) != 0)
            die("cannot move the device's link");
        struct pollfd shown = {s.user.master, POLLIN, 0};
        while (poll(&shown, 1, 0) == 0) {
            if (now_us() - made > 3e6)
                die("the device was not taken back");
            write_bytes(s.device.master, "x");
            usleep(100);
        }
        back_ms.push_back((now_us() - made) / 1e3);
        await_line(s, "back");
        usleep(100 * 1000);
        read_quiet(s.user.master, 5);
    }
    finish(s);
    f.return_median_ms = percentile(back_ms, 0.5);
    f.return_worst_ms = percentile(back_ms, 1);
    f.away_wakes_median = percentile(wakes, 0.5);
    f.away_wakes_worst = percentile(wakes, 1);
    f.away_cpu_median = percentile(cpu, 0.5);
    f.away_cpu_worst = percentile(cpu, 1);
}

figures measure(const relay& r)
{
    figures f = {};
    long peak = 0;
    std::vector<double> starts, quits;
    for (int i = 0; i < SESSIONS; ++i) {
        session s{&r, {}, {}, {}, {}};
        start(s);
        starts.push_back((s.ready_us - s.started_us) / 1e3);
        quits.push_back(finish(s) / 1e3);
        peak = std::max(peak, s.peak_kib);
    }
    f.startup_ms = percentile(starts, 0.5);
    f.quit_ms = percentile(quits, 0.5);

    session s{&r, {}, {}, {}, {}};
    start(s);
    std::vector<double> keys, screen;
    latency(s.user.master, s.device.master, keys);
    latency(s.device.master, s.user.master, screen);
    f.key_median_us = percentile(keys, 0.5);
    f.key_p99_us = percentile(keys, 0.99);
    f.screen_median_us = percentile(screen, 0.5);
    f.screen_p99_us = percentile(screen, 0.99);
    finish(s);
    peak = std::max(peak, s.peak_kib);

    // Throughput each way in a session of its own, and its processor time
    // per MiB.
    std::string typed(TRANSFER, 0), received(TRANSFER, 0);
    for (size_t i = 0; i < TRANSFER; ++i) {
        typed[i] = static_cast<char>(i * 7 % 251 + 3); // never Ctrl-B
        received[i] = static_cast<char>(i * 13 % 256);
    }
    const double mib = static_cast<double>(TRANSFER) / 1048576;
    start(s);
    f.key_bytes_s =
        transfer(s.user.master, s.device.master, typed, f.key_exact);
    finish(s);
    f.key_cpu_ms_per_mib = cpu_seconds(s.usage) * 1e3 / mib;
    peak = std::max(peak, s.peak_kib);
    start(s);
    f.screen_bytes_s =
        transfer(s.device.master, s.user.master, received, f.screen_exact);
    finish(s);
    f.screen_cpu_ms_per_mib = cpu_seconds(s.usage) * 1e3 / mib;
    peak = std::max(peak, s.peak_kib);

    // Idle: nothing moves.
    start(s);
    usleep(PHASE_MS * 1000);
    finish(s);
    f.idle_pct = cpu_seconds(s.usage) * 100 / (PHASE_MS / 1e3);

    // The device hangs up: the modem side closes.
    start(s);
    close(s.device.master);
    close(s.device.slave);
    s.device.master = s.device.slave = -1;
    usleep(PHASE_MS * 1000);
    finish(s);
    f.hung_pct = cpu_seconds(s.usage) * 100 / (PHASE_MS / 1e3);

    // The device sends at the pace of a 38400 bit/s line, a byte at a time.
    start(s);
    std::string paced, shown;
    double t0 = now_us(), next = t0;
    for (int i = 0; now_us() - t0 < PHASE_MS * 1000.0; ++i) {
        char c = static_cast<char>(i % 256);
        paced += c;
        write_bytes(s.device.master, std::string(1, c));
        next += 1e6 / 3840;
        for (;;) {
            double left = next - now_us();
            if (left <= 0)
                break;
            struct pollfd in = {s.user.master, POLLIN, 0};
            if (poll(&in, 1, static_cast<int>(left / 1000)) > 0) {
                char buf[256];
                ssize_t n = read(s.user.master, buf, sizeof buf);
                if (n > 0)
                    shown.append(buf, n);
            } else if (left < 1000) {
                usleep(static_cast<useconds_t>(left));
            }
        }
    }
    shown += read_bytes(s.user.master, paced.size() - shown.size(), 2000);
    finish(s);
    f.pace_exact = shown == paced;
    f.pace_pct = cpu_seconds(s.usage) * 100 / (PHASE_MS / 1e3);
    f.peak_kib = static_cast<double>(std::max(peak, s.peak_kib));

    // Only portterm takes a device back: for the others, no figure.
    f.return_median_ms = f.return_worst_ms = NAN;
    f.away_wakes_median = f.away_wakes_worst = NAN;
    f.away_cpu_median = f.away_cpu_worst = NAN;
    if (r.args.empty())
        returns(r, f);
    return f;
}

struct net_figures {
    double key_ms, far_ms, random_mb_s, ff_mb_s, peak_kib;
    bool exact;
};

// Over the network, medians of NET_RUNS sessions: a key's way to the far
// end and a far byte's to the screen; the far end's bulk to the screen,
// random and all 0xFF.
net_figures measure_network(const relay& r)
{
    std::vector<double> key, far, random, ff, peak;
    bool exact = true;
    std::string noise(NET_TRANSFER, 0), all_ff(NET_TRANSFER / 4, '\xff');
    unsigned seed = 1;
    for (char& c : noise)
        c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
    for (int run = 0; run < NET_RUNS; ++run) {
        session s{&r, {}, {}, {}, {}};
        start(s);
        std::vector<double> keys, shown;
        int samples = LATENCY_SAMPLES;
        LATENCY_SAMPLES = NET_SAMPLES;
        latency(s.user.master, s.device.master, keys);
        latency(s.device.master, s.user.master, shown);
        LATENCY_SAMPLES = samples;
        key.push_back(percentile(keys, 0.5) / 1e3);
        far.push_back(percentile(shown, 0.5) / 1e3);
        bool ok = false;
        random.push_back(transfer(s.device.master, s.user.master, noise, ok) /
                         1e6);
        exact = exact && ok;
        ff.push_back(transfer(s.device.master, s.user.master, all_ff, ok) /
                     1e6);
        exact = exact && ok;
        finish(s);
        peak.push_back(static_cast<double>(s.peak_kib));
    }
    return {percentile(key, 0.5), percentile(far, 0.5), percentile(random, 0.5),
            percentile(ff, 0.5),  percentile(peak, 1),  exact};
}

// portterm beside the others over the network, and its ratio to the last,
// the floor.
void network(const std::vector<relay>& relays)
{
    printf("\nover the network: ser2net on loopback at 115200, medians of %d "
           "runs\n%-34s",
           NET_RUNS, "figure");
    std::vector<net_figures> all;
    for (const relay& r : relays) {
        printf(" %13s", r.name.c_str());
        all.push_back(measure_network(r));
    }
    printf(" %8s\n", "ratio");
    auto line = [&](const char* name, double net_figures::*value,
                    const char* unit) {
        printf("%-34s", name);
        for (const net_figures& f : all)
            printf(" %13.3f", f.*value);
        printf(" %7.2fx  %s\n", all.front().*value / all.back().*value, unit);
    };
    line("key to far end latency (median)", &net_figures::key_ms, "ms");
    line("far end to screen latency (median)", &net_figures::far_ms, "ms");
    line("far end to screen, random", &net_figures::random_mb_s, "MB/s");
    line("far end to screen, all 0xFF", &net_figures::ff_mb_s, "MB/s");
    line("peak memory (VmHWM, all processes)", &net_figures::peak_kib, "KiB");
    printf("%-34s", "every byte exact");
    for (const net_figures& f : all)
        printf(" %13s", f.exact ? "yes" : "NO");
    printf("\n");
}

figures mean(const figures& a, const figures& b)
{
    auto m = [](double x, double y) { return (x + y) / 2; };
    figures f;
    f.startup_ms = m(a.startup_ms, b.startup_ms);
    f.quit_ms = m(a.quit_ms, b.quit_ms);
    f.key_median_us = m(a.key_median_us, b.key_median_us);
    f.key_p99_us = m(a.key_p99_us, b.key_p99_us);
    f.screen_median_us = m(a.screen_median_us, b.screen_median_us);
    f.screen_p99_us = m(a.screen_p99_us, b.screen_p99_us);
    f.key_bytes_s = m(a.key_bytes_s, b.key_bytes_s);
    f.screen_bytes_s = m(a.screen_bytes_s, b.screen_bytes_s);
    f.key_exact = a.key_exact && b.key_exact;
    f.screen_exact = a.screen_exact && b.screen_exact;
    f.key_cpu_ms_per_mib = m(a.key_cpu_ms_per_mib, b.key_cpu_ms_per_mib);
    f.screen_cpu_ms_per_mib =
        m(a.screen_cpu_ms_per_mib, b.screen_cpu_ms_per_mib);
    f.idle_pct = m(a.idle_pct, b.idle_pct);
    f.hung_pct = m(a.hung_pct, b.hung_pct);
    f.pace_pct = m(a.pace_pct, b.pace_pct);
    f.pace_exact = a.pace_exact && b.pace_exact;
    f.peak_kib = std::max(a.peak_kib, b.peak_kib);
    f.return_median_ms = m(a.return_median_ms, b.return_median_ms);
    f.return_worst_ms = std::max(a.return_worst_ms, b.return_worst_ms);
    f.away_wakes_median = m(a.away_wakes_median, b.away_wakes_median);
    f.away_wakes_worst = std::max(a.away_wakes_worst, b.away_wakes_worst);
    f.away_cpu_median = m(a.away_cpu_median, b.away_cpu_median);
    f.away_cpu_worst = std::max(a.away_cpu_worst, b.away_cpu_worst);
    return f;
}

// One figure of every relay, and portterm's ratio to the last (the block
// floor).
void row(const char* name, const std::vector<figures>& all,
         double figures::*value, const char* unit, const char* note = "")
{
    printf("%-34s", name);
    for (const figures& f : all) {
        if (std::isnan(f.*value))
            printf(" %13s", "-");
        else
            printf(" %13.3f", f.*value);
    }
    double floor = all.back().*value;
    if (std::isnan(floor))
        printf(" %8s  %s%s\n", "", unit, note);
    else
        printf(" %7.2fx  %s%s\n", floor > 0 ? all.front().*value / floor : 0.0,
               unit, note);
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<relay> relays = {{"portterm", PORTTERM_PATH, {}, "\x02"}};
    bool only_network = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--quick") == 0) {
            SESSIONS = 5;
            LATENCY_SAMPLES = 300;
            TRANSFER = size_t{256} * 1024;
            PHASE_MS = 500;
            RETURNS = 10;
            AWAY_MS = 100;
            NET_RUNS = 1;
            NET_SAMPLES = 50;
            NET_TRANSFER = size_t{256} * 1024;
        } else if (strcmp(argv[i], "--network") == 0) {
            only_network = true;
        } else if (strcmp(argv[i], "--beside") == 0 && i + 1 < argc) {
            relays.push_back({"beside", argv[++i], {}, "\x02"});
        } else {
            (void)fprintf(
                stderr, "usage: portterm_bench [--quick] [--network] [--beside "
                        "PORTTERM]\n");
            return 2;
        }
    }
    // picocom ends at Ctrl-B Ctrl-X with Ctrl-B as its escape key, which
    // no measurement types; no lock, no reset of the line at the end.
    if (access("/usr/bin/picocom", X_OK) == 0)
        relays.push_back({"picocom",
                          "/usr/bin/picocom",
                          {"-q", "-l", "-r", "-e", "b", "-b", "38400"},
                          "\x02\x18"});
    else
        (void)fprintf(stderr, "portterm_bench: no /usr/bin/picocom "
                              "(package picocom): measured without it\n");
    relays.push_back({"floor 1 B", FLOOR_PATH, {"1"}, "\x02"});
    relays.push_back({"floor 4 KiB", FLOOR_PATH, {"4096"}, "\x02"});
    (void)signal(SIGPIPE, SIG_IGN); // cannot fail: a valid signal
    // Each relay twice, in the order given and then back, so that a
    // machine that warms up or slows down during the run favours none.
    std::vector<figures> first, all(relays.size());
    if (only_network)
        relays.clear();
    for (const relay& r : relays)
        first.push_back(measure(r));
    for (size_t i = relays.size(); i-- > 0;)
        all[i] = mean(first[i], measure(relays[i]));

    if (!relays.empty()) {
        printf("%-34s", "figure");
        for (const relay& r : relays)
            printf(" %13s", r.name.c_str());
        printf(" %8s\n", "ratio");
        auto exact = [&](bool figures::*ok) {
            for (const figures& f : all)
                if (!(f.*ok))
                    return ", NOT BYTE-EXACT";
            return ", byte-exact";
        };
        row("start-up to ready (median)", all, &figures::startup_ms, "ms");
        row("Ctrl-B to exit (median)", all, &figures::quit_ms, "ms");
        row("key to device latency (median)", all, &figures::key_median_us,
            "us");
        row("key to device latency (p99)", all, &figures::key_p99_us, "us");
        row("device to screen latency (median)", all,
            &figures::screen_median_us, "us");
        row("device to screen latency (p99)", all, &figures::screen_p99_us,
            "us");
        row("throughput key to device", all, &figures::key_bytes_s, "bytes/s",
            exact(&figures::key_exact));
        row("throughput device to screen", all, &figures::screen_bytes_s,
            "bytes/s", exact(&figures::screen_exact));
        row("processor per MiB key to device", all,
            &figures::key_cpu_ms_per_mib, "ms");
        row("processor per MiB device to screen", all,
            &figures::screen_cpu_ms_per_mib, "ms");
        row("processor use, idle", all, &figures::idle_pct, "% of a core");
        row("processor use, device hung up", all, &figures::hung_pct,
            "% of a core");
        row("processor use, 38400 bit/s line", all, &figures::pace_pct,
            "% of a core", exact(&figures::pace_exact));
        row("peak memory (VmHWM, all processes)", all, &figures::peak_kib,
            "KiB");
        row("return to first byte (median)", all, &figures::return_median_ms,
            "ms");
        row("return to first byte (worst)", all, &figures::return_worst_ms,
            "ms");
        row("wake-ups while away (median)", all, &figures::away_wakes_median,
            "per s");
        row("wake-ups while away (worst)", all, &figures::away_wakes_worst,
            "per s");
        row("processor use while away (median)", all, &figures::away_cpu_median,
            "% of a core");
        row("processor use while away (worst)", all, &figures::away_cpu_worst,
            "% of a core");
    }

    // Over the network, where ser2net is installed: portterm, microcom
    // (only ever with -t: without it, it opens the machine's first serial
    // port) and a bare relay through ser2net's raw accepter.
    if (access("/usr/sbin/ser2net", X_OK) != 0) {
        (void)fprintf(stderr, "portterm_bench: no /usr/sbin/ser2net (package "
                              "ser2net): measured without the network\n");
        return 0;
    }
    // microcom reads its quit command only once its prompt is up: it is
    // ended by SIGTERM.
    std::vector<relay> net = {
        {"portterm", PORTTERM_PATH, {}, "\x02", "", "telnet(rfc2217),tcp"},
        {"portterm raw", PORTTERM_PATH, {}, "\x02", "", "tcp"}};
    if (access("/usr/bin/microcom", X_OK) == 0)
        net.push_back({"microcom",
                       "/usr/bin/microcom",
                       {"-t"},
                       "",
                       "127.0.0.1:",
                       "telnet(rfc2217),tcp"});
    net.push_back({"floor 4 KiB", FLOOR_PATH, {"4096"}, "\x02", "tcp:", "tcp"});
    network(net);
    return 0;
}
