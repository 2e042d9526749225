// PlayDevice on the real wave mapper: open rules, every buffer reported once
// with its own length and in order, flush and close waiting for all of them,
// and the release thread's life from open to close.
#include <gtest/gtest.h>

#include <vector>

#include "service/play_device.h"
#include "support/test_support.h"

namespace {

struct RecordingSink : IEndPlay {
    volatile LONG Calls = 0;
    volatile LONG Bytes = 0;
    DWORD DelayMs = 0; // how long each report takes, as a slow send would
    std::vector<int32_t> Lengths;
    std::vector<int> Runs; // how many buffers each report carried
    CRITICAL_SECTION Lock;
    RecordingSink() { InitializeCriticalSection(&Lock); }
    ~RecordingSink() { DeleteCriticalSection(&Lock); }
    void OnEndPlay(int32_t bytes) override {
        Sleep(DelayMs);
        EnterCriticalSection(&Lock);
        Lengths.push_back(bytes);
        LeaveCriticalSection(&Lock);
        InterlockedIncrement(&Calls);
        InterlockedExchangeAdd(&Bytes, bytes);
    }
    void OnEndPlayRun(const int32_t *lengths, int count) override {
        EnterCriticalSection(&Lock);
        Runs.push_back(count);
        LeaveCriticalSection(&Lock);
        IEndPlay::OnEndPlayRun(lengths, count);
    }
};

// Buffers the device has given back that the release thread has not taken.
int ReturnedCount(const PlayDevice &device) {
    int count = 0;
    for (WAVEHDR *h = device.Returned; h; h = reinterpret_cast<WAVEHDR *>(h->dwUser))
        count++;
    return count;
}

// Waits (at most 5 s) until `count` buffers have come back and wait in the
// report window.
bool AwaitReturned(const PlayDevice &device, int count) {
    for (int waited = 0; ReturnedCount(device) < count && waited < 5000; waited += 5)
        Sleep(5);
    return ReturnedCount(device) == count;
}

const PcmFormat Stereo = MakePcmFormat(44100, 2, 16);

class PlayDeviceTest : public ::testing::Test {
  protected:
    void TearDown() override {
        PlayDeviceClose(&Device);
        StartReleaseThread = SavedStarter;
        ReportWindowMs = REPORT_WINDOW_MS;
    }
    PlayDevice Device;
    RecordingSink Sink;
    bool (*SavedStarter)(PlayDevice *) = StartReleaseThread;
    std::vector<char> Silence = std::vector<char>(176400, 0);
};

TEST_F(PlayDeviceTest, WriteWithoutOpenDeviceFailsAndQueuesNothing) {
    EXPECT_FALSE(PlayDeviceWrite(&Device, 100, Silence.data()));
    EXPECT_EQ(0, Device.QueuedCount);
    PlayDeviceFlush(&Device);
    PlayDeviceClose(&Device);
    EXPECT_EQ(nullptr, Device.WaveHandle);
}

TEST_F(PlayDeviceTest, SecondOpenFailsAndLeavesTheDeviceAsItWas) {
    ASSERT_TRUE(PlayDeviceOpen(&Device, &Stereo, &Sink));
    HWAVEOUT handle = Device.WaveHandle;
    ASSERT_TRUE(PlayDeviceWrite(&Device, 88200, Silence.data()));
    RecordingSink other;
    EXPECT_FALSE(PlayDeviceOpen(&Device, &Stereo, &other));
    EXPECT_EQ(handle, Device.WaveHandle);
    EXPECT_EQ(&Sink, Device.EndPlaySink);
    EXPECT_EQ(1, Device.QueuedCount);
}

TEST_F(PlayDeviceTest, FlushReportsEachBufferBeforeItReturnsAndKeepsTheDeviceOpen) {
    ASSERT_TRUE(PlayDeviceOpen(&Device, &Stereo, &Sink));
    ASSERT_TRUE(PlayDeviceWrite(&Device, 176400, Silence.data()));
    ASSERT_TRUE(PlayDeviceWrite(&Device, 1000, Silence.data()));
    ASSERT_TRUE(PlayDeviceWrite(&Device, 4, Silence.data()));
    EXPECT_EQ(3, Device.QueuedCount);
    PlayDeviceFlush(&Device);
    EXPECT_EQ(3, Sink.Calls);
    EXPECT_EQ((std::vector<int32_t>{176400, 1000, 4}), Sink.Lengths);
    EXPECT_EQ(0, Device.QueuedCount);
    EXPECT_EQ(0, Device.DoneCount);
    EXPECT_NE(nullptr, Device.WaveHandle);
    ASSERT_TRUE(PlayDeviceWrite(&Device, 400, Silence.data()));
    PlayDeviceClose(&Device);
    EXPECT_EQ(4, Sink.Calls);
    EXPECT_EQ(nullptr, Device.WaveHandle);
}

TEST_F(PlayDeviceTest, PlayedBuffersComeBackAtRealTimePace) {
    ASSERT_TRUE(PlayDeviceOpen(&Device, &Stereo, &Sink));
    DWORD start = GetTickCount();
    for (int i = 0; i < 10; i++)
        ASSERT_TRUE(PlayDeviceWrite(&Device, 17640, Silence.data()));
    while (Sink.Calls < 10 && GetTickCount() - start < 5000)
        Sleep(5);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(10, Sink.Calls);
    EXPECT_EQ(176400, Sink.Bytes);
    // One second of audio does not come back at once.
    EXPECT_GE(elapsed, 800u);
}

bool RefuseThread(PlayDevice *) { return false; }

TEST_F(PlayDeviceTest, OpenFailsWhenNoReleaseThreadCanStart) {
    StartReleaseThread = RefuseThread;
    EXPECT_FALSE(PlayDeviceOpen(&Device, &Stereo, &Sink));
    EXPECT_EQ(nullptr, Device.WaveHandle);
    EXPECT_EQ(nullptr, Device.ReleaseWake);
    StartReleaseThread = SavedStarter;
    EXPECT_TRUE(PlayDeviceOpen(&Device, &Stereo, &Sink));
}

TEST_F(PlayDeviceTest, EachOpenHasAReleaseThreadThatEndsWithItsClose) {
    for (int round = 0; round < 3; round++) {
        ASSERT_TRUE(PlayDeviceOpen(&Device, &Stereo, &Sink));
        HANDLE thread = nullptr;
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), Device.ReleaseThread, GetCurrentProcess(),
                                    &thread, SYNCHRONIZE, FALSE, 0));
        ASSERT_TRUE(PlayDeviceWrite(&Device, 1764, Silence.data()));
        ASSERT_TRUE(PlayDeviceWrite(&Device, 88200, Silence.data()));
        PlayDeviceClose(&Device);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));
        CloseHandle(thread);
        EXPECT_EQ(nullptr, Device.ReleaseThread);
        EXPECT_EQ(2 * (round + 1), Sink.Calls);
    }
}

