// The stream server over real TCP, the same cases against CTonvale in this
// process and against the real Tonvaled.exe: reply bytes, CMD_PLAYED sums,
// malformed frames, vanishing clients and the one-client rule.
#include <gtest/gtest.h>

#include "server_fixture.h"

namespace {

const uint32_t FullVolume = 0xFFFFFFFFu;

class StreamServer : public ::testing::TestWithParam<ServerKind> {
  protected:
    void SetUp() override { ASSERT_TRUE(Server.Start(GetParam())); }
    void TearDown() override {
        for (SOCKET s : Clients)
            closesocket(s);
        Server.Finish();
    }
    SOCKET Connect() {
        SOCKET s = ConnectLoopback(Server.Port);
        Clients.push_back(s);
        return s;
    }
    static void Open(SOCKET s) {
        ASSERT_TRUE(SendFrame(s, CMD_OPEN, PcmFormatBytes(44100, 2, 16)));
        FrameHeader reply;
        ASSERT_TRUE(ReceiveFrame(s, &reply));
        ASSERT_EQ(CMD_OPEN, reply.Code);
        ASSERT_EQ(0, reply.Value);
    }
    static std::vector<unsigned char> Pcm(size_t bytes) {
        return std::vector<unsigned char>(bytes, 0);
    }

