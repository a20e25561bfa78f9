// Owning pointer for COM interfaces: releases what it holds exactly once.
#pragma once

#include "tests/common/com_ref.h"

namespace kestrin::winecheck {

template <typename T> using ComPtr = kestrin::test_support::Ref<T>;

} // namespace kestrin::winecheck
