// The module record and the stream operations of the real DLL, observed on
// the wire of the scripted server: Open's format and buffer, Write, Pause,
// volume and pan, flow control, Flush and both times.
#include <regex>

#include "plugin_test.h"

TEST_F(PluginTest, RecordAndOnlyExport) {
    ASSERT_TRUE(LoadPluginCopy(&plugin, nullptr));
    Out_Module *record = plugin.Out;
    EXPECT_EQ(record->version, 0x10);
    EXPECT_STREQ(record->description, "Tonvale output plugin v1.0 (x86)");
    EXPECT_EQ(record->id, 33);
    EXPECT_EQ(record->hMainWindow, nullptr);
    EXPECT_EQ(record->hDllInstance, nullptr);
    auto get = reinterpret_cast<GetOutModuleFunction>(
        reinterpret_cast<void *>(GetProcAddress(plugin.Module, "winampGetOutModule")));
    EXPECT_EQ(get(), record);

    auto *base = reinterpret_cast<unsigned char *>(plugin.Module);
    auto *dos = reinterpret_cast<IMAGE_DOS_HEADER *>(base);
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
#ifdef _WIN64
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);  // the 64-bit twin
#else
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
#endif
    const IMAGE_DATA_DIRECTORY &entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    auto *exports = reinterpret_cast<IMAGE_EXPORT_DIRECTORY *>(base + entry.VirtualAddress);
    ASSERT_EQ(exports->NumberOfFunctions, 1u);
    ASSERT_EQ(exports->NumberOfNames, 1u);
    auto *names = reinterpret_cast<DWORD *>(base + exports->AddressOfNames);
    EXPECT_STREQ(reinterpret_cast<char *>(base + names[0]), "winampGetOutModule");
    // Nothing connects or reads the settings before Init.
    Sleep(100);
    EXPECT_EQ(server.Connections(), 0);
}

