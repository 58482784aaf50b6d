/*
 * The SAR export of a 1 MiB table: the driver's export routine maps each
 * 1 KiB piece of physical memory, copies it under its exception guard and
 * writes it to C:\windows\wwan\bios_sar\bios_sar.flz; beside it, a plain
 * loop that writes the same bytes in 1 KiB pieces to a file on the same disk
 * and flushes it once, as the export must before it puts the file in place.
 */
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "debugview.h"
#include "firmware/native.h"
#include "support/shared.h"

namespace tvrx::bench {
namespace {

constexpr ULONG kSarAddress = 0x7F000000;
constexpr size_t kTableSize = 1024 * 1024;
constexpr size_t kPiece = 1024;

std::vector<uint8_t> Table()
{
    std::vector<uint8_t> bytes(kTableSize);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 10));
    }
    return bytes;
}

void SarExport(benchmark::State& state)
{
    Bed* bed = SharedBed();
    auto* firmware = bed != nullptr ? dynamic_cast<plat::NativeFirmware*>(&bed->Machine().Firmware()) : nullptr;
    if (firmware == nullptr) {
        state.SkipWithError("no device on the native firmware");
        return;
    }
    firmware->SetSarTable(kSarAddress, Table());
    for (auto _ : state) {
        // The export routine itself, run through the debug view as a debugger would.
        if (debugview::ExportBiosSarTable(bed->Host(), kSarAddress, kTableSize) != STATUS_SUCCESS) {
            state.SkipWithError("the export failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kTableSize));
}
BENCHMARK(SarExport)->UseRealTime()->Unit(benchmark::kMillisecond);

void PlainWrite(benchmark::State& state)
{
    Bed* bed = SharedBed();
    if (bed == nullptr) {
        state.SkipWithError("the device did not start");
        return;
    }
    std::vector<uint8_t> table = Table();
    std::string file = (bed->Machine().Folder() / "plain-sar.bin").string();
    for (auto _ : state) {
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        bool written = fd >= 0;
        for (size_t offset = 0; written && offset < table.size(); offset += kPiece) {
            written = pwrite(fd, table.data() + offset, kPiece, static_cast<off_t>(offset)) == kPiece;
        }
        written = written && fsync(fd) == 0;
        if (fd >= 0) {
            close(fd);
        }
        if (!written) {
            state.SkipWithError("the plain write failed");
            break;
        }
    }
    std::filesystem::remove(file);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kTableSize));
}
BENCHMARK(PlainWrite)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tvrx::bench
