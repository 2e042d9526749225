// The stream's operations: open and close, write, pause and flush, and what
// each does while the link is lost or given up.
#include "plugin/stream.h"

#include "plugin/arithmetic.h"
#include "plugin/kept_bytes.h"
#include "plugin/plugin_state.h"
#include "plugin/position_clock.h"
#include "plugin/stream_resume.h"
#include "plugin/stream_state.h"

static LinkChannel *ConnectNow() {
    return ConnectServer(PluginState.ServerAddr, PluginState.ServerPort, &StreamEvents, nullptr, 0);
}

StreamReport ConnectStream() {
    EnterStream();
    DropLink(ReplaceConnection(nullptr));
    LinkChannel *link = ConnectNow();
    ReplaceConnection(link);
    LeaveStream();
    return link ? REPORT_NOTHING : REPORT_NO_SERVER;
}

// Ends any resume and forgets the kept bytes; returns the state the stream
// was in. A stream that was being put back leaves no connection behind: the
// next one connects anew.
static int StreamClosed() {
    int was = StopResume();
    if (was == STREAM_RECONNECTING) {
        EnterStream();
        DropLink(ReplaceConnection(nullptr));
        LeaveStream();
    }
    ClearKept(0);
    return was;
}

void EndStream() {
    StreamClosed();
    EnterStream();
    DropLink(ReplaceConnection(nullptr));
    LeaveStream();
}

static StreamReport OpenLocked(int sampleRate, int numChannels, int bitsPerSample) {
    // A connection that the service has ended (it restarted, or gave the slot
    // of an idle client to another) cannot carry the stream: connect anew.
    if (LinkEnded(Stream.Connection)) DropLink(ReplaceConnection(nullptr));
    if (!Stream.Connection) ReplaceConnection(ConnectNow());
    if (!Stream.Connection) return REPORT_NO_SERVER;
    PcmFormat format = FormatOf(sampleRate, numChannels, bitsPerSample);
    Stream.BytesPerSecond = static_cast<int>(format.AvgBytesPerSec);
    StoreCounter(&Stream.BufferBytes, BufferBytesOf(Stream.BytesPerSecond, PluginState.BuffSize));
    if (SendRequest(Stream.Connection, CMD_OPEN, &format, sizeof format) != LINK_DONE ||
        AwaitReply(Stream.Connection, CMD_OPEN, nullptr) != LINK_DONE) {
        DropLink(ReplaceConnection(nullptr));
        return REPORT_CANT_OPEN;
    }
    StoreCounter(&Stream.PlayedBytes, 0);
    StoreCounter(&Stream.WrittenBytes, 0);
    ClockRestart(0);
    Stream.NumChannels = numChannels;
    Stream.SampleRate = sampleRate;
    Stream.BitsPerSample = bitsPerSample;
    Stream.Paused = 0;
    Stream.StreamOpen = 1;
    RestartSilenceWatch();
    SetStreamState(STREAM_LINKED);
    return REPORT_NOTHING;
}

StreamReport OpenStream(int sampleRate, int numChannels, int bitsPerSample) {
    // A stream still being put back (Close never came) ends here.
    StreamClosed();
    EnterStream();
    StreamReport report = OpenLocked(sampleRate, numChannels, bitsPerSample);
    LeaveStream();
    return report;
}

void CloseStream() {
    // A stream that lost its link has no connection to close: the attempt to
    // put it back ends at once.
    int was = StreamClosed();
    EnterStream();
    if ((was == STREAM_NONE || was == STREAM_LINKED) &&
        SendRequest(Stream.Connection, CMD_CLOSE, nullptr, 0) == LINK_DONE)
        AwaitReply(Stream.Connection, CMD_CLOSE, nullptr);
    Stream.StreamOpen = 0;
    LeaveStream();
}

// The counters keep the position where playback stopped, and the rest of
// the stream is taken and dropped, so that the host moves on.
static StreamReport SendFailure() {
    DropLink(ReplaceConnection(nullptr));
    if (StreamState() != STREAM_NONE) SetStreamState(STREAM_DROPPING);
    ClockHold();
    return TakeSendFailureReport() ? REPORT_CANT_SEND : REPORT_NOTHING;
}

