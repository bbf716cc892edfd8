// The switcher link on loopback against switcher-emu, and the whole imgcast-cli send.
//
// WriteExchange: one write exchange of a 1920 × 1080 frame per run, each on a fresh connection to
// the same emulator, measured in the same process run for
//   Link        the link itself: sends of at most 1024 bytes under a cork;
//   Plain64K    the same exchange from a plain client in 64 KiB sends (the yardstick);
//   Plain1024   a plain client in 1024-byte sends without a cork (what the cork is for).
// The kinds take turns run by run so that they see the same machine; each reports its median
// and maximum in milliseconds and how many runs took over 40 ms.
//
// WriteExchangeFreshProcess: the Link and Plain64K exchanges, each run in a process of its own.
//
// CliSend: imgcast-cli send of a 1920 × 1080 JPEG and PNG in a fresh process per run (load, fit,
// encode, transfer), with the median of each stage as printed by IMGCAST_PROFILE=1.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <netinet/in.h>

#include <benchmark/benchmark.h>

#include "link/progress.h"
#include "link/socket_io.h"
#include "link/switcher_link.h"
#include "link/unique_fd.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kRuns = 60;

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct LoopbackInputs final : LinkInputs {
    std::array<uint8_t, 4> SwitcherAddress() const override { return {127, 0, 0, 1}; }
    bool Fmem1Checked() const override { return true; }
};

CEmulatorProcess& Emulator()
{
    static CEmulatorProcess emulator;
    return emulator;
}

std::vector<uint8_t>& Frame()
{
    static std::vector<uint8_t> frame = [] {
        std::vector<uint8_t> bytes(size_t{kWidth} * kHeight * 2);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(16 + i % 219);
        return bytes;
    }();
    return frame;
}

int ExchangeWithLink(uint16_t port)
{
    LoopbackInputs inputs;
    LinkOptions options;
    options.port = port;
    CSwitcherLink link(inputs, options);
    link.m_frame = Frame().data();
    link.m_frameBytes = static_cast<uint32_t>(Frame().size());
    link.m_frameWidth = kWidth;
    link.m_frameHeight = kHeight;
    const int result = link.SendFrame();
    link.m_frame = nullptr;
    return result;
}

// The same write exchange from a plain blocking client with default options.
int ExchangePlain(uint16_t port, size_t chunkBytes)
{
    CUniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return 3;
    const uint8_t head[1] = {kCommandWriteFmem1};
    uint8_t reply = 0;
    if (!SendAll(socket.Get(), head, 1, -1) || !ReceiveAll(socket.Get(), &reply, 1, -1)) return 5;
    const SizeHeader header = PackSizeHeader(kWidth, kHeight);
    SendAll(socket.Get(), header.bytes, sizeof header.bytes, -1);
    const std::vector<uint8_t>& frame = Frame();
    for (size_t offset = 0; offset < frame.size();) {
        ssize_t sent = ::send(socket.Get(), frame.data() + offset,
                              std::min(chunkBytes, frame.size() - offset), MSG_NOSIGNAL);
        if (sent <= 0) return 5;
        offset += static_cast<size_t>(sent);
    }
    uint8_t status = 0;
    if (!ReceiveAll(socket.Get(), &status, 1, -1)) return 5;
    return status == kReplyAccept ? 0 : 100;
}

struct Timings {
    std::vector<double> runs;
    double Median() const
    {
        std::vector<double> sorted = runs;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }
    void Report(benchmark::State& state) const
    {
        std::vector<double> sorted = runs;
        std::sort(sorted.begin(), sorted.end());
        state.counters["median_ms"] = sorted[sorted.size() / 2];
        state.counters["max_ms"] = sorted.back();
        state.counters["min_ms"] = sorted.front();
        state.counters["over_40ms"] = static_cast<double>(
            std::count_if(sorted.begin(), sorted.end(), [](double t) { return t > 40; }));
    }
};

