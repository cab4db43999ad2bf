// Where the server's parts write their log lines: one call, one line.
#pragma once

#include <functional>
#include <string_view>

namespace velmora {

using LogSink = std::function<void(std::string_view)>;

}  // namespace velmora
