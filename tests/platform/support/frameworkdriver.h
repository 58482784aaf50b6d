/*
 * A framework driver object a test creates for itself, of a service whose key
 * the loader would have made: what framework calls that need a driver (memory
 * objects, the parameters key) run against, without a driver image.
 */
#pragma once

#include <gtest/gtest.h>

#include <string>

#include <wdf.h>

#include "machine/hardware.h"
#include "machine/registry.h"
#include "wdf/driver.h"

namespace tvrx::test {

class FrameworkDriver {
public:
    explicit FrameworkDriver(const std::wstring& service = L"tavrix")
        : path_(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service)
    {
        plat::Hardware::Current().Registry().SetValue(path_, L"Start", plat::RegistryValue::Dword(3));
        UNICODE_STRING path{static_cast<USHORT>(path_.size() * sizeof(WCHAR)),
                            static_cast<USHORT>(path_.size() * sizeof(WCHAR)), path_.data()};
        WDF_DRIVER_CONFIG config;
        WDF_DRIVER_CONFIG_INIT(&config, nullptr);
        EXPECT_EQ(WdfDriverCreate(&wdm_, &path, WDF_NO_OBJECT_ATTRIBUTES, &config, &driver_), STATUS_SUCCESS);
    }
    ~FrameworkDriver() { plat::wdf::DeleteDriver(); }
    FrameworkDriver(const FrameworkDriver&) = delete;
    FrameworkDriver& operator=(const FrameworkDriver&) = delete;

    WDFDRIVER Handle() const { return driver_; }

private:
    std::wstring path_;
    DRIVER_OBJECT wdm_{};
    WDFDRIVER driver_ = nullptr;
};

}  // namespace tvrx::test