    ServerUnderTest Server;
    std::vector<SOCKET> Clients;
};

std::string ReceiveRaw(SOCKET s, int bytes) {
    std::string raw;
    while (static_cast<int>(raw.size()) < bytes) {
        FrameHeader frame;
        if (!ReceiveFrame(s, &frame))
            break;
        unsigned char encoded[FRAME_HEADER_SIZE];
        EncodeFrameHeader(frame.Code, frame.Value, encoded);
        raw.append(reinterpret_cast<char *>(encoded), FRAME_HEADER_SIZE);
    }
    return raw;
}

TEST_P(StreamServer, RepliesAreFiveExactBytes) {
    SOCKET s = Connect();
    ASSERT_TRUE(SendFrame(s, CMD_OPEN, PcmFormatBytes(44100, 2, 16)));
    EXPECT_EQ(std::string("\x01\x00\x00\x00\x00", 5), ReceiveRaw(s, 5));
    ASSERT_TRUE(SendFrame(s, CMD_FLUSH, nullptr, 0));
    EXPECT_EQ(std::string("\x04\x00\x00\x00\x00", 5), ReceiveRaw(s, 5));
    ASSERT_TRUE(SendFrame(s, CMD_CLOSE, nullptr, 0));
    EXPECT_EQ(std::string("\x08\x00\x00\x00\x00", 5), ReceiveRaw(s, 5));
    ASSERT_TRUE(SendFrame(s, CMD_OPEN, PcmFormatBytes(44100, 2, 16).data(), 15));
    // Only 15 bytes declared: the open is refused and only those are consumed.
    EXPECT_EQ(std::string("\x01\x01\x00\x00\x00", 5), ReceiveRaw(s, 5));
}

TEST_P(StreamServer, PlayedValuesAddUpToTheBytesWritten) {
    SOCKET s = Connect();
    Open(s);
    ASSERT_TRUE(SendFrame(s, CMD_VOLUME, VolumeBytes(FullVolume)));
    const size_t sizes[] = {2304, 17640, 4, 8192, 35280};
    int64_t written = 0;
    for (size_t size : sizes) {
        ASSERT_TRUE(SendFrame(s, CMD_WRITE, Pcm(size)));
        written += size;
    }
    // Let some buffers play to the end; CMD_CLOSE drops the rest, and both
    // kinds are reported before its reply.
    Sleep(150);
    int64_t played = 0;
    ASSERT_TRUE(SendFrame(s, CMD_CLOSE, nullptr, 0));
    EXPECT_EQ(0, AwaitReplyCollectingPlayed(s, CMD_CLOSE, &played));
    EXPECT_EQ(written, played);
}

// A stream shorter than the priming amount is not held for good: the service
// starts it by the deadline, and it plays whole.
TEST_P(StreamServer, AStreamShorterThanThePrimingAmountPlaysWhole) {
    SOCKET s = Connect();
    Open(s);
    const int32_t bytes = 1764; // 10 ms
    ASSERT_TRUE(SendFrame(s, CMD_WRITE, Pcm(bytes)));
    FrameHeader played;
    ASSERT_TRUE(ReceiveFrame(s, &played, 2000)) << "the short stream was never played";
    EXPECT_EQ(CMD_PLAYED, played.Code);
    EXPECT_EQ(bytes, played.Value);
}

TEST_P(StreamServer, FlushReportsEveryDroppedBufferBeforeItsReply) {
    SOCKET s = Connect();
    Open(s);
    const int32_t sizes[] = {176400, 88200, 44100};
    for (int32_t size : sizes)
        ASSERT_TRUE(SendFrame(s, CMD_WRITE, Pcm(size)));
    ASSERT_TRUE(SendFrame(s, CMD_FLUSH, nullptr, 0));
    std::vector<int32_t> played;
    FrameHeader frame;
    for (int i = 0; i < 4; i++) {
        ASSERT_TRUE(ReceiveFrame(s, &frame));
        if (i < 3) {
            ASSERT_EQ(CMD_PLAYED, frame.Code);
            played.push_back(frame.Value);
        }
    }
    EXPECT_EQ(CMD_FLUSH, frame.Code);
    EXPECT_EQ(0, frame.Value);
    EXPECT_EQ(std::vector<int32_t>(sizes, sizes + 3), played);
    // The device stays open after a flush and takes new buffers.
    ASSERT_TRUE(SendFrame(s, CMD_WRITE, Pcm(400)));
    ASSERT_TRUE(ReceiveFrame(s, &frame));
    EXPECT_EQ(CMD_PLAYED, frame.Code);
    EXPECT_EQ(400, frame.Value);
}

TEST_P(StreamServer, WithoutDeviceFlushAndCloseAnswerAndWriteIsSilent) {
    SOCKET s = Connect();
    ASSERT_TRUE(SendFrame(s, CMD_WRITE, Pcm(1000)));
    ASSERT_TRUE(SendFrame(s, CMD_PAUSE, nullptr, 0));
    ASSERT_TRUE(SendFrame(s, CMD_RESUME, nullptr, 0));
    ASSERT_TRUE(SendFrame(s, CMD_FLUSH, nullptr, 0));
    FrameHeader frame;
    ASSERT_TRUE(ReceiveFrame(s, &frame));
    EXPECT_EQ(CMD_FLUSH, frame.Code);
    EXPECT_EQ(0, frame.Value);
    ASSERT_TRUE(SendFrame(s, CMD_CLOSE, nullptr, 0));
    ASSERT_TRUE(ReceiveFrame(s, &frame));
    EXPECT_EQ(CMD_CLOSE, frame.Code);
    EXPECT_EQ(0, frame.Value);
    if (Server.Kind == ServerKind::InProcess) {
        EXPECT_NE(std::string::npos, Server.LogText().find("Can't write buffer\n"));
    }
}

TEST_P(StreamServer, MalformedFramesAreConsumedAndTheNextFrameIsRead) {
    SOCKET s = Connect();
    std::vector<unsigned char> eighteen = PcmFormatBytes(44100, 2, 16);
    eighteen.resize(18, 0xAB);
    ASSERT_TRUE(SendFrame(s, CMD_OPEN, eighteen));
    FrameHeader frame;
    ASSERT_TRUE(ReceiveFrame(s, &frame));
    EXPECT_EQ(CMD_OPEN, frame.Code);
    EXPECT_EQ(1, frame.Value);

    // Unknown codes, a client's CMD_PLAYED, a short volume and an empty write:
    // each payload is consumed and nothing is answered. Payloads that look
    // like headers would be misread if a single byte were left behind.
    const uint8_t ignored[] = {0, CMD_PLAYED, 9, 0x80, 0x7F};
    for (uint8_t code : ignored) {
        unsigned char fake[10];
        EncodeFrameHeader(CMD_OPEN, 0, fake);
        EncodeFrameHeader(CMD_FLUSH, 0, fake + 5);
        ASSERT_TRUE(SendFrame(s, code, fake, sizeof fake));
    }
    ASSERT_TRUE(SendFrame(s, CMD_VOLUME, "\x01\x02", 2));
    ASSERT_TRUE(SendFrame(s, CMD_WRITE, nullptr, 0));
    ASSERT_TRUE(SendFrame(s, CMD_WRITE, nullptr, -5));
    ASSERT_TRUE(SendFrame(s, CMD_CLOSE, nullptr, 0));
    ASSERT_TRUE(ReceiveFrame(s, &frame));
    EXPECT_EQ(CMD_CLOSE, frame.Code);
    EXPECT_EQ(0, frame.Value);
    Open(s);
    if (Server.Kind == ServerKind::InProcess) {
        std::string log = Server.LogText();
        EXPECT_NE(std::string::npos, log.find("Can't open sound device\n"));
        EXPECT_NE(std::string::npos, log.find("Can't write buffer\n"));
        // The short volume changed nothing: the device opened silent.
        EXPECT_EQ(0u, Server.App->Device.StoredVolume);
    }
}

TEST_P(StreamServer, SecondOpenIsRefusedAndTheFirstDeviceKeepsPlaying) {
    SOCKET s = Connect();
    Open(s);
    ASSERT_TRUE(SendFrame(s, CMD_OPEN, PcmFormatBytes(48000, 1, 8)));
    FrameHeader frame;
    ASSERT_TRUE(ReceiveFrame(s, &frame));
    EXPECT_EQ(CMD_OPEN, frame.Code);
    EXPECT_EQ(1, frame.Value);
    // Still the 44.1 kHz stereo device: 17640 bytes are 100 ms of it.
    ASSERT_TRUE(SendFrame(s, CMD_WRITE, Pcm(17640)));
    ASSERT_TRUE(ReceiveFrame(s, &frame));
    EXPECT_EQ(CMD_PLAYED, frame.Code);
    EXPECT_EQ(17640, frame.Value);
}

TEST_P(StreamServer, HeaderSplitAcrossSendsIsCompleted) {
    SOCKET s = Connect();
    unsigned char header[FRAME_HEADER_SIZE];
    EncodeFrameHeader(CMD_OPEN, PCM_FORMAT_SIZE, header);
    std::vector<unsigned char> format = PcmFormatBytes(44100, 2, 16);
    for (unsigned char byte : header) {
        ASSERT_TRUE(SendAll(s, &byte, 1));
        Sleep(30);
    }
    ASSERT_TRUE(SendAll(s, format.data(), 7));
    Sleep(30);
    ASSERT_TRUE(SendAll(s, format.data() + 7, 9));
    FrameHeader frame;
    ASSERT_TRUE(ReceiveFrame(s, &frame));
    EXPECT_EQ(CMD_OPEN, frame.Code);
    EXPECT_EQ(0, frame.Value);
}

// Frames that arrive in one segment are all served, even while no device is
// open and the server would otherwise wait for the socket.
TEST_P(StreamServer, FramesArrivingTogetherAreServedWithoutMoreData) {
    SOCKET s = Connect();
    std::string together;
    unsigned char header[FRAME_HEADER_SIZE];
    EncodeFrameHeader(CMD_VOLUME, VOLUME_WORD_SIZE, header);
    together.append(reinterpret_cast<char *>(header), FRAME_HEADER_SIZE);
    together.append("\xFF\xFF\xFF\xFF", VOLUME_WORD_SIZE);
    EncodeFrameHeader(CMD_FLUSH, 0, header);
    together.append(reinterpret_cast<char *>(header), FRAME_HEADER_SIZE);
    ASSERT_TRUE(SendAll(s, together.data(), static_cast<int>(together.size())));
    FrameHeader reply;
    ASSERT_TRUE(ReceiveFrame(s, &reply, 2000));
    EXPECT_EQ(CMD_FLUSH, reply.Code);
}

TEST_P(StreamServer, ClientVanishingMidPayloadLeavesTheServerReady) {
    SOCKET first = Connect();
    Open(first);
    unsigned char header[FRAME_HEADER_SIZE];
    EncodeFrameHeader(CMD_WRITE, 100000, header);
    ASSERT_TRUE(SendAll(first, header, sizeof header));
    ASSERT_TRUE(SendAll(first, Pcm(1000).data(), 1000));
    Sleep(100);
    closesocket(first);
    Clients.clear();

    // The device of the vanished client was closed with its connection, so
    // the next client can open one, and CMD_PLAYED still goes out: the lock
    // taken for the payload was released.
    SOCKET next = Connect();
    Open(next);
    ASSERT_TRUE(SendFrame(next, CMD_WRITE, Pcm(4410)));
    FrameHeader frame;
    ASSERT_TRUE(ReceiveFrame(next, &frame));
    EXPECT_EQ(CMD_PLAYED, frame.Code);
    EXPECT_EQ(4410, frame.Value);
    if (Server.Kind == ServerKind::InProcess) {
        EXPECT_EQ(std::string::npos, Server.LogText().find("error"));
    }
}

TEST_P(StreamServer, DeviceOfAVanishedClientIsClosedForTheNext) {
    SOCKET first = Connect();
    Open(first);
    ASSERT_TRUE(SendFrame(first, CMD_WRITE, Pcm(176400)));
    closesocket(first);
    Clients.clear();
    SOCKET next = Connect();
    Open(next);
    // None of the earlier client's buffers reach the new connection.
    FrameHeader frame;
    EXPECT_FALSE(ReceiveFrame(next, &frame, 1500));
}

TEST_P(StreamServer, SecondClientWaitsInTheBacklogUntilTheFirstEnds) {
    SOCKET first = Connect();
    SOCKET second = Connect();
    ASSERT_NE(INVALID_SOCKET, second);
    ASSERT_TRUE(SendFrame(second, CMD_FLUSH, nullptr, 0));
    FrameHeader frame;
    EXPECT_FALSE(ReceiveFrame(second, &frame, 700));
    // The first is served meanwhile.
    ASSERT_TRUE(SendFrame(first, CMD_CLOSE, nullptr, 0));
    ASSERT_TRUE(ReceiveFrame(first, &frame));
    EXPECT_EQ(CMD_CLOSE, frame.Code);
    closesocket(first);
    ASSERT_TRUE(ReceiveFrame(second, &frame));
    EXPECT_EQ(CMD_FLUSH, frame.Code);
    EXPECT_EQ(0, frame.Value);
}

TEST_P(StreamServer, OnlyAConnectionWithoutDeviceGivesWayToAWaitingClient) {
    SOCKET first = Connect();
    Open(first);
    SOCKET second = Connect();
    ASSERT_TRUE(SendFrame(second, CMD_FLUSH, nullptr, 0));
    FrameHeader frame;
    // An open device holds the slot while its player is near (it may give
    // way only after ten quiet seconds).
    EXPECT_FALSE(ReceiveFrame(second, &frame, 3000));
    ASSERT_TRUE(SendFrame(first, CMD_CLOSE, nullptr, 0));
    int64_t played = 0;
    ASSERT_EQ(0, AwaitReplyCollectingPlayed(first, CMD_CLOSE, &played));
    // A player between two files keeps it for a moment, then gives way.
    EXPECT_FALSE(ReceiveFrame(second, &frame, 1500));
    ASSERT_TRUE(ReceiveFrame(second, &frame, 10000));
    EXPECT_EQ(CMD_FLUSH, frame.Code);
    EXPECT_TRUE(PeerClosed(first, 1000));
}

TEST_P(StreamServer, ADryQuietConnectionGivesWayButAQueuedOrPausedOneNever) {
    if (Server.Kind == ServerKind::Daemon)
        GTEST_SKIP() << "the quiet time is shortened in this process only";
    DryYieldAfterMs = 1000;
    SOCKET first = Connect();
    Open(first);
    const int32_t second15 = 44100 * 4 * 3 / 2;
    ASSERT_TRUE(SendFrame(first, CMD_WRITE, Pcm(second15)));
    SOCKET second = Connect();
    ASSERT_TRUE(SendFrame(second, CMD_FLUSH, nullptr, 0));
    FrameHeader frame;
    // Quiet for longer than the time, but its buffer still plays.
    EXPECT_FALSE(ReceiveFrame(second, &frame, 1200));
    // A frame now starts its quiet time anew, so that the pause below is sure
    // to arrive before the dry rule could apply, however late this test runs.
    ASSERT_TRUE(SendFrame(first, CMD_VOLUME, VolumeBytes(FullVolume)));
    ASSERT_TRUE(ReceiveFrame(first, &frame));
    ASSERT_EQ(CMD_PLAYED, frame.Code);
    ASSERT_TRUE(SendFrame(first, CMD_PAUSE, nullptr, 0));
    // Dry but paused: the player will be back.
    EXPECT_FALSE(ReceiveFrame(second, &frame, 2000));
    ASSERT_TRUE(SendFrame(first, CMD_RESUME, nullptr, 0));
    bool served = ReceiveFrame(second, &frame, 5000);
    DryYieldAfterMs = DRY_YIELD_AFTER_MS;
    ASSERT_TRUE(served);
    EXPECT_EQ(CMD_FLUSH, frame.Code);
    EXPECT_TRUE(PeerClosed(first, 1000));
}

TEST_P(StreamServer, ClientResetBeforeItIsAcceptedDoesNotEndTheService) {
    SOCKET busy = Connect();
    // Waits in the backlog (which holds one) while `busy` is served, then
    // resets before the server gets to accept it.
    SOCKET impatient = ConnectLoopback(Server.Port);
    linger abort = {1, 0};
    setsockopt(impatient, SOL_SOCKET, SO_LINGER, reinterpret_cast<char *>(&abort), sizeof abort);
    closesocket(impatient);
    closesocket(busy);
    Clients.clear();
    Sleep(200);
    SOCKET next = Connect();
    ASSERT_NE(INVALID_SOCKET, next);
    Open(next);
}

TEST_P(StreamServer, DeclarationsAboveSixtyFourMebibytesEndTheConnection) {
    SOCKET s = Connect();
    ASSERT_TRUE(SendFrame(s, 9, nullptr, MAX_PAYLOAD_BYTES + 1));
    EXPECT_TRUE(PeerClosed(s, 5000));
    // Exactly 64 MiB is still a frame like any other.
    SOCKET next = Connect();
    std::vector<unsigned char> big(MAX_PAYLOAD_BYTES, 0x55);
    ASSERT_TRUE(SendFrame(next, 9, big));
    ASSERT_TRUE(SendFrame(next, CMD_FLUSH, nullptr, 0));
    FrameHeader frame;
    ASSERT_TRUE(ReceiveFrame(next, &frame, 30000));
    EXPECT_EQ(CMD_FLUSH, frame.Code);
    if (Server.Kind == ServerKind::InProcess) {
        EXPECT_NE(std::string::npos, Server.LogText().find("Access violation error\n"));
    }
}

TEST_P(StreamServer, VolumeStoredWithoutDeviceAppliesToTheNextOpen) {
    SOCKET s = Connect();
    ASSERT_TRUE(SendFrame(s, CMD_VOLUME, VolumeBytes(0x12345678)));
    Open(s);
    if (Server.Kind == ServerKind::InProcess) {
        DWORD volume = 0;
        ASSERT_EQ(MMSYSERR_NOERROR, waveOutGetVolume(Server.App->Device.WaveHandle, &volume));
        EXPECT_EQ(0x12345678u, Server.App->Device.StoredVolume);
        // Wine keeps the word it was given, so the device got exactly it.
        EXPECT_EQ(0x12345678u, volume);
    }
}

INSTANTIATE_TEST_SUITE_P(Both, StreamServer,
                         ::testing::Values(ServerKind::InProcess, ServerKind::Daemon),
                         [](const ::testing::TestParamInfo<ServerKind> &info) {
                             return info.param == ServerKind::InProcess ? "InProcess" : "Daemon";
                         });

} // namespace
