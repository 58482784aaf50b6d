// Guarded blocks as kernel-mode code writes them: real faults on mapped
// physical memory (the read error fault injection gives a mapping), nested
// frames, faults on other threads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

// Every C++ library header first: the guarded-block keywords take the words
// the library uses for its own try blocks.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#define _KERNEL_MODE 1  // as in the driver's build
#include <wdm.h>

#include "base/fault.h"
#include "machine/hardware.h"
#include "machine/physmem.h"

namespace {

class GuardedBlockTest : public ::testing::Test {
protected:
    void SetUp() override { plat::fault::Reset(); }
    void TearDown() override { plat::fault::Reset(); }

    // A mapping with an injected read error: any access to it is a hardware
    // fault that raises code.
    PUCHAR MapFaulting(LONGLONG address, SIZE_T size, NTSTATUS code = STATUS_ACCESS_VIOLATION)
    {
        plat::fault::FailNth("PhysicalMemoryRead", 1, code);
        return Map(address, size);
    }

    static PUCHAR Map(LONGLONG address, SIZE_T size)
    {
        PHYSICAL_ADDRESS physical;
        physical.QuadPart = address;
        return static_cast<PUCHAR>(MmMapIoSpace(physical, size, MmNonCached));
    }

    plat::Hardware machine_{plat::Hardware::Options{}};
};

// The driver's copy: exceptions while reading the mapping become the status.
NTSTATUS GuardedCopy(PVOID destination, PVOID source, SIZE_T size)
{
    NTSTATUS status = STATUS_SUCCESS;
    __try {
        RtlCopyMemory(destination, source, size);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
    }
    return status;
}

TEST_F(GuardedBlockTest, FaultOnMappedMemoryBecomesTheExceptionCode)
{
    PUCHAR mapped = MapFaulting(0x5000, 1024);
    ASSERT_NE(mapped, nullptr);
    UCHAR buffer[1024];
    EXPECT_EQ(GuardedCopy(buffer, mapped, sizeof(buffer)), STATUS_ACCESS_VIOLATION);
    // The thread goes on normally, and can take the same fault again.
    EXPECT_EQ(GuardedCopy(buffer, mapped + 512, 16), STATUS_ACCESS_VIOLATION);
    UCHAR readable[16] = {1, 2, 3};
    EXPECT_EQ(GuardedCopy(buffer, readable, sizeof(readable)), STATUS_SUCCESS);
    EXPECT_EQ(buffer[2], 3);
    MmUnmapIoSpace(mapped, 1024);
}

// The injected read error raises the status it was armed with, only on the
// mapping it was armed for, and only while that mapping lasts.
TEST_F(GuardedBlockTest, InjectedReadErrorRaisesItsStatusOnItsMappingOnly)
{
    PUCHAR failing = MapFaulting(0x5000, 64, STATUS_IN_PAGE_ERROR);
    ASSERT_NE(failing, nullptr);
    PUCHAR healthy = Map(0x5000, 64);
    ASSERT_NE(healthy, nullptr);
    UCHAR buffer[64] = {};
    EXPECT_EQ(GuardedCopy(buffer, failing, sizeof(buffer)), STATUS_IN_PAGE_ERROR);
    EXPECT_EQ(GuardedCopy(buffer, healthy, sizeof(buffer)), STATUS_SUCCESS);
    EXPECT_EQ(buffer[63], 0xFF) << "nothing lies at 0x5000";
    MmUnmapIoSpace(failing, 64);
    MmUnmapIoSpace(healthy, 64);

    // Every mapping after it reads normally, wherever the host puts it.
    for (int i = 0; i < 8; ++i) {
        PUCHAR again = Map(0x5000, 64);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(GuardedCopy(buffer, again, sizeof(buffer)), STATUS_SUCCESS);
        MmUnmapIoSpace(again, 64);
    }
    EXPECT_EQ(plat::fault::Injected(), 1u);
}

TEST_F(GuardedBlockTest, DeclinedExceptionReachesTheOuterFrame)
{
    PUCHAR mapped = MapFaulting(0x6000, 64);
    ASSERT_NE(mapped, nullptr);
    volatile int innerHandlerRan = 0;
    volatile int afterFault = 0;
    NTSTATUS outerCode = STATUS_SUCCESS;
    __try {
        __try {
            volatile UCHAR value = mapped[10];
            (void)value;
            afterFault = 1;
        } __except (GetExceptionCode() == STATUS_IN_PAGE_ERROR ? EXCEPTION_EXECUTE_HANDLER
                                                               : EXCEPTION_CONTINUE_SEARCH) {
            innerHandlerRan = 1;
        }
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        outerCode = GetExceptionCode();
    }
    EXPECT_EQ(outerCode, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(innerHandlerRan, 0);
    EXPECT_EQ(afterFault, 0);

    // A fault inside a handler goes to the frame around it.
    outerCode = STATUS_SUCCESS;
    __try {
        __try {
            plat::SehFrame::Raise(STATUS_IN_PAGE_ERROR);
        } __except (EXCEPTION_EXECUTE_HANDLER) {
            volatile UCHAR value = mapped[0];
            (void)value;
        }
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        outerCode = GetExceptionCode();
    }
    EXPECT_EQ(outerCode, STATUS_ACCESS_VIOLATION);
    EXPECT_FALSE(plat::SehFrame::Raise(STATUS_ACCESS_VIOLATION));  // no frame left
    MmUnmapIoSpace(mapped, 64);
}

TEST_F(GuardedBlockTest, BusErrorIsAnInPageError)
{
    char path[] = "/tmp/tvrx-seh-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    ASSERT_EQ(ftruncate(fd, 4096), 0);
    void* view = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    ASSERT_NE(view, MAP_FAILED);
    ASSERT_EQ(ftruncate(fd, 0), 0);  // the page has no backing any more: reading it is SIGBUS

    UCHAR buffer[16];
    EXPECT_EQ(GuardedCopy(buffer, view, sizeof(buffer)), STATUS_IN_PAGE_ERROR);
    munmap(view, 4096);
    close(fd);
}

TEST_F(GuardedBlockTest, EachThreadHasItsOwnFrames)
{
    PUCHAR mapped = MapFaulting(0x8000, 4096);
    ASSERT_NE(mapped, nullptr);
    std::atomic<int> caught{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            UCHAR buffer[64];
            for (int i = 0; i < 50; ++i) {
                if (GuardedCopy(buffer, mapped + t * 64, sizeof(buffer)) == STATUS_ACCESS_VIOLATION) {
                    caught++;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(caught.load(), 200);
    MmUnmapIoSpace(mapped, 4096);
}

using GuardedBlockDeathTest = GuardedBlockTest;

TEST_F(GuardedBlockDeathTest, FaultsNoFrameAcceptsStillCrash)
{
    PUCHAR mapped = MapFaulting(0x9000, 64);
    ASSERT_NE(mapped, nullptr);
    // Outside any frame (also after frames were entered and left) the fault is a crash.
    EXPECT_DEATH(
        {
            UCHAR buffer[4];
            GuardedCopy(buffer, buffer, sizeof(buffer));
            std::fprintf(stderr, "reading\n");
            volatile UCHAR value = mapped[1];
            (void)value;
        },
        "reading");
    EXPECT_DEATH(
        {
            __try {
                volatile UCHAR value = mapped[1];
                (void)value;
            } __except (EXCEPTION_CONTINUE_SEARCH) {
            }
        },
        "0xC0000005.*not handled");
    EXPECT_DEATH(
        {
            __try {
                volatile UCHAR value = mapped[1];
                (void)value;
            } __except (EXCEPTION_CONTINUE_EXECUTION) {
            }
        },
        "EXCEPTION_CONTINUE_EXECUTION is not supported");
    MmUnmapIoSpace(mapped, 64);
}

}  // namespace
