// The log in file mode: the time-stamped line format in UTC, flushed at once.
#include <gtest/gtest.h>

#include <regex>

#include "service/log_file.h"
#include "support/test_support.h"

TEST(LogFile, FileModeWritesTimeStampedLinesBesideTheExecutable) {
    wchar_t base[MAX_PATH];
    ModuleBasePathOf(base, MAX_PATH);
    std::wstring path = std::wstring(base) + L"log";
    DeleteFileW(path.c_str());

    CLogFile log;
    log.ConsoleMode = 0;
    log.OpenFile();
    ASSERT_NE(nullptr, log.LogStream);
    SYSTEMTIME before;
    GetSystemTime(&before);
    log.WriteMessage(L"Tonvale started\n");
    // Read while the stream is still open: the line must already be there.
    std::string text = ReadFileBytes(path);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(
        text, match,
        std::regex("<(\\d\\d)\\.(\\d\\d)\\.(\\d{4}) (\\d\\d):(\\d\\d):(\\d\\d)> Tonvale started\r\n")))
        << text;
    EXPECT_EQ(before.wDay, std::stoi(match[1]));
    EXPECT_EQ(before.wMonth, std::stoi(match[2]));
    EXPECT_EQ(before.wYear, std::stoi(match[3]));
    EXPECT_EQ(before.wHour, std::stoi(match[4]));
    int seconds = std::stoi(match[5]) * 60 + std::stoi(match[6]);
    EXPECT_LE(abs(seconds - (before.wMinute * 60 + before.wSecond)), 2);

    log.WriteMessage(L"Tonvale stopped\n");
    fclose(log.LogStream);
    log.LogStream = nullptr;
    // A later open appends.
    log.OpenFile();
    log.WriteMessage(L"Tonvale started\n");
    fclose(log.LogStream);
    text = ReadFileBytes(path);
    EXPECT_EQ(3, std::count(text.begin(), text.end(), '\n'));
    EXPECT_NE(std::string::npos, text.find("> Tonvale stopped\r\n<"));
    DeleteFileW(path.c_str());
}