// All three kinds in one rotation, so that each benchmark below reports runs taken side by side.
std::map<std::string, Timings>& WriteTimings()
{
    static std::map<std::string, Timings> timings = [] {
        std::map<std::string, Timings> result;
        const uint16_t port = Emulator().Port();
        for (int warm = 0; warm < 3; ++warm) {
            ExchangeWithLink(port);
            ExchangePlain(port, 65536);
        }
        for (int run = 0; run < kRuns; ++run) {
            Clock::time_point start = Clock::now();
            int linkResult = ExchangeWithLink(port);
            result["Link"].runs.push_back(MillisecondsSince(start));
            start = Clock::now();
            int plainResult = ExchangePlain(port, 65536);
            result["Plain64K"].runs.push_back(MillisecondsSince(start));
            start = Clock::now();
            int smallResult = ExchangePlain(port, 1024);
            result["Plain1024"].runs.push_back(MillisecondsSince(start));
            if (linkResult != 0 || plainResult != 0 || smallResult != 0)
                std::fprintf(stderr, "exchange failed: %d %d %d\n", linkResult, plainResult,
                             smallResult);
        }
        return result;
    }();
    return timings;
}

void BM_WriteExchange(benchmark::State& state, const char* kind)
{
    const Timings& timings = WriteTimings().at(kind);
    size_t next = 0;
    for (auto _ : state) {
        state.SetIterationTime(timings.runs[next++ % timings.runs.size()] / 1000.0);
    }
    timings.Report(state);
    state.counters["ratio_to_64K"] = timings.Median() / WriteTimings().at("Plain64K").Median();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kWidth * kHeight * 2);
}
BENCHMARK_CAPTURE(BM_WriteExchange, Link, "Link")
    ->UseManualTime()
    ->Iterations(kRuns)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriteExchange, Plain64K, "Plain64K")
    ->UseManualTime()
    ->Iterations(kRuns)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriteExchange, Plain1024, "Plain1024")
    ->UseManualTime()
    ->Iterations(kRuns)
    ->Unit(benchmark::kMillisecond);

// The same exchanges, each in a fresh process (this program run with --exchange-once KIND PORT),
// timed inside the child from connect to final status: cold caches, a fresh frame buffer, a new
// process's first connection.
double ExchangeInFreshProcess(const char* kind, uint16_t port)
{
    CChildProcess child(ProgramPath("link_bench"), {"--exchange-once", kind, std::to_string(port)});
    if (child.Wait() != 0) return -1;
    return std::atof(child.Output().c_str());
}

std::map<std::string, Timings>& FreshProcessTimings()
{
    static std::map<std::string, Timings> timings = [] {
        std::map<std::string, Timings> result;
        const uint16_t port = Emulator().Port();
        for (int run = 0; run < kRuns / 2; ++run) {
            result["Link"].runs.push_back(ExchangeInFreshProcess("Link", port));
            result["Plain64K"].runs.push_back(ExchangeInFreshProcess("Plain64K", port));
        }
        return result;
    }();
    return timings;
}

void BM_WriteExchangeFreshProcess(benchmark::State& state, const char* kind)
{
    const Timings& timings = FreshProcessTimings().at(kind);
    size_t next = 0;
    for (auto _ : state) {
        state.SetIterationTime(timings.runs[next++ % timings.runs.size()] / 1000.0);
    }
    timings.Report(state);
    state.counters["ratio_to_64K"] =
        timings.Median() / FreshProcessTimings().at("Plain64K").Median();
}
BENCHMARK_CAPTURE(BM_WriteExchangeFreshProcess, Link, "Link")
    ->UseManualTime()
    ->Iterations(kRuns / 2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriteExchangeFreshProcess, Plain64K, "Plain64K")
    ->UseManualTime()
    ->Iterations(kRuns / 2)
    ->Unit(benchmark::kMillisecond);

// 1920 × 1080 test pictures written through ImgPort's own savers: smooth gradients with fine
// detail, so that both decoders have real work.
std::string TestPicture(const char* extension)
{
    static const CTemporaryFolder folder;
    const std::string path = folder.File("picture1080.") + extension;
    if (::access(path.c_str(), R_OK) == 0) return path;
    std::vector<uint8_t> pixels(size_t{kWidth} * kHeight * 3);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            uint8_t* pixel = &pixels[(size_t{static_cast<size_t>(y)} * kWidth + x) * 3];
            pixel[0] = static_cast<uint8_t>(x * 255 / kWidth);
            pixel[1] = static_cast<uint8_t>(y * 255 / kHeight);
            pixel[2] = static_cast<uint8_t>(((x / 8) ^ (y / 8)) * 37 + (x * y) % 23);
        }
    }
    void* library = ::dlopen(ProgramPath("libImgPort.so").c_str(), RTLD_NOW);
    if (library == nullptr) return {};
    if (std::string(extension) == "jpg") {
        auto save = reinterpret_cast<int (*)(const char*, int, int, int, const unsigned char*)>(
            ::dlsym(library, "ZorGdipSaveImageJPG"));
        save(path.c_str(), kWidth, kHeight, 90, pixels.data());
    } else {
        auto save = reinterpret_cast<int (*)(const char*, int, int, int, const unsigned char*)>(
            ::dlsym(library, "ZorGdipSaveImagePNG"));
        save(path.c_str(), kWidth, kHeight, 3, pixels.data());
    }
    return path;
}

