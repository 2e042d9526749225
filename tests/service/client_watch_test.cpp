// Taking a socket out of a variable that several threads may close.
#include <gtest/gtest.h>

#include "service/client_watch.h"
#include "support/test_support.h"

namespace {

TEST(CloseSocketIfStill, ClosesTheSocketOnceAndLeavesTheVariableInvalid) {
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 0), &data));
    SOCKET first = socket(AF_INET, SOCK_STREAM, 0), second = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(INVALID_SOCKET, first);
    ASSERT_NE(INVALID_SOCKET, second);
    volatile SOCKET variable = second;
    // Another socket is there now: the stale one is not taken.
    EXPECT_FALSE(CloseSocketIfStill(&variable, first));
    EXPECT_EQ(second, variable);

    EXPECT_TRUE(CloseSocketIfStill(&variable, second));
    EXPECT_EQ(INVALID_SOCKET, variable); // every bit of it, on x64 too
    EXPECT_FALSE(CloseSocketIfStill(&variable, second));
    int type = 0, length = sizeof type;
    EXPECT_EQ(SOCKET_ERROR, getsockopt(second, SOL_SOCKET, SO_TYPE,
                                       reinterpret_cast<char *>(&type), &length));
    closesocket(first);
    WSACleanup();
}

} // namespace
