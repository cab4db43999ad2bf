#include "control_protocol.h"

#include <nlohmann/json.hpp>

namespace velmora {

namespace {

using nlohmann::json;

std::string Line(const json& value)
{
    return value.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

bool IsListOfStrings(const json& value)
{
    if (!value.is_array())
        return false;
    for (const json& item : value) {
        if (!item.is_string())
            return false;
    }
    return true;
}

std::optional<ControlTable> TableOf(const json& value)
{
    if (!value.is_object() || !IsListOfStrings(value.value("columns", json())) || !value.contains("rows")
        || !value["rows"].is_array())
        return std::nullopt;
    ControlTable table;
    table.columns = value["columns"].get<std::vector<std::string>>();
    for (const json& row : value["rows"]) {
        if (!IsListOfStrings(row) || row.size() != table.columns.size())
            return std::nullopt;
        table.rows.push_back(row.get<std::vector<std::string>>());
    }
    return table;
}

std::optional<ControlReply> ReplyOf(const json& value)
{
    ControlReply reply;
    if (!value.is_object() || !value.contains("ok") || !value["ok"].is_boolean())
        return std::nullopt;
    reply.ok = value["ok"].get<bool>();
    const json error = value.value("error", json(""));
    const json message = value.value("message", json(""));
    if (!error.is_string() || !message.is_string() || (!reply.ok && error.get<std::string>().empty()))
        return std::nullopt;
    reply.error = error.get<std::string>();
    reply.message = message.get<std::string>();
    if (value.contains("table") && !(reply.table = TableOf(value["table"])))
        return std::nullopt;
    return reply;
}

}  // namespace

ControlReply ControlReply::Refused(std::string error)
{
    ControlReply reply;
    reply.ok = false;
    reply.error = std::move(error);
    return reply;
}

ControlReply ControlReply::Done(std::string message)
{
    ControlReply reply;
    reply.message = std::move(message);
    return reply;
}

ControlReply ControlReply::Listed(ControlTable table, std::string message)
{
    ControlReply reply = Done(std::move(message));
    reply.table = std::move(table);
    return reply;
}

std::string RequestLine(const std::vector<std::string>& words)
{
    return Line(json(words));
}

std::optional<std::vector<std::string>> ParseRequest(std::string_view line, std::string& error)
{
    const json request = json::parse(line, nullptr, false);
    if (!IsListOfStrings(request)) {
        error = "a request is one line of JSON: the command's words as an array of strings";
        return std::nullopt;
    }
    if (request.empty()) {
        error = "the request names no command";
        return std::nullopt;
    }
    return request.get<std::vector<std::string>>();
}

std::string ReplyLine(const ControlReply& reply)
{
    json line{{"ok", reply.ok}};
    if (!reply.ok)
        line["error"] = reply.error;
    if (!reply.message.empty())
        line["message"] = reply.message;
    if (reply.table)
        line["table"] = json{{"columns", reply.table->columns}, {"rows", reply.table->rows}};
    return Line(line);
}

std::optional<ControlReply> ParseReply(std::string_view line, std::string& error)
{
    const json value = json::parse(line, nullptr, false);
    if (value.is_discarded()) {
        error = "the reply is not JSON";
        return std::nullopt;
    }
    auto reply = ReplyOf(value);
    if (!reply)
        error = "the reply is not an object with \"ok\", and a message, an error or a table as they should be";
    return reply;
}

}  // namespace velmora
