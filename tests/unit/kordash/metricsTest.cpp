// kordash's arithmetic on the controller's counters: the overview's windows
// and the Prometheus text, without a server or a controller.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "counterFigures.h"
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

bool has(const std::string& text, const std::string& line) {
    return text.find(line) != std::string::npos;
}

TEST(Metrics, TextGroupsEachFamilyAcrossControllers) {
    const std::vector<Counter> counters = {{"command", {"1", "254"}, 7},
                                           {"command", {"1", "19"}, 2},
                                           {"command", {"1", "5"}, 1},
                                           {"command", {"5", "253"}, 6},
                                           {"command", {"777", "240"}, 4},
                                           {"duration_ms_le", {"1"}, 5},
                                           {"channels_opened", {"tcpclient"}, 3},
                                           {"channels_closed", {"tcpclient"}, 2},
                                           {"bytes_dropped", {"udp"}, 1808},
                                           {"mails", {"254"}, 2},
                                           {"ftp_transfers", {"0"}, 1},
                                           {"command_result", {"1", "success"}, 3},
                                           {"command_result", {"1", "failure"}, 7},
                                           {"command_result", {"5", "empty"}, 6},
                                           {"command_result", {"other", "failure"}, 4},
                                           {"command_duration_ms_le", {"1", "1"}, 5},
                                           {"command_duration_ms_le", {"1", "200"}, 4},
                                           {"command_duration_ms_over", {"1", "30000"}, 1},
                                           {"command_duration_ms_sum", {"1"}, 40812},
                                           {"started_ms", {}, 1796753126866},
                                           {"slot_busy", {"2", "30"}, 1796753130005},
                                           {"handle_bytes_in", {"3"}, 17},
                                           // Words no controller writes: label values from
                                           // closed sets, whatever the controller sends.
                                           {"channels_opened", {"k1"}, 1},
                                           {"channels_opened", {"\xff"}, 1},
                                           {"command_duration_ms_le", {"2", "-7"}, 1},
                                           {"ftp_transfers", {"123456789"}, 1}};
    kordash::CountersReading up{1, true, counters, ""}, down{1, false, {}, "misbehaving"};
    const std::string text = kordash::metricsText({{"cell \"A\"\\1", up, 0}, {"cell2", down, 3}});
    const std::string a = "controller=\"cell \\\"A\\\"\\\\1\"";
    const std::string tcp = a + ",command=\"TCPCONNECT\"";
    for (const std::string& line : std::vector<std::string>{
             "arvokor_up{" + a + "} 1\n", "arvokor_up{controller=\"cell2\"} 0\n",
             "arvokor_down_reason{" + a + ",reason=\"busy\"} 0\n",
             "arvokor_down_reason{controller=\"cell2\",reason=\"misbehaving\"} 1\n",
             "arvokor_down_reason{controller=\"cell2\",reason=\"refused\"} 0\n",
             "arvokor_start_time_seconds{" + a + "} 1796753126.866\n",
             "arvokor_commands_total{" + tcp + ",result=\"failure\"} 7\n",
             "arvokor_commands_total{" + tcp + ",result=\"success\"} 3\n",
             "arvokor_commands_total{" + tcp + ",result=\"empty\"} 0\n",
             // A polling READDATA on an empty queue is no failure.
             "arvokor_commands_total{" + a + ",command=\"READDATA\",result=\"empty\"} 6\n",
             "arvokor_commands_total{" + a + ",command=\"READDATA\",result=\"failure\"} 0\n",
             // Every command x class from the first reading, numbers that are none as "other".
             "arvokor_commands_total{" + a + ",command=\"PING\",result=\"failure\"} 0\n",
             "arvokor_commands_total{" + a + ",command=\"other\",result=\"failure\"} 4\n",
             "arvokor_command_results_total{" + tcp + ",result=\"failure\",code=\"254\"} 7\n",
             "arvokor_command_results_total{" + tcp + ",result=\"failure\",code=\"251\"} 0\n",
             "arvokor_command_results_total{" + a +
                 ",command=\"READDATA\",result=\"empty\",code=\"253\"} 6\n",
             "arvokor_command_results_total{" + a +
                 ",command=\"other\",result=\"failure\",code=\"240\"} 4\n",
             "arvokor_command_duration_seconds_bucket{" + tcp + ",le=\"0.001\"} 5\n",
             "arvokor_command_duration_seconds_bucket{" + tcp + ",le=\"0.1\"} 5\n",
             "arvokor_command_duration_seconds_bucket{" + tcp + ",le=\"0.2\"} 9\n",
             "arvokor_command_duration_seconds_bucket{" + tcp + ",le=\"+Inf\"} 10\n",
             "arvokor_command_duration_seconds_sum{" + tcp + "} 40.812\n",
             "arvokor_command_duration_seconds_count{" + tcp + "} 10\n",
             "arvokor_command_duration_seconds_count{" + a + ",command=\"PING\"} 0\n",
             // A bound the core does not use counts above the last one.
             "arvokor_command_duration_seconds_bucket{" + a +
                 ",command=\"SENDDATA\",le=\"+Inf\"} 1\n",
             "arvokor_slot_busy_since_seconds{" + a + ",slot=\"2\"} 1796753130.005\n",
             "arvokor_slot_busy_since_seconds{" + a + ",slot=\"7\"} 0\n",
             "arvokor_handle_bytes_total{" + a + ",handle=\"3\",direction=\"received\"} 17\n",
             "arvokor_handle_bytes_total{" + a + ",handle=\"19\",direction=\"sent\"} 0\n",
             "arvokor_channels_opened_total{" + a + ",kind=\"other\"} 2\n",
             "arvokor_ftp_transfers_total{" + a + ",result=\"failure\"} 1\n",
             "arvokor_replies_refused_total{controller=\"cell2\"} 3\n",
             "arvokor_channels_open{" + a + ",kind=\"tcpclient\"} 1\n",
             "arvokor_queue_dropped_bytes_total{" + a + ",kind=\"udp\"} 1808\n",
             "arvokor_mails_total{" + a + ",result=\"failure\",code=\"254\"} 2\n",
             "arvokor_ftp_transfers_total{" + a + ",result=\"success\"} 1\n"})
        EXPECT_TRUE(has(text, line)) << line << "\nin\n" << text;
    EXPECT_FALSE(has(text, "\xff"));
    EXPECT_FALSE(has(text, "-0.007"));
    // A controller that could not be read has arvokor_up 0, its reason, its refusals
    // and no other series.
    const std::string lastLine = "arvokor_replies_refused_total{controller=\"cell2\"} 3\n";
    ASSERT_TRUE(has(text, lastLine));
    EXPECT_EQ(text.find("cell2", text.find(lastLine) + lastLine.size()), std::string::npos);
    EXPECT_EQ(text.find("# TYPE arvokor_commands_total counter"),
              text.rfind("# TYPE arvokor_commands_total counter"));
    EXPECT_EQ(kordash::totalsOf(counters).failed, 11u);
}

