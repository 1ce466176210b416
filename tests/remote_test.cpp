// SPDX-License-Identifier: MIT
// A port on another machine: ser2net serves the test's pseudo-terminal on
// loopback, in RFC 2217, plain telnet or raw TCP; a fake server of the
// test's own makes the faults ser2net never makes; and a UNIX socket at the
// path stands for a virtual machine's console.

#include <charconv>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "terminal.h"

namespace {

const char* const SER2NET = "/usr/sbin/ser2net";

// A listening socket of the test's own on loopback, and its port.
int listen_on(int& port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), size) != 0 ||
        listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) != 0)
        throw std::runtime_error("no loopback socket");
    port = ntohs(a.sin_port);
    return fd;
}

int accept_within(int listener)
{
    struct pollfd in = {listener, POLLIN, 0};
    return poll(&in, 1, patience_ms) == 1
               ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)
               : -1;
}

// Whether a TCP port of loopback is listening, as /proc/net/tcp says.
bool listening(int port)
{
    char hex[8];
    *std::to_chars(hex, hex + 7, port, 16).ptr = '\0';
    std::string local = "0100007F:" + std::string(4 - strlen(hex), '0') + hex;
    for (char& c : local)
        c = static_cast<char>(toupper(c));
    return read_file("/proc/net/tcp").find(local + " 00000000:0000 0A") !=
           std::string::npos;
}

struct accepter_case {
    const char* name;
    const char* accepter; // ser2net's, before its address
    const char* scheme;
    const char* said; // after the start and each return, if anything
    bool sets;        // the far end takes portrc's settings
};

class Remote : public Terminal,
               public ::testing::WithParamInterface<accepter_case> {
  public:
    int port = 0;
    pid_t server = -1;
    std::string url, config;

    void TearDown() override
    {
        stop_server();
        Terminal::TearDown();
    }

    void stop_server()
    {
        if (server > 0) {
            signal_process(server, SIGTERM);
            EXPECT_NE(wait_for_exit(server, patience_ms), -1);
        }
        server = -1;
    }

    // ser2net with a configuration of the test's own, never its packaged
    // one: the port served is the test's pseudo-terminal, at 9600.
    void serve(const char* accepter)
    {
        if (access(SER2NET, X_OK) != 0)
            GTEST_SKIP() << "ser2net is not installed (package ser2net)";
        if (port == 0)
            close(listen_on(port));
        config = dir + "/ser2net.yaml";
        write_file(config, std::string("connection: &port\n  accepter: ") +
                               accepter + ",127.0.0.1," + std::to_string(port) +
                               "\n  connector: serialdev," + dir +
                               "/dev,9600n81,local\n");
        unlink((dir + "/dev").c_str());
        ASSERT_EQ(symlink(device.path.c_str(), (dir + "/dev").c_str()), 0);
        run_server();
    }

    void run_server()
    {
        server = fork();
        ASSERT_GE(server, 0);
        if (server == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(null, STDIN_FILENO);
            dup2(null, STDERR_FILENO);
            execl(SER2NET, SER2NET, "-n", "-u", "-c", config.c_str(), "-P",
                  (dir + "/ser2net.pid").c_str(), nullptr);
            _exit(127);
        }
        ASSERT_TRUE(wait_until([&] { return listening(port); }, patience_ms));
    }

    // Starts portterm on url; it is running once the keyboard is raw.
    void start_on(const std::string& line, const char* flow = "RTS/CTS",
                  const std::vector<std::string>& argv = {})
    {
        url = line;
        write_file(dir + "/portrc", url + "\n115200\n" + flow + "\n");
        run = start_portterm(dir, user.slave, user.slave, user.slave, argv);
        ASSERT_TRUE(wait_until([&] { return settings_of(user).c_lflag == 0; },
                               patience_ms))
            << read_quiet(run.err, 10);
        ASSERT_TRUE(
            wait_until([&] { return (sender = first_child_of(run.pid)) > 0; },
                       patience_ms));
    }

    std::string said(const std::string& text, bool moved = false)
    {
        return (moved ? "\r\n" : "") + url + ": " + text + "\r\n";
    }

    void expect_said(const std::string& lines)
    {
        EXPECT_EQ(read_bytes(run.err, lines.size(), patience_ms), lines);
    }

    // The far end at portrc's rate and flow control, or at ser2net's own.
    void expect_far_settings(bool sets)
    {
        struct termios t = settings_of(device);
        EXPECT_EQ(cfgetospeed(&t), sets ? B115200 : B9600);
        EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, sets);
    }

    // Every byte both ways: every key but Ctrl-B to the far end, every byte
    // of the far end to the screen.
    void expect_every_byte(int far)
    {
        const std::string keys = all_bytes_but('\x02');
        write_bytes(user.master, keys);
        EXPECT_EQ(read_bytes(far, keys.size(), patience_ms), keys);
        const std::string shown = all_bytes_but('\x02') + '\x02';
        write_bytes(far, shown);
        EXPECT_EQ(read_bytes(user.master, shown.size(), patience_ms), shown);
    }

    void expect_ctrl_b_ends_it()
    {
        expect_clean_end(quit());
        EXPECT_TRUE(same_settings(settings_of(user), user_before));
    }
};

