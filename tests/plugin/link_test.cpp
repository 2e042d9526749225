// The link's failure paths with the real DLL: no server at Init and at Open,
// refused, missing, late and split replies, the server closing or resetting
// the connection, Close with no link; after each the next Open connects
// again. Also the reader's hold on the module after an unload without Quit.
#include "plugin_test.h"

static void ExpectErrorBox(const CaughtBox &box, const char *text) {
    EXPECT_EQ(box.Text, text);
    EXPECT_EQ(box.Title, "Tonvale output plugin v1.0 (x86)");
    EXPECT_EQ(box.Icon, static_cast<UINT>(MB_ICONERROR));
    EXPECT_EQ(box.Owner, nullptr);
    ASSERT_EQ(box.Buttons.size(), 1u);
    EXPECT_EQ(box.Buttons[0].first, IDOK);
    EXPECT_EQ(box.Buttons[0].second, "OK");
}

class LinkTest : public PluginTest {
protected:
    // The next Open succeeds, over a connection made for it.
    void ExpectReconnectingOpen(int connectionsBefore) {
        server.SetRule(CMD_OPEN, ReplyRule{});
        EXPECT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
        EXPECT_EQ(server.Connections(), connectionsBefore + 1);
        EXPECT_EQ(out->CanWrite(), 354000);
    }
};

TEST_F(LinkTest, NoServerAtInitOrOpenThenOneComes) {
    uint16_t port = server.Port();
    server.Stop();
    LoadWithIni(IniFor(port));
    InitPlugin();
    std::vector<CaughtBox> boxes = windows.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    ExpectErrorBox(boxes[0], "No server connection!");

    windows.Clear();
    EXPECT_EQ(out->Open(44100, 2, 16, -1, -1), -1);
    boxes = windows.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    ExpectErrorBox(boxes[0], "No server connection!");

    // Without a link the other operations fail quietly, and Close waits for nothing.
    windows.Clear();
    out->SetVolume(255);
    out->SetPan(-20);
    EXPECT_EQ(out->Pause(1), 0);
    EXPECT_EQ(out->Pause(0), 1);
    DWORD start = GetTickCount();
    out->Close();
    EXPECT_LT(Since(start), 1000u);
    EXPECT_TRUE(windows.Boxes().empty());

    ASSERT_TRUE(server.Start(port));
    ExpectReconnectingOpen(0);
    std::vector<ReceivedFrame> frames = server.Frames();
    ASSERT_EQ(frames.size(), 1u);  // nothing sent without a link reached the server later
    EXPECT_EQ(frames[0].Code, CMD_OPEN);
}

TEST_F(LinkTest, UnresolvableAddressFailsWithoutConnecting) {
    LoadWithIni(IniFor(server.Port(), 2000, "no.such.host.invalid"));
    InitPlugin();
    ASSERT_EQ(windows.Boxes().size(), 1u);
    ExpectErrorBox(windows.Boxes()[0], "No server connection!");
    EXPECT_EQ(server.Connections(), 0);
}

TEST_F(LinkTest, RefusedOpen) {
    StartPlugin();
    server.SetRule(CMD_OPEN, ReplyRule{Answer::Reply, 1});
    EXPECT_EQ(out->Open(44100, 2, 16, -1, -1), -1);
    ASSERT_EQ(windows.Boxes().size(), 1u);
    ExpectErrorBox(windows.Boxes()[0], "Can't open sound device at server");
    EXPECT_TRUE(server.WaitForPeerGone());  // the link was dropped
    ExpectReconnectingOpen(1);
}

TEST_F(LinkTest, ReplyThatNeverComes) {
    StartPlugin();
    server.SetRule(CMD_OPEN, ReplyRule{Answer::Silent});
    DWORD start = GetTickCount();
    EXPECT_EQ(out->Open(44100, 2, 16, -1, -1), -1);
    DWORD waited = windows.Boxes().empty() ? Since(start) : windows.Boxes()[0].Tick - start;
    EXPECT_GE(waited, 2900u);
    EXPECT_LT(waited, 6000u);
    ASSERT_EQ(windows.Boxes().size(), 1u);
    ExpectErrorBox(windows.Boxes()[0], "Can't open sound device at server");
    ExpectReconnectingOpen(1);
}

