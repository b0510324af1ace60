#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace net {

class TIdIOHandlerStack;

// One HTTP response and how it goes on the wire: the status line; "Connection",
// "Content-Type", "Content-Length", "Date" (each only when it has a value, Date always), then
// the custom headers in the order they were set; an empty line; the body. No "Server" header.
class TIdHTTPResponseInfo {
 public:
  explicit TIdHTTPResponseInfo(TIdIOHandlerStack* connection, bool headRequest = false);

  int ResponseNo = 200;
  std::string ResponseText = "OK";
  std::string ContentType;
  // The value of "Connection" when it is neither "close" nor "keep-alive" ("Upgrade").
  std::string Connection;
  bool CloseConnection = true;  // keep-alive is off unless a handler keeps the connection

  // A text body (encoded as ISO-8859-1 when no content type is set) or a byte body.
  void SetContentText(std::string text);
  void SetContentStream(std::string bytes);
  bool HasContent() const { return FHasText || FHasStream; }
  const std::string& ContentText() const { return FContentText; }
  const std::string& ContentStream() const { return FContentStream; }

  void SetCustomHeader(std::string name, std::string value);
  const std::vector<std::pair<std::string, std::string>>& CustomHeaders() const {
    return FCustomHeaders;
  }

  // The whole response as bytes (head and body) at `now`.
  std::string Render(std::time_t now) const;
  // Writes the head now (for the upgrade, whose response has no body).
  void WriteHeader();
  // Writes the head and the body unless the head has already gone out.
  void Write();
  bool HeaderHasBeenWritten() const { return FHeaderWritten; }

 private:
  TIdIOHandlerStack* FConnection;
  bool FHeadRequest;
  bool FHasText = false;
  bool FHasStream = false;
  bool FHeaderWritten = false;
  std::string FContentText;
  std::string FContentStream;
  std::vector<std::pair<std::string, std::string>> FCustomHeaders;

  bool CarriesBody() const;
  std::string BodyBytes() const;
  std::string HeadText(std::time_t now, size_t contentLength) const;
};

// RFC 1123 date in GMT: "Thu, 10 Dec 2026 12:46:16 GMT".
std::string FormatHTTPDate(std::time_t time);
// UTF-8 text as ISO-8859-1; characters outside it become "?".
std::string UTF8ToLatin1(std::string_view text);

}  // namespace net