// Settings reach the far end where they can be set, every byte crosses,
// a second client is refused with the server's words; ser2net started
// again: gone, and back with the settings answered again, no key typed
// meanwhile sent.
TEST_P(Remote, ThroughSer2net)
{
    const accepter_case& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(serve(c.accepter));
    if (IsSkipped())
        return;
    ASSERT_NO_FATAL_FAILURE(start_on(std::string(c.scheme) +
                                     "://127.0.0.1:" + std::to_string(port)));
    const std::string after = c.said ? said(c.said) : "";
    expect_said(c.said ? said(c.said, true) : "");
    expect_far_settings(c.sets);
    expect_every_byte(device.master);

    pty other = open_pty();
    portterm_run second =
        start_portterm(dir, other.slave, other.slave, other.slave);
    EXPECT_TRUE(exited(wait_for_exit(second, patience_ms), 255));
    EXPECT_EQ(read_quiet(second.err, 50), url + ": Port already in use\n");
    end_run(second);
    close_pty(other);

    stop_server();
    expect_said(said("gone (closed by the server), waiting for it; Ctrl-B "
                     "quits",
                     true));
    struct termios t = settings_of(device);
    cfsetspeed(&t, B1200);
    tcsetattr(device.slave, TCSANOW, &t);
    write_bytes(user.master, "LOST");
    ASSERT_NO_FATAL_FAILURE(run_server());
    expect_said(said("back") + after);
    expect_far_settings(c.sets);
    write_bytes(user.master, "AT\r");
    EXPECT_EQ(read_bytes(device.master, 3, patience_ms), "AT\r");
    EXPECT_EQ(read_quiet(device.master, 50), "");
    expect_ctrl_b_ends_it();
}

INSTANTIATE_TEST_SUITE_P(
    Accepters, Remote,
    ::testing::Values(accepter_case{"Rfc2217", "telnet(rfc2217),tcp", "rfc2217",
                                    nullptr, true},
                      accepter_case{
                          "PlainTelnet", "telnet,tcp", "rfc2217",
                          "no RFC 2217 here, the port keeps its own settings",
                          false},
                      accepter_case{"RawTcp", "tcp", "socket", nullptr, false}),
    row_name<accepter_case>);

using FakeServer = Remote;