// Pulls "name X ms" pairs out of the profile line.
std::map<std::string, double> ParseProfile(const std::string& errors)
{
    std::map<std::string, double> stages;
    size_t at = errors.find("profile: ");
    if (at == std::string::npos) return stages;
    std::string line = errors.substr(at + 9, errors.find('\n', at) - at - 9) + ",";
    size_t start = 0;
    for (size_t comma = line.find(','); comma != std::string::npos;
         start = comma + 1, comma = line.find(',', start)) {
        char name[32];
        double value = 0;
        if (std::sscanf(line.c_str() + start, " %31s %lf", name, &value) == 2) stages[name] = value;
    }
    return stages;
}

// One fresh-process send of `picture` by the imgcast-cli in `folder`; its wall time in ms, or a
// negative value when it failed. The stage times of its profile line go into `stages`.
double TimeCliSend(const std::string& program, const std::string& picture, const std::string& port,
                   std::map<std::string, std::vector<double>>* stages, const std::string& prefix)
{
    const Clock::time_point start = Clock::now();
    // Settings and journal of the user's own stay out of the measurement: empty folders.
    static const CTemporaryFolder station;
    CChildProcess cli(program, {"send", "--host", "127.0.0.1", "--port", port, picture},
                      {"IMGCAST_PROFILE=1", "XDG_CONFIG_HOME=" + station.Path(),
                       "XDG_CONFIG_DIRS=" + station.Path(), "XDG_STATE_HOME=" + station.Path()});
    const int status = cli.Wait();
    const double wall = MillisecondsSince(start);
    if (status != 0) return -1;
    (*stages)[prefix + "process"].push_back(wall);
    for (const auto& [name, value] : ParseProfile(cli.Errors()))
        (*stages)[prefix + name].push_back(value);
    return wall;
}

// The whole imgcast-cli send in a fresh process. With IMGCAST_BENCH_BASELINE naming a folder
// that holds another build's imgcast-cli (and its libImgPort.so), every iteration also runs that
// one right after ours, so that both medians come from the same minutes of the machine.
void BM_CliSend(benchmark::State& state, const char* extension)
{
    const std::string picture = TestPicture(extension);
    const std::string port = std::to_string(Emulator().Port());
    const char* baseline = std::getenv("IMGCAST_BENCH_BASELINE");
    std::map<std::string, std::vector<double>> stages;
    for (auto _ : state) {
        const double wall = TimeCliSend(ProgramPath("imgcast-cli"), picture, port, &stages, "");
        if (wall < 0) {
            state.SkipWithError("imgcast-cli send failed");
            break;
        }
        state.SetIterationTime(wall / 1000.0);
        if (baseline != nullptr && TimeCliSend(std::string(baseline) + "/imgcast-cli", picture,
                                               port, &stages, "baseline_") < 0) {
            state.SkipWithError("baseline imgcast-cli send failed");
            break;
        }
    }
    for (auto& [name, values] : stages) {
        std::sort(values.begin(), values.end());
        state.counters[name + "_ms"] = values[values.size() / 2];
    }
    if (stages.count("baseline_process") != 0 && stages.count("process") != 0)
        state.counters["ours_per_baseline"] =
            state.counters["process_ms"] / state.counters["baseline_process_ms"];
}
BENCHMARK_CAPTURE(BM_CliSend, Jpeg1080, "jpg")
    ->UseManualTime()
    ->Iterations(21)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CliSend, Png1080, "png")
    ->UseManualTime()
    ->Iterations(21)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--exchange-once") {
        const uint16_t port = static_cast<uint16_t>(std::atoi(argv[3]));
        Frame();  // the frame exists before the clock starts, as it would in a sender
        const Clock::time_point start = Clock::now();
        const int result =
            std::string(argv[2]) == "Link" ? ExchangeWithLink(port) : ExchangePlain(port, 65536);
        std::printf("%.3f\n", MillisecondsSince(start));
        return result;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
