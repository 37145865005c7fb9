// Test main of the Windows build: the socket layer runs for the whole test program, as it
// does for the whole of Zan_Post.exe.

#include "platform/sockets.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    const bool started = zanpost::platform::socket_layer_start();
    const int result = RUN_ALL_TESTS();
    if (started) zanpost::platform::socket_layer_stop();
    return result;
}
