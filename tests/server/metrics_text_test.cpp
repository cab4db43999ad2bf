// The Prometheus text page as it is written: families, samples, escaping and numbers. That
// Prometheus's own parser reads it is checked with the endpoint, in metrics_endpoint_test.cpp.
#include "metrics_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace velmora {
namespace {

TEST(MetricsText, FamiliesGetHelpAndTypeOnceThenTheirSamples)
{
    MetricsText page;
    page.gauge("velmora_members", "Members in the room.");
    page.sample(3);
    page.counter("velmora_bytes", "Bytes the room took in and sent out.");
    page.sample(1024, {{"direction", "in"}});
    page.sample(4096, {{"direction", "out"}});
    page.counter("velmora_messages_total", "Messages relayed.");
    page.sample(0);
    EXPECT_EQ(page.text(),
        "# HELP velmora_members Members in the room.\n"
        "# TYPE velmora_members gauge\n"
        "velmora_members 3\n"
        "# HELP velmora_bytes_total Bytes the room took in and sent out.\n"
        "# TYPE velmora_bytes_total counter\n"
        "velmora_bytes_total{direction=\"in\"} 1024\n"
        "velmora_bytes_total{direction=\"out\"} 4096\n"
        "# HELP velmora_messages_total Messages relayed.\n"
        "# TYPE velmora_messages_total counter\n"
        "velmora_messages_total 0\n");
}

TEST(MetricsText, LabelValuesAndHelpAreEscapedAsTheFormatRequires)
{
    MetricsText page;
    page.gauge("velmora_peer", "A \"quoted\" help with C:\\path\nand a second line.");
    page.sample(1, {{"server", "chat\\1 \"east\"\nline two"}, {"room", "lobby"}});
    EXPECT_EQ(page.text(),
        "# HELP velmora_peer A \"quoted\" help with C:\\\\path\\nand a second line.\n"
        "# TYPE velmora_peer gauge\n"
        "velmora_peer{server=\"chat\\\\1 \\\"east\\\"\\nline two\",room=\"lobby\"} 1\n");
}

TEST(MetricsText, NumbersAreWrittenAsPrometheusReadsThem)
{
    MetricsText page;
    page.gauge("g", "");
    for (const double value : {0.5, -2.0, 1e21, 123456789012.0, std::numeric_limits<double>::quiet_NaN(),
             std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()})
        page.sample(value);
    EXPECT_EQ(page.text(), "# HELP g\n# TYPE g gauge\ng 0.5\ng -2\ng 1e+21\ng 123456789012\ng NaN\ng +Inf\ng -Inf\n");
}

TEST(MetricsText, MistakesInTheServersCodeThrow)
{
    MetricsText page;
    EXPECT_THROW(page.sample(1), std::logic_error);
    EXPECT_THROW(page.gauge("", "empty"), std::logic_error);
    EXPECT_THROW(page.gauge("9lives", "starts with a digit"), std::logic_error);
    EXPECT_THROW(page.gauge("velmora-members", "a dash"), std::logic_error);
    page.gauge("velmora:members_ok", "colons are allowed in metric names");
    EXPECT_THROW(page.sample(1, {{"bad:label", "x"}}), std::logic_error);
    EXPECT_THROW(page.sample(1, {{"__reserved", "x"}}), std::logic_error);
    EXPECT_THROW(page.gauge("velmora:members_ok", "again"), std::logic_error);
    page.counter("velmora_joins", "");
    EXPECT_THROW(page.counter("velmora_joins_total", "the same family"), std::logic_error);
}

}  // namespace
}  // namespace velmora
