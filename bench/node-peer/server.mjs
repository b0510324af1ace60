// The comparison peer: Node's ws 8 doing what our server does for a plain client.
//   node server.mjs <port>     (0 = any free port; the bound port is the first stdout line)
// "STATUS" is answered with "STATUS:0"; every data message is followed by an empty ping.
// Each stdin line is broadcast to every client, then "SENT <microseconds>" is printed.
import { createInterface } from "node:readline";
import { WebSocketServer } from "ws";

const server = new WebSocketServer({ host: "127.0.0.1", port: Number(process.argv[2] || 0) });
server.on("connection", (socket) => {
  socket.on("message", (data, isBinary) => {
    if (!isBinary && data.toString().split(" ")[0] === "STATUS") socket.send("STATUS:0");
    socket.ping();
  });
  socket.on("error", () => {});
});
server.on("listening", () => {
  process.stdout.write(server.address().port + "\n");
  const lines = createInterface({ input: process.stdin });
  lines.on("line", (line) => {
    if (line === "STOP") return lines.close();
    const start = process.hrtime.bigint();
    for (const client of server.clients) client.send(line);
    process.stdout.write("SENT " + (process.hrtime.bigint() - start) / 1000n + "\n");
  });
  lines.on("close", () => server.close(() => process.exit(0)));
});
