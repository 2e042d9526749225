// A stream whose link is lost, with the real DLL against the scripted server:
// the bytes it keeps go again, in order, to the connection that puts it back,
// after its format, volume and pause; Flush, Pause and Close while it
// reconnects; the silent link; and the window that ends with no server.
#include "plugin_test.h"

#include "plugin/stream_resume.h"

class ResumeTest : public PluginTest {
protected:
    // Starts the plug-in with its windows shortened, and opens a stream.
    void OpenStream(DWORD windowMs = 20000, DWORD silenceMs = 15000) {
        ASSERT_TRUE(LoadPluginCopy(&plugin, IniFor(server.Port()).c_str()));
        out = plugin.Out;
        ResumeTimings *timings = FindResumeTimings(plugin.Module);
        ASSERT_NE(timings, nullptr);
        timings->WindowMs = windowMs;
        timings->SilenceMs = silenceMs;
        out->Init();
        plugin.Started = true;
        ASSERT_TRUE(server.WaitForConnections(1));
        out->SetVolume(200);
        ASSERT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    }
    // Writes `count` blocks of 1764 bytes (10 ms), each filled with its own
    // number from `first` on; returns what was written.
    std::string WriteBlocks(int first, int count) {
        std::string all;
        for (int i = 0; i < count; ++i) {
            std::string block(1764, static_cast<char>(first + i));
            EXPECT_EQ(out->Write(&block[0], 1764), 0);
            all += block;
        }
        return all;
    }
    // The server goes away: its listener closes and so does the connection.
    void LoseServer() {
        port = server.Port();
        server.Stop();
    }
    // The frames of one connection, from its CMD_OPEN on, once `writes`
    // bytes of CMD_WRITE have come over it.
    std::vector<ReceivedFrame> FramesOfConnection(int connection, size_t writes) {
        DWORD start = GetTickCount();
        std::vector<ReceivedFrame> mine;
        while (Since(start) < 10000) {
            mine.clear();
            size_t written = 0;
            for (const ReceivedFrame &frame : server.Frames()) {
                if (frame.Connection != connection) continue;
                mine.push_back(frame);
                if (frame.Code == CMD_WRITE) written += frame.Payload.size();
            }
            if (written >= writes) break;
            Sleep(20);
        }
        return mine;
    }
    static std::string WrittenBytes(const std::vector<ReceivedFrame> &frames) {
        std::string bytes;
        for (const ReceivedFrame &frame : frames)
            if (frame.Code == CMD_WRITE) bytes.append(frame.Payload.begin(), frame.Payload.end());
        return bytes;
    }
    // CMD_OPEN with the stream's format, then CMD_VOLUME with the player's.
    static void ExpectOpenThenVolume(const std::vector<ReceivedFrame> &frames) {
        ASSERT_GE(frames.size(), 2u);
        EXPECT_EQ(frames[0].Code, CMD_OPEN);
        EXPECT_EQ(frames[0].Payload,
                  Bytes({1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0, 4, 0, 16, 0}));
        EXPECT_EQ(frames[1].Code, CMD_VOLUME);
        EXPECT_EQ(frames[1].Payload, Bytes({0, 0xC8, 0, 0xC8}));
    }

    // Writes `held` on a thread of its own and holds that Write after it has
    // found the stream linked and before it sends. Meanwhile the server ends
    // the connection and the plug-in connects again and sends CMD_OPEN;
    // `during` runs then, and the Write goes on.
    void HoldAWriteWhileTheLinkIsPutBack(std::string held, std::function<void()> during) {
        ResumeTimings *hooks = FindResumeTimings(plugin.Module);
        HANDLE atSend = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE maySend = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        hooks->WriteAtSend = atSend;
        hooks->WriteMaySend = maySend;
        std::thread writer([&] { EXPECT_EQ(out->Write(&held[0], static_cast<int>(held.size())), 0); });
        bool reached = WaitForSingleObject(atSend, 5000) == WAIT_OBJECT_0;
        EXPECT_TRUE(reached);
        hooks->WriteAtSend = nullptr;
        hooks->WriteMaySend = nullptr;
        if (reached) {
            server.CloseConnection();
            EXPECT_EQ(AwaitFrames(CMD_OPEN, 2).size(), 2u);
            during();
        }
        SetEvent(maySend);
        writer.join();
        CloseHandle(atSend);
        CloseHandle(maySend);
    }

