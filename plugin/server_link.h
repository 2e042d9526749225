// The link layer: one TCP connection to the playback service per
// LinkChannel, its frames, its reply reader thread, requests and replies. It
// knows nothing of streams and depends on protocol/ only.
//
// The layer above owns channels and hears from them through a LinkEvents
// table given at connect. Every event runs on the channel's reader thread:
// - Played for each CMD_PLAYED;
// - Silent while the reader waits for data, about once a second: true ends
//   the reader, as a path that went dead gives no TCP error;
// - Ended once, when the reader has left its loop (the service closed or
//   reset the connection, it went silent, or the owner dropped it), before
//   a waiting request learns of the end.
// Events must not block on anything that a sender may hold while waiting
// for a reply, or the reply would never be read.
//
// Each call answers for the channel it is given; there is no current
// connection here and no lock shared between channels.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

enum { REPLY_TIMEOUT_MS = 3000 };

struct LinkChannel;

struct LinkEvents {
    void (*Played)(LinkChannel *link, int32_t bytes);
    bool (*Silent)(LinkChannel *link);
    void (*Ended)(LinkChannel *link);
};

enum LinkResult {
    LINK_DONE,       // sent whole; for AwaitReply, answered with value 0
    LINK_REFUSED,    // answered with a value other than 0
    LINK_ENDED,      // the connection is over (or the wait was cancelled)
    LINK_TIMED_OUT,  // no answer within REPLY_TIMEOUT_MS
};

// Resolves `address`, connects and starts the channel's reader. With no
// `stop` the connect takes as long as the system's does; otherwise it gives
// up after `limitMs` or once `stop` is set. Returns null on failure; the
// caller owns the channel and ends it with DropLink.
LinkChannel *ConnectServer(const char *address, uint16_t port, const LinkEvents *events,
                           HANDLE stop, DWORD limitMs);
// Sends one request whole: header and payload in one gathered send. Safe
// from any thread; requests never interleave on the wire.
LinkResult SendRequest(LinkChannel *link, uint8_t code, const void *payload, int length);
// Waits up to REPLY_TIMEOUT_MS for the reply to `code`, or until `cancel`
// (may be null) is set.
LinkResult AwaitReply(LinkChannel *link, uint8_t code, HANDLE cancel);
// True once the channel's reader has ended: nothing more will come over it.
bool LinkEnded(LinkChannel *link);
// A hold on a channel for a sender that does not own it; the channel and its
// socket live until the last hold goes.
void HoldLink(LinkChannel *link);
void ReleaseLink(LinkChannel *link);
// Ends the connection and stops its reader, without waiting: the service
// sees the end at once. The owner still drops the channel.
void EndLink(LinkChannel *link);
// Ends the connection, waits for its reader, and gives up the owner's hold.
void DropLink(LinkChannel *link);
