// The real agent with a monitor across a slow link: one that stops reading
// for a while is neither dropped nor allowed to hold up the others, and when
// it reads again it gets every answer, whole and in order.
#include "lab/lab.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <memory>
#include <sys/socket.h>

namespace
{

using lab::Fd;
using lab::LabHost;
using lab::LabNet;
using testutil::mono_ns;
using testutil::ms_since;
using testutil::sleep_ms;

} // namespace

TEST(LabFlow, AMonitorThatStopsReadingKeepsItsConnectionAndEveryAnswer)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    LabHost &a = net->add_host("a");
    LabHost &m = net->add_host("m");
    a.attach_ups();
    ASSERT_EQ(a.start_agent(), 0);
    ASSERT_TRUE(a.wait_agent_up(5000)) << a.debug_log();
    pid_t daemon = a.daemon_pid();

    // Its socket takes little, and it asks for far more than that.
    Fd slow(m.socket(AF_INET, SOCK_STREAM));
    int small = 4096;
    setsockopt(slow, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(NET_PORT_AGENT_TCP);
    inet_pton(AF_INET, a.addr().c_str(), &sa.sin_addr);
    ASSERT_EQ(connect(slow, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa), 0);
    const int asked = 600; // 137 kB of answers
    std::string many;
    for (int i = 0; i < asked; i++)
        many += lab::packet(PK_GETUPSINFO);
    ASSERT_TRUE(lab::send_all(slow, many));

    // Meanwhile another monitor is served at once, again and again.
    Fd other = lab::tcp_connect(m, a.addr(), NET_PORT_AGENT_TCP);
    ASSERT_TRUE(other.valid());
    for (int i = 0; i < 10; i++) {
        int64_t t = mono_ns();
        ASSERT_TRUE(lab::send_all(other, lab::packet(PK_GETUPSINFO)));
        EXPECT_EQ(lab::read_answer(other, 3000).size(), 228u) << "request " << i;
        EXPECT_LT(ms_since(t), 1000) << "request " << i;
        sleep_ms(100);
    }

    // Back from its pause, it finds every answer waiting.
    int got = 0;
    bool closed = false;
    while (got < asked) {
        std::string p = lab::read_answer(slow, 5000, &closed);
        if (p.size() != 228u || lab::head_of(p).DataId != PK_UPSINFO)
            break;
        got++;
    }
    EXPECT_EQ(got, asked) << (closed ? "the agent closed the connection" : "");
    EXPECT_EQ(a.daemon_pid(), daemon);
    EXPECT_EQ(a.sanitizer_reports(), "");
}