    uint16_t port = 0;
};

TEST_F(ResumeTest, ResetDuringWriteSendsTheKeptBytesAgainOnANewConnection) {
    OpenStream();
    std::string before = WriteBlocks(1, 5);
    Played(1764);  // the first block is played and no longer kept
    server.ResetOnNextWrite();
    std::string after = WriteBlocks(6, 5);
    ASSERT_TRUE(server.WaitForConnections(2));
    std::vector<ReceivedFrame> frames = FramesOfConnection(1, 9 * 1764);
    ExpectOpenThenVolume(frames);
    EXPECT_EQ(WrittenBytes(frames), (before + after).substr(1764));
    EXPECT_TRUE(windows.Boxes().empty());
    // The written count is unchanged, and the played one counts on.
    EXPECT_EQ(out->GetWrittenTime(), 100);
    EXPECT_EQ(out->GetOutputTime(), 10);
    Played(9 * 1764);
    EXPECT_EQ(out->GetOutputTime(), 100);
    EXPECT_EQ(out->CanWrite(), 354000);
}

TEST_F(ResumeTest, WhileReconnectingBytesAreKeptAndFlushRestartsAtTheNewPosition) {
    OpenStream();
    WriteBlocks(1, 10);
    LoseServer();
    Sleep(300);
    // The host may write what fits beside the kept bytes, and no box shows.
    EXPECT_EQ(out->CanWrite(), 354000 - 10 * 1764);
    EXPECT_EQ(out->IsPlaying(), 1);
    WriteBlocks(11, 2);
    EXPECT_EQ(out->CanWrite(), 354000 - 12 * 1764);
    EXPECT_EQ(out->GetOutputTime(), 0);
    out->Flush(5000);
    EXPECT_EQ(out->GetOutputTime(), 5000);
    EXPECT_EQ(out->CanWrite(), 354000);
    std::string after = WriteBlocks(20, 3);
    EXPECT_EQ(out->GetWrittenTime(), 5030);
    ASSERT_TRUE(server.Start(port));
    ASSERT_TRUE(server.WaitForConnections(2));
    std::vector<ReceivedFrame> frames = FramesOfConnection(1, after.size());
    ExpectOpenThenVolume(frames);
    EXPECT_EQ(WrittenBytes(frames), after);
    EXPECT_TRUE(server.FramesOf(CMD_FLUSH).empty());
    Played(3 * 1764);
    EXPECT_EQ(out->GetOutputTime(), 5030);
    EXPECT_TRUE(windows.Boxes().empty());
}

TEST_F(ResumeTest, PauseWhileReconnectingIsAppliedOnceConnected) {
    OpenStream();
    std::string kept = WriteBlocks(1, 4);
    LoseServer();
    EXPECT_EQ(out->Pause(1), 0);
    EXPECT_EQ(out->IsPlaying(), 0);
    EXPECT_EQ(out->CanWrite(), 0);
    ASSERT_TRUE(server.Start(port));
    std::vector<ReceivedFrame> frames = FramesOfConnection(1, kept.size());
    ExpectOpenThenVolume(frames);
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[2].Code, CMD_PAUSE);
    EXPECT_EQ(WrittenBytes(frames), kept);
    EXPECT_EQ(server.FramesOf(CMD_PAUSE).size(), 1u);
    EXPECT_EQ(out->Pause(0), 1);
    AwaitFrames(CMD_RESUME, 1);
    EXPECT_EQ(server.FramesOf(CMD_RESUME).size(), 1u);
    EXPECT_EQ(out->IsPlaying(), 1);
    EXPECT_TRUE(windows.Boxes().empty());
}

TEST_F(ResumeTest, CloseWhileReconnectingEndsTheAttemptAtOnce) {
    OpenStream();
    WriteBlocks(1, 4);
    LoseServer();
    Sleep(300);
    DWORD start = GetTickCount();
    out->Close();
    EXPECT_LT(Since(start), 500u);
    ASSERT_TRUE(server.Start(port));
    Sleep(2000);  // longer than the longest pause between two attempts
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_TRUE(windows.Boxes().empty());
    // The next stream connects anew, and nothing of the last one is sent.
    ASSERT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    EXPECT_EQ(server.Connections(), 2);
    std::vector<ReceivedFrame> frames = FramesOfConnection(1, 0);
    EXPECT_EQ(frames.size(), 1u);
    EXPECT_TRUE(server.FramesOf(CMD_CLOSE).empty());
}

