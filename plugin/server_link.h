// The link to the playback service: connecting, the reply reader of each
// connection, sending requests, awaiting replies, and the teardown that all
// failure paths share.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

enum { REPLY_TIMEOUT_MS = 3000 };

// Connects to ServerAddr:ServerPort, makes the connection the current one
// (LinkSocket, ReplyEvent) and starts its reader. Returns the socket or
// INVALID_SOCKET.
SOCKET ConnectServer();
// The same, for the resume thread: gives up after `limitMs`, or at once when
// `stop` is set.
SOCKET ConnectServerUntil(HANDLE stop, DWORD limitMs);
// Sends one request whole: the 5-byte header, then the payload if the header
// went out. Safe from any thread; requests never interleave on the wire.
bool SendRequest(uint8_t code, const void *payload, int length);
// Waits up to REPLY_TIMEOUT_MS for the reply to `code`; true only for that
// code with value 0.
bool AwaitReply(uint8_t code);
// Ends the current connection and waits for its reader; no message.
void DropLink();
// True while the current connection is still held but its reader has ended:
// the service closed or reset it, and nothing more will come over it.
bool LinkReaderEnded();
void LinkFailure(const char *message);
// Shows "Can't send data to server", once per lost link however often it is
// called before the next connection.
void ReportSendFailure();
// Drops the link, holds the position, drops the rest of the stream and
// reports the failure as above. Returns 0.
int SendFailure();
