// Object and version GUIDs.
#pragma once

#include <string>

namespace ObjectStore {

// A new GUID: exactly 32 lower-case hexadecimal digits (128 bits) read from
// the kernel's cryptographically strong random source (getrandom), so two
// calls never give the same value for all practical purposes, in any process
// or thread. The text is safe as a file name. Thread-safe.
//
// There is no way to make a GUID without randomness: if the kernel cannot
// supply it (no getrandom system call, or a failure other than an
// interruption) the process is aborted with a message saying so.
std::string generateGuid();

}  // namespace ObjectStore
