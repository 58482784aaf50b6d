/*
 * Framework registry keys: an open key of the machine's hive, with the access
 * it was opened for. Closing the key deletes the object.
 */
#pragma once
#include <string>

#include "wdf/object.h"

namespace plat::wdf {

struct FxKey : FxObject {
    FxKey(FxObject* parent, const WDF_OBJECT_ATTRIBUTES* attributes, std::wstring path, ACCESS_MASK access);
    std::string Describe() const override;

    const std::wstring path;   // \Registry\Machine\...
    const ACCESS_MASK access;  // generic rights mapped to key rights
};

}  // namespace plat::wdf
