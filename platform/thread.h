// Thread start. std::thread reports a failed start by throwing; these
// helpers turn that into an error value so one refused thread ends one
// connection or component, never the process.
#pragma once

#include <cstddef>
#include <functional>
#include <thread>

namespace platform {

// The stack of a thread that serves one connection: 256 KiB of address
// space instead of the system's 8 MiB, so that 2000 connections fit a 32-bit
// process (500 MiB of stacks instead of 16 GiB). The deepest path measured,
// the PHP gateway with its 64 KiB read buffers, touches 76 KiB of it; a
// SOAP Browse of 500 channels, gzip and deflate, and the stream sender 12
// to 16 KiB. Sanitizers and builds without optimisation make every frame
// several times larger.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PLATFORM_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PLATFORM_SANITIZED_BUILD 1
#endif
#endif
#if defined(PLATFORM_SANITIZED_BUILD)
inline constexpr std::size_t kWorkerStackBytes = std::size_t(2) << 20;
#elif !defined(__OPTIMIZE__)
inline constexpr std::size_t kWorkerStackBytes = std::size_t(1) << 20;
#else
inline constexpr std::size_t kWorkerStackBytes = std::size_t(256) << 10;
#endif

// Starts `body` on a detached thread, with a stack of `stackBytes` (0: the
// system's default). 0, or the errno-style failure; on a failure `body` is
// destroyed before the call returns, so what it holds is released.
int startDetached(std::function<void()> body, std::size_t stackBytes = 0);

// Starts `body` on a joinable thread held in `thread`. 0 or the failure.
int startJoinable(std::thread& thread, std::function<void()> body);

// How far a raised thread's nice value is below the process's.
inline constexpr int kRaisedNiceSteps = 5;

// Raises the calling thread a little above the process's other threads: its
// nice value kRaisedNiceSteps lower, or as far down as the process may go;
// does nothing when it may not lower it at all.
void raiseCurrentThreadPriority();

}  // namespace platform
