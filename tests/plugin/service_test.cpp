// The real DLL against the real Tonvaled on a free port: a stream opened,
// written, played out and closed; a flush; a pause that holds the position;
// the service killed mid-stream and back before the stream has ended.
#include "plugin_test.h"

#include "plugin/position_clock.h"

#include <math.h>

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        port = UnusedPort();
        folder = MakeScratchFolder();
        std::string exe = folder + "\\Tonvaled.exe";
        ASSERT_TRUE(CopyFileA(TONVALED_PATH, exe.c_str(), FALSE));
        WriteWholeFile(folder + "\\Tonvaled.ini", "[COMMON]\r\nlisternPort=" + std::to_string(port) + "\r\nAnnounce=0\r\n");
        ASSERT_TRUE(StartDaemon());
        ASSERT_TRUE(LoadPluginCopy(&plugin, IniFor(port).c_str()));
        out = plugin.Out;
        out->Init();
        plugin.Started = true;
        ASSERT_TRUE(windows.Boxes().empty());
    }
    void TearDown() override {
        UnloadPluginCopy(&plugin);
        KillDaemon();
        DeleteScratchFolder(folder);
    }
    // Runs the copy in the folder with /debug and waits for its port.
    bool StartDaemon() {
        std::string exe = folder + "\\Tonvaled.exe";
        std::string command = "\"" + exe + "\" /debug";
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE sink = CreateFileA((folder + "\\console.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                  &inherit, CREATE_ALWAYS, 0, nullptr);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = sink;
        startup.hStdOutput = sink;
        startup.hStdError = sink;
        bool started = CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW, nullptr, folder.c_str(), &startup, &daemon);
        CloseHandle(sink);
        return started && WaitForListener();
    }
    // Ends the service as a crash would: its connections go with it.
    void KillDaemon() {
        if (!daemon.hProcess) return;
        TerminateProcess(daemon.hProcess, 0);
        WaitForSingleObject(daemon.hProcess, 5000);
        CloseHandle(daemon.hProcess);
        CloseHandle(daemon.hThread);
        daemon = {};
    }
    bool WaitForListener() {
        DWORD start = GetTickCount();
        while (Since(start) < 15000) {
            SOCKET probe = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address = {};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(port);
            bool up = connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
            closesocket(probe);
            if (up) return true;
            Sleep(50);
        }
        return false;
    }
    // Writes `ms` of a 440 Hz tone at 44.1 kHz stereo 16-bit, as the host
    // does: blocks of 576 frames whenever CanWrite offers room for them.
    void WriteTone(int ms) {
        int frames = 44100 * ms / 1000;
        std::vector<int16_t> samples(frames * 2);
        for (int i = 0; i < frames; ++i)
            samples[2 * i] = samples[2 * i + 1] = static_cast<int16_t>(8000 * sin(i * 2 * M_PI * 440 / 44100));
        const char *bytes = reinterpret_cast<const char *>(samples.data());
        int total = frames * 4, sent = 0;
        DWORD start = GetTickCount();
        while (sent < total && Since(start) < 20000) {
            int block = std::min(576 * 4, total - sent);
            if (out->CanWrite() < block) {
                Sleep(20);
                continue;
            }
            ASSERT_EQ(out->Write(const_cast<char *>(bytes + sent), block), 0);
            sent += block;
        }
        ASSERT_EQ(sent, total);
    }
    bool Drain(DWORD timeoutMs = 10000) {
        DWORD start = GetTickCount();
        while (out->IsPlaying() && Since(start) < timeoutMs) Sleep(10);
        return out->IsPlaying() == 0;
    }

    uint16_t port = 0;
    std::string folder;
    PROCESS_INFORMATION daemon = {};
    PluginCopy plugin;
    WindowCatcher windows;
    Out_Module *out = nullptr;
};

TEST_F(ServiceTest, PlaysAStreamToTheEndAndClosesIt) {
    ASSERT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    out->SetVolume(255);
    out->SetPan(0);
    WriteTone(500);
    EXPECT_EQ(out->GetWrittenTime(), 500);
    ASSERT_TRUE(Drain());
    EXPECT_EQ(out->GetOutputTime(), 500);
    EXPECT_EQ(out->CanWrite(), 354000);
    out->Close();
    // The link stays for the next stream.
    ASSERT_EQ(out->Open(22050, 1, 8, -1, -1), 2000);
    out->Close();
    EXPECT_TRUE(windows.Boxes().empty());
}

TEST_F(ServiceTest, FlushDropsWhatIsQueued) {
    ASSERT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    WriteTone(1500);
    EXPECT_EQ(out->IsPlaying(), 1);
    out->Flush(250);
    EXPECT_EQ(out->GetOutputTime(), 250);
    EXPECT_EQ(out->GetWrittenTime(), 250);
    EXPECT_EQ(out->IsPlaying(), 0);
    WriteTone(200);
    ASSERT_TRUE(Drain());
    EXPECT_EQ(out->GetOutputTime(), 450);
    out->Close();
    EXPECT_TRUE(windows.Boxes().empty());
}

TEST_F(ServiceTest, PauseHoldsThePosition) {
    ASSERT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    WriteTone(1000);
    Sleep(200);
    EXPECT_EQ(out->Pause(1), 0);
    Sleep(300);  // buffers already finished may still be reported
    int held = out->GetOutputTime();
    Sleep(400);
    EXPECT_EQ(out->GetOutputTime(), held);
    EXPECT_LT(held, 1000);
    EXPECT_EQ(out->Pause(0), 1);
    ASSERT_TRUE(Drain());
    EXPECT_EQ(out->GetOutputTime(), 1000);
    out->Close();
    EXPECT_TRUE(windows.Boxes().empty());
}

TEST_F(ServiceTest, ServiceRestartedMidStreamPlaysTheStreamToItsEnd) {
    ASSERT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    WriteTone(2500);
    KillDaemon();
    // The plug-in holds the stream while the service is away: the position
    // stays, and the host may write only what fits beside the kept bytes.
    Sleep(500);
    int played = out->GetOutputTime();
    int written = out->GetWrittenTime();
    EXPECT_EQ(written, 2500);
    EXPECT_LT(played, written - 1000);
    EXPECT_EQ(out->IsPlaying(), 1);
    // The position given out may have run up to CLOCK_MAX_AHEAD_MS past the
    // last report, which is what the kept bytes are counted from.
    EXPECT_LE(out->CanWrite(), 354000 - (written - played) * 176.4 + 400);
    EXPECT_GE(out->CanWrite(), 354000 - (written - played + CLOCK_MAX_AHEAD_MS) * 176.4 - 400);
    Sleep(300);
    EXPECT_EQ(out->GetOutputTime(), played);
    ASSERT_TRUE(StartDaemon());
    WriteTone(1000);
    ASSERT_TRUE(Drain());
    EXPECT_EQ(out->GetWrittenTime(), 3500);
    EXPECT_EQ(out->GetOutputTime(), 3500);
    out->Close();
    EXPECT_TRUE(windows.Boxes().empty());
}