// A server that runs another rate and no flow control, says so, and then
// asks what nobody knows: the refusals are said; the answer is written by
// the sending process between the keys, which go escaped.
TEST_F(FakeServer, RefusalsAreSaidAndLateQuestionsAnswered)
{
    int listener = listen_on(port);
    url = "rfc2217://127.0.0.1:" + std::to_string(port);
    write_file(dir + "/portrc", url + "\n115200\nRTS/CTS\n");
    run = start_portterm(dir, user.slave, user.slave, user.slave);
    int peer = accept_within(listener);
    close(listener);
    ASSERT_GE(peer, 0);
    write_bytes(peer, "\xff\xfd,\xff\xfb\x01");
    EXPECT_EQ(read_bytes(peer, 6, patience_ms), "\xff\xfb,\xff\xfe\x01");
    EXPECT_EQ(read_bytes(peer, 38, patience_ms).size(), 38u) << "settings";
    const std::string sb = "\xff\xfa,", se = "\xff\xf0";
    write_bytes(peer, sb + std::string("e\0\0\x25\x80", 5) + se + sb + "f\x08" +
                          se + sb + "g\x01" + se + sb + "h\x01" + se + sb +
                          "i\x01" + se);
    expect_said(said("115200 bit/s refused, the line runs at 9600", true) +
                said("RTS/CTS refused, the line runs without flow control"));
    ASSERT_TRUE(wait_until([&] { return settings_of(user).c_lflag == 0; },
                           patience_ms));
    write_bytes(peer, "a\xff\xff"
                      "b\xff\xfd\xc8" +
                          sb + "k" + std::string(100, 'x') + se + "c");
    EXPECT_EQ(read_bytes(user.master, 4, patience_ms), "a\xff"
                                                       "bc");
    EXPECT_EQ(read_bytes(peer, 3, patience_ms), "\xff\xfc\xc8");
    write_bytes(user.master, "\xff\x01");
    EXPECT_EQ(read_bytes(peer, 3, patience_ms), "\xff\xff\x01");
    close(peer);
    expect_said(said("gone (closed by the server), waiting for it; Ctrl-B "
                     "quits",
                     true));
    expect_ctrl_b_ends_it();
}

// A virtual machine's console: a UNIX socket at the path, connected to;
// its server started again makes it anew, which brings it back.
TEST_F(FakeServer, ASocketAtThePathComesBackMadeAnew)
{
    const std::string node = dir + "/console";
    auto serve_node = [&] {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        memcpy(a.sun_path, node.c_str(), node.size() + 1);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(listen(fd, 4), 0);
        return fd;
    };
    int listener = serve_node();
    // A console that talks without a pause as it is connected to: it is
    // the port all the same once it has stayed up.
    const std::string chatty = dir + "/chatty";
    write_file(chatty, "");
    ASSERT_NO_FATAL_FAILURE(
        start_on(node, "NONE", faulty({"CHATTY_WHILE=" + chatty})));
    ASSERT_EQ(unlink(chatty.c_str()), 0);
    while (!read_quiet(user.master, 100).empty()) {
    }
    int peer = accept_within(listener);
    ASSERT_GE(peer, 0);
    expect_every_byte(peer);
    close(peer);
    close(listener);
    ASSERT_EQ(unlink(node.c_str()), 0);
    expect_said(said("gone (closed by the server), waiting for it; Ctrl-B "
                     "quits",
                     true));
    write_bytes(user.master, "LOST");
    usleep(100 * 1000);
    listener = serve_node();
    peer = accept_within(listener);
    ASSERT_GE(peer, 0);
    expect_said(said("back"));
    write_bytes(user.master, "AT\r");
    EXPECT_EQ(read_bytes(peer, 3, patience_ms), "AT\r");
    expect_ctrl_b_ends_it();
    close(peer);
    close(listener);
}

// A line that cannot be used is one line and status 255, the terminal
// untouched: malformed, refused, or a name that does not resolve (in a
// mount namespace whose resolver reads its own hosts file alone).
TEST_F(FakeServer, AnUnusableLineIsOneLineAndStatus255)
{
    int closed = 0;
    close(listen_on(closed));
    write_file(dir + "/nsswitch.conf", "hosts: files\n");
    write_file(dir + "/hosts", "127.0.0.1 localhost\n");
    const std::string own_resolver =
        "for f in nsswitch.conf hosts; do mount --bind \"$PWD/$f\" "
        "/etc/$f || exit; done; exec \"$0\"";
    const struct {
        std::string line, said;
        bool resolver;
    } rows[] = {
        {"rfc2217://127.0.0.1", "no port", false},
        {"rfc2217://[::1:2217", "unclosed bracket", false},
        {"socket://127.0.0.1:" + std::to_string(closed), "Connection refused",
         false},
        {"rfc2217://no-such-board.lab:3001", "Name or service not known", true},
    };
    for (const auto& row : rows) {
        if (row.resolver && !no_private_namespace().empty())
            continue;
        end_run(run);
        write_file(dir + "/portrc", row.line + "\n9600\nNONE\n");
        std::vector<std::string> argv;
        if (row.resolver)
            argv = {"/usr/bin/unshare", "-m", "--propagation", "private",
                    "/bin/sh",          "-c", own_resolver,    PORTTERM_PATH};
        run = start_portterm(dir, user.slave, user.slave, user.slave, argv);
        ASSERT_NO_FATAL_FAILURE(
            expect_failure(255, row.line + ": " + row.said + "\n"));
    }
    EXPECT_EQ(read_quiet(user.master, 20), "");
    EXPECT_TRUE(same_settings(settings_of(user), user_before));
}

