// The stream's operations (stream layer), called by the module on the host's
// threads. Each takes StreamLock for its decisions and its sends, and
// returns what the player is to be told rather than telling it.
#pragma once

enum StreamReport {
    REPORT_NOTHING,
    REPORT_NO_SERVER,     // "No server connection!"
    REPORT_CANT_OPEN,     // "Can't open sound device at server"
    REPORT_CANT_SEND,     // "Can't send data to server"
};

// Init and the dialog: the stream's connection is made afresh.
StreamReport ConnectStream();
// Quit: any resume ends and the connection is dropped.
void EndStream();
StreamReport OpenStream(int sampleRate, int numChannels, int bitsPerSample);
void CloseStream();
StreamReport WriteStream(const char *buffer, int length);
// Returns the previous pause flag.
int PauseStream(int pause);
StreamReport FlushStream(int positionMs);
