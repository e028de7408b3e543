// support/vlZTIP.h
// The maker's TCP/IP connection library: stream sockets (IPv4 and IPv6) behind 32-bit handles.
//
// Handles. A handle names one connection or one listener. It is an opaque 32-bit value, 0 is
// none; a value is never handed out again while the process could still hold the old one (the
// values run through 2^32 before one comes round again, and a value still open is skipped).
// The caller owns the variable and passes its address to every operation but
// vlZTIP_AbortListener. vlZTIP_Close and vlZTIP_CloseGracefully set the variable to 0
// themselves (callers may do so too). Every operation is safe from many threads at once;
// operations on different handles never wait for each other, and a close racing with another
// thread's operation on the same handle makes that operation return promptly with a code
// (the descriptor is released only after the last running call on it has returned).
//
// Results. 0 is success, anything else a negative code that callers log as a number; nothing
// is thrown. The codes, for every operation:
//
//    0  success
//   -1  vlZTIP_Accept: the listener was aborted (vlZTIP_AbortListener) or closed
//   -2  the handle is 0, unknown, already closed, or of the wrong kind (a listener where a
//       connection is wanted, or the reverse); also a null handle pointer
//   -3  an invalid argument: null text, buffer or count, empty host, port out of range,
//       maximum below 1
//   -4  vlZTIP_SendText mode 0: the connection cannot take the text at this moment; nothing
//       of it was sent, send it again later
//   -5  the peer closed the connection; nothing more will arrive
//   -6  the connection was reset or broken (the peer aborted, or the network failed)
//   -7  the host name could not be resolved (unknown, or no answer within the connect time)
//   -8  vlZTIP_Connect: the connection was refused (nothing listens on the port)
//   -9  vlZTIP_Connect: no answer within the connect time
//  -10  vlZTIP_Connect: network or host unreachable, or no usable address
//  -11  time-out waiting for data (vlZTIP_Receive, vlZTIP_ReceiveReply), or no client
//       waiting (vlZTIP_Accept with wait 0)
//  -12  vlZTIP_OpenListener / vlZTIP_Listen: the port is in use by another program
//  -13  out of resources: no descriptor or memory for a socket (vlZTIP_Accept returns it
//       after a short pause, so a caller that loops does not spin)
//  -14  vlZTIP_Listen failed, or vlZTIP_Accept on a listener that is not listening
//  -15  vlZTIP_SendFile: the file cannot be opened or is not a regular file
//  -16  vlZTIP_SendFile: the file could not be read to its end
//  -17  a send stalled: the peer took no data within the send time (below)
//  -18  no handle value is free (about 4 billion handles open at once; not expected)
//  -19  vlZTIP_OpenListener: permission denied for the port (a port below 1024)
//  -20  any other socket error
//  -25  vlZTIP_Accept: the listener itself failed instead of giving a connection; close it
//       and open it again
//  -27  vlZTIP_SendFile: the path has a ".." component; it is refused (both uses of the
//       operation send files named by remote requests)
//
// Send time: a blocking send (vlZTIP_SendText mode 1, vlZTIP_SendFile, the rest of a mode-0
// text once its first part went out) fails with -17 when the peer takes nothing for 30 seconds
// (10 seconds for the rest of a mode-0 text). SIGPIPE is never raised.
#pragma once
#include <cstdint>

