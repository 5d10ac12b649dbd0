// The socket layer shared by the SMTP client and the POP3 collection: one blocking TCP
// connection at a time, every wait bounded, every step reported to the page as a comment.
#pragma once

#include <string>
#include <string_view>

namespace mail {

// How long to wait for a greeting, a reply or a write when the caller does not say: a server
// that accepts and then stays silent costs no more than one that is down.
constexpr int kNetWaitSeconds = 2;
// The longest wait for a connection: a relay or a mailbox that is down costs no more.
constexpr int kConnectSeconds = 2;

// Connects to `server`, written "host" or "host:port" ("[v6 address]:port" too); `port` is
// used when the server names none. Returns the connected socket, or a negative code:
// -1 no socket, -2 no connection, -3 the host name does not resolve. The connection itself
// is waited for at most kConnectSeconds (or `seconds` when shorter).
int NetConnect(std::string_view server, std::string_view port, int seconds = kNetWaitSeconds);

// Shuts the connection down both ways and closes it. Returns 1.
int NetClose(int socket);

// Waits until the socket is readable (at most `seconds`; 0: no limit) and receives up to
// 1,023 bytes into `text` (when given). Returns the byte count; 0 after a time-out or a
// failed wait; when the socket was readable but nothing came (peer closed, error), `text`
// is empty and the result is 1.
int NetRead(int socket, int seconds, std::string* text = nullptr);

// NetRead, then, when something arrived, writes the comment "<! read : ...>" with the
// count, the reply code and the first 30 characters of the reply. Returns 0; callers use
// `text`, which is empty when nothing arrived.
int NetReadReply(int socket, int seconds, std::string* text = nullptr);

// Sends all of `text`, writes the comment "<! write : ...>", then reads `replies` replies
// waiting at most `seconds` for each. Returns the number of bytes sent (-1 on failure).
int NetWrite(int socket, std::string_view text, int replies, int seconds = kNetWaitSeconds);

// The comment NetReadReply writes for `count` bytes received as `reply`.
void WriteReadComment(int count, std::string_view reply);

}  // namespace mail
