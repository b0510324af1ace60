#include "net/IdHTTPResponse.h"

#include <cstdint>

#include "net/IdIOHandlerStack.h"

namespace net {
namespace {

constexpr const char* kDefaultCharset = "ISO-8859-1";

std::tm GMTime(std::time_t time) {
  std::tm result{};
#ifdef _WIN32
  gmtime_s(&result, &time);
#else
  gmtime_r(&time, &result);
#endif
  return result;
}

std::string TwoDigits(int value) {
  return std::string(1, char('0' + value / 10)) + char('0' + value % 10);
}

}  // namespace

std::string FormatHTTPDate(std::time_t time) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm t = GMTime(time);
  return std::string(kDays[t.tm_wday]) + ", " + TwoDigits(t.tm_mday) + " " + kMonths[t.tm_mon] +
         " " + std::to_string(t.tm_year + 1900) + " " + TwoDigits(t.tm_hour) + ":" +
         TwoDigits(t.tm_min) + ":" + TwoDigits(t.tm_sec) + " GMT";
}

std::string UTF8ToLatin1(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    uint8_t c = uint8_t(text[i]);
    if (c < 0x80) {
      out += char(c);
      ++i;
      continue;
    }
    size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (length == 2 && i + 1 < text.size()) {
      uint32_t code = (c & 0x1Fu) << 6 | (uint8_t(text[i + 1]) & 0x3Fu);
      out += code <= 0xFF ? char(code) : '?';
    } else {
      out += '?';
    }
    i += length;
  }
  return out;
}

TIdHTTPResponseInfo::TIdHTTPResponseInfo(TIdIOHandlerStack* connection, bool headRequest)
    : FConnection(connection), FHeadRequest(headRequest) {}

void TIdHTTPResponseInfo::SetContentText(std::string text) {
  FContentText = std::move(text);
  FHasText = true;
  FHasStream = false;
}

void TIdHTTPResponseInfo::SetContentStream(std::string bytes) {
  FContentStream = std::move(bytes);
  FHasStream = true;
  FHasText = false;
}

void TIdHTTPResponseInfo::SetCustomHeader(std::string name, std::string value) {
  FCustomHeaders.emplace_back(std::move(name), std::move(value));
}

bool TIdHTTPResponseInfo::CarriesBody() const {
  bool noBodyCode =
      (ResponseNo >= 100 && ResponseNo < 200) || ResponseNo == 204 || ResponseNo == 304;
  return !FHeadRequest && !noBodyCode;
}

std::string TIdHTTPResponseInfo::BodyBytes() const {
  if (!CarriesBody()) return "";
  if (FHasStream) return FContentStream;
  if (FHasText) return ContentType.empty() ? UTF8ToLatin1(FContentText) : FContentText;
  return "";
}

std::string TIdHTTPResponseInfo::HeadText(std::time_t now, size_t contentLength) const {
  std::string head = "HTTP/1.1 " + std::to_string(ResponseNo) + " " + ResponseText + "\r\n";
  auto line = [&head](std::string_view name, std::string_view value) {
    if (!value.empty()) head.append(name).append(": ").append(value).append("\r\n");
  };
  line("Connection", !Connection.empty() ? Connection : (CloseConnection ? "close" : "keep-alive"));
  std::string type = ContentType;
  if (type.empty() && HasContent()) type = std::string("text/html; charset=") + kDefaultCharset;
  line("Content-Type", type);
  line("Content-Length", std::to_string(contentLength));
  line("Date", FormatHTTPDate(now));
  for (const auto& [name, value] : FCustomHeaders) line(name, value);
  head += "\r\n";
  return head;
}

std::string TIdHTTPResponseInfo::Render(std::time_t now) const {
  std::string body = BodyBytes();
  return HeadText(now, body.size()) + body;
}

void TIdHTTPResponseInfo::WriteHeader() {
  if (FHeaderWritten) return;
  FHeaderWritten = true;
  FConnection->WriteBytes(HeadText(std::time(nullptr), BodyBytes().size()));
}

void TIdHTTPResponseInfo::Write() {
  if (FHeaderWritten) return;
  FHeaderWritten = true;
  FConnection->WriteBytes(Render(std::time(nullptr)));
}

}  // namespace net