namespace vlzt {

// Opens a connection to `host` (a name, a dotted IPv4 address or an IPv6 address) at `port`
// (1 to 65535). `attempt` chooses the connect time: up to `attempt` rounds (1 to 10; others
// are brought into that range) over the host's addresses, each address given at most 3
// seconds, all within `attempt` x 3 seconds; a round that was refused is repeated after a
// short pause. `text` and `reserved` are ignored (callers pass "" and 0).
// 0 with `*handle` set; otherwise `*handle` is 0 and the code is -3, -7, -8, -9, -10, -13,
// -18 or -20.
int32_t vlZTIP_Connect(uint32_t* handle, const char* host, uint32_t port, int32_t attempt,
                       const char* text, int32_t reserved);

// Closes a connection or listener at once and sets `*handle` to 0. Bytes the peer sent that
// were not read are discarded first, so the peer sees an orderly end rather than a reset. A
// pending accept on a closed listener returns -1. 0, or -2.
int32_t vlZTIP_Close(uint32_t* handle);

// Makes a pending vlZTIP_Accept on `listener` (in any thread) return -1 promptly, and every
// later one as well. The listener stays open until closed. 0, or -2.
int32_t vlZTIP_AbortListener(uint32_t listener);

// Binds a listener to `port` on all addresses: IPv6 and IPv4 together where the machine has
// IPv6, else IPv4 alone; SO_REUSEADDR is set. Port 0 takes a free port, which
// vlZTIP_GetLocalPort reports. `flags`, `text` and `reserved` are ignored (callers pass 1,
// "" and 0). 0 with `*handle` set; otherwise `*handle` is 0 and the code is -3, -12 (port in
// use), -13, -18, -19 or -20.
int32_t vlZTIP_OpenListener(uint32_t* handle, uint32_t port, int32_t flags, const char* text,
                            int32_t reserved);

// Starts listening on an opened listener (the backlog is the system's maximum); calling it
// again does nothing. 0, or -2, -12 (the port was taken since it was opened) or -14.
int32_t vlZTIP_Listen(uint32_t* listener);

// Waits for a client on `listener` and gives its connection in `*connection`, with the peer's
// IP address as text in `peer` (at least 100 characters; IPv4 peers as dotted addresses even
// on the IPv6 listener; may be null). `wait` 0 returns -11 at once when no client is waiting;
// any other value waits without limit. Clients that vanish before they are taken are skipped.
// 0; otherwise `*connection` is 0 and the code is -1 (aborted or closed), -2, -3, -11, -13,
// -14 or -25.
int32_t vlZTIP_Accept(uint32_t* listener, uint32_t* connection, char* peer, int32_t wait);

// Sends the zero-terminated `text`.
// Mode 0: the text is sent at once or not at all; -4 when the connection cannot take it now.
// Mode 1 (and any other mode below 2): waits until the whole text is sent, failing with -17
// after 30 seconds in which the peer took nothing. A mode of 2 or more works as mode 1 with
// that many seconds instead of 30.
// 0 when the whole text was sent (an empty text too); else -2, -3, -4 (mode 0 only), -6, -13,
// -17 or -20.
int32_t vlZTIP_SendText(uint32_t* handle, const char* text, int32_t mode);

// Receives one reply: waits up to `timeoutSeconds` for data, then goes on collecting while the
// data has no line end yet and more arrives within a quarter of a second, and while an
// SMTP-style reply ("220-...") announces more lines, until its last line ("220 ...") or the
// time-out; never past `maximum`. At most `maximum` bytes are stored in `buffer`, followed by
// a zero when fewer were stored (so a buffer of maximum + 1 zeroed bytes always holds a text).
// A negative time-out waits 120 seconds, 0 takes only data already there. `reserved` is
// ignored. 0 with the reply; else -11 (no data in time), -5 (the peer closed before sending
// anything), -2, -3, -6, -13 or -20.
int32_t vlZTIP_ReceiveReply(uint32_t* handle, char* buffer, int32_t maximum,
                            int32_t timeoutSeconds, int32_t reserved);

// Ends the sending side after a complete response: the peer reads the end of the data. Further
// sends fail; receiving still works. 0, or -2 or -20.
int32_t vlZTIP_EndSend(uint32_t* handle);

// Waits up to `timeoutSeconds` for data and stores what has arrived, at most `maximum` bytes,
// in `buffer` (no zero is added), with the number in `*count`. Time-outs as for
// vlZTIP_ReceiveReply; `reserved` is ignored.
// 0 with at least one byte; else `*count` is 0 and the code is -11 (no data in time), -5 (the
// peer closed), -2, -3, -6, -13 or -20.
int32_t vlZTIP_Receive(uint32_t* handle, char* buffer, int32_t maximum, int32_t* count,
                       int32_t timeoutSeconds, int32_t reserved);

// Sends the bytes of the file at `path` as they are, to its end. With `mode` 30 (the web
// server's images) it first writes a minimal HTTP/1.0 header: "HTTP/1.0 200 OK", a
// Content-Type from the file's extension (image/jpeg, image/gif, image/png, ...;
// application/octet-stream when unknown) and the Content-Length, then exactly that many bytes;
// a file that cannot be sent in mode 30 gets a "404 Not Found" header instead. Other modes send
// the bytes alone. 0; else -2, -3, -6, -13, -15, -16, -17, -20 or -27.
int32_t vlZTIP_SendFile(uint32_t* handle, const char* path, int32_t mode);

// Ends the sending side, reads and discards what the peer still sends until it closes or
// `seconds` (0 to 60) pass, then closes and sets `*handle` to 0. 0, or -2.
int32_t vlZTIP_CloseGracefully(uint32_t* handle, int32_t seconds);

// Not in the design: the local port of a listener or connection in `*port` (for a listener
// opened on port 0). 0, or -2, -3 or -20.
int32_t vlZTIP_GetLocalPort(uint32_t* handle, uint32_t* port);

}  // namespace vlzt