// The reports come from one thread in the order the device gave the buffers
// back, and a flush waits for a release thread that is still busy reporting.
TEST_F(PlayDeviceTest, FlushWaitsForASlowReleaseThreadAndReportsInOrder) {
    Sink.DelayMs = 30;
    ASSERT_TRUE(PlayDeviceOpen(&Device, &Stereo, &Sink));
    std::vector<int32_t> written;
    for (int i = 0; i < 20; i++) {
        written.push_back(1764 + 4 * i);
        ASSERT_TRUE(PlayDeviceWrite(&Device, written.back(), Silence.data()));
    }
    Sleep(120);
    PlayDeviceFlush(&Device);
    EXPECT_EQ(written, Sink.Lengths);
    EXPECT_EQ(0, Device.QueuedCount);
    EXPECT_EQ(nullptr, Device.Returned);
}

// With a window that never ends on its own, played buffers wait in it
// unreported; a flush, and a close, each end it at once and report the
// whole batch in one run, in the order the buffers came back, before they
// return.
TEST_F(PlayDeviceTest, FlushAndCloseEndTheReportWindowAndReportTheBatchInOrder) {
    ReportWindowMs = INFINITE;
    ASSERT_TRUE(PlayDeviceOpen(&Device, &Stereo, &Sink));
    const std::vector<int32_t> first = {1764, 1768, 1772};
    // Less than the priming amount: started as the run thread does at the
    // deadline.
    for (int32_t length : first)
        ASSERT_TRUE(PlayDeviceWrite(&Device, length, Silence.data()));
    PlayDeviceStartHeld(&Device);
    ASSERT_TRUE(AwaitReturned(Device, 3));
    EXPECT_EQ(0, Sink.Calls);
    PlayDeviceFlush(&Device);
    EXPECT_EQ(first, Sink.Lengths);
    EXPECT_EQ(std::vector<int>{3}, Sink.Runs);

    const std::vector<int32_t> second = {2000, 1996};
    for (int32_t length : second)
        ASSERT_TRUE(PlayDeviceWrite(&Device, length, Silence.data()));
    PlayDeviceStartHeld(&Device);
    ASSERT_TRUE(AwaitReturned(Device, 2));
    PlayDeviceClose(&Device);
    EXPECT_EQ(5, Sink.Calls);
    EXPECT_EQ((std::vector<int32_t>{1764, 1768, 1772, 2000, 1996}), Sink.Lengths);
    EXPECT_EQ((std::vector<int>{3, 2}), Sink.Runs);
    EXPECT_EQ(nullptr, Device.ReleaseThread);
}

