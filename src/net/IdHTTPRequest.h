#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace net {

// One HTTP request as read from a connection.
class TIdHTTPRequestInfo {
 public:
  std::string Command;      // the method, as sent
  std::string URI;          // the request target, as sent
  std::string Version;      // "HTTP/1.1"; empty when the request line had none
  std::string Document;     // the target's path, URL-decoded, without the query
  std::string QueryParams;  // the raw text after the first "?" of the target
  std::string Body;         // Content-Length bytes behind the head
  std::vector<std::pair<std::string, std::string>> RawHeaders;  // in the order received

  // The first header of that name, compared without regard to case; empty when absent.
  std::string Header(std::string_view name) const;
};

enum class TIdHTTPReadResult {
  hrNeedMore,          // the buffer does not hold a whole request yet
  hrComplete,          // one request was taken from the buffer
  hrBadRequestLine,    // no blank between the parts of the request line: end silently
  hrHeadTooLarge,      // the head passes kMaxHeadSize
  hrBodyTooLarge,      // Content-Length passes kMaxBodySize
  hrBadContentLength,  // Content-Length is not a number
};

// Takes HTTP requests apart from bytes in a buffer; never touches a socket. The caller
// appends received bytes to the buffer and calls Parse until it stops asking for more.
class TIdHTTPRequestReader {
 public:
  static constexpr size_t kMaxHeadSize = 64 * 1024;
  static constexpr size_t kMaxBodySize = 1024 * 1024;

  // On hrComplete the request's bytes are removed from the front of `buffer`.
  static TIdHTTPReadResult Parse(std::string& buffer, TIdHTTPRequestInfo& request);
};

// %XX escapes decoded; malformed escapes are kept as they are.
std::string URLDecode(std::string_view text);

}  // namespace net
