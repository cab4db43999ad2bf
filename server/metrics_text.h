// A page of Prometheus metrics in the text exposition format, version 0.0.4: for each family its
// HELP and TYPE lines once, then its samples, with label values escaped as the format requires.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora {

class MetricsText {
public:
    using Labels = std::vector<std::pair<std::string, std::string>>;

    // Starts a family of counters, named NAME_total (the suffix is added unless it is there).
    void counter(std::string_view name, std::string_view help);
    void gauge(std::string_view name, std::string_view help);
    // A sample of the family started last.
    void sample(double value, const Labels& labels = {});

    const std::string& text() const { return text_; }

    // A bad metric or label name, a family started twice or a sample before any family is a
    // mistake in the server's code: it throws std::logic_error.

private:
    void start(std::string name, std::string_view type, std::string_view help);

    std::string text_;
    std::string family_;
    std::set<std::string> started_;
};

}  // namespace velmora
