#pragma once

// A raw WebSocket client for tests: upgrades with a fixed key, writes masked frames byte by
// byte as a client does, and takes apart what the server sends with nothing but the wire
// format, so that faults in the server's codec cannot hide behind the same code here.

#include <cstdint>
#include <string>

#include "net/LoopbackPeer.h"

namespace testpeer {

struct TServerFrame {
  uint8_t First = 0;  // FIN, RSV and opcode byte
  std::string Payload;
  bool Valid = false;
  uint8_t Opcode() const { return First & 0x0F; }
  bool FIN() const { return (First & 0x80) != 0; }
};

inline std::string MaskedFrame(uint8_t first, const std::string& payload) {
  static constexpr uint8_t kKey[4] = {0x37, 0xFA, 0x21, 0x3D};
  std::string out(1, char(first));
  uint64_t n = payload.size();
  if (n <= 125) {
    out += char(0x80 | n);
  } else if (n <= 0xFFFF) {
    out += char(0x80 | 126);
    out += char(n >> 8);
    out += char(n & 0xFF);
  } else {
    out += char(0x80 | 127);
    for (int shift = 56; shift >= 0; shift -= 8) out += char((n >> shift) & 0xFF);
  }
  out.append(reinterpret_cast<const char*>(kKey), 4);
  for (size_t i = 0; i < payload.size(); ++i) out += char(payload[i] ^ char(kKey[i % 4]));
  return out;
}

class TWsPeer : public TLoopbackPeer {
 public:
  using TLoopbackPeer::TLoopbackPeer;

  // The 101 head, or whatever came instead.
  std::string Upgrade(const std::string& path = "/", const std::string& extra = "") {
    Send("GET " + path +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
         extra + "\r\n");
    return ReadUntil("\r\n\r\n");
  }
  void SendFrame(uint8_t first, const std::string& payload) { Send(MaskedFrame(first, payload)); }
  void SendText(const std::string& text) { SendFrame(0x81, text); }

  // One unmasked server frame; Valid false when none came in time.
  TServerFrame ReadFrame(int milliseconds = kWaitMs) {
    TServerFrame frame;
    std::string head = Read(2, milliseconds);
    if (head.size() < 2) return frame;
    frame.First = uint8_t(head[0]);
    if (head[1] & 0x80) return frame;  // a server must not mask
    uint64_t length = uint8_t(head[1]) & 0x7F;
    if (length >= 126) {
      std::string ext = Read(length == 126 ? 2 : 8, milliseconds);
      length = 0;
      for (char c : ext) length = length << 8 | uint8_t(c);
    }
    frame.Payload = Read(size_t(length), milliseconds);
    frame.Valid = frame.Payload.size() == length;
    return frame;
  }
};

}  // namespace testpeer
