// Library start-up and shut-down: brings the in-house library up once per
// process (common controls, COM, capability record, private heap, file
// server) and takes it down again in the reverse sense.
//
// Windows build only.
#pragma once

#include <cstdint>

// Size of the private heap the start-up creates.
constexpr uint32_t ZT_STARTUP_HEAP_SIZE = 0xA00000;

// The engine configuration (the game's settings model) is a subsystem the
// updater never uses and this library does not carry yet. This placeholder
// holds the one setting the library itself reads from it (whether the file
// server preloads) so that start-up, shut-down and the file server treat
// its global as the full object would be treated. Nothing creates it in
// this program; tests set it to exercise the preloader.
struct ztEngineConfig {
  int32_t preload = 0;
};
extern ztEngineConfig* g_ztEngineConfig;

// Steps, in order: common controls and COM; the DDE service when ddeMode is
// not 0 (not built in this library: no service is created); the capability
// record when none exists; the private heap (a second call keeps the first);
// the file server when none exists. Always 1.
int ztLibraryStartup(uint32_t flags, int32_t ddeMode);

// Each only if present, in order: DDE service, file server, engine
// configuration, private heap, debug log, capability record, then COM.
// Always 1.
int ztLibraryShutdown();