// Ctrl-B ends it at once while a return's connect hangs: the server's
// backlog is full, and its answer to the connect never comes.
TEST_F(FakeServer, CtrlBEndsItWhileAConnectHangs)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), size), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&a), &size), 0);
    ASSERT_NO_FATAL_FAILURE(start_on(
        "socket://127.0.0.1:" + std::to_string(ntohs(a.sin_port)), "NONE"));
    int peer = accept_within(listener);
    std::vector<int> queued; // fill the backlog, never accepted
    for (int i = 0; i < 3; ++i) {
        queued.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        (void)!connect(queued.back(), reinterpret_cast<sockaddr*>(&a), size);
    }
    close(peer);
    expect_said(said("gone (closed by the server), waiting for it; Ctrl-B "
                     "quits",
                     true));
    EXPECT_TRUE(wait_until(
        [&] {
            return read_file("/proc/net/tcp").find(" 02 ") != std::string::npos;
        },
        patience_ms))
        << "no connect waiting";
    // A tenth of a second; a sanitizer's or an emulator's exit takes more.
#if defined(__SANITIZE_ADDRESS__) || defined(PORTTERM_EMULATED)
    const int64_t promptly = 1000;
#else
    const int64_t promptly = 100;
#endif
    int64_t at = now_ms();
    int status = quit();
    EXPECT_LT(now_ms() - at, promptly) << "Ctrl-B waited for the connect";
    expect_clean_end(status);
    for (int fd : queued)
        close(fd);
    close(listener);
}

// A far end that vanishes without a word (its host's link down, in a
// network namespace of the test's own) is gone within 10 s.
TEST_F(FakeServer, AVanishedFarEndIsGoneWithinTenSeconds)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a network namespace";
    int down[2];
    ASSERT_EQ(pipe(down), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    server = fork();
    ASSERT_GE(server, 0);
    if (server == 0) {
        // The far host: its own loopback, taken down when told.
        struct ifreq lo = {};
        strcpy(lo.ifr_name, "lo");
        int s = -1;
        if (unshare(CLONE_NEWNET) != 0 ||
            (s = socket(AF_INET, SOCK_DGRAM, 0)) < 0 ||
            ioctl(s, SIOCGIFFLAGS, &lo) != 0 ||
            (lo.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &lo)) != 0)
            _exit(1);
        int listener = listen_on(port);
        (void)!write(ready[1], &port, sizeof port);
        char c;
        (void)!read(down[0], &c, 1);
        lo.ifr_flags &= ~IFF_UP;
        ioctl(s, SIOCSIFFLAGS, &lo);
        pause();
        _exit(listener < 0);
    }
    std::string got = read_bytes(ready[0], sizeof port, patience_ms);
    ASSERT_EQ(got.size(), sizeof port) << "no far host";
    memcpy(&port, got.data(), sizeof port);
    ASSERT_NO_FATAL_FAILURE(start_on(
        "socket://127.0.0.1:" + std::to_string(port), "NONE",
        {"/usr/bin/nsenter",
         "--net=/proc/" + std::to_string(server) + "/ns/net", PORTTERM_PATH}));
    write_bytes(down[1], "x");
    int64_t at = now_ms();
    write_bytes(user.master, "AT\r");
    const std::string gone = "\r\n" + url + ": gone (";
    EXPECT_EQ(read_bytes(run.err, gone.size(), 12000), gone);
    EXPECT_LE(now_ms() - at, 10000);
    read_quiet(run.err, 100);
    expect_ctrl_b_ends_it();
    for (int fd : {down[0], down[1], ready[0], ready[1]})
        close(fd);
}

} // namespace