// A device starting from empty holds its blocks until the priming amount is
// queued, and the player's pause, given while it primes, outlasts priming.
TEST_F(PlayDeviceTest, PrimingHoldsTheFirstBlocksAndThePlayersPauseWins) {
    const int32_t block = 2304; // 13 ms at CD rate
    ASSERT_TRUE(PlayDeviceOpen(&Device, &Stereo, &Sink));
    ASSERT_TRUE(PlayDeviceWrite(&Device, block, Silence.data()));
    Sleep(300);
    EXPECT_EQ(0, Sink.Calls) << "a held block played";
    PlayDevicePause(&Device);
    for (int i = 0; i < 8; i++) // past the priming amount
        ASSERT_TRUE(PlayDeviceWrite(&Device, block, Silence.data()));
    EXPECT_FALSE(Device.Priming);
    Sleep(300);
    EXPECT_EQ(0, Sink.Calls) << "played while paused";
    PlayDeviceResume(&Device);
    for (int waited = 0; Sink.Calls < 9 && waited < 3000; waited += 10)
        Sleep(10);
    EXPECT_EQ(9, Sink.Calls);

    // After a flush it primes again; a block alone starts at the deadline.
    PlayDeviceFlush(&Device);
    ASSERT_TRUE(PlayDeviceWrite(&Device, block, Silence.data()));
    EXPECT_TRUE(Device.Priming);
    EXPECT_LE(PlayDeviceHoldLeftMs(&Device), DWORD(PRIME_DEADLINE_MS));
    Sleep(PRIME_DEADLINE_MS + 20); // the tick count moves in steps
    EXPECT_EQ(0u, PlayDeviceHoldLeftMs(&Device));
}

// Short buffers played through are reported a window's worth at a time, each
// once and in the order they were written.
TEST_F(PlayDeviceTest, PlayingBuffersAreReportedInBatchesInTheirOrder) {
    ASSERT_TRUE(PlayDeviceOpen(&Device, &Stereo, &Sink));
    std::vector<int32_t> written;
    for (int i = 0; i < 50; i++) {
        written.push_back(352 + 4 * (i % 3)); // about 2 ms each
        ASSERT_TRUE(PlayDeviceWrite(&Device, written.back(), Silence.data()));
    }
    for (int waited = 0; Sink.Calls < 50 && waited < 5000; waited += 10)
        Sleep(10);
    EXPECT_EQ(written, Sink.Lengths);
    EXPECT_LT(Sink.Runs.size(), written.size());
}

TEST_F(PlayDeviceTest, RefusedFormatsLeaveTheDeviceClosed) {
    PcmFormat zeroChannels = MakePcmFormat(44100, 0, 16);
    EXPECT_FALSE(PlayDeviceOpen(&Device, &zeroChannels, &Sink));
    EXPECT_EQ(nullptr, Device.WaveHandle);
    PcmFormat badAlign = Stereo;
    badAlign.BlockAlign = 3;
    EXPECT_FALSE(PlayDeviceOpen(&Device, &badAlign, &Sink));
    EXPECT_EQ(nullptr, Device.WaveHandle);
    // A-law is a format the mapper would decode, but only PCM is taken.
    PcmFormat alaw = MakePcmFormat(8000, 1, 8);
    alaw.FormatTag = 6;
    EXPECT_FALSE(PlayDeviceOpen(&Device, &alaw, &Sink));
    EXPECT_EQ(nullptr, Device.WaveHandle);
    EXPECT_TRUE(PlayDeviceOpen(&Device, &Stereo, &Sink));
}

// Wine's wave-out skips the buffers queued after one that holds no whole
// frame while its clock still counts them, so later buffers came back before
// they were read, and reading them after their release crashed the process.
// Such a buffer is given back at once, and everything else plays in order.
TEST_F(PlayDeviceTest, BuffersShorterThanAFrameComeBackAndTheRestPlays) {
    const PcmFormat six = MakePcmFormat(44100, 6, 32);
    ASSERT_TRUE(PlayDeviceOpen(&Device, &six, &Sink));
    uint32_t seed = 1;
    auto next = [&seed](uint32_t below) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % below;
    };
    LONG writes = 0, bytes = 0;
    for (int round = 0; round < 400; round++) {
        int32_t length = next(4) == 0 ? 1 + next(23) : 24 + next(8976);
        ASSERT_TRUE(PlayDeviceWrite(&Device, length, Silence.data()));
        writes++;
        bytes += length;
        switch (next(12)) {
        case 0:
            waveOutPause(Device.WaveHandle);
            break;
        case 1:
            waveOutRestart(Device.WaveHandle);
            break;
        case 2:
            PlayDeviceFlush(&Device);
            EXPECT_EQ(writes, Sink.Calls);
            break;
        case 3:
            Sleep(next(30));
            break;
        }
    }
    waveOutRestart(Device.WaveHandle);
    PlayDeviceFlush(&Device);
    EXPECT_EQ(writes, Sink.Calls);
    EXPECT_EQ(bytes, Sink.Bytes);
    EXPECT_EQ(Device.QueuedCount, Device.DoneCount);

    // A tenth of a second of whole frames still plays out and comes back.
    const LONG before = Sink.Calls;
    for (int i = 0; i < 10; i++)
        ASSERT_TRUE(PlayDeviceWrite(&Device, 44100 / 100 * 24, Silence.data()));
    for (int waited = 0; Sink.Calls < before + 10 && waited < 5000; waited += 10)
        Sleep(10);
    EXPECT_EQ(before + 10, Sink.Calls);
}

} // namespace
