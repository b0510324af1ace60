// Our WebSocket server as the benchmarks drive it: the service's reply without the service.
//   bench-server <port>        (0 = any free port; the bound port is the first stdout line)
// "STATUS" is answered with "STATUS:0" (the server follows it with its empty ping). Each stdin
// line is broadcast with SendMessageToAll, then "SENT <microseconds>" is printed.
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>

#include "WS/IdWebsocketServer.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: bench-server <port>\n";
    return 2;
  }
  ws::TIdWebsocketServer server;
  server.SetDefaultPort(uint16_t(std::atoi(argv[1])));
  server.SetOnMessageText([](ws::TIdServerWSContext* context, const std::string& text) {
    if (text.substr(0, text.find(' ')) == "STATUS") context->IOHandler()->Write("STATUS:0");
  });
  try {
    server.SetActive(true);
  } catch (const std::exception& failure) {
    std::cerr << "bench-server: " << failure.what() << "\n";
    return 1;
  }
  std::cout << server.BoundPort() << std::endl;
  std::string line;
  while (std::getline(std::cin, line) && line != "STOP") {
    auto start = std::chrono::steady_clock::now();
    try {
      server.SendMessageToAll(line);
    } catch (const std::exception& failure) {
      std::cerr << "bench-server: " << failure.what() << "\n";
    }
    auto took = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);
    std::cout << "SENT " << took.count() << std::endl;
  }
  server.SetActive(false);
  return 0;
}
