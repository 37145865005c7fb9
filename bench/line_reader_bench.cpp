// The line reader on one data line of many megabytes, over loopback: the time must grow
// with the length, not with its square (a line arrives in many receives, and each must not
// search again what the ones before it searched).

#include "net/tcpip.h"
#include "support/scripted_server.h"

#include <benchmark/benchmark.h>

#include <string>

namespace zanpost {
namespace {

void BM_LongDataLine(benchmark::State& state)
{
    const std::string wire = std::string(std::size_t(state.range(0)), 'd') + "\r\n.\r\n";
    for (auto _ : state) {
        state.PauseTiming();
        testing::ScriptedServer server(testing::Conversation().say_raw(wire));
        T_TcpIp client;
        client.Hostname = "127.0.0.1";
        client.Port = server.port();
        client.Login();
        state.ResumeTiming();
        StringList lines;
        client.ReadDotTerminated(lines);
        benchmark::DoNotOptimize(lines);
        state.PauseTiming();
        client.Logout();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_LongDataLine)->RangeMultiplier(4)->Range(1 << 20, 64 << 20)->Unit(benchmark::kMillisecond)->Complexity();

}  // namespace
}  // namespace zanpost