TEST_F(LinkTest, LateOpenReplyIsTooLate) {
    StartPlugin();
    server.SetRule(CMD_OPEN, ReplyRule{Answer::Late, 0, 3600});
    DWORD start = GetTickCount();
    EXPECT_EQ(out->Open(44100, 2, 16, -1, -1), -1);
    EXPECT_LT(Since(start), 6000u);
    ASSERT_EQ(windows.Boxes().size(), 1u);
    ExpectErrorBox(windows.Boxes()[0], "Can't open sound device at server");
    ExpectReconnectingOpen(1);
}

TEST_F(LinkTest, LateCloseReplyNeitherDropsTheLinkNorEndsTheNextWait) {
    StartPlugin();
    ASSERT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    server.SetRule(CMD_CLOSE, ReplyRule{Answer::Late, 0, 3300});
    DWORD start = GetTickCount();
    out->Close();
    DWORD waited = Since(start);
    EXPECT_GE(waited, 2900u);
    EXPECT_LT(waited, 6000u);
    EXPECT_TRUE(windows.Boxes().empty());
    Sleep(600);  // the late reply has now set the event
    // The next Open must wait for its own reply, which comes late as well:
    // an event left set by the stale reply would end its wait at once.
    server.SetRule(CMD_OPEN, ReplyRule{Answer::Late, 0, 400});
    start = GetTickCount();
    EXPECT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    EXPECT_GE(Since(start), 350u);
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_TRUE(windows.Boxes().empty());
}

TEST_F(LinkTest, ServerClosingWhileOpenWaitsFailsAtOnce) {
    StartPlugin();
    server.SetRule(CMD_OPEN, ReplyRule{Answer::CloseConnection});
    DWORD start = GetTickCount();
    EXPECT_EQ(out->Open(44100, 2, 16, -1, -1), -1);
    DWORD waited = windows.Boxes().empty() ? Since(start) : windows.Boxes()[0].Tick - start;
    EXPECT_LT(waited, 1500u);
    ASSERT_EQ(windows.Boxes().size(), 1u);
    ExpectErrorBox(windows.Boxes()[0], "Can't open sound device at server");
    ExpectReconnectingOpen(1);
}

TEST_F(LinkTest, ServerClosingBetweenStreamsMakesTheNextOpenReconnect) {
    StartPlugin();
    ASSERT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    out->Close();
    server.CloseConnection();
    ASSERT_TRUE(server.WaitForPeerGone());
    Sleep(300);  // the end of the connection reaches the plug-in's reader
    ExpectReconnectingOpen(1);
    EXPECT_TRUE(windows.Boxes().empty());
    EXPECT_EQ(server.FramesOf(CMD_OPEN).size(), 2u);
}

TEST_F(LinkTest, ResetDuringWriteIsHealedOverANewConnection) {
    StartPlugin();
    ASSERT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    server.ResetOnNextWrite();
    std::vector<char> block(4096, 9);
    int writes = 0;
    while (server.Connections() < 2 && writes < 50) {
        EXPECT_EQ(out->Write(block.data(), 4096), 0);
        ++writes;
        Sleep(10);
    }
    EXPECT_EQ(server.Connections(), 2);
    EXPECT_TRUE(windows.Boxes().empty());
    EXPECT_EQ(out->CanWrite(), 354000 - writes * 4096);
    EXPECT_EQ(out->IsPlaying(), 1);
    // Once the kept bytes have gone out again, the stream goes on over the
    // new connection, which stays for the next.
    size_t resent = 0;
    DWORD start = GetTickCount();
    while (resent < static_cast<size_t>(writes) * 4096 && Since(start) < 5000) {
        Sleep(20);
        resent = 0;
        for (const ReceivedFrame &frame : server.FramesOf(CMD_WRITE))
            if (frame.Connection == 1) resent += frame.Payload.size();
    }
    EXPECT_EQ(resent, static_cast<size_t>(writes) * 4096);
    Sleep(100);
    out->Close();
    EXPECT_EQ(server.FramesOf(CMD_CLOSE).size(), 1u);
    ASSERT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    EXPECT_EQ(server.Connections(), 2);
    EXPECT_TRUE(windows.Boxes().empty());
}

