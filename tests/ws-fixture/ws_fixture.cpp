// Runs the WebSocket server for end-to-end tests.
//   ws-fixture <port>        (0 = any free port)
// Prints the bound port as the first line of stdout. Answers "STATUS" with "STATUS:0" the way
// the service does; reports every text message as "TEXT <text>" and binary one as
// "BIN <bytes>". Each line read on stdin is broadcast ("SENT" or "SEND FAILED <why>" follows);
// "STOP" or the end of stdin deactivates the server, which prints "STOPPED" when every
// connection thread has ended.
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>

#include "WS/IdWebsocketServer.h"

namespace {

class TFixtureOutput {
 public:
  void Line(const std::string& text) {
    std::lock_guard<std::mutex> guard(FLock);
    std::cout << text << std::endl;
  }

 private:
  std::mutex FLock;
};

std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: ws-fixture <port>\n";
    return 2;
  }
  TFixtureOutput out;
  ws::TIdWebsocketServer server;
  server.SetDefaultPort(uint16_t(std::atoi(argv[1])));
  server.SetOnMessageText([&out](ws::TIdServerWSContext* context, const std::string& text) {
    out.Line("TEXT " + OneLine(text));
    std::string command = text.substr(0, text.find(' '));
    if (command == "STATUS") context->IOHandler()->Write("STATUS:0");
  });
  server.SetOnMessageBin([&out](ws::TIdServerWSContext*, const std::string& data) {
    out.Line("BIN " + std::to_string(data.size()));
  });
  try {
    server.SetActive(true);
  } catch (const std::exception& failure) {
    std::cerr << "ws-fixture: " << failure.what() << "\n";
    return 1;
  }
  out.Line(std::to_string(server.BoundPort()));

  std::string line;
  while (std::getline(std::cin, line) && line != "STOP") {
    try {
      server.SendMessageToAll(line);
      out.Line("SENT");
    } catch (const std::exception& failure) {
      out.Line("SEND FAILED " + OneLine(failure.what()));
    }
  }
  server.SetActive(false);
  out.Line("STOPPED");
  return 0;
}
