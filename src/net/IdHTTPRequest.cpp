#include "net/IdHTTPRequest.h"

#include <algorithm>
#include <cctype>

namespace net {
namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(uint8_t(x)) == std::tolower(uint8_t(y));
         });
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The end of the head (index just past the empty line), or npos. Lines may end in CR LF or LF.
size_t FindHeadEnd(std::string_view buffer, size_t start) {
  for (size_t i = buffer.find('\n', start); i != std::string_view::npos;
       i = buffer.find('\n', i + 1)) {
    size_t next = i + 1;
    if (next < buffer.size() && buffer[next] == '\n') return next + 1;
    if (next + 1 < buffer.size() && buffer[next] == '\r' && buffer[next + 1] == '\n') {
      return next + 2;
    }
  }
  return std::string_view::npos;
}

std::vector<std::string_view> SplitLines(std::string_view head) {
  std::vector<std::string_view> lines;
  while (!head.empty()) {
    size_t end = head.find('\n');
    std::string_view line = head.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    head.remove_prefix(end + 1);
  }
  return lines;
}

bool ParseRequestLine(std::string_view line, TIdHTTPRequestInfo& request) {
  size_t first = line.find(' ');
  if (first == std::string_view::npos) return false;
  request.Command = std::string(line.substr(0, first));
  std::string_view rest = Trim(line.substr(first + 1));
  size_t second = rest.rfind(' ');
  if (second != std::string_view::npos && rest.substr(second + 1).starts_with("HTTP/")) {
    request.Version = std::string(rest.substr(second + 1));
    rest = Trim(rest.substr(0, second));
  }
  request.URI = std::string(rest);
  std::string_view target = rest;
  // An absolute target ("http://host/path") is reduced to its path.
  if (size_t scheme = target.find("://");
      scheme != std::string_view::npos && scheme < target.find('/')) {
    size_t path = target.find('/', scheme + 3);
    target = path == std::string_view::npos ? std::string_view("/") : target.substr(path);
  }
  size_t query = target.find('?');
  if (query != std::string_view::npos) {
    request.QueryParams = std::string(target.substr(query + 1));
    target = target.substr(0, query);
  }
  request.Document = URLDecode(target);
  return true;
}

void ParseHeaders(const std::vector<std::string_view>& lines, TIdHTTPRequestInfo& request) {
  for (size_t i = 1; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (line.empty()) continue;
    if ((line.front() == ' ' || line.front() == '\t') && !request.RawHeaders.empty()) {
      request.RawHeaders.back().second.append(" ").append(Trim(line));  // folded line
      continue;
    }
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    request.RawHeaders.emplace_back(std::string(Trim(line.substr(0, colon))),
                                    std::string(Trim(line.substr(colon + 1))));
  }
}

bool ParseLength(const std::string& text, size_t& length) {
  if (text.empty() || text.size() > 18) return false;
  length = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    length = length * 10 + size_t(c - '0');
  }
  return true;
}

}  // namespace

std::string TIdHTTPRequestInfo::Header(std::string_view name) const {
  for (const auto& [key, value] : RawHeaders) {
    if (EqualsNoCase(key, name)) return value;
  }
  return "";
}

std::string URLDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int high = HexValue(text[i + 1]);
      int low = HexValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out += char(high * 16 + low);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

TIdHTTPReadResult TIdHTTPRequestReader::Parse(std::string& buffer, TIdHTTPRequestInfo& request) {
  // Empty lines ahead of a request line are skipped.
  size_t start = 0;
  while (start < buffer.size() && (buffer[start] == '\r' || buffer[start] == '\n')) ++start;
  if (start > 0) {
    buffer.erase(0, start);
  }
  size_t lineEnd = buffer.find('\n');
  if (lineEnd != std::string::npos &&
      std::string_view(buffer).substr(0, lineEnd).find(' ') == std::string_view::npos) {
    return TIdHTTPReadResult::hrBadRequestLine;
  }
  size_t headEnd = FindHeadEnd(buffer, 0);
  if (headEnd == std::string::npos) {
    return buffer.size() > kMaxHeadSize ? TIdHTTPReadResult::hrHeadTooLarge
                                        : TIdHTTPReadResult::hrNeedMore;
  }
  if (headEnd > kMaxHeadSize) return TIdHTTPReadResult::hrHeadTooLarge;

  TIdHTTPRequestInfo parsed;
  std::vector<std::string_view> lines = SplitLines(std::string_view(buffer).substr(0, headEnd));
  if (!ParseRequestLine(lines.front(), parsed)) return TIdHTTPReadResult::hrBadRequestLine;
  ParseHeaders(lines, parsed);

  size_t bodyLength = 0;
  std::string lengthText = parsed.Header("Content-Length");
  if (!lengthText.empty()) {
    if (!ParseLength(lengthText, bodyLength)) return TIdHTTPReadResult::hrBadContentLength;
    if (bodyLength > kMaxBodySize) return TIdHTTPReadResult::hrBodyTooLarge;
  }
  if (buffer.size() - headEnd < bodyLength) return TIdHTTPReadResult::hrNeedMore;
  parsed.Body = buffer.substr(headEnd, bodyLength);
  buffer.erase(0, headEnd + bodyLength);
  request = std::move(parsed);
  return TIdHTTPReadResult::hrComplete;
}

}  // namespace net
