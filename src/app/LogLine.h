#pragma once

#include <chrono>
#include <string>

namespace app {

// "[dd.mm hh:nn:ss.zzz] " in local time: the prefix of every log line.
std::string LogTimePrefix(std::chrono::system_clock::time_point when);
std::string LogTimePrefix();

}  // namespace app