// A scrape renders again only the controllers whose reading changed: a kept
// part must never show an old count, key, reason, refusal or name.
TEST(Metrics, KeptPartFollowsEveryChangeOfTheReading) {
    using kordash::NamedReading;
    using Parts = std::vector<std::shared_ptr<const kordash::MetricsPart>>;
    const NamedReading first{"c", {1, true, {{"command", {"1", "254"}, 7}}, ""}, 0};
    const auto part = kordash::metricsPart(first, nullptr);
    NamedReading later = first;
    later.reading.timeMs = 2;
    EXPECT_EQ(kordash::metricsPart(later, part), part) << "the same counters: kept";
    std::vector<NamedReading> changed(6, later);
    changed[0].reading.counters[0].value = 8;
    changed[1].reading.counters[0].keys[1] = "251";
    changed[2].refused = 1;
    changed[3].reading = {2, false, {}, "busy"};
    changed[4].controller = "d";
    changed[5].reading.counters.push_back({"admin_sessions", {}, 1});
    for (const NamedReading& r : changed) {
        const auto next = kordash::metricsPart(r, part);
        EXPECT_NE(next, part);
        EXPECT_EQ(kordash::metricsText(Parts{next, part}),
                  kordash::metricsText(std::vector<NamedReading>{r, first}));
    }
    // Down, then down for another reason.
    NamedReading refused = changed[3];
    refused.reading.reason = "refused";
    EXPECT_EQ(kordash::metricsText(
                  Parts{kordash::metricsPart(refused, kordash::metricsPart(changed[3], nullptr))}),
              kordash::metricsText(std::vector<NamedReading>{refused}));
}

