// Whole-file reads and writes, with the operating system's error text.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "common/engine_error.hpp"

namespace arbolet::persist {

// Called when a system call was interrupted by a signal: true retries the
// call, false abandons the operation (the caller's signal handlers raised).
// Without one, interrupted calls are simply retried.
using InterruptCheck = std::function<bool()>;

// Io error "<description> (os error N)" on failure.
//
// A regular file (or a path that does not exist yet) is replaced atomically:
// the contents go to a temporary file in the target's directory, are flushed
// to disk and renamed over the target, so the target holds either its old
// or its new contents whatever happens to the writer. When that is
// impossible (the directory is not writable, say) the save is refused with
// the OS error and the old file is left untouched. Symbolic links are
// followed, dangling ones included. Devices, pipes and other non-regular
// files are written in place.
Status write_file(const std::string& path, std::string_view contents, const InterruptCheck& on_interrupt = {});
Result<std::string> read_file(const std::string& path, const InterruptCheck& on_interrupt = {});

}  // namespace arbolet::persist
