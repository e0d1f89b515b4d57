// Micro-benchmarks of the controller on the fake platform, its log lines
// written to a real file descriptor (/dev/null) one write(2) each, as the
// program writes them to standard output.
#include "fake_platform.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace {

class FileDescriptorLog : public app::LogSink {
public:
    FileDescriptorLog() : fd_(::open("/dev/null", O_WRONLY | O_CLOEXEC)) {}
    ~FileDescriptorLog() override { ::close(fd_); }
    FileDescriptorLog(const FileDescriptorLog&) = delete;
    FileDescriptorLog& operator=(const FileDescriptorLog&) = delete;

    void writeLine(std::string_view line) override
    {
        buffer_.assign(line);
        buffer_ += '\n';
        benchmark::DoNotOptimize(::write(fd_, buffer_.data(), buffer_.size()));
    }

private:
    int fd_;
    std::string buffer_;
};

// The fake platform around a controller that logs to the file descriptor.
struct Bench {
    Bench()
    {
        auto& controller = platform.controller;
        controller = std::make_shared<ViewController>(ViewController::Platform{
            std::make_shared<FileDescriptorLog>(),
            [central = platform.central](std::weak_ptr<ble::CentralManagerDelegate> delegate) {
                central->delegate = std::move(delegate);
                return central;
            },
            platform.runLoop, platform.programWide});
        controller->tableView = platform.table;
        controller->temperatureTxtFld = platform.temperature;
        controller->moistureTxtFld = platform.humidity;
        controller->scanButton = platform.scanButton;
        controller->viewDidLoad();
        platform.toggleScan(true);
    }

    // Lists `count` named peripherals, the meter last.
    void list(long count)
    {
        for (long listed = 1; listed < count; ++listed)
            platform.report(std::make_shared<fake::Peripheral>(std::to_string(listed), "Other"), -70);
        platform.report(meter, -58);
    }

    // Selects the meter and walks its vendor service: the poll is armed.
    void arm()
    {
        list(1);
        platform.select({0});
        platform.connect(meter);
        platform.discoverGatt(meter, {fake::makeService("FFF0", {ff01, ff02})});
    }

    fake::Platform platform;
    std::shared_ptr<fake::Peripheral> meter = std::make_shared<fake::Peripheral>("meter", "Meter");
    std::shared_ptr<fake::Characteristic> ff01 =
        fake::makeCharacteristic("FF01", ble::property::writeWithoutResponse);
    std::shared_ptr<fake::Characteristic> ff02 = fake::makeCharacteristic("FF02", ble::property::notify);
};

// One temperature frame: decoded, its lines logged, the field set.
void frameHandled(benchmark::State& state)
{
    Bench bench;
    bench.arm();
    const ble::Bytes frame{0xAA, 0x55, 0x01, 0x13, '0',  0x00, 0x02, '2',  '3', '.',
                           '5',  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xFF};
    for (auto _ : state)
        bench.platform.deliverValue(bench.meter, bench.ff02, frame);
    if (bench.platform.temperature->stringValue().find("23.5") == std::string::npos)
        state.SkipWithError("the frame showed no reading");
}
BENCHMARK(frameHandled);

// A report of the peripheral listed last: the duplicate test walks the whole list.
// A new peripheral each time would grow the list the benchmark means to hold.
void discoveryReport(benchmark::State& state)
{
    Bench bench;
    bench.list(state.range(0));
    for (auto _ : state)
        bench.platform.report(bench.meter, -58);
    if (bench.platform.controller->peripherals->size() != static_cast<std::size_t>(state.range(0)))
        state.SkipWithError("the list does not hold the peripherals reported");
}
BENCHMARK(discoveryReport)->Arg(1)->Arg(100)->Arg(1'000)->Arg(10'000);

// One tick of the armed poll: the measurement request to FF01.
void armedTick(benchmark::State& state)
{
    Bench bench;
    bench.arm();
    if (!bench.platform.controller->counter)
        state.SkipWithError("the poll is not armed");
    auto& timer = *bench.platform.runLoop->timer;
    auto& requests = bench.meter->requests;
    for (auto _ : state) {
        bench.platform.controller->fTimerFireMethod(timer);
        // The fake keeps every request; forget them now and then so memory stays flat.
        if (requests.size() == 4096)
            requests.clear();
    }
}
BENCHMARK(armedTick);

} // namespace

BENCHMARK_MAIN();
