#include "app/program.h"
#include "platform/process.h"
#include "platform/sockets.h"

namespace {

// Starts the socket layer for the whole run and stops it on every way out.
class SocketLayer {
public:
    SocketLayer() : started_(zanpost::platform::socket_layer_start()) {}
    ~SocketLayer()
    {
        if (started_) zanpost::platform::socket_layer_stop();
    }
    SocketLayer(const SocketLayer&) = delete;
    SocketLayer& operator=(const SocketLayer&) = delete;

private:
    bool started_;
};

}  // namespace

int main()
{
    const SocketLayer socket_layer;
    return zanpost::RunProgram(zanpost::platform::command_line_arguments());
}