// A controller from before the per-command lines: classes from its pairs.
TEST(Metrics, OlderControllerClassifiedFromItsResultCodes) {
    const std::vector<Counter> counters = {{"command", {"5", "253"}, 6},
                                           {"command", {"5", "12"}, 2},
                                           {"command", {"30", "253"}, 1},
                                           {"command", {"1", "254"}, 3}};
    const std::string text = kordash::metricsText({{"c", {1, true, counters, ""}}});
    for (
        const std::string& line : std::vector<std::string>{
            "arvokor_commands_total{controller=\"c\",command=\"READDATA\",result=\"empty\"} 6\n",
            "arvokor_commands_total{controller=\"c\",command=\"READDATA\",result=\"success\"} 2\n",
            "arvokor_commands_total{controller=\"c\",command=\"WAITPATTERN\",result=\"empty\"} 1\n",
            "arvokor_commands_total{controller=\"c\",command=\"TCPCONNECT\",result=\"failure\"} 3\n"})
        EXPECT_TRUE(has(text, line)) << line << "\nin\n" << text;
    EXPECT_FALSE(has(text, "arvokor_command_duration_seconds_sum")) << "no sum counted";
    EXPECT_EQ(kordash::totalsOf(counters).failed, 3u);
    EXPECT_EQ(kordash::totalsOf(counters).all, 12u);
}

// The overview's rows count without building the figures: the same totals as
// the figures give, for a controller with class lines (its pairs then count
// no more) and one without, lines no controller writes included.
TEST(Metrics, RowTotalsAsTheFiguresCountThem) {
    const std::vector<std::vector<Counter>> readings = {
        {{"command", {"1", "254"}, 7},
         {"command", {"1", "3"}, 1},
         {"command_result", {"1", "success"}, 3},
         {"command_result", {"1", "failure"}, 7},
         {"command_result", {"other", "failure"}, 4},
         {"command_result", {"5", "empty"}, 6},
         {"command_result", {"5", "nothing"}, 9},
         {"command_result", {"5"}, 2},
         {"position_ticks_without", {}, 5},
         {"speed_ticks_missed", {}, 2},
         {"speed_ticks_missed", {"x"}, 40}},
        {{"command", {"5", "253"}, 6},
         {"command", {"5", "12"}, 2},
         {"command", {"x", "12"}, 8},
         {"command", {"1", "254", "2"}, 8},
         {"command", {"777", "-1"}, 5},
         {"command", {"1", "254"}, 3},
         {"position_ticks_without", {}, 1}}};
    for (const std::vector<Counter>& counters : readings) {
        const kordash::CounterFigures full = kordash::figuresOf(counters);
        const CommandTotals row = kordash::totalsOf(counters);
        EXPECT_EQ(row.all, full.ofClass(KorResultClass::Success) +
                               full.ofClass(KorResultClass::Empty) +
                               full.ofClass(KorResultClass::Failure));
        EXPECT_EQ(row.failed, full.ofClass(KorResultClass::Failure));
        EXPECT_EQ(row.ticksMissed, full.positionMissed + full.speedMissed);
        EXPECT_GT(row.failed, 0u);
    }
}

}  // namespace