TEST_F(ResumeTest, SilentLinkCountsAsLost) {
    OpenStream(20000, 1500);
    std::string kept = WriteBlocks(1, 3);
    // No CMD_PLAYED comes: once the watch has seen a silence as long as the
    // buffer (2 s, longer than the 1.5 s asked for) and a second, the stream
    // goes to a new connection.
    ASSERT_TRUE(server.WaitForConnections(2, 10000));
    std::vector<ReceivedFrame> frames = FramesOfConnection(1, kept.size());
    ExpectOpenThenVolume(frames);
    EXPECT_EQ(WrittenBytes(frames), kept);
    EXPECT_TRUE(windows.Boxes().empty());
}

TEST_F(ResumeTest, WindowEndingWithNoServerIsReportedOnceAndTheRestIsDropped) {
    OpenStream(1500);
    WriteBlocks(1, 10);
    Played(3 * 1764);
    LoseServer();
    WriteBlocks(11, 2);
    EXPECT_EQ(out->IsPlaying(), 1);
    Sleep(2500);
    EXPECT_TRUE(windows.Boxes().empty());
    // The window is over: the next Write says so, once, and the rest of the
    // stream is taken and dropped with the position where playback stopped.
    EXPECT_EQ(out->IsPlaying(), 0);
    EXPECT_EQ(out->CanWrite(), 354000);
    WriteBlocks(13, 1);
    ASSERT_EQ(windows.Boxes().size(), 1u);
    EXPECT_EQ(windows.Boxes()[0].Text, "Can't send data to server");
    WriteBlocks(14, 3);
    out->Flush(0);
    EXPECT_EQ(windows.Boxes().size(), 1u);
    EXPECT_EQ(out->CanWrite(), 354000);
    EXPECT_EQ(out->IsPlaying(), 0);
    EXPECT_EQ(out->GetOutputTime(), 30);
    out->Close();
    EXPECT_EQ(windows.Boxes().size(), 1u);
    // The next Open tries afresh.
    EXPECT_EQ(out->Open(44100, 2, 16, -1, -1), -1);
    ASSERT_EQ(windows.Boxes().size(), 2u);
    EXPECT_EQ(windows.Boxes()[1].Text, "No server connection!");
}

// The block of a Write caught that way reaches the new service once, in its
// place among the kept bytes, and after the volume.
TEST_F(ResumeTest, AWriteCaughtByTheResumeGoesOutOnceInItsPlace) {
    OpenStream();
    std::string first = WriteBlocks(1, 3);
    std::string held(1764, 4);
    HoldAWriteWhileTheLinkIsPutBack(held, [] {});
    std::string after = WriteBlocks(5, 2);
    std::vector<ReceivedFrame> frames = FramesOfConnection(1, 6 * 1764);
    ExpectOpenThenVolume(frames);
    EXPECT_EQ(WrittenBytes(frames), first + held + after);
    Played(6 * 1764);
    EXPECT_EQ(out->CanWrite(), 354000);
    EXPECT_TRUE(windows.Boxes().empty());
}

// The player changes volume and balance while the new connection waits to
// take the stream over: the service ends at the last pair set, and gets it
// before any bytes.
TEST_F(ResumeTest, AVolumeChangedDuringAResumeIsTheOneTheServiceEndsWith) {
    OpenStream();
    WriteBlocks(1, 3);
    HoldAWriteWhileTheLinkIsPutBack(std::string(1764, 4), [this] {
        out->SetVolume(90);
        out->SetPan(-64);
    });
    std::vector<ReceivedFrame> frames = FramesOfConnection(1, 4 * 1764);
    std::vector<unsigned char> lastPair = Bytes({0, 0x5A, 0, 0x2D});
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[1].Code, CMD_VOLUME);
    EXPECT_EQ(frames[1].Payload, lastPair);
    EXPECT_EQ(frames[2].Code, CMD_WRITE);
    std::vector<ReceivedFrame> volumes = server.FramesOf(CMD_VOLUME);
    EXPECT_EQ(volumes.back().Connection, 1);
    EXPECT_EQ(volumes.back().Payload, lastPair);
}