TEST_F(PluginTest, AboutBoxShowsTheBuildDate) {
    ASSERT_TRUE(LoadPluginCopy(&plugin, nullptr));
    HWND parent = CreateWindowExA(0, "STATIC", "host", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                  nullptr, nullptr);
    plugin.Out->About(parent);
    std::vector<CaughtBox> boxes = windows.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Title, "About");
    EXPECT_TRUE(std::regex_match(boxes[0].Text,
                                 std::regex("Tonvale output plugin v1\\.0 \\(x86\\)\n\nCompiled on "
                                            "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                            "[1-9][0-9]? 20[0-9][0-9]\n")))
        << boxes[0].Text;
    EXPECT_EQ(boxes[0].Icon, 0u);
    EXPECT_EQ(boxes[0].Owner, parent);
    ASSERT_EQ(boxes[0].Buttons.size(), 1u);
    EXPECT_EQ(boxes[0].Buttons[0].first, IDOK);
    DestroyWindow(parent);
}

struct OpenCase {
    int Rate, Channels, Bits;
    int BufferBytes;
};

static void ExpectOpenFrame(const ReceivedFrame &frame, const OpenCase &c) {
    EXPECT_EQ(frame.Code, CMD_OPEN);
    EXPECT_EQ(frame.Length, 16);
    EXPECT_EQ(frame.Payload, PcmBytes(c.Rate, c.Channels, c.Bits)) << c.Rate << "/" << c.Channels;
}

TEST_F(PluginTest, OpenSendsTheFormatAndSizesTheBuffer) {
    StartPlugin(2000);
    const OpenCase cases[] = {
        {44100, 2, 16, 177 * 2000}, {8000, 1, 8, 8 * 2000},     {11025, 1, 8, 12 * 2000},
        {22050, 1, 8, 23 * 2000},   {48000, 2, 16, 192 * 2000}, {48000, 6, 24, 864 * 2000},
        {96000, 2, 32, 768 * 2000},
    };
    size_t opened = 0;
    for (const OpenCase &c : cases) {
        EXPECT_EQ(out->Open(c.Rate, c.Channels, c.Bits, -1, -1), 2000);
        EXPECT_EQ(out->CanWrite(), c.BufferBytes) << c.Rate << "/" << c.Channels << "/" << c.Bits;
        EXPECT_EQ(out->IsPlaying(), 0);
        EXPECT_EQ(out->GetWrittenTime(), 0);
        std::vector<ReceivedFrame> opens = AwaitFrames(CMD_OPEN, ++opened);
        ASSERT_EQ(opens.size(), opened);
        ExpectOpenFrame(opens.back(), c);
        out->Close();
    }
    // The first open on the wire, byte for byte.
    std::string raw = server.RawBytes(0);
    std::vector<unsigned char> expected = Bytes({1, 16, 0, 0, 0, 1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10,
                                                 0xB1, 0x02, 0, 4, 0, 16, 0});
    ASSERT_GE(raw.size(), expected.size());
    EXPECT_EQ(std::vector<unsigned char>(raw.begin(), raw.begin() + expected.size()), expected);
    EXPECT_EQ(server.FramesOf(CMD_CLOSE).size(), opened);
    EXPECT_TRUE(windows.Boxes().empty());
    EXPECT_EQ(server.Connections(), 1);  // Close keeps the link
}

TEST_F(PluginTest, OpenReturnsTheBufferSizeFromTheFile) {
    StartPlugin(500);
    EXPECT_EQ(out->Open(48000, 2, 16, -1, -1), 500);
    EXPECT_EQ(out->CanWrite(), 192 * 500);
}

TEST_F(PluginTest, BufferSizeOfZeroFromTheFileBecomesTheDefault) {
    StartPlugin(0);
    EXPECT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    EXPECT_EQ(out->CanWrite(), 177 * 2000);
}

TEST_F(PluginTest, WritesGoOutWholeAndAreCounted) {
    StartPlugin();
    ASSERT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    std::vector<char> block(1764);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7);
    EXPECT_EQ(out->Write(block.data(), 1764), 0);
    EXPECT_EQ(out->CanWrite(), 354000 - 1764);
    EXPECT_EQ(out->Write(block.data(), 1764), 0);
    EXPECT_EQ(out->CanWrite(), 354000 - 2 * 1764);
    EXPECT_EQ(out->GetWrittenTime(), 20);
    EXPECT_EQ(out->IsPlaying(), 1);
    EXPECT_EQ(out->Write(block.data(), 0), 1);
    EXPECT_EQ(out->Write(block.data(), -5), 1);
    EXPECT_EQ(out->Write(nullptr, 100), 1);  // no buffer: nothing to announce
    EXPECT_EQ(out->CanWrite(), 354000 - 2 * 1764);

    std::vector<ReceivedFrame> writes = AwaitFrames(CMD_WRITE, 2);
    ASSERT_EQ(writes.size(), 2u);
    for (const ReceivedFrame &frame : writes) {
        EXPECT_EQ(frame.Length, 1764);
        EXPECT_EQ(frame.Payload, std::vector<unsigned char>(block.begin(), block.end()));
    }
    // Nothing else arrives for the empty writes.
    out->Pause(0);
    AwaitFrames(CMD_RESUME, 1);
    EXPECT_EQ(server.FramesOf(CMD_WRITE).size(), 2u);

    // Played reports in three frames add up and bring the room back.
    Played(1000);
    Played(1000);
    Played(1528);
    EXPECT_EQ(out->CanWrite(), 354000);
    EXPECT_EQ(out->GetOutputTime(), 20);
    EXPECT_EQ(out->IsPlaying(), 0);
}

TEST_F(PluginTest, CanWriteAtTheLimitAndWhilePaused) {
    StartPlugin();
    ASSERT_EQ(out->Open(8000, 1, 8, -1, -1), 2000);
    std::vector<char> block(8000, 0x55);
    for (int i = 0; i < 2; ++i) ASSERT_EQ(out->Write(block.data(), 8000), 0);
    EXPECT_EQ(out->CanWrite(), 0);  // exactly BufferBytes pending
    Played(1);
    EXPECT_EQ(out->CanWrite(), 1);

    EXPECT_EQ(out->Pause(1), 0);
    EXPECT_EQ(out->CanWrite(), 0);
    EXPECT_EQ(out->IsPlaying(), 0);
    // Paused, the position stands still between reports.
    int paused = out->GetOutputTime();
    Sleep(50);
    EXPECT_EQ(out->GetOutputTime(), paused);
    EXPECT_LT(paused, 2000);
    EXPECT_EQ(out->Pause(0), 1);
    EXPECT_EQ(out->CanWrite(), 1);
    EXPECT_EQ(out->IsPlaying(), 1);

    Played(16000);  // more played than written
    EXPECT_EQ(out->CanWrite(), 0);
    EXPECT_EQ(out->IsPlaying(), 0);
    EXPECT_EQ(out->GetOutputTime(), 2000);
}

TEST_F(PluginTest, PauseSendsItsFramesAndReturnsThePreviousFlag) {
    StartPlugin();
    ASSERT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    EXPECT_EQ(out->Pause(1), 0);
    EXPECT_EQ(out->Pause(0), 1);
    EXPECT_EQ(out->Pause(2), 0);
    EXPECT_EQ(out->Pause(0), 2);
    ASSERT_EQ(AwaitFrames(CMD_RESUME, 2).size(), 2u);
    std::vector<ReceivedFrame> all = server.Frames();
    std::vector<uint8_t> codes;
    for (const ReceivedFrame &frame : all) {
        codes.push_back(frame.Code);
        EXPECT_EQ(frame.Length, frame.Code == CMD_OPEN ? 16 : 0);
    }
    EXPECT_EQ(codes, (std::vector<uint8_t>{CMD_OPEN, CMD_PAUSE, CMD_RESUME, CMD_PAUSE, CMD_RESUME}));
    // A fresh Open clears the pause.
    out->Pause(1);
    ASSERT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    EXPECT_EQ(out->CanWrite(), 354000);
}

TEST_F(PluginTest, VolumeAndPanBytesOnTheWire) {
    StartPlugin();
    struct Step {
        bool IsPan;
        int Value;
        std::vector<unsigned char> Payload;
    } steps[] = {
        {false, 255, Bytes({0x00, 0xFF, 0x00, 0xFF})}, {true, 128, Bytes({0x00, 0x00, 0x00, 0xFF})},
        {true, -128, Bytes({0x00, 0xFF, 0x00, 0x00})}, {true, 64, Bytes({0x80, 0x7F, 0x00, 0xFF})},
        {true, -64, Bytes({0x00, 0xFF, 0x80, 0x7F})},  {false, 128, Bytes({0x00, 0x80, 0x00, 0x40})},
        {true, -32, Bytes({0x00, 0x80, 0x00, 0x60})},  {false, 1, Bytes({0x00, 0x01, 0xC0, 0x00})},
        {true, 1, Bytes({0xFE, 0x00, 0x00, 0x01})},    {false, 0, Bytes({0, 0, 0, 0})},
        {true, 0, Bytes({0, 0, 0, 0})},                {false, 200, Bytes({0x00, 0xC8, 0x00, 0xC8})},
        // Input plug-ins' "apply your volume again": the stored volume is resent.
        {false, -666, Bytes({0x00, 0xC8, 0x00, 0xC8})}, {false, 256, Bytes({0x00, 0xC8, 0x00, 0xC8})},
        // A balance beyond the range is clamped to it.
        {true, 500, Bytes({0x00, 0x00, 0x00, 0xC8})},   {true, -129, Bytes({0x00, 0xC8, 0x00, 0x00})},
    };
    for (const Step &step : steps) step.IsPan ? out->SetPan(step.Value) : out->SetVolume(step.Value);
    const size_t count = sizeof steps / sizeof steps[0];
    std::vector<ReceivedFrame> volumes = AwaitFrames(CMD_VOLUME, count);
    ASSERT_EQ(volumes.size(), count);
    for (size_t i = 0; i < count; ++i) {
        EXPECT_EQ(volumes[i].Length, 4);
        EXPECT_EQ(volumes[i].Payload, steps[i].Payload) << "step " << i;
    }
    std::string raw = server.RawBytes(0);
    EXPECT_EQ(raw.substr(0, 9), std::string("\x07\x04\x00\x00\x00\x00\xFF\x00\xFF", 9));
    EXPECT_TRUE(windows.Boxes().empty());
}

TEST_F(PluginTest, FlushMovesBothCountersToThePosition) {
    StartPlugin();
    ASSERT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    std::vector<char> block(17640, 1);
    ASSERT_EQ(out->Write(block.data(), 17640), 0);
    ASSERT_EQ(out->Write(block.data(), 17640), 0);
    out->Flush(1);
    EXPECT_EQ(out->GetOutputTime(), 1);
    EXPECT_EQ(out->GetWrittenTime(), 1);
    EXPECT_EQ(out->CanWrite(), 354000);
    EXPECT_EQ(out->IsPlaying(), 0);
    // The position is 177 bytes exactly: 1586 more give 1763, still below
    // 10 ms (1764 bytes), and 1587 give 10 ms.
    Played(1586);
    EXPECT_EQ(out->GetOutputTime(), 9);
    Played(1);
    EXPECT_EQ(out->GetOutputTime(), 10);

    out->Flush(5);
    EXPECT_EQ(out->GetOutputTime(), 5);
    out->Flush(7000);
    EXPECT_EQ(out->GetOutputTime(), 7000);
    EXPECT_EQ(out->GetWrittenTime(), 7000);
    out->Flush(0);
    EXPECT_EQ(out->GetOutputTime(), 0);

    ASSERT_EQ(out->Open(22050, 1, 8, -1, -1), 2000);
    out->Flush(20);
    EXPECT_EQ(out->GetOutputTime(), 20);
    EXPECT_EQ(out->GetWrittenTime(), 20);
    out->Flush(1);
    EXPECT_EQ(out->GetOutputTime(), 1);
    EXPECT_EQ(out->GetWrittenTime(), 1);

    std::vector<ReceivedFrame> flushes = server.FramesOf(CMD_FLUSH);
    ASSERT_EQ(flushes.size(), 6u);
    for (const ReceivedFrame &frame : flushes) EXPECT_EQ(frame.Length, 0);
    EXPECT_TRUE(windows.Boxes().empty());
}

TEST_F(PluginTest, WideSamplesReportRealTime) {
    StartPlugin();
    ASSERT_EQ(out->Open(48000, 2, 24, -1, -1), 2000);
    Played(288000);
    EXPECT_EQ(out->GetOutputTime(), 1000);
    ASSERT_EQ(out->Open(48000, 2, 32, -1, -1), 2000);
    std::vector<char> block(38400, 0);
    ASSERT_EQ(out->Write(block.data(), 38400), 0);
    EXPECT_EQ(out->GetWrittenTime(), 100);
    ASSERT_EQ(out->Open(8000, 1, 8, -1, -1), 2000);
    Played(600);
    EXPECT_EQ(out->GetOutputTime(), 75);
}

TEST_F(PluginTest, StreamsBeyondTwoToThe31Bytes) {
    StartPlugin();
    ASSERT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    const int fourHours = 4 * 3600 * 1000;  // 2 540 160 000 bytes
    out->Flush(fourHours);
    EXPECT_EQ(out->GetOutputTime(), fourHours);
    EXPECT_EQ(out->GetWrittenTime(), fourHours);
    EXPECT_EQ(out->CanWrite(), 354000);
    std::vector<char> block(17640, 3);
    ASSERT_EQ(out->Write(block.data(), 17640), 0);
    EXPECT_EQ(out->CanWrite(), 354000 - 17640);
    EXPECT_EQ(out->IsPlaying(), 1);
    EXPECT_EQ(out->GetWrittenTime(), fourHours + 100);
    Played(17640);
    EXPECT_EQ(out->CanWrite(), 354000);
    EXPECT_EQ(out->IsPlaying(), 0);
    EXPECT_EQ(out->GetOutputTime(), fourHours + 100);

    // Near the end of what the host's int milliseconds can say: 24 days.
    const int days = 24 * 24 * 3600 * 1000;
    out->Flush(days);
    EXPECT_EQ(out->GetOutputTime(), days);
    ASSERT_EQ(out->Write(block.data(), 17640), 0);
    EXPECT_EQ(out->CanWrite(), 354000 - 17640);
}

TEST_F(PluginTest, RequestsFromTwoThreadsNeverInterleave) {
    StartPlugin();
    ASSERT_EQ(out->Open(44100, 2, 16, -1, -1), 2000);
    Out_Module *module = out;
    auto writer = [module](char fill, int length) {
        std::vector<char> block(length, fill);
        for (int i = 0; i < 150; ++i) {
            module->Write(block.data(), length);
            module->SetVolume(fill);
        }
    };
    std::thread first(writer, 'a', 3001);
    std::thread second(writer, 'b', 1999);
    first.join();
    second.join();
    ASSERT_TRUE(server.WaitForFrames(1 + 600));
    for (const ReceivedFrame &frame : server.Frames()) {
        if (frame.Code == CMD_OPEN) continue;
        if (frame.Code == CMD_VOLUME) {
            ASSERT_EQ(frame.Length, 4);
            continue;
        }
        ASSERT_EQ(frame.Code, CMD_WRITE);
        ASSERT_TRUE(frame.Length == 3001 || frame.Length == 1999);
        char fill = frame.Length == 3001 ? 'a' : 'b';
        for (unsigned char byte : frame.Payload) ASSERT_EQ(byte, static_cast<unsigned char>(fill));
    }
    EXPECT_EQ(server.FramesOf(CMD_WRITE).size(), 300u);
}
