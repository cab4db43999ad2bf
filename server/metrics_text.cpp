#include "metrics_text.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace velmora {

namespace {

constexpr std::string_view kCounterSuffix = "_total";

bool EndsWith(std::string_view text, std::string_view end)
{
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

bool IsNameCharacter(char c, bool first, bool colon_allowed)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (!first && c >= '0' && c <= '9')
        || (colon_allowed && c == ':');
}

// [a-zA-Z_:][a-zA-Z0-9_:]* for metrics, the same without colons for labels.
bool IsName(std::string_view name, bool colon_allowed)
{
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (!IsNameCharacter(name[i], i == 0, colon_allowed))
            return false;
    }
    return !name.empty();
}

// HELP text escapes backslash and line feed; label values, the double quote as well.
void AppendEscaped(std::string& out, std::string_view text, bool in_label)
{
    for (const char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' && in_label)
            out += "\\\"";
        else
            out += c;
    }
}

void AppendValue(std::string& out, double value)
{
    if (std::isnan(value)) {
        out += "NaN";
    } else if (std::isinf(value)) {
        out += value > 0 ? "+Inf" : "-Inf";
    } else {
        char digits[32];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        out.append(digits, end);
    }
}

}  // namespace

void MetricsText::counter(std::string_view name, std::string_view help)
{
    std::string full(name);
    if (!EndsWith(full, kCounterSuffix))
        full += kCounterSuffix;
    start(std::move(full), "counter", help);
}

void MetricsText::gauge(std::string_view name, std::string_view help)
{
    start(std::string(name), "gauge", help);
}

void MetricsText::start(std::string name, std::string_view type, std::string_view help)
{
    if (!IsName(name, true))
        throw std::logic_error("not a metric name: '" + name + "'");
    if (!started_.insert(name).second)
        throw std::logic_error("metric family started twice: " + name);
    text_ += "# HELP " + name;
    if (!help.empty())
        text_ += ' ';
    AppendEscaped(text_, help, false);
    text_ += "\n# TYPE " + name + " ";
    text_ += type;
    text_ += '\n';
    family_ = std::move(name);
}

void MetricsText::sample(double value, const Labels& labels)
{
    if (family_.empty())
        throw std::logic_error("a metric sample before any family");
    for (const auto& label : labels) {
        // Names that start with two underscores are Prometheus's own.
        if (!IsName(label.first, false) || label.first.rfind("__", 0) == 0)
            throw std::logic_error("not a label name: '" + label.first + "'");
    }
    text_ += family_;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const auto& [name, label_value] = labels[i];
        text_ += i == 0 ? '{' : ',';
        text_ += name + "=\"";
        AppendEscaped(text_, label_value, true);
        text_ += '"';
    }
    text_ += labels.empty() ? " " : "} ";
    AppendValue(text_, value);
    text_ += '\n';
}

}  // namespace velmora
