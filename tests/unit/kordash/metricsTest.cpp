// kordash's arithmetic on the controller's counters: the overview's windows
// and the Prometheus text, without a server or a controller.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "metrics.h"

namespace {

using kordash::CommandTotals;
using kordash::Counter;
using kordash::CountersHistory;

constexpr std::int64_t kSecond = 1000;

TEST(CountersHistory, MinuteAndHourWindowsAndARestartedController) {
    CountersHistory h;
    EXPECT_FALSE(h.commandsPerMinute());
    h.add(0, CommandTotals{10, 2, 0});
    EXPECT_FALSE(h.commandsPerMinute());  // one reading is no rate
    EXPECT_EQ(h.failuresLastHour(), 0u);
    // Two hours of one command a second, every tenth failing, read once a second.
    CommandTotals t{10, 2, 0};
    for (std::int64_t s = 1; s <= 7200; ++s) {
        t.all += 1;
        t.failed += s % 10 == 0 ? 1 : 0;
        h.add(s * kSecond, t);
        if (s == 30) {
            EXPECT_DOUBLE_EQ(*h.commandsPerMinute(), 30.0);  // the 30 s watched, not scaled up
            EXPECT_EQ(*h.failuresLastHour(), 3u);
        }
    }
    EXPECT_DOUBLE_EQ(*h.commandsPerMinute(), 60.0);
    // The hour's base is the newest reading kept at least an hour back (kept 5 s apart).
    EXPECT_GE(*h.failuresLastHour(), 360u);
    EXPECT_LE(*h.failuresLastHour(), 361u);
    // Started again: it counts from zero, never a wrapped difference.
    h.add(7201 * kSecond, CommandTotals{5, 1, 7});
    EXPECT_EQ(h.failuresLastHour(), 1u);
    EXPECT_LT(*h.commandsPerMinute(), 10.0);
    EXPECT_EQ(h.ticksMissed(), 7u);
}

TEST(Metrics, TextGroupsEachFamilyAcrossControllers) {
    const std::vector<Counter> counters = {{"command", {"1", "254"}, 7},
                                           {"command", {"1", "19"}, 2},
                                           {"command", {"1", "5"}, 1},
                                           {"command", {"31", "-1"}, 1},
                                           {"command", {"777", "255"}, 4},
                                           {"duration_ms_le", {"1"}, 5},
                                           {"duration_ms_le", {"2"}, 3},
                                           {"duration_ms_over", {"30000"}, 1},
                                           {"channels_opened", {"tcpclient"}, 3},
                                           {"channels_closed", {"tcpclient"}, 2},
                                           {"bytes_dropped", {"udp"}, 1808},
                                           {"mails", {"254"}, 2},
                                           {"ftp_transfers", {"0"}, 1},
                                           // Words no controller writes: label values from
                                           // closed sets, whatever the controller sends.
                                           {"channels_opened", {"k1"}, 1},
                                           {"channels_opened", {"\xff"}, 1},
                                           {"duration_ms_le", {"-7"}, 1},
                                           {"ftp_transfers", {"123456789"}, 1}};
    kordash::CountersReading up{1, true, counters}, down{1, false, {}};
    const std::string text = kordash::metricsText({{"cell \"A\"\\1", up, 0}, {"cell2", down, 3}});
    const std::string a = "controller=\"cell \\\"A\\\"\\\\1\"";
    for (const std::string& line : std::vector<std::string>{
             "arvokor_up{" + a + "} 1\n", "arvokor_up{controller=\"cell2\"} 0\n",
             "arvokor_commands_total{" + a +
                 ",command=\"TCPCONNECT\",result=\"failure\",code=\"254\"} 7\n",
             "arvokor_commands_total{" + a + ",command=\"TCPCONNECT\",result=\"success\"} 3\n",
             "arvokor_commands_total{" + a + ",command=\"CLOSEALL\",result=\"none\"} 1\n",
             "arvokor_commands_total{" + a + ",command=\"other\",result=\"success\"} 4\n",
             "arvokor_command_duration_seconds_bucket{" + a + ",le=\"0.001\"} 5\n",
             "arvokor_command_duration_seconds_bucket{" + a + ",le=\"0.002\"} 8\n",
             "arvokor_command_duration_seconds_bucket{" + a + ",le=\"+Inf\"} 10\n",
             "arvokor_command_duration_seconds_count{" + a + "} 10\n",
             "arvokor_channels_opened_total{" + a + ",kind=\"other\"} 2\n",
             "arvokor_ftp_transfers_total{" + a + ",result=\"failure\"} 1\n",
             "arvokor_replies_refused_total{controller=\"cell2\"} 3\n",
             "arvokor_channels_open{" + a + ",kind=\"tcpclient\"} 1\n",
             "arvokor_queue_dropped_bytes_total{" + a + ",kind=\"udp\"} 1808\n",
             "arvokor_mails_total{" + a + ",result=\"failure\",code=\"254\"} 2\n",
             "arvokor_ftp_transfers_total{" + a + ",result=\"success\"} 1\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
    EXPECT_EQ(text.find("\xff"), std::string::npos);
    // An unreachable controller has arvokor_up 0 and, beside its refusals, no other series.
    const std::string downLine = "arvokor_replies_refused_total{controller=\"cell2\"} 3\n";
    EXPECT_EQ(text.find("cell2", text.find(downLine) + downLine.size()), std::string::npos);
    EXPECT_EQ(text.find("# TYPE arvokor_commands_total counter"),
              text.rfind("# TYPE arvokor_commands_total counter"));
}

}  // namespace
