// The HTTP request reader on arbitrary bytes, arriving in pieces as a socket would hand them
// over: requests are taken from the buffer until it asks for more or refuses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/IdHTTPRequest.h"

using net::TIdHTTPReadResult;
using net::TIdHTTPRequestReader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the piece size, so that heads split at every place get tried.
  const size_t piece = size_t(data[0] % 64) + 1;
  std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string buffer;
  for (size_t at = 0; at < input.size(); at += piece) {
    buffer.append(input, at, piece);
    for (;;) {
      net::TIdHTTPRequestInfo request;
      const size_t before = buffer.size();
      const TIdHTTPReadResult result = TIdHTTPRequestReader::Parse(buffer, request);
      if (result == TIdHTTPReadResult::hrNeedMore) {
        // What waits for more is bounded by the limits, whatever the peer sends.
        if (buffer.size() >
            TIdHTTPRequestReader::kMaxHeadSize + TIdHTTPRequestReader::kMaxBodySize + piece) {
          abort();
        }
        break;
      }
      if (result != TIdHTTPReadResult::hrComplete) return 0;  // the connection would end
      if (buffer.size() >= before) abort();                   // a request takes its bytes
      if (request.Body.size() > TIdHTTPRequestReader::kMaxBodySize) abort();
      (void)request.Header("Content-Length");
      if (net::URLDecode(request.URI).size() > request.URI.size()) abort();
    }
  }
  return 0;
}
