// What passes over the control socket (docs/protocol.md, "The control socket"). A request is the
// command's words as one line of JSON, an array of strings ended by a newline:
//   ["kick","alice","flooding"]
// The reply is one JSON object ended by a newline, after which the server closes:
//   {"ok":false,"error":"no member is named bob"}
//   {"ok":true,"message":"2 members","table":{"columns":["name","address"],"rows":[["alice","192.0.2.7"],...]}}
// "message" and "table" are each optional; every row has as many cells as there are columns.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

struct ControlTable {
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
};

struct ControlReply {
    bool ok = true;
    std::string error;
    std::string message;
    std::optional<ControlTable> table;

    static ControlReply Refused(std::string error);
    static ControlReply Done(std::string message);
    static ControlReply Listed(ControlTable table, std::string message = {});
};

// The request line for `words`, newline included.
std::string RequestLine(const std::vector<std::string>& words);
// The words of a request line (without its newline); nothing, and why, when it is not one.
std::optional<std::vector<std::string>> ParseRequest(std::string_view line, std::string& error);

// The reply line, newline included. Bytes that are not UTF-8 are sent as U+FFFD.
std::string ReplyLine(const ControlReply& reply);
// The reply of a reply line; nothing, and why, when it is not one.
std::optional<ControlReply> ParseReply(std::string_view line, std::string& error);

}  // namespace velmora