// The window ended with no service: said once, by the first Write or Flush
// that finds it, after which the rest of the stream is dropped.
static StreamReport GivenUpReport() {
    bool first = SwapStreamState(STREAM_GIVEN_UP, STREAM_DROPPING) == STREAM_GIVEN_UP;
    return first && TakeSendFailureReport() ? REPORT_CANT_SEND : REPORT_NOTHING;
}

static StreamReport WriteLocked(const char *buffer, int length) {
    int state = StreamState();
    if (StreamGivenUp(state)) return GivenUpReport();
    LinkChannel *link = Stream.Connection;
    if (state == STREAM_NONE) {
        // With no stream to put back, a failed send is reported at once. On
        // a connection that the service has ended a send may still go out
        // into the void; the failure is reported now rather than never.
        if (LinkEnded(link) || SendRequest(link, CMD_WRITE, buffer, length) != LINK_DONE)
            return SendFailure();
        AddToCounter(&Stream.WrittenBytes, length);
        return REPORT_NOTHING;
    }
    // Kept until the service reports them played, so that a service that is
    // back after a lost link gets them again.
    KeepBytes(buffer, length);
    AddToCounter(&Stream.WrittenBytes, length);
    if (state == STREAM_LINKED) {
        HoldWriteAtSend();
        if (LinkEnded(link) || SendRequest(link, CMD_WRITE, buffer, length) != LINK_DONE)
            StreamLinkLost(link);
    }
    return REPORT_NOTHING;
}

StreamReport WriteStream(const char *buffer, int length) {
    EnterStream();
    StreamReport report = WriteLocked(buffer, length);
    LeaveStream();
    return report;
}

int PauseStream(int pause) {
    EnterStream();
    int previous = Stream.Paused;
    if (previous != 0 && pause == 0) ClockResume();
    Stream.Paused = pause;
    RestartSilenceWatch();
    // While the link is down the pause is kept, and applied once it is back.
    int state = StreamState();
    if (state == STREAM_NONE || state == STREAM_LINKED)
        SendRequest(Stream.Connection, pause != 0 ? CMD_PAUSE : CMD_RESUME, nullptr, 0);
    LeaveStream();
    return previous;
}

// Both counters at the new position; nothing before it is kept.
static void MoveTo(LONG64 position) {
    StoreCounter(&Stream.WrittenBytes, position);
    StoreCounter(&Stream.PlayedBytes, position);
    ClearKept(position);
    RestartSilenceWatch();
    ClockRestart(position);
}

static StreamReport FlushLocked(LONG64 position) {
    int state = StreamState();
    if (state == STREAM_RECONNECTING) {
        // The service that comes back starts at the new position.
        MoveTo(position);
        return REPORT_NOTHING;
    }
    if (StreamGivenUp(state)) return GivenUpReport();
    LinkChannel *link = Stream.Connection;
    LinkResult result = SendRequest(link, CMD_FLUSH, nullptr, 0);
    if (result == LINK_DONE) result = AwaitReply(link, CMD_FLUSH, nullptr);
    if (result == LINK_DONE) {
        // Every CMD_PLAYED for the dropped blocks came before the reply, so no
        // addition for them can land after these stores.
        MoveTo(position);
        return REPORT_NOTHING;
    }
    // A connection that ended is put back at the new position; a reply that
    // never came is a service that hangs, and that is reported.
    if (state == STREAM_LINKED && (result == LINK_ENDED || LinkEnded(link))) {
        MoveTo(position);
        StreamLinkLost(link);
        return REPORT_NOTHING;
    }
    return SendFailure();
}

StreamReport FlushStream(int positionMs) {
    EnterStream();
    StreamReport report = FlushLocked(BytePositionOf(positionMs, Stream.BytesPerSecond));
    LeaveStream();
    return report;
}
