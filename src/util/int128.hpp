#pragma once

// 128-bit integers for overflow-free intermediate arithmetic (address sums,
// range checks, allocation sizes). They are a GCC and Clang extension;
// `__extension__` says we use it on purpose, so -Wpedantic stays quiet.
namespace oculane {

__extension__ typedef __int128 int128;
__extension__ typedef unsigned __int128 uint128;

}  // namespace oculane