TEST_F(LinkTest, FlushWithoutReplyDropsTheLink) {
    StartPlugin();
    ASSERT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    std::vector<char> block(1764, 2);
    ASSERT_EQ(out->Write(block.data(), 1764), 0);
    Played(882);
    server.SetRule(CMD_FLUSH, ReplyRule{Answer::Silent});
    DWORD start = GetTickCount();
    out->Flush(2000);
    EXPECT_GE(Since(start), 2900u);
    ASSERT_EQ(windows.Boxes().size(), 1u);
    ExpectErrorBox(windows.Boxes()[0], "Can't send data to server");
    // The rest of the stream is taken and dropped, at the position where
    // playback stopped, so that the host moves on.
    EXPECT_EQ(out->CanWrite(), 354000);
    EXPECT_EQ(out->IsPlaying(), 0);
    EXPECT_EQ(out->GetOutputTime(), 5);
    EXPECT_EQ(out->GetWrittenTime(), 10);
    EXPECT_EQ(out->Write(block.data(), 1764), 0);
    EXPECT_EQ(out->GetWrittenTime(), 10);
    EXPECT_EQ(windows.Boxes().size(), 1u);
    EXPECT_TRUE(server.WaitForPeerGone());
    out->Close();
    ExpectReconnectingOpen(1);
}

TEST_F(LinkTest, SplitFramesAreCollected) {
    StartPlugin();
    server.SetRule(CMD_OPEN, ReplyRule{Answer::Split});
    EXPECT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    std::vector<char> block(1764, 4);
    ASSERT_EQ(out->Write(block.data(), 1764), 0);
    ASSERT_TRUE(server.SendSplitFrame(CMD_PLAYED, 1764));
    DWORD start = GetTickCount();
    while (out->IsPlaying() && Since(start) < 2000) Sleep(5);
    EXPECT_EQ(out->GetOutputTime(), 10);
    EXPECT_EQ(out->CanWrite(), 354000);
    // The reader is still in step: a whole reply after the split ones works.
    server.SetRule(CMD_FLUSH, ReplyRule{Answer::Split});
    out->Flush(100);
    EXPECT_EQ(out->GetOutputTime(), 100);
    EXPECT_TRUE(windows.Boxes().empty());
    EXPECT_EQ(server.Connections(), 1);
}

static bool WaitForUnload(const std::string &path, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (GetModuleHandleA(path.c_str()) && Since(start) < timeoutMs) Sleep(10);
    return GetModuleHandleA(path.c_str()) == nullptr;
}

TEST_F(LinkTest, ReaderKeepsTheModuleUntilItEnds) {
    StartPlugin();
    // The host unloads without Quit: the reader still runs, so the code it
    // runs must stay mapped until it has ended.
    FreeLibrary(plugin.Module);
    plugin.Module = nullptr;
    plugin.Started = false;
    Sleep(200);
    EXPECT_NE(GetModuleHandleA(plugin.DllPath.c_str()), nullptr);
    server.CloseConnection();
    EXPECT_TRUE(WaitForUnload(plugin.DllPath, 5000));
}

TEST_F(LinkTest, QuitEndsTheReaderBeforeItReturns) {
    StartPlugin();
    out->Quit();
    plugin.Started = false;
    FreeLibrary(plugin.Module);
    plugin.Module = nullptr;
    EXPECT_EQ(GetModuleHandleA(plugin.DllPath.c_str()), nullptr);
    EXPECT_TRUE(server.WaitForPeerGone());
}

TEST_F(LinkTest, QuitEndsTheReaderOfAPeerThatKeepsTheConnection) {
    server.HoldAfterPeerClose();
    StartPlugin();
    DWORD start = GetTickCount();
    out->Quit();
    plugin.Started = false;
    EXPECT_LT(Since(start), 2000u);
    FreeLibrary(plugin.Module);
    plugin.Module = nullptr;
    EXPECT_EQ(GetModuleHandleA(plugin.DllPath.c_str()), nullptr);
}
