#include "app/LogLine.h"

#include <cstdio>
#include <ctime>

namespace app {

std::string LogTimePrefix(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "[%02d.%02d %02d:%02d:%02d.%03d] ", local.tm_mday,
                local.tm_mon + 1, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(millis < 0 ? millis + 1000 : millis));
  return buffer;
}

std::string LogTimePrefix() {
  return LogTimePrefix(std::chrono::system_clock::now());
}

}  // namespace app
